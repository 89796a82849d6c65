// How many threads and handles a process holds, for the soak's samples and the tests that look
// for leaks. Wine's GetProcessHandleCount succeeds with 0 for every process; its handle table is
// right, so the count falls back to that.
#pragma once

#include <windows.h>

// Threads of the process, from a Toolhelp snapshot; -1 when they cannot be counted.
long long ThreadsOfProcess(DWORD processId);

// Handles of the process (`process` open with PROCESS_QUERY_INFORMATION or
// PROCESS_QUERY_LIMITED_INFORMATION); -1 when they cannot be counted. `fromTable` says whether
// the count came from the system's handle table.
long long HandlesOfProcess(HANDLE process, DWORD processId, bool *fromTable = nullptr);
