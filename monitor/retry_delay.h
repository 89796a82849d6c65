// How long what failed waits before it is tried again: a copy that could not be made, a folder
// that could not be listed. The first retry after a second, each next one after twice as long,
// never more than a minute apart: a trouble of a moment costs a moment, one that lasts costs a
// look a minute.
#pragma once

#include <windows.h>

#include <algorithm>

const DWORD kFirstRetryMs = 1000;
const DWORD kLongestRetryMs = 60000;

// The delay after `last` (0: the first failure).
inline DWORD NextRetryDelay(DWORD last) {
    return last == 0 ? kFirstRetryMs : std::min<DWORD>(2 * last, kLongestRetryMs);
}
