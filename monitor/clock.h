// The engine's clock: the system time in FILETIME units (100 ns since 1601).
//
// Every time the engine compares with file times (the start of a gap, the start of a walk,
// the issue time of a read) comes from here, so that a test can move the engine's clock
// without waiting for the real one.
#pragma once

#include <windows.h>

// The system time as the engine sees it.
ULONGLONG SystemTimeNow();

// The source of SystemTimeNow: GetSystemTimeAsFileTime as one number. Tests replace it before
// they start monitoring and put it back afterwards.
extern ULONGLONG (*g_systemClock)();
ULONGLONG SystemClock();
