// How many processors this process may run on, for sizing worker pools.
#pragma once

// The processors of the process's affinity mask (as `taskset` limits it),
// else the machine's; at least 1.
unsigned processor_count();
