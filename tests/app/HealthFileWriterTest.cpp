#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "app/CHealthFileWriter.h"

using app::CHealthFileWriter;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class HealthFolder : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/health-file-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }
    std::string m_dir;
};

}  // namespace

TEST(CHealthFileWriter, LineHoldsEveryMemberInTheAgreedOrder) {
    OrvanePlayer::StreamHealth h;
    h.active = true;
    h.buffer_ms = 480;
    h.target_ms = 500;
    h.duplicated_frames = 12;
    h.dropped_frames = 3;
    OrvanePlayer::RtpSenderHealth senders;
    senders.foreign_packets = 7;
    h.reconnects = 1;
    h.stream_age_ms = 42999;  // whole seconds, cut
    EXPECT_EQ(CHealthFileWriter::HealthLine(h, senders, 1765190000),
              "{\"time\":1765190000,\"buffer_ms\":480,\"target_ms\":500,\"underruns\":0,"
              "\"duplicated_frames\":12,\"dropped_frames\":3,\"lost_packets\":0,\"foreign_packets\":7,\"reconnects\":1,"
              "\"stream_age_s\":42}\n");
    // 64-bit counters and times are printed whole on a 32-bit device too.
    h.underruns = UINT64_MAX;
    h.lost_packets = 5000000000ULL;
    const std::string line = CHealthFileWriter::HealthLine(h, senders, INT64_C(4102444800));
    EXPECT_NE(line.find("\"time\":4102444800,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"underruns\":18446744073709551615,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"lost_packets\":5000000000,"), std::string::npos) << line;
    EXPECT_EQ(line.back(), '\n');
}

TEST_F(HealthFolder, WriteReplacesTheFileAndFollowsNoLinks) {
    const std::string path = m_dir + "/status.health";
    ASSERT_TRUE(CHealthFileWriter::WriteAtomically(path, "first\n"));
    ASSERT_TRUE(CHealthFileWriter::WriteAtomically(path, "second\n"));
    EXPECT_EQ(read_file(path), "second\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // Links planted at the temporary name and at the file itself: the file they point
    // to stays as it was, and the health file becomes a plain file.
    const std::string victim = m_dir + "/victim";
    std::ofstream(victim) << "untouched\n";
    const std::string temp = path + "." + std::to_string(getpid()) + ".tmp";
    ASSERT_EQ(symlink(victim.c_str(), temp.c_str()), 0);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    ASSERT_TRUE(CHealthFileWriter::WriteAtomically(path, "third\n"));
    EXPECT_EQ(read_file(victim), "untouched\n");
    EXPECT_EQ(read_file(path), "third\n");
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_NE(access(temp.c_str(), F_OK), 0) << "temporary file left behind";

    EXPECT_FALSE(CHealthFileWriter::WriteAtomically(m_dir + "/no-such-folder/status.health", "x\n"));
}

TEST(CHealthFileWriter, BackupChainAddsSourceAndSwitchesAtTheEnd) {
    OrvanePlayer::StreamHealth h;
    h.active = true;
    h.buffer_ms = 480;
    app::SourceReport report;
    // No backups configured: the line is the stream figures alone.
    EXPECT_EQ(CHealthFileWriter::HealthLine(h, {}, 7, &report), CHealthFileWriter::HealthLine(h, {}, 7));
    report.Set(app::SourceReport::kBackup2);
    report.AddSwitch();
    report.AddSwitch();
    report.SetFailoverSeconds(5);
    EXPECT_EQ(CHealthFileWriter::HealthLine(h, {}, 7, &report),
              "{\"time\":7,\"buffer_ms\":480,\"target_ms\":0,\"underruns\":0,"
              "\"duplicated_frames\":0,\"dropped_frames\":0,\"lost_packets\":0,\"foreign_packets\":0,\"reconnects\":0,"
              "\"stream_age_s\":0,\"source\":\"backup2\",\"switches\":2,\"failover_s\":5}\n");
    report.Set(app::SourceReport::kFallback);
    const std::string line = CHealthFileWriter::HealthLine(OrvanePlayer::StreamHealth(), {}, 7, &report);
    EXPECT_NE(line.find(",\"source\":\"fallback\",\"switches\":2,\"failover_s\":5}\n"), std::string::npos) << line;
}
