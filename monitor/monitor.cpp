// Placeholder until the watch threads exist: loads the table, watches nothing.
#include "monitor/monitor.h"

#include "store/pair_table.h"

void StartMonitoring() {
    LoadFolderPairs();
}

void StopMonitoring() {}
