// tandril-snmp-agent: AgentX subagent that serves the call application's
// state and the players'. The main thread runs net-snmp (requests and, once a
// second, the notifications); the exchange thread polls the application and
// keeps the object values current.

#include "snmp-agent/AgentSettings.h"
#include "snmp-agent/CAgentCommandLine.h"
#include "snmp-agent/CAppLink.h"
#include "snmp-agent/CNotifier.h"
#include "snmp-agent/CStopSignal.h"
#include "snmp-agent/CSysId.h"
#include "snmp-agent/CTandrilValues.h"
#include "snmp-agent/agent.h"
#include "snmp-agent/netHostName.h"
#include "snmp-agent/playerTable.h"
#include "snmp-agent/tandril.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <signal.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// Seconds between AgentX pings when the configuration sets none, so that
// the agent registers again after the master agent was restarted.
constexpr int kDefaultPingInterval = 15;

bool g_log_stderr = false;  // set once before logging starts

// Receiver of net-snmp's call-back logging: the system log, and stderr when
// TANDRIL_LOG_STDERR=1.
int forward_log_message(int /*major*/, int /*minor*/, void* server_arg, void* /*client_arg*/) {
  const auto* message = static_cast<const snmp_log_message*>(server_arg);
  syslog(message->priority, "%s", message->msg);
  if (g_log_stderr) {
    std::fputs(message->msg, stderr);
  }
  return 0;
}

void EnableLogging() {
  const char* mirror = std::getenv("TANDRIL_LOG_STDERR");
  g_log_stderr = mirror != nullptr && std::strcmp(mirror, "1") == 0;
  openlog(kAgentName, LOG_PID, LOG_DAEMON);
  snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, forward_log_message, nullptr);
  snmp_enable_calllog();
}

void EnsurePingInterval() {
  if (netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL) <= 0) {
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                       kDefaultPingInterval);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  AgentSettings settings = AgentSettings::FromEnvironment();
  CAgentCommandLine command_line;
  if (!command_line.Parse(argc, argv, settings)) {
    return command_line.ExitStatus();
  }
  sys_id = CSysId::Read(settings.sysIdFile);
  // A master agent that goes away while a reply is written must cost the session (net-snmp
  // reconnects), not the process: a death by SIGPIPE counts as a clean end to a service
  // manager, which then does not restart the agent.
  ::signal(SIGPIPE, SIG_IGN);

  EnableLogging();
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  init_agent(kAgentName);
  init_tandril();
  init_netHostName();
  init_playerTable(settings);
  CNotifier::RegisterConfig(settings);
  init_snmp(kAgentName);
  EnsurePingInterval();

  keep_running.store(1);
  CStopSignal stop_signal;
  CAppLink link(settings, CTandrilValues::Instance());
  if (stop_signal.Install() != 0 || link.Open() != 0) {
    snmp_shutdown(kAgentName);
    return EXIT_FAILURE;
  }
  // The exchange thread inherits the blocked stop signals, so they always
  // interrupt the main loop.
  CStopSignal::Block();
  std::thread exchange(startup_udp_thread, std::ref(link));
  CStopSignal::Unblock();

  // On this thread: net-snmp, and so every notification, is the main loop's alone.
  CNotifier notifier(settings, CTandrilValues::Instance());
  notifier.Start();

  snmp_log(LOG_INFO, "%s is up and running.\n", kAgentName);
  // A service manager (Type=notify) learns here that the agent serves; without a
  // notification socket these calls do nothing.
  sd_notify(0, "READY=1");
  while (keep_running.load() != 0) {
    agent_check_and_process(1);
  }

  sd_notify(0, "STOPPING=1");
  // The exchange thread logs through net-snmp, so it ends before net-snmp does.
  link.RequestStop();
  exchange.join();
  notifier.Stop();
  snmp_shutdown(kAgentName);
  return 0;
}
