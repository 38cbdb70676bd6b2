// Starts a real snmpd master agent on loopback, the built tandril-snmp-agent
// as its AgentX subagent and a scripted call application, and checks the
// objects through snmpget/snmpset and the datagrams the application gets.

#include "CFakeCallApp.h"
#include "SnmpTestEnv.h"

#include <gtest/gtest.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

using namespace snmptest;

namespace {

constexpr int kSysId = 155;

std::string Padded(const std::string& text, std::size_t size) {
  std::string bytes = text;
  bytes.resize(size, '\0');
  return bytes;
}

bool ExitedCleanly(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

}  // namespace

class AgentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("MIBS", "", 1);  // numeric OIDs only; no missing-MIB warnings
    s_master = new MasterAgent();
    s_master->Start();
  }
  static void TearDownTestSuite() {
    delete s_master;
    s_master = nullptr;
  }

  void StartAgent(const std::string& sys_id_text = "192.168.1.155", uint16_t app_port = 0) {
    if (m_app == nullptr && app_port == 0) {
      m_app = std::make_unique<CFakeCallApp>();
      m_app->SetReply("{}");  // answered cycles take one second, not two
    }
    AgentProcess::Options options;
    options.sysIdText = sys_id_text;
    options.appPort = app_port != 0 ? app_port : m_app->Port();
    m_agent = std::make_unique<AgentProcess>(*s_master, options);
    ASSERT_TRUE(m_agent->WaitServed(HostNameOid())) << m_agent->Log();
  }

  // Every agent must stop on SIGTERM with status 0 (also the sanitizer verdict).
  void StopAgent() {
    if (m_agent != nullptr) {
      const int status = m_agent->Stop();
      EXPECT_TRUE(ExitedCleanly(status)) << "status " << status << "\n" << m_agent->Log();
      m_agent.reset();
    }
  }

  void TearDown() override { StopAgent(); }

  void Reply(const std::string& json) {
    m_app->SetReply(json);
    ASSERT_TRUE(m_app->WaitReplyHandled());
  }

  std::size_t CountParseMessages() {
    const std::string log = m_agent->Log();
    std::size_t count = 0;
    for (std::size_t at = log.find("cannot parse JSON"); at != std::string::npos;
         at = log.find("cannot parse JSON", at + 1)) {
      ++count;
    }
    return count;
  }

  long Int(int index) { return m_client.GetInt(TandrilOid(kSysId, index)); }
  std::string Bytes(int index) { return m_client.GetBytes(TandrilOid(kSysId, index)); }

  static MasterAgent* s_master;
  SnmpClient m_client{*s_master};
  std::unique_ptr<CFakeCallApp> m_app;
  std::unique_ptr<AgentProcess> m_agent;
};

MasterAgent* AgentTest::s_master = nullptr;

enum Object { kMode = 1, kRegStatus, kExpires, kPeerId, kCallState, kDialId, kRemoteCmd };

TEST_F(AgentTest, ReplyMembersAreMappedToTheObjects) {
  StartAgent();
  Reply(R"({"peer_id":"abcde","dial_id":"77"})");
  Reply(R"({"mode":"ENCODER","hasRegistered":"Yes","expires":3600,"call_state":"ringing","extra":[1,2]})");
  EXPECT_EQ(Int(kMode), 2);
  EXPECT_EQ(Int(kRegStatus), 1);
  EXPECT_EQ(Int(kExpires), 3600);
  EXPECT_EQ(Int(kCallState), 2);
  // Untouched texts keep their values, served as the whole buffer.
  EXPECT_EQ(Bytes(kPeerId), Padded("abcde", 200));
  EXPECT_EQ(Bytes(kDialId), Padded("77", 255));

  // Comparisons are exact; an integer inside a string counts as an integer.
  Reply(R"({"mode":"decoder","hasRegistered":"yes","expires":"-5","call_state":"incoming"})");
  EXPECT_EQ(Int(kMode), 0);
  EXPECT_EQ(Int(kRegStatus), 0);
  EXPECT_EQ(Int(kExpires), -5);
  EXPECT_EQ(Int(kCallState), 3);
  Reply(R"({"mode":"DECODER","call_state":"Active"})");
  EXPECT_EQ(Int(kMode), 3);
  EXPECT_EQ(Int(kCallState), 4);
  Reply(R"({"mode":"FDX","call_state":"active"})");
  EXPECT_EQ(Int(kMode), 1);
  EXPECT_EQ(Int(kCallState), 1);
  EXPECT_EQ(m_agent->Log().find("cannot parse"), std::string::npos) << m_agent->Log();
}

