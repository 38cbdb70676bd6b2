#pragma once

#include "snmp-agent/AgentSettings.h"

// The players' table under 1.3.6.1.4.1.E.2.1: one row per configured channel (1 to 4),
// read from the player's status and health files when a request comes (at most once a
// second). Everything runs on the agent's main thread.

// Registers the table and the configuration tokens "playerStatusFile CHANNEL [FILE]" and
// "playerStaleSeconds SECONDS" of tandril-snmp-agent.conf, which fill settings where the
// command line did not (init_snmp reads that file). Before init_snmp; settings must
// outlive the agent, and are read whenever the rows are built.
void init_playerTable(AgentSettings& settings);
