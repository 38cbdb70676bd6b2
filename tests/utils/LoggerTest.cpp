#include <gtest/gtest.h>
#include <syslog.h>

#include <mutex>
#include <vector>

#include "tests/support/log/LogCapture.h"
#include "utils/APlayerInfoAdapter.h"
#include "utils/CLogger.h"

namespace {

struct Captured {
    int priority;
    std::string line;
};

class SinkRecorder final {
public:
    SinkRecorder() {
        utils::logger.set_sink([this](int priority, const std::string& line) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_lines.push_back({priority, line});
        });
    }
    ~SinkRecorder() { utils::logger.set_sink(nullptr); }
    std::vector<Captured> lines() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_lines;
    }

private:
    std::mutex m_lock;
    std::vector<Captured> m_lines;
};

}  // namespace

TEST(CLogger, MaskFiltersLevelsAndKeepsTextAsFormatted) {
    const int saved = utils::log_level_mask;
    SinkRecorder sink;
    utils::log_level_mask = 7;
    utils::logger.debug("%s debug\n", "P:");
    utils::logger.info("%s info\n", "P:");
    utils::logger.notice("%s notice\n", "P:");
    utils::logger.warning("%s warning %d\n", "P:", 4);
    utils::logger.error("%s ERROR :X::Y(): failed\t%s\n", "P:", "why");

    utils::log_level_mask = utils::LOG_MASK_DEBUG | utils::LOG_MASK_NOTICE;
    utils::logger.error("dropped");
    utils::logger.debug("kept debug");
    utils::logger.notice("kept notice");
    utils::log_level_mask = saved;

    const auto lines = sink.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].priority, LOG_WARNING);
    EXPECT_EQ(lines[0].line, "P: warning 4\n");
    EXPECT_EQ(lines[1].priority, LOG_ERR);
    EXPECT_EQ(lines[1].line, "P: ERROR :X::Y(): failed\twhy\n");
    EXPECT_EQ(lines[2].priority, LOG_DEBUG);
    EXPECT_EQ(lines[3].priority, LOG_NOTICE);
}

TEST(CLogger, InitUsesLastPathComponentAndAnnouncesOnce) {
    SinkRecorder sink;
    utils::log_level_mask = 7;  // the announcement ignores the mask
    EXPECT_EQ(utils::logger.init("/usr/local/bin/quillon"), 0);
    EXPECT_EQ(utils::logger.ident(), "quillon");
    EXPECT_EQ(utils::logger.init("plainname"), 0);
    EXPECT_EQ(utils::logger.ident(), "plainname");
    EXPECT_EQ(utils::logger.init("trailing/"), 0);
    EXPECT_EQ(utils::logger.ident(), "");

    int announcements = 0;
    for (const auto& c : sink.lines())
        if (c.line == "Initializing Logging service") {
            ++announcements;
            EXPECT_EQ(c.priority, LOG_INFO);
        }
    EXPECT_EQ(announcements, 1);
}

TEST(APlayerInfoAdapter, PrefixReplaceAndAppend) {
    APlayerInfoAdapter adapter;
    EXPECT_EQ(adapter.get_player_id(), -1);
    EXPECT_STREQ(adapter.get_player_prefix(), "");
    adapter.set_player_prefix("PLAYBACK :");
    adapter.append_player_prefix(" FADER:");
    EXPECT_STREQ(adapter.get_player_prefix(), "PLAYBACK : FADER:");
    adapter.set_player_prefix(nullptr);
    EXPECT_STREQ(adapter.get_player_prefix(), "");
}
