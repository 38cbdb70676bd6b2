#pragma once

// Registers the seven tandril objects (1.3.6.1.4.1.E.1.<sys_id>.1 to .7) as
// watched scalars over the shared values. Main thread, before init_snmp().
void init_tandril();
