// The card's clock model and its settings, checked without waiting for real time.
#include <gtest/gtest.h>

#include <cstdlib>

#include "vcard_clock.h"
#include "vcard_env.h"

namespace {

constexpr int64_t kSecond = 1000000000LL;

vcard_clock MakeClock(double speed, double ppm, int period_pointer, uint32_t period = 1024)
{
    vcard_clock c{};
    c.cfg.speed = speed;
    c.cfg.ppm = ppm;
    c.cfg.period_pointer = period_pointer;
    c.cfg.stall_at_ms = -1.0;
    c.rate = 48000;
    c.period = period;
    vcard_clock_start(&c, 5 * kSecond, 1000, 1);
    return c;
}

// time_of must be the exact inverse: the target is reached then and not a microsecond before.
void ExpectInverse(const vcard_clock& c, uint64_t target)
{
    const int64_t t = vcard_clock_time_of(&c, target);
    EXPECT_GE(vcard_clock_pos(&c, t), target) << target;
    if (target > c.base_pos) {
        EXPECT_LT(vcard_clock_pos(&c, t - 1000), target) << target;
    }
}

TEST(VCardClock, SpeedAndPpmScaleThePosition)
{
    const vcard_clock real = MakeClock(1.0, 0.0, 0);
    EXPECT_EQ(1000u, vcard_clock_pos(&real, 4 * kSecond)); // before the start
    EXPECT_EQ(1000u + 48000u, vcard_clock_pos(&real, 6 * kSecond));
    const vcard_clock fast = MakeClock(4.0, 0.0, 0);
    EXPECT_EQ(1000u + 4u * 48000u, vcard_clock_pos(&fast, 6 * kSecond));
    const vcard_clock ppm = MakeClock(1.0, 1000.0, 0);
    EXPECT_EQ(1000u + 48048u, vcard_clock_pos(&ppm, 6 * kSecond));
    const vcard_clock slow = MakeClock(1.0, -1000.0, 0);
    EXPECT_EQ(1000u + 47952u, vcard_clock_pos(&slow, 6 * kSecond));
    for (const vcard_clock* c : {&real, &fast, &ppm, &slow})
        for (uint64_t target : {1000u, 1001u, 5000u, 48000u, 1234567u})
            ExpectInverse(*c, target);
}

TEST(VCardClock, PeriodPointerMovesInWholePeriods)
{
    const vcard_clock c = MakeClock(1.0, 0.0, 1, 1024);
    for (int64_t ms = 0; ms < 200; ms += 7) {
        const uint64_t pos = vcard_clock_pos(&c, 5 * kSecond + ms * 1000000);
        EXPECT_EQ(0u, (pos - 1000) % 1024) << ms;
        EXPECT_LE(pos - 1000, uint64_t(ms * 48)) << ms;
        EXPECT_GT(pos - 1000 + 1024, uint64_t(ms * 48)) << ms;
    }
    // waiting for one frame means waiting for the first period to complete
    EXPECT_EQ(1000u + 1024u, vcard_clock_pos(&c, vcard_clock_time_of(&c, 1001)));
    ExpectInverse(c, 1001);
    ExpectInverse(c, 1000 + 5000);
}

TEST(VCardClock, StallHoldsThePositionOnceThenResumes)
{
    vcard_clock c = MakeClock(2.0, 0.0, 0);
    c.cfg.stall_at_ms = 100.0;
    c.cfg.stall_for_ms = 400.0;
    vcard_clock_start(&c, 5 * kSecond, 0, 1);
    // device time runs twice as fast: the stall covers wall time 50 ms to 250 ms
    EXPECT_EQ(3840u, vcard_clock_pos(&c, 5 * kSecond + 40 * 1000000LL));
    EXPECT_EQ(4800u, vcard_clock_pos(&c, 5 * kSecond + 60 * 1000000LL));
    EXPECT_EQ(4800u, vcard_clock_pos(&c, 5 * kSecond + 240 * 1000000LL));
    EXPECT_EQ(4800u + 4800u, vcard_clock_pos(&c, 5 * kSecond + 300 * 1000000LL));
    for (uint64_t target : {1u, 4800u, 4801u, 20000u})
        ExpectInverse(c, target);
    // a later run (after an under-run) does not stall again
    vcard_clock_start(&c, 5 * kSecond, 0, 0);
    EXPECT_EQ(24000u, vcard_clock_pos(&c, 5 * kSecond + 250 * 1000000LL));
}

TEST(VCardClock, EnvironmentSettingsAndBadValues)
{
    struct Case {
        const char* speed;
        const char* ppm;
        const char* pointer;
        const char* stall;
        double want_speed;
        int want_unpaced;
        double want_ppm;
        int want_period;
        double want_stall_at;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, nullptr, 1.0, 0, 0.0, 0, -1.0},
        {"4", "-250", "period", "1500:200", 4.0, 0, -250.0, 1, 1500.0},
        {"unpaced", nullptr, "continuous", nullptr, 1.0, 1, 0.0, 0, -1.0},
        {"0.5", "12.5", nullptr, "0:10", 0.5, 0, 12.5, 0, 0.0},
        {"fast", "x", "bogus", "10", 1.0, 0, 0.0, 0, -1.0},
        {"-2", "1e9", nullptr, "5:-1", 1.0, 0, 0.0, 0, -1.0},
    };
    for (const Case& k : cases) {
        const auto set = [](const char* name, const char* v) {
            if (v)
                setenv(name, v, 1);
            else
                unsetenv(name);
        };
        set("VCARD_SPEED", k.speed);
        set("VCARD_PPM", k.ppm);
        set("VCARD_POINTER", k.pointer);
        set("VCARD_STALL", k.stall);
        vcard_clock_cfg cfg;
        vcard_env_clock(&cfg);
        const std::string what = std::string(k.speed ? k.speed : "-") + "/" + (k.stall ? k.stall : "-");
        EXPECT_DOUBLE_EQ(k.want_speed, cfg.speed) << what;
        EXPECT_EQ(k.want_unpaced, cfg.unpaced) << what;
        EXPECT_DOUBLE_EQ(k.want_ppm, cfg.ppm) << what;
        EXPECT_EQ(k.want_period, cfg.period_pointer) << what;
        EXPECT_DOUBLE_EQ(k.want_stall_at, cfg.stall_at_ms) << what;
    }
    for (const char* name : {"VCARD_SPEED", "VCARD_PPM", "VCARD_POINTER", "VCARD_STALL"})
        unsetenv(name);

    setenv("VCARD_FAIL_OPEN", "channel1,plug,channel3", 1);
    EXPECT_TRUE(vcard_env_names("VCARD_FAIL_OPEN", "channel1"));
    EXPECT_TRUE(vcard_env_names("VCARD_FAIL_OPEN", "channel3"));
    EXPECT_FALSE(vcard_env_names("VCARD_FAIL_OPEN", "channel"));
    EXPECT_FALSE(vcard_env_names("VCARD_FAIL_OPEN", "channel2"));
    setenv("VCARD_FAIL_OPEN", "*", 1);
    EXPECT_TRUE(vcard_env_names("VCARD_FAIL_OPEN", "dmix"));
    unsetenv("VCARD_FAIL_OPEN");
    EXPECT_FALSE(vcard_env_names("VCARD_FAIL_OPEN", "dmix"));
}

} // namespace
