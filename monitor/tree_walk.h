// Walking a source tree: folder listings with the times the walks need.
//
// Folders are listed through their handles (FileIdBothDirectoryInfo), so every entry comes with
// its change time and file ID and no file has to be opened for them; where a file system
// refuses that listing, FindFirstFileExW serves without either.
//
// A listing is whole or it says it failed: a folder held without sharing, denied, on a share
// that hiccups or renamed while it is walked is not an empty folder, and a walk that could not
// list one says so, so that what lies below is walked again later. A folder that is gone (not
// found when opened) is no failure: there is nothing below it to mirror any more.
//
// Links are never followed. A symbolic link, junction or mount point inside a watched tree
// may lead anywhere: out of the tree (anyone who can write into a shared inbox could have the
// program copy any folder its user can read) or back into it (a loop). Change notifications
// do not cross them either. So every walk skips a name-surrogate reparse point, folder or
// file, with one trace line; so does any reparse point whose tag cannot be read. Other reparse
// points (cloud placeholders, deduplicated files) are ordinary files. The root of a walk is
// taken as given: the user chose the watched folder, link or not.
#pragma once

#include "monitor/file_identity.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// A FILETIME as one number (100-nanosecond units since 1601).
inline ULONGLONG FileTimeValue(const FILETIME &time) {
    return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

// One entry of a folder listing. Times are FILETIME values.
struct FoundEntry {
    std::wstring name;
    DWORD attributes;
    ULONGLONG size;
    ULONGLONG creationTime;
    ULONGLONG lastWriteTime;
    ULONGLONG changeTime; // 0 when the listing does not tell it
    DWORD reparseTag;     // for a reparse point; 0 when the listing does not tell it
    ULONGLONG fileId;     // its 64-bit file ID; 0 when the listing does not tell it
};

// Lists the entries of `folder`, "." and ".." included. A folder that is not the root of a
// walk is opened as itself, never through a link that took its place. False when the folder
// could not be listed whole, with the system's error (ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND: it is gone); `identity`, when given, gets the folder's own identity
// (unknown where the system gives none).
bool ListFolder(const std::wstring &folder, std::vector<FoundEntry> &entries, DWORD &error,
                bool followLink = true, FileIdentity *identity = nullptr);

// Opens a folder for ListFolder: CreateFileW with FILE_LIST_DIRECTORY, every sharing, and
// `flags`, on the path as file functions take it. Tests put another in its place before they
// start monitoring, to make a listing fail or to count listings, and put it back afterwards.
extern HANDLE (*g_openFolderToList)(const std::wstring &path, DWORD flags);
HANDLE OpenFolderToList(const std::wstring &path, DWORD flags);

// True for the errors that say a file or folder is gone.
bool IsGoneError(DWORD error);

// True when the entry is a link that walks must not follow.
bool IsLink(const FoundEntry &entry);
// True when the file or folder at `path` is such a link.
bool IsLinkAt(const std::wstring &path);

// What a walk calls. onFile gets every file with its full path, its path relative to the
// walk's root, its entry, and the change time of the folder that markFolder marked above it
// (0 when none was marked; the root's own mark when the whole walk is marked); onFolder gets
// every folder before its contents, and says whether to walk it (false: it is left out);
// markFolder gets every folder below the root, once it is listed, with its full path, its
// identity and the last-write time of the folder that holds it (0 when unknown), and returns
// when it arrived (0: it did not); onUnlisted gets every folder that could not be listed, with
// its path relative to the walk's root and the mark above it, and says whether it has been
// taken care of (left out, or walked again alone later), which a walk then counts as listed.
// The walk ends early once `stopped` says so. Each may be empty.
struct TreeVisitor {
    std::function<void(const std::wstring &full, const std::wstring &relative,
                       const FoundEntry &entry, ULONGLONG markedAt)>
        onFile;
    std::function<bool(const std::wstring &full)> onFolder;
    std::function<ULONGLONG(const std::wstring &full, const FoundEntry &folder,
                            const FileIdentity &identity, ULONGLONG parentLastWrite)>
        markFolder;
    std::function<bool(const std::wstring &full, const std::wstring &relative, DWORD error,
                       ULONGLONG markedAt)>
        onUnlisted;
    std::function<bool()> stopped;
};

// Walks the tree below `folder`, any depth, parents before their children, skipping links.
// `relative` is the folder's path relative to the walk's root (empty for the root);
// `markedAt` marks everything below the folder. True when the walk ran to its end and listed
// every folder it met (or found it gone, or onUnlisted took care of it); false when `stopped`
// ended it or a folder could not be listed (the walk goes on with the other folders).
bool WalkTree(const std::wstring &folder, const std::wstring &relative, const TreeVisitor &visitor,
              ULONGLONG markedAt = 0);

// Calls onFolder for every folder below `folder`, any depth, parents before their children,
// with its full path.
void ForEachSubfolder(const std::wstring &folder, void (*onFolder)(const std::wstring &full));

// True when the entry at `full` was created, written or changed at or after `since`. A file
// moved into the tree keeps its old last-write time; its change time moves. A file copied in
// keeps its last-write time too, and on file systems that keep no change time (FAT, exFAT)
// only its creation time tells.
bool ChangedSince(const std::wstring &full, const FoundEntry &entry, ULONGLONG since);

// True when a folder looks moved or renamed into place at or after `since`, by its times
// alone: its own change time is in the window, and either its last write (a file made or
// removed in it) is not, or the folder that holds it was written in the window too (it gained
// an entry: this one). Times cannot tell a folder moved in and given a new file from a folder
// that was only given one; the walks ask this only where the folders the tree held are not
// known (monitor/known_folders.h).
bool ArrivedSince(const FoundEntry &folder, ULONGLONG parentLastWrite, ULONGLONG since);

// The latest of an entry's own times: the moment it last changed as far as the system tells.
ULONGLONG LastChangeOf(const FoundEntry &entry);
