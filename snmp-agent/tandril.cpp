#include "snmp-agent/tandril.h"

#include "snmp-agent/CTandrilValues.h"
#include "snmp-agent/agent.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <mutex>

namespace {

struct WatchedObject {
  const char* name;
  void* data;
  size_t size;
  u_char type;
  int modes;
  const char* failure;
};

// Runs the rest of the handler chain (net-snmp's watcher, which reads or
// writes the variable in place) under the values' lock, so a request never
// sees a half-written text and a set never races the exchange thread.
int handle_tandril_lock(netsnmp_mib_handler* handler, netsnmp_handler_registration* reginfo,
                        netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  std::lock_guard<std::mutex> lock(CTandrilValues::Instance().Lock());
  return netsnmp_call_next_handler(handler, reginfo, reqinfo, requests);
}

void AnnounceObject(const WatchedObject& object) {
  CTandrilValues& values = CTandrilValues::Instance();
  std::lock_guard<std::mutex> lock(values.Lock());
  if (object.type == ASN_OCTET_STR) {
    DEBUGMSGTL(("tandril", "Initializing %s scalar string.  Default value = %s\n", object.name,
                static_cast<const char*>(object.data)));
  } else {
    DEBUGMSGTL(("tandril", "Initializing %s scalar integer.  Default value = %ld\n", object.name,
                *static_cast<const long*>(object.data)));
  }
}

void RegisterObject(const WatchedObject& object, unsigned index, netsnmp_watcher_info* watch) {
  const oid object_oid[] = {1, 3, 6, 1, 4, 1, kEnterpriseNumber, 1, static_cast<oid>(sys_id), index};
  AnnounceObject(object);
  netsnmp_handler_registration* reginfo = netsnmp_create_handler_registration(
      object.name, nullptr, object_oid, OID_LENGTH(object_oid), object.modes);
  netsnmp_init_watcher_info(watch, object.data, object.size, object.type, WATCHER_FIXED_SIZE);
  if (reginfo == nullptr || netsnmp_register_watched_scalar(reginfo, watch) < 0) {
    snmp_log(LOG_ERR, "%s", object.failure);
    return;
  }
  netsnmp_mib_handler* lock = netsnmp_create_handler("tandril_lock", handle_tandril_lock);
  if (lock == nullptr || netsnmp_inject_handler_before(reginfo, lock, WATCHER_HANDLER_NAME) != SNMPERR_SUCCESS) {
    snmp_log(LOG_ERR, "%s cannot guard %s\n", kAgentName, object.name);
  }
}

}  // namespace

void init_tandril() {
  CTandrilValues& v = CTandrilValues::Instance();
  const WatchedObject objects[] = {
      {"mode", &v.mode, sizeof v.mode, ASN_INTEGER, HANDLER_CAN_RONLY, "Failed to register watched mode"},
      {"regStatus", &v.regStatus, sizeof v.regStatus, ASN_INTEGER, HANDLER_CAN_RONLY,
       "Failed to register watched regStatus"},
      {"expires", &v.expires, sizeof v.expires, ASN_INTEGER, HANDLER_CAN_RONLY,
       "Failed to register watched expires"},
      {"remotePeerId", v.remotePeerId, sizeof v.remotePeerId, ASN_OCTET_STR, HANDLER_CAN_RONLY,
       "Failed to register watched remotePeerId_oid"},
      {"callState", &v.callState, sizeof v.callState, ASN_INTEGER, HANDLER_CAN_RONLY,
       "Failed to register watched callState"},
      {"dialId", v.dialId, sizeof v.dialId, ASN_OCTET_STR, HANDLER_CAN_RONLY,
       "Failed to register watched dialId_oid"},
      {"remoteCmd", &v.remoteCmd, sizeof v.remoteCmd, ASN_INTEGER, HANDLER_CAN_RWRITE,
       "Failed to register watched remoteCmd"},
      {"appLinkStatus", &v.appLinkStatus, sizeof v.appLinkStatus, ASN_INTEGER, HANDLER_CAN_RONLY,
       "Failed to register watched appLinkStatus"},
  };
  // net-snmp keeps pointers to the watcher records for the agent's lifetime.
  static netsnmp_watcher_info watches[sizeof objects / sizeof objects[0]];

  DEBUGMSGTL(("tandril", "Initializing the tandril module\n"));
  unsigned index = 1;
  for (const WatchedObject& object : objects) {
    RegisterObject(object, index, &watches[index - 1]);
    ++index;
  }
  DEBUGMSGTL(("tandril", "Done initalizing TANDRIL module\n"));
}
