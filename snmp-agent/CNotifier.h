#pragma once

#include "snmp-agent/AgentSettings.h"
#include "snmp-agent/CPlayerWatch.h"

#include <array>
#include <cstdint>

class CTandrilValues;
namespace players {
struct PlayerView;
}

// SNMPv2 notifications of the agent (tandrilNotifications, 1.3.6.1.4.1.E.4.0.n), sent
// through the master agent over AgentX, which delivers them to the sinks of its own
// configuration. Once a second, on net-snmp's alarm, it reads the players' files and the
// link state that the exchange thread keeps, and sends what changed. Everything runs on
// the agent's main thread, the one that runs net-snmp.
class CNotifier final {
 public:
  // Notification numbers below tandrilNotifications.0.
  enum Notification : unsigned {
    kPlayerStateChanged = 1,
    kPlayerSourceSwitched = 2,
    kPlayerStreamTrouble = 3,
    kPlayerNotRunning = 4,
    kCallApplicationLinkChanged = 5,
  };

  // Registers the configuration token "notifications yes|no" of tandril-snmp-agent.conf,
  // which sets settings.notifications unless the command line did. Before init_snmp;
  // settings must outlive the agent.
  static void RegisterConfig(AgentSettings& settings);

  // settings and values: not owned, must outlive the notifier.
  CNotifier(const AgentSettings& settings, CTandrilValues& values);
  ~CNotifier();
  CNotifier(const CNotifier&) = delete;
  CNotifier& operator=(const CNotifier&) = delete;

  // Takes the first readings (established: nothing sent) and starts the one-second
  // alarm, unless notifications are off. After init_snmp. Returns 0, or -1 when the
  // alarm cannot be registered (logged; the agent serves on without notifications).
  int Start();
  // Ends the alarm. Before snmp_shutdown. Idempotent.
  void Stop();

  // One cycle: read, compare, send.
  void Tick();

 private:
  static void OnAlarm(unsigned int registration, void* notifier);
  void TickPlayer(int channel, const std::string& path, int64_t now_ms, int64_t now_s);
  void TickLink();
  void SendPlayer(Notification notification, int channel, const players::PlayerView& view);
  void SendLink(long status);

  const AgentSettings& m_settings;
  CTandrilValues& m_values;  // not owned
  std::array<CPlayerWatch, AgentSettings::kChannels> m_players;
  long m_link_status;          // the last link state reported (or found at start)
  unsigned int m_alarm = 0;  // net-snmp's alarm registration, 0: none
};
