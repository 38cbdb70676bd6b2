#pragma once

// Registers the tandril objects (1.3.6.1.4.1.E.1.<sys_id>.1 to .8: the call
// application's seven and whether it answers) as watched scalars over the shared values. Main thread, before init_snmp().
void init_tandril();
