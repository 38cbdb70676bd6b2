#include "snmp-agent/playerTable.h"

#include "snmp-agent/PlayerFiles.h"
#include "snmp-agent/agent.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// Columns of playerEntry (1, the channel, is the index and not served).
enum Column : int {
  kState = 2,
  kSongName,
  kPlaylist,
  kLastError,
  kHealthData,
  kBufferMs,
  kTargetMs,
  kUnderruns,
  kDuplicatedFrames,
  kDroppedFrames,
  kLostPackets,
  kReconnects,
  kStreamAge,
  kReason,
  kSource,
  kSwitches,
};

// Seconds a reading of the files serves requests (a walk sees one consistent reading).
constexpr int kCacheSeconds = 1;

AgentSettings* g_settings = nullptr;

struct PlayerEntry {
  long channel = 0;
  players::PlayerView view;
};

// "playerStatusFile CHANNEL [FILE]": no FILE takes the channel out.
void parse_player_status_file(const char* /*token*/, char* line) {
  char* rest = nullptr;
  const long channel = std::strtol(line, &rest, 10);
  if (rest == line || channel < 1 || channel > AgentSettings::kChannels) {
    config_perror("playerStatusFile takes a channel from 1 to 4 and a file");
    return;
  }
  while (*rest == ' ' || *rest == '\t') ++rest;
  std::string path = rest;
  while (!path.empty() && (path.back() == ' ' || path.back() == '\t' || path.back() == '\n')) path.pop_back();
  const auto index = static_cast<std::size_t>(channel - 1);
  if (!g_settings->playerStatusFileGiven[index]) {
    g_settings->playerStatusFiles[index] = path;
    g_settings->playerStatusFileSet[index] = true;
  }
}

void parse_player_stale_seconds(const char* /*token*/, char* line) {
  char* end = nullptr;
  const long seconds = std::strtol(line, &end, 10);
  while (*end == ' ' || *end == '\t' || *end == '\n') ++end;
  if (end == line || *end != '\0' || seconds < 1 || seconds > 86400) {
    config_perror("playerStaleSeconds takes seconds from 1 to 86400");
    return;
  }
  if (!g_settings->playerStaleSecondsGiven) g_settings->playerStaleSeconds = seconds;
}

void free_rows(netsnmp_cache* /*cache*/, void* magic) {
  auto* table = static_cast<netsnmp_tdata*>(magic);
  while (netsnmp_tdata_row* row = netsnmp_tdata_row_first(table)) {
    delete static_cast<PlayerEntry*>(netsnmp_tdata_remove_and_delete_row(table, row));
  }
}

int load_rows(netsnmp_cache* cache, void* magic) {
  auto* table = static_cast<netsnmp_tdata*>(magic);
  free_rows(cache, magic);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  for (int channel = 1; channel <= AgentSettings::kChannels; ++channel) {
    const std::string path = g_settings->PlayerStatusFile(channel);
    if (path.empty()) continue;
    netsnmp_tdata_row* row = netsnmp_tdata_create_row();
    if (row == nullptr) continue;
    auto* entry = new PlayerEntry;
    entry->channel = channel;
    entry->view = players::ReadPlayer(path, now, g_settings->playerStaleSeconds);
    row->data = entry;
    netsnmp_tdata_row_add_index(row, ASN_INTEGER, &entry->channel, sizeof entry->channel);
    netsnmp_tdata_add_row(table, row);
  }
  return 0;
}

void SetText(netsnmp_variable_list* var, const std::string& text) {
  snmp_set_var_typed_value(var, ASN_OCTET_STR, reinterpret_cast<const u_char*>(text.data()), text.size());
}

void SetGauge(netsnmp_variable_list* var, uint32_t value) {
  snmp_set_var_typed_integer(var, ASN_GAUGE, static_cast<long>(value));
}

