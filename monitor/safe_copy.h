// Replacing a destination copy so that a failure never costs the copy that was there.
//
// CopyFileW over an existing file truncates it first: a full disk, a dropped share or a
// source that vanishes half-way leaves neither version. So a copy is made into a temporary
// file beside the destination and moved over it in one step (MoveFileExW); on any failure
// the temporary file is removed and the previous copy stays byte for byte. A name the
// destination does not hold yet goes the same way: an exit, a crash or a power cut during a
// long copy leaves at most a temporary file, never a part of a file under the real name.
//
// A copy under way is cancelled when its generation of watch threads stops (on Windows the
// copy itself ends; where the system cannot cancel it, it runs to its end and is thrown
// away): a stopped generation never puts a copy into place, so a later generation's copy of
// the same name cannot be overtaken by it.
//
// Temporary names are "~vantrel-<process>-<number>.tmp": recognisable, so that no pair
// mirrors one (a destination folder may be another pair's source), and unique, so that
// pairs copying into one folder at the same time never share one. A name left behind by a
// crash is removed when a pair that copies into that folder starts.
#pragma once

#include "monitor/file_system_traits.h"

#include <windows.h>

#include <functional>
#include <string>

// Copies srcFull to dstFull through a temporary file. The new copy has the source's
// attributes; a read-only, hidden or system copy in its way is replaced too. On failure,
// returns false with the system's error code in `error` (ERROR_REQUEST_ABORTED once
// `cancelled` says so), and dstFull is as it was. `lastWrite`, when not 0, is given to the copy
// once it is in place, for file systems whose rename stamps a file's times anew.
bool CopyFileSafely(const std::wstring &srcFull, const std::wstring &dstFull, DWORD &error,
                    const std::function<bool()> &cancelled, ULONGLONG lastWrite = 0);

// A file's attributes, size and times as an open handle tells them.
struct FileFacts {
    DWORD attributes = 0;
    ULONGLONG size = 0;
    ULONGLONG lastWrite = 0;  // FILETIME
    ULONGLONG changeTime = 0; // FILETIME; 0 where the file system keeps none
};

// Reads a file's facts through a handle opened with `access` and `share` (it reads no data);
// false when the file is gone, a folder (ERROR_DIRECTORY) or cannot be opened or read, with the
// reason in `error` (ERROR_SHARING_VIOLATION: another handle refuses that access or sharing).
bool ReadFileFacts(const std::wstring &path, DWORD access, DWORD share, FileFacts &facts,
                   DWORD &error);

// Looks up a file's (or folder's) facts by its path, without opening a handle of our own (one
// call to the system, where an open, two queries and a close take dozens of times as long, and
// nobody is kept from anything); false with the system's error when it is gone or cannot be
// looked at. Says nothing of who holds it.
bool LookUpFileFacts(const std::wstring &path, FileFacts &facts, DWORD &error);

// Reads a file's size, last-write time and change time (0 where unknown) without keeping
// anyone from anything; false as for ReadFileFacts, with the reason in `error` when given.
bool ReadFileTimes(const std::wstring &path, ULONGLONG &size, ULONGLONG &lastWrite,
                   ULONGLONG &changeTime, DWORD *error = nullptr);

// Creates `folder` with every missing parent, down from the first one that exists. A folder
// that is there (a folder by its attributes) is only found, whatever CreateDirectoryW would
// answer for it (access denied for a drive's root on Windows, and on some network file systems
// for any folder that exists); roots of drives and shares are never created. True when the
// folder exists afterwards.
bool CreateFolderTree(const std::wstring &folder);
// True when `folder` is there, as a folder ("E:" is taken for the root of drive E).
bool FolderIsThere(const std::wstring &folder);

// How folders are made: CreateDirectoryW. Tests put another in its place before they copy, to
// answer as Windows does where Wine answers otherwise, and put it back afterwards.
extern BOOL(WINAPI *g_createDirectory)(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);

// True when a file name (no folder) is one of the temporary names above.
bool IsTemporaryCopyName(const std::wstring &fileName);

// Removes the temporary files that a process that has ended left in `folder`.
void RemoveLeftoverCopies(const std::wstring &folder);