// An answer that comes after the agent stopped waiting, or a second answer to
// one request, must not make every later cycle read the previous cycle's
// answer: the objects catch up with the newest answer sent.
TEST_F(AgentTest, LateAndExtraAnswersLeaveNoLag) {
  using namespace std::chrono_literals;
  StartAgent();
  m_app->SetNumberedReplies();
  ASSERT_TRUE(m_app->WaitReplyHandled());
  const auto caught_up = [this] {
    for (int i = 0; i < 25; ++i) {
      // No answer may be sent while the object is read, or the reading proves nothing.
      const long before = m_app->LastNumberSent();
      const long value = Int(kExpires);
      if (value == before && m_app->LastNumberSent() == before) {
        return true;
      }
      std::this_thread::sleep_for(100ms);
    }
    return false;
  };
  EXPECT_TRUE(caught_up());
  for (int late : {1, 2}) {
    const std::size_t since = m_app->StatusRequests();
    m_app->AnswerLate(late, 1500ms);
    ASSERT_TRUE(m_app->WaitForStatusRequests(since, static_cast<std::size_t>(late) + 2));
    EXPECT_TRUE(caught_up()) << late << " late answer(s)\n" << m_agent->Log();
  }
  const std::size_t since = m_app->StatusRequests();
  m_app->AnswerTwice();
  ASSERT_TRUE(m_app->WaitForStatusRequests(since, 2));
  EXPECT_TRUE(caught_up()) << "an answer sent twice\n" << m_agent->Log();
}

TEST_F(AgentTest, BadExpiresStopsTheWalkAtThatMember) {
  StartAgent();
  Reply(R"({"call_state":"ringing"})");
  Reply(R"({"mode":"FDX","expires":"soon","call_state":"active"})");
  EXPECT_EQ(Int(kMode), 1);       // handled before the failing member
  EXPECT_EQ(Int(kCallState), 2);  // after it: not handled
  EXPECT_NE(m_agent->Log().find("tandril-snmp-agent cannot parse JSON info from application\n"), std::string::npos);
  Reply(R"({"expires":12.5,"mode":"ENCODER"})");
  EXPECT_EQ(Int(kExpires), 0);
  EXPECT_EQ(Int(kMode), 1);
}

TEST_F(AgentTest, TextsAreCutToTheirBuffersAndKeptVerbatim) {
  StartAgent();
  const std::string long_peer(300, 'p');
  const std::string long_dial(300, 'd');
  Reply(R"({"peer_id":")" + long_peer + R"(","dial_id":")" + long_dial + R"("})");
  EXPECT_EQ(Bytes(kPeerId), Padded(long_peer.substr(0, 199), 200));
  EXPECT_EQ(Bytes(kDialId), Padded(long_dial.substr(0, 254), 255));
  // A long text then a short one: no rest of the old text behind the new one.
  Reply(R"({"peer_id":"sip:100%25%s%n@host","dial_id":"x"})");
  EXPECT_EQ(Bytes(kPeerId), Padded("sip:100%25%s%n@host", 200));
  EXPECT_EQ(Bytes(kDialId), Padded("x", 255));
}

TEST_F(AgentTest, RemoteCommandsAreSentOnceAndReset) {
  StartAgent();
  Reply(R"({"peer_id":"sip:alice@example.org"})");

  ASSERT_EQ(m_client.Set(TandrilOid(kSysId, kRemoteCmd), "i", "1").exit_code, 0);
  EXPECT_EQ(Int(kRemoteCmd), 1);  // pending until the next cycle
  ASSERT_TRUE(m_app->WaitForStatusRequests(m_app->StatusRequests(), 2));
  EXPECT_EQ(Int(kRemoteCmd), 0);
  EXPECT_EQ(m_app->Commands(), std::vector<std::string>{"dial=sip:alice@example.org"});

  // Zero and negative values send nothing and stay.
  ASSERT_EQ(m_client.Set(TandrilOid(kSysId, kRemoteCmd), "i", "-1").exit_code, 0);
  ASSERT_TRUE(m_app->WaitForStatusRequests(m_app->StatusRequests(), 2));
  EXPECT_EQ(Int(kRemoteCmd), -1);
  EXPECT_EQ(m_app->Commands().size(), 1u);

  for (const char* command : {"3", "2", "9"}) {
    ASSERT_EQ(m_client.Set(TandrilOid(kSysId, kRemoteCmd), "i", command).exit_code, 0);
    ASSERT_TRUE(m_app->WaitForStatusRequests(m_app->StatusRequests(), 2));
    EXPECT_EQ(Int(kRemoteCmd), 0);
  }
  EXPECT_EQ(m_app->Commands(),
            (std::vector<std::string>{"dial=sip:alice@example.org", "hangup=1", "answer=1", ""}));

  // Read-only objects and wrong types are refused by the agent.
  const ToolResult read_only = m_client.Set(TandrilOid(kSysId, kMode), "i", "3");
  EXPECT_NE(read_only.exit_code, 0);
  EXPECT_NE(read_only.output.find("notWritable"), std::string::npos) << read_only.output;
  EXPECT_NE(m_client.Set(HostNameOid(), "s", "other").exit_code, 0);
  const ToolResult wrong_type = m_client.Set(TandrilOid(kSysId, kRemoteCmd), "s", "1");
  EXPECT_NE(wrong_type.exit_code, 0);
  EXPECT_NE(wrong_type.output.find("wrongType"), std::string::npos) << wrong_type.output;
  EXPECT_EQ(Int(kMode), 0);
}

