// The copies this program has put in place, so that none is copied back onto its original.
//
// Two pairs in a loop (X -> Y and Y -> X: two folders kept alike, or a backup folder that is
// also watched) would copy each copy back: the copy in Y is a change of Y, copied to X, which is
// a change of X ... without end, and a copy coming back could land over an edit just saved in X.
// So every copy made by any pair is noted here with what it was made from, and a file that is
// still exactly such a copy (same size and last-write time as when it was put in place) is not
// copied onto the very file it was made from. A chain (X -> Y -> Z) still carries every file on,
// and a real edit in either folder of a loop still goes across. Times alone cannot tell: a copy
// is newer than its original by its change time.
//
// Process-wide, for every watch thread; the oldest entries are forgotten past a few tens of
// thousands.
#pragma once

#include <windows.h>

#include <string>

// dstFull was put in place as a copy of srcFull, with the given size and last-write time.
void NoteOwnCopy(const std::wstring &srcFull, const std::wstring &dstFull, ULONGLONG size,
                 ULONGLONG lastWrite);

// True when `file`, as it is now (size, last-write time), is a copy this program made of
// `original`.
bool IsOwnCopyOf(const std::wstring &file, const std::wstring &original, ULONGLONG size,
                 ULONGLONG lastWrite);
