#include "snmp-agent/netHostName.h"

#include "snmp-agent/CTandrilValues.h"
#include "snmp-agent/agent.h"

#include <string>

void init_netHostName() {
  static const oid netHostName_oid[] = {1, 3, 6, 1, 4, 1, kEnterpriseNumber, 3, 1, 1};
  DEBUGMSGTL(("netHostName", "Initializing\n"));
  netsnmp_handler_registration* reginfo = netsnmp_create_handler_registration(
      "netHostName", handle_netHostName, netHostName_oid, OID_LENGTH(netHostName_oid), HANDLER_CAN_RONLY);
  if (reginfo == nullptr || netsnmp_register_scalar(reginfo) != MIB_REGISTERED_OK) {
    snmp_log(LOG_ERR, "%s Failed to register netHostName\n", kAgentName);
  }
}

int handle_netHostName(netsnmp_mib_handler* /*handler*/, netsnmp_handler_registration* /*reginfo*/,
                       netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  if (reqinfo->mode != MODE_GET) {
    snmp_log(LOG_ERR, "unknown mode (%d) in handle_netHostName\n", reqinfo->mode);
    return SNMP_ERR_GENERR;
  }
  // A copy taken under the values' lock: never half of a name being replaced.
  const std::string name = CTandrilValues::Instance().HostName();
  for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
    snmp_set_var_typed_value(request->requestvb, ASN_OCTET_STR,
                             reinterpret_cast<const u_char*>(name.data()), name.size());
  }
  return SNMP_ERR_NOERROR;
}
