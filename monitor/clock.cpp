#include "monitor/clock.h"

ULONGLONG SystemClock() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
}

ULONGLONG (*g_systemClock)() = SystemClock;

ULONGLONG SystemTimeNow() {
    return g_systemClock();
}
