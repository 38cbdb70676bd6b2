#include "snmp-agent/CNotificationVars.h"

#include "snmp-agent/agent.h"

#include <net-snmp/agent/net-snmp-agent-includes.h>

namespace {

const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

}  // namespace

CNotificationVars::CNotificationVars(const oid* notification, std::size_t length) {
  Add(kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID, notification, length * sizeof(oid));
}

CNotificationVars::~CNotificationVars() { snmp_free_varbind(m_vars); }

void CNotificationVars::AddInteger(const oid* name, std::size_t length, long value) {
  Add(name, length, ASN_INTEGER, &value, sizeof value);
}

void CNotificationVars::AddGauge(const oid* name, std::size_t length, uint32_t value) {
  // net-snmp carries every 32-bit value of a binding as a long.
  const long wide = static_cast<long>(value);
  Add(name, length, ASN_GAUGE, &wide, sizeof wide);
}

void CNotificationVars::AddText(const oid* name, std::size_t length, const std::string& text) {
  Add(name, length, ASN_OCTET_STR, text.data(), text.size());
}

void CNotificationVars::Add(const oid* name, std::size_t length, u_char type, const void* value,
                            std::size_t size) {
  if (snmp_varlist_add_variable(&m_vars, name, length, type, value, size) == nullptr) {
    m_complete = false;
  }
}

bool CNotificationVars::Send() {
  if (!m_complete || m_vars == nullptr) {
    snmp_log(LOG_ERR, "%s cannot build a notification\n", kAgentName);
    return false;
  }
  send_v2trap(m_vars);
  return true;
}