TEST_F(AgentTest, SysIdChoosesTheSubtree) {
  StartAgent("10.20.30.155");
  EXPECT_EQ(Int(kCallState), 0);
  EXPECT_NE(m_client.Get(TandrilOid(150, kCallState)).output.find("No Such Object"), std::string::npos);
  StopAgent();

  StartAgent("10.20.30.200");
  EXPECT_TRUE(m_agent->WaitServed(TandrilOid(200, kCallState))) << m_agent->Log();
  EXPECT_NE(m_client.Get(TandrilOid(155, kCallState)).output.find("No Such Object"), std::string::npos);
  StopAgent();

  StartAgent("");  // no SYS-ID file
  EXPECT_TRUE(m_agent->WaitServed(TandrilOid(155, kCallState)));
  EXPECT_NE(m_agent->Log().find("tandril-snmp-agent Missing SYS-ID, assuming default SYS-ID: 155"),
            std::string::npos);
}

TEST_F(AgentTest, HostNameFollowsTheNetworkFile) {
  StartAgent();
  EXPECT_EQ(m_client.GetBytes(HostNameOid()), "");  // no file yet

  const auto host_name_after = [this](const std::string& file_text) {
    WriteFile(m_agent->NetworkFile(), file_text);
    EXPECT_TRUE(m_app->WaitForStatusRequests(m_app->StatusRequests(), 2));
    return m_client.GetBytes(HostNameOid());
  };
  EXPECT_EQ(host_name_after("config system\n\toption dhcpname 'studio-7'\n\toption x 'y'\n"), "studio-7");
  EXPECT_EQ(host_name_after("option dhcpname ''\n"), "");
  EXPECT_EQ(host_name_after("option dhcpname 'open-ended\nnext 'line'\n"), "open-ended");
  EXPECT_EQ(host_name_after("option hostname 'other'\n"), "");
  EXPECT_EQ(host_name_after("dhcpname '" + std::string(80, 'h') + "'\n"), std::string(63, 'h'));
  EXPECT_EQ(host_name_after("dhcpname studio\n"), "");
}

TEST_F(AgentTest, FaultyRepliesLeaveTheValuesAlone) {
  StartAgent();
  Reply(R"({"mode":"ENCODER","peer_id":"kept"})");

  const auto expect_unchanged_after = [this](const std::string& reply) {
    const std::size_t messages_before = CountParseMessages();
    Reply(reply);
    EXPECT_EQ(Int(kMode), 2);
    EXPECT_EQ(Bytes(kPeerId), Padded("kept", 200));
    EXPECT_GT(CountParseMessages(), messages_before) << "reply of " << reply.size() << " bytes";
  };
  expect_unchanged_after(R"({"mode":"FDX")");               // malformed
  expect_unchanged_after(std::string());                    // empty datagram
  expect_unchanged_after(std::string(1, '\0') + R"({"mode":"FDX"})");  // nothing before the zero byte
  expect_unchanged_after(R"({"peer_id":")" + std::string(65000, 'z') + R"("})");  // cut at 1024 bytes

  // A reply of exactly 1024 bytes without a zero byte is complete and is read.
  std::string full = R"({"mode":"FDX","peer_id":"edge"})";
  full.insert(full.size() - 1, std::string(1024 - full.size(), ' '));
  ASSERT_EQ(full.size(), 1024u);
  Reply(full);
  EXPECT_EQ(Int(kMode), 1);
  EXPECT_EQ(Bytes(kPeerId), Padded("edge", 200));
}

