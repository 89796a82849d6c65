// The engine's clock: the system time in FILETIME units (100 ns since 1601), and how times that
// may be unset (0) are compared.
//
// Every time the engine compares with file times (the start of a gap, the start of a walk,
// the issue time of a read) comes from here, so that a test can move the engine's clock
// without waiting for the real one.
#pragma once

#include <windows.h>

#include <string>

// The system time as the engine sees it.
ULONGLONG SystemTimeNow();

// The source of SystemTimeNow: GetSystemTimeAsFileTime as one number. Tests replace it before
// they start monitoring and put it back afterwards.
extern ULONGLONG (*g_systemClock)();
ULONGLONG SystemClock();

// The earlier of two times that are set (not 0), FILETIME values or ticks alike; 0 when neither
// is.
inline ULONGLONG EarliestSet(ULONGLONG a, ULONGLONG b) {
    if (a == 0)
        return b;
    if (b == 0)
        return a;
    return a < b ? a : b;
}

// Reads a time written as decimal digits (as the engine's own files keep them); false for
// anything else, for 0 and for a time past the largest FILETIME.
bool ParseDecimalTime(const std::string &digits, ULONGLONG &time);
