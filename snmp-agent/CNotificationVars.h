#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The variable bindings of one SNMPv2 notification, beginning with snmpTrapOID.0 (the
// master agent adds sysUpTime.0), freed with the object. Main thread only, as all of
// net-snmp.
class CNotificationVars final {
 public:
  // The notification's identifier, for example tandrilNotifications.0.1.
  CNotificationVars(const oid* notification, std::size_t length);
  ~CNotificationVars();
  CNotificationVars(const CNotificationVars&) = delete;
  CNotificationVars& operator=(const CNotificationVars&) = delete;

  void AddInteger(const oid* name, std::size_t length, long value);
  void AddGauge(const oid* name, std::size_t length, uint32_t value);
  void AddText(const oid* name, std::size_t length, const std::string& text);

  // Hands the notification to net-snmp, which passes it to the master agent. False when
  // a binding could not be built (logged; nothing sent).
  bool Send();

 private:
  void Add(const oid* name, std::size_t length, u_char type, const void* value, std::size_t size);

  netsnmp_variable_list* m_vars = nullptr;  // owned, the whole list
  bool m_complete = true;
};
