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

bool ParseDecimalTime(const std::string &digits, ULONGLONG &time) {
    const ULONGLONG kLargestTime = 0x7FFFFFFFFFFFFFFFULL;
    if (digits.empty() || digits.size() > 19)
        return false;
    time = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        time = time * 10 + (c - '0');
    }
    return time != 0 && time <= kLargestTime;
}