// The value of one column; false for a column that does not exist.
bool SetColumn(netsnmp_variable_list* var, int column, const PlayerEntry& entry) {
  const players::PlayerView& view = entry.view;
  const players::Health& health = view.health;
  switch (column) {
    case kState: snmp_set_var_typed_integer(var, ASN_INTEGER, view.state); return true;
    case kSongName: SetText(var, view.song); return true;
    case kPlaylist: SetText(var, view.playlist); return true;
    case kLastError: snmp_set_var_typed_integer(var, ASN_INTEGER, view.last_error); return true;
    case kHealthData: snmp_set_var_typed_integer(var, ASN_INTEGER, health.valid ? 1 : 0); return true;
    case kBufferMs: SetGauge(var, health.buffer_ms); return true;
    case kTargetMs: SetGauge(var, health.target_ms); return true;
    case kUnderruns: SetGauge(var, health.underruns); return true;
    case kDuplicatedFrames: SetGauge(var, health.duplicated_frames); return true;
    case kDroppedFrames: SetGauge(var, health.dropped_frames); return true;
    case kLostPackets: SetGauge(var, health.lost_packets); return true;
    case kReconnects: SetGauge(var, health.reconnects); return true;
    case kStreamAge: SetGauge(var, health.stream_age_s); return true;
    case kReason: SetText(var, view.reason); return true;
    // A player without backup sources plays its main source.
    case kSource:
      snmp_set_var_typed_integer(var, ASN_INTEGER, view.source == players::kSourceNone ? players::kSourceMain : view.source);
      return true;
    case kSwitches: SetGauge(var, health.switches); return true;
    default: return false;
  }
}

int handle_playerTable(netsnmp_mib_handler* /*handler*/, netsnmp_handler_registration* /*reginfo*/,
                       netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  if (reqinfo->mode != MODE_GET) return SNMP_ERR_NOERROR;
  for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
    if (request->processed) continue;
    const auto* entry = static_cast<const PlayerEntry*>(netsnmp_tdata_extract_entry(request));
    const netsnmp_table_request_info* info = netsnmp_extract_table_info(request);
    if (entry == nullptr || info == nullptr || !SetColumn(request->requestvb, static_cast<int>(info->colnum), *entry)) {
      netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHINSTANCE);
    }
  }
  return SNMP_ERR_NOERROR;
}

}  // namespace

void init_playerTable(AgentSettings& settings) {
  g_settings = &settings;
  register_app_config_handler("playerStatusFile", parse_player_status_file, nullptr, "CHANNEL [FILE]");
  register_app_config_handler("playerStaleSeconds", parse_player_stale_seconds, nullptr, "SECONDS");

  static const oid table_oid[] = {1, 3, 6, 1, 4, 1, kEnterpriseNumber, 2, 1};
  DEBUGMSGTL(("playerTable", "Initializing\n"));
  netsnmp_tdata* table = netsnmp_tdata_create_table("playerTable", 0);
  auto* table_info = SNMP_MALLOC_TYPEDEF(netsnmp_table_registration_info);
  netsnmp_handler_registration* reginfo = netsnmp_create_handler_registration(
      "playerTable", handle_playerTable, table_oid, OID_LENGTH(table_oid), HANDLER_CAN_RONLY);
  if (table == nullptr || table_info == nullptr || reginfo == nullptr) {
    snmp_log(LOG_ERR, "%s Failed to register playerTable\n", kAgentName);
    return;
  }
  netsnmp_table_helper_add_indexes(table_info, ASN_INTEGER, 0);
  table_info->min_column = kState;
  table_info->max_column = kSwitches;
  if (netsnmp_tdata_register(reginfo, table, table_info) != MIB_REGISTERED_OK) {
    snmp_log(LOG_ERR, "%s Failed to register playerTable\n", kAgentName);
    return;
  }
  netsnmp_cache* cache = netsnmp_cache_create(kCacheSeconds, load_rows, free_rows, table_oid, OID_LENGTH(table_oid));
  if (cache == nullptr) {
    snmp_log(LOG_ERR, "%s playerTable serves no rows: no cache\n", kAgentName);
    return;
  }
  cache->magic = table;
  cache->flags = NETSNMP_CACHE_DONT_INVALIDATE_ON_SET | NETSNMP_CACHE_DONT_FREE_EXPIRED | NETSNMP_CACHE_DONT_AUTO_RELEASE;
  // First in the chain: the rows are read before the table helpers look a row up, so a
  // request never holds a row that a reload frees.
  if (netsnmp_inject_handler(reginfo, netsnmp_cache_handler_get(cache)) != SNMPERR_SUCCESS) {
    snmp_log(LOG_ERR, "%s playerTable serves no rows: no cache\n", kAgentName);
  }
}
