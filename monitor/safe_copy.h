// Replacing a destination copy so that a failure never costs the copy that was there.
//
// CopyFileW over an existing file truncates it first: a full disk, a dropped share or a
// source that vanishes half-way leaves neither version. So a copy is made into a temporary
// file beside the destination and moved over it in one step (MoveFileExW); on any failure
// the temporary file is removed and the previous copy stays byte for byte. A name the
// destination does not hold yet is copied straight to it (there is nothing to lose), and
// what a failed copy left of it is removed.
//
// Temporary names are "~vantrel-<process>-<number>.tmp": recognisable, so that no pair
// mirrors one (a destination folder may be another pair's source), and unique, so that
// pairs copying into one folder at the same time never share one. A name left behind by a
// crash is removed when a pair that copies into that folder starts.
#pragma once

#include <windows.h>

#include <string>

// Copies srcFull to dstFull through a temporary file. The new copy has the source's
// attributes; a read-only, hidden or system copy in its way is replaced too. On failure,
// returns false with the system's error code in `error`, and dstFull is as it was.
bool CopyFileSafely(const std::wstring &srcFull, const std::wstring &dstFull, DWORD &error);

// True when dstFull exists with the given size and last-write time: it is a current copy of
// the source that has them (a copy keeps its source's last-write time).
bool DestinationIsCurrent(ULONGLONG size, ULONGLONG lastWrite, const std::wstring &dstFull);

// The folder part of a file path ("." when it has none).
std::wstring FolderOf(const std::wstring &path);

// Creates `folder` with every missing parent, down from the first one that exists (drive
// and share roots are never created). True when the folder exists afterwards.
bool CreateFolderTree(const std::wstring &folder);

// True when a file name (no folder) is one of the temporary names above.
bool IsTemporaryCopyName(const std::wstring &fileName);

// Removes the temporary files that a process that has ended left in `folder`.
void RemoveLeftoverCopies(const std::wstring &folder);
