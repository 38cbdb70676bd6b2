// The agent's parsers: SYS-ID words and the application's JSON status reply,
// with the messages they log.

#include "snmp-agent/CStatusReplyParser.h"
#include "snmp-agent/CSysId.h"
#include "snmp-agent/CTandrilValues.h"

#include <gtest/gtest.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <string>
#include <vector>

namespace {

// Collects net-snmp's log messages for the duration of a test.
class LogCapture final {
 public:
  LogCapture() {
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &LogCapture::Collect, this);
    snmp_enable_calllog();
  }
  ~LogCapture() {
    snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &LogCapture::Collect, this, 1);
    snmp_disable_calllog();
  }
  std::vector<std::string> messages;

 private:
  static int Collect(int, int, void* server_arg, void* client_arg) {
    static_cast<LogCapture*>(client_arg)->messages.emplace_back(
        static_cast<const snmp_log_message*>(server_arg)->msg);
    return 0;
  }
};

}  // namespace

TEST(CSysId, LastDottedPartInRangeIsTheId) {
  LogCapture log;
  EXPECT_EQ(CSysId::FromWord("10.1.2.200"), 200);
  EXPECT_EQ(CSysId::FromWord("200"), 200);
  EXPECT_EQ(CSysId::FromWord("10.0.0.150"), 150);
  EXPECT_EQ(CSysId::FromWord("10.0.0.255"), 255);
  EXPECT_EQ(CSysId::FromWord("10.0.0.180abc"), 180);
  EXPECT_EQ(CSysId::FromWord("a.+170"), 170);
  EXPECT_TRUE(log.messages.empty());
}

TEST(CSysId, UnusableIdsFallBackToTheDefaultWithTheirMessage) {
  LogCapture log;
  EXPECT_EQ(CSysId::FromWord("10.0.0.149"), 155);
  EXPECT_EQ(CSysId::FromWord("10.0.0.256"), 155);
  EXPECT_EQ(CSysId::FromWord("1.99999999999999999999"), 155);
  EXPECT_EQ(CSysId::FromWord("10.0.0."), 155);
  EXPECT_EQ(CSysId::FromWord(".200"), 155);
  EXPECT_EQ(CSysId::FromWord(""), 155);
  EXPECT_EQ(CSysId::FromWord("10.0.0.x200"), 155);
  EXPECT_EQ(CSysId::Read("/nonexistent/SYS-ID"), 155);
  const std::vector<std::string> expected = {
      "tandril-snmp-agent Bogus SYS-ID='149' detected, assuming default SYS-ID",
      "tandril-snmp-agent Bogus SYS-ID='256' detected, assuming default SYS-ID",
      "tandril-snmp-agent Bogus SYS-ID='2147483647' detected, assuming default SYS-ID",
      "tandril-snmp-agent Malformatted SYS-ID '10.0.0.', assuming default SYS-ID:'155'",
      "tandril-snmp-agent Malformatted SYS-ID '.200', assuming default SYS-ID:'155'",
      "tandril-snmp-agent Malformatted SYS-ID '', assuming default SYS-ID:'155'",
      "tandril-snmp-agent Malformatted SYS-ID '10.0.0.x200', assuming default SYS-ID:'155'",
      "tandril-snmp-agent Missing SYS-ID, assuming default SYS-ID: 155",
  };
  EXPECT_EQ(log.messages, expected);
}

TEST(CStatusReplyParser, WalksMembersInOrderUntilAFailure) {
  CTandrilValues values;
  EXPECT_EQ(CStatusReplyParser::Apply(R"({"mode":"FDX","mode":"ENCODER","expires":"77","x":{"mode":"FDX"}})", values),
            0);
  EXPECT_EQ(values.mode, 2);  // the last of repeated members wins; nested ones are not looked at
  EXPECT_EQ(values.expires, 77);
  EXPECT_EQ(CStatusReplyParser::Apply(R"({"call_state":"active","expires":" 5","call_state":"ringing"})", values),
            -1);
  EXPECT_EQ(values.callState, 1);
  EXPECT_EQ(values.expires, 77);
  for (const char* bad : {R"({"expires":true})", R"({"expires":99999999999})", R"({"expires":""})",
                          R"({"expires":[1]})", "{", "not json"}) {
    EXPECT_EQ(CStatusReplyParser::Apply(bad, values), -1) << bad;
  }
  EXPECT_EQ(values.expires, 77);
  EXPECT_EQ(CStatusReplyParser::Apply(R"({"peer_id":"a\"b\\c %d","hasRegistered":"Yes"})", values), 0);
  EXPECT_EQ(std::string(values.remotePeerId), "a\"b\\c %d");
  EXPECT_EQ(values.regStatus, 1);
}