TEST_F(AgentTest, MissingOrSilentApplicationKeepsTheAgentServing) {
  // Nobody listens: refused datagrams are silent, even with a command pending.
  const uint16_t port = FreeUdpPort();
  StartAgent("10.0.0.155", port);
  ASSERT_EQ(m_client.Set(TandrilOid(kSysId, kRemoteCmd), "i", "3").exit_code, 0);
  // Nothing to wait on while nobody listens: give the agent a few cycles.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(Int(kRemoteCmd), 0);  // taken and sent into the void
  EXPECT_EQ(m_agent->Log().find("UDP socket"), std::string::npos) << m_agent->Log();
  EXPECT_EQ(m_agent->Log().find("timeout"), std::string::npos) << m_agent->Log();

  m_app = std::make_unique<CFakeCallApp>(port);  // listening, but not answering
  m_app->SetSilent(true);
  ASSERT_TRUE(m_app->WaitForStatusRequests(0, 2));

  // Listening but never answering: one time-out message per cycle.
  EXPECT_NE(m_agent->Log().find("tandril-snmp-agent timeout waiting for application\n"), std::string::npos)
      << m_agent->Log();

  // The link still works once the application answers.
  m_app->SetSilent(false);
  Reply(R"({"call_state":"incoming"})");
  EXPECT_EQ(Int(kCallState), 3);
}

TEST_F(AgentTest, ReconnectsToARestartedMasterAndStopsOnSignal) {
  StartAgent();
  Reply(R"({"mode":"DECODER"})");
  s_master->Stop();
  s_master->Start();
  ASSERT_TRUE(m_agent->WaitServed(TandrilOid(kSysId, kMode))) << m_agent->Log();
  EXPECT_EQ(Int(kMode), 3);
  EXPECT_NE(m_agent->Log().find("tandril-snmp-agent is up and running.\n"), std::string::npos);

  m_agent->Signal(SIGINT);
  EXPECT_TRUE(ExitedCleanly(m_agent->Wait())) << m_agent->Log();
  m_agent.reset();
}

// Thousands of gets and sets through the net-snmp library while the exchange
// thread keeps replacing the texts: every answer is one whole text.
TEST_F(AgentTest, RequestStormNeverSeesATornText) {
  StartAgent();
  const std::string peer_a(199, 'A');
  const std::string peer_b(120, 'B');
  m_app->SetReplies({R"({"peer_id":")" + peer_a + R"(","dial_id":")" + std::string(254, 'a') + R"("})",
                     R"({"peer_id":")" + peer_b + R"(","dial_id":")" + std::string(100, 'b') + R"("})"});

  netsnmp_session config;
  snmp_sess_init(&config);
  config.version = SNMP_VERSION_2c;
  const std::string peer = s_master->Address();
  config.peername = const_cast<char*>(peer.c_str());
  config.community = reinterpret_cast<u_char*>(const_cast<char*>("public"));
  config.community_len = 6;
  std::unique_ptr<netsnmp_session, int (*)(netsnmp_session*)> session(snmp_open(&config), snmp_close);
  ASSERT_NE(session, nullptr);

  oid peer_oid[MAX_OID_LEN];
  size_t peer_oid_len = MAX_OID_LEN;
  ASSERT_NE(read_objid(TandrilOid(kSysId, kPeerId).c_str(), peer_oid, &peer_oid_len), 0);
  oid cmd_oid[MAX_OID_LEN];
  size_t cmd_oid_len = MAX_OID_LEN;
  ASSERT_NE(read_objid(TandrilOid(kSysId, kRemoteCmd).c_str(), cmd_oid, &cmd_oid_len), 0);

  const std::size_t requests_before = m_app->StatusRequests();
  int whole_a = 0;
  int whole_b = 0;
  for (int i = 0; i < 3000 || m_app->StatusRequests() < requests_before + 3; ++i) {
    netsnmp_pdu* request = nullptr;
    if (i % 10 == 9) {
      request = snmp_pdu_create(SNMP_MSG_SET);
      const long value = -1;  // sends nothing
      snmp_pdu_add_variable(request, cmd_oid, cmd_oid_len, ASN_INTEGER, &value, sizeof value);
    } else {
      request = snmp_pdu_create(SNMP_MSG_GET);
      snmp_add_null_var(request, peer_oid, peer_oid_len);
    }
    netsnmp_pdu* response = nullptr;
    ASSERT_EQ(snmp_synch_response(session.get(), request, &response), STAT_SUCCESS);
    std::unique_ptr<netsnmp_pdu, void (*)(netsnmp_pdu*)> owned(response, snmp_free_pdu);
    ASSERT_EQ(response->errstat, SNMP_ERR_NOERROR);
    if (i % 10 == 9) {
      continue;
    }
    const netsnmp_variable_list* value = response->variables;
    ASSERT_EQ(value->type, ASN_OCTET_STR);
    const std::string bytes(reinterpret_cast<const char*>(value->val.string), value->val_len);
    if (bytes == Padded(peer_a, 200)) {
      ++whole_a;
    } else if (bytes == Padded(peer_b, 200) || bytes == std::string(200, '\0')) {
      ++whole_b;
    } else {
      FAIL() << "torn text after " << i << " requests: " << bytes;
    }
  }
  EXPECT_GT(whole_a, 0);
  EXPECT_GT(whole_b, 0);
  EXPECT_TRUE(m_app->Commands().empty());
}
