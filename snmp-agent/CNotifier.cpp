#include "snmp-agent/CNotifier.h"

#include "snmp-agent/CNotificationVars.h"
#include "snmp-agent/CTandrilValues.h"
#include "snmp-agent/PlayerFiles.h"
#include "snmp-agent/agent.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <cstring>
#include <ctime>
#include <string>

namespace {

AgentSettings* g_settings = nullptr;  // for the configuration token; main thread

// Columns of playerEntry that the notifications carry.
enum Column : oid {
  kState = 2,
  kSongName = 3,
  kPlaylist = 4,
  kLastError = 5,
  kUnderruns = 9,
  kReconnects = 13,
  kReason = 15,
  kSource = 16,
};

const char* NameOf(CNotifier::Notification notification) {
  switch (notification) {
    case CNotifier::kPlayerStateChanged: return "playerStateChanged";
    case CNotifier::kPlayerSourceSwitched: return "playerSourceSwitched";
    case CNotifier::kPlayerStreamTrouble: return "playerStreamTrouble";
    case CNotifier::kPlayerNotRunning: return "playerNotRunning";
    case CNotifier::kCallApplicationLinkChanged: return "callApplicationLinkChanged";
  }
  return "?";
}

// "notifications yes|no".
void parse_notifications(const char* /*token*/, char* line) {
  std::string value = line;
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\n')) {
    value.pop_back();
  }
  if (value != "yes" && value != "no") {
    config_perror("notifications takes yes or no");
    return;
  }
  if (!g_settings->notificationsGiven) g_settings->notifications = value == "yes";
}

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// One cell of the players' table: playerEntry.column.channel.
struct PlayerCell {
  PlayerCell(Column column, int channel)
      : name{1, 3, 6, 1, 4, 1, kEnterpriseNumber, 2, 1, 1, column, static_cast<oid>(channel)} {}
  oid name[12];
};

}  // namespace

void CNotifier::RegisterConfig(AgentSettings& settings) {
  g_settings = &settings;
  register_app_config_handler("notifications", parse_notifications, nullptr, "yes|no");
}

CNotifier::CNotifier(const AgentSettings& settings, CTandrilValues& values)
    : m_settings(settings), m_values(values), m_link_status(CTandrilValues::kLinkUnknown) {}

CNotifier::~CNotifier() { Stop(); }

int CNotifier::Start() {
  if (!m_settings.notifications) {
    snmp_log(LOG_INFO, "%s sends no notifications (notifications no)\n", kAgentName);
    return 0;
  }
  Tick();  // what is there now is established
  m_alarm = snmp_alarm_register(1, SA_REPEAT, &CNotifier::OnAlarm, this);
  if (m_alarm == 0) {
    snmp_log(LOG_ERR, "%s cannot start the notifications' alarm\n", kAgentName);
    return -1;
  }
  return 0;
}

void CNotifier::Stop() {
  if (m_alarm != 0) {
    snmp_alarm_unregister(m_alarm);
    m_alarm = 0;
  }
}

void CNotifier::OnAlarm(unsigned int /*registration*/, void* notifier) {
  static_cast<CNotifier*>(notifier)->Tick();
}

void CNotifier::Tick() {
  const int64_t now_ms = MonotonicMs();
  const int64_t now_s = static_cast<int64_t>(std::time(nullptr));
  for (int channel = 1; channel <= AgentSettings::kChannels; ++channel) {
    TickPlayer(channel, m_settings.PlayerStatusFile(channel), now_ms, now_s);
  }
  TickLink();
}

void CNotifier::TickPlayer(int channel, const std::string& path, int64_t now_ms, int64_t now_s) {
  // No file to read on that channel: no player runs there (one that starts later is news).
  const players::PlayerView view =
      path.empty() ? players::PlayerView() : players::ReadPlayer(path, now_s, m_settings.playerStaleSeconds);
  const unsigned events = m_players[static_cast<std::size_t>(channel - 1)].Update(view, now_ms);
  if (events & CPlayerWatch::kNotRunning) SendPlayer(kPlayerNotRunning, channel, view);
  if (events & CPlayerWatch::kStateChanged) SendPlayer(kPlayerStateChanged, channel, view);
  if (events & CPlayerWatch::kSourceSwitched) SendPlayer(kPlayerSourceSwitched, channel, view);
  if (events & CPlayerWatch::kStreamTrouble) SendPlayer(kPlayerStreamTrouble, channel, view);
}

void CNotifier::TickLink() {
  const long status = m_values.Load(&CTandrilValues::appLinkStatus);
  if (status == CTandrilValues::kLinkUnknown || status == m_link_status) return;
  // The first state the exchange finds is established, not a change.
  const bool first = m_link_status == CTandrilValues::kLinkUnknown;
  m_link_status = status;
  if (!first) SendLink(status);
}

void CNotifier::SendPlayer(Notification notification, int channel, const players::PlayerView& view) {
  const oid name[] = {1, 3, 6, 1, 4, 1, kEnterpriseNumber, 4, 0, notification};
  CNotificationVars vars(name, OID_LENGTH(name));
  const auto add_integer = [&](Column column, long value) {
    const PlayerCell cell(column, channel);
    vars.AddInteger(cell.name, OID_LENGTH(cell.name), value);
  };
  const auto add_text = [&](Column column, const std::string& text) {
    const PlayerCell cell(column, channel);
    vars.AddText(cell.name, OID_LENGTH(cell.name), text);
  };
  const auto add_gauge = [&](Column column, uint32_t value) {
    const PlayerCell cell(column, channel);
    vars.AddGauge(cell.name, OID_LENGTH(cell.name), value);
  };
  switch (notification) {
    case kPlayerStateChanged:
      add_integer(kState, view.state);
      add_text(kSongName, view.song);
      add_text(kPlaylist, view.playlist);
      break;
    case kPlayerNotRunning:
      add_integer(kState, view.state);
      break;
    case kPlayerStreamTrouble:
      add_integer(kLastError, view.last_error);
      add_text(kReason, view.reason);
      add_gauge(kUnderruns, view.health.underruns);
      add_gauge(kReconnects, view.health.reconnects);
      break;
    case kPlayerSourceSwitched:
      // As the players' table serves it: no "source" member is the main source.
      add_integer(kSource, view.source == players::kSourceNone ? players::kSourceMain : view.source);
      add_text(kReason, view.reason);
      break;
    case kCallApplicationLinkChanged:
      break;
  }
  if (vars.Send()) {
    snmp_log(LOG_INFO, "%s notification %s, channel %d (state %ld)\n", kAgentName, NameOf(notification),
             channel, view.state);
  }
}

void CNotifier::SendLink(long status) {
  const oid name[] = {1, 3, 6, 1, 4, 1, kEnterpriseNumber, 4, 0, kCallApplicationLinkChanged};
  const oid link[] = {1, 3, 6, 1, 4, 1, kEnterpriseNumber, 1, static_cast<oid>(sys_id), 8, 0};
  CNotificationVars vars(name, OID_LENGTH(name));
  vars.AddInteger(link, OID_LENGTH(link), status);
  if (vars.Send()) {
    snmp_log(LOG_INFO, "%s notification %s: the call application %s\n", kAgentName,
             NameOf(kCallApplicationLinkChanged),
             status == CTandrilValues::kLinkAnswering ? "answers" : "does not answer");
  }
}
