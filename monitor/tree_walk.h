// Walking a source tree: folder listings with the times the recovery walks need.
//
// Folders are listed through their handles (FileFullDirectoryInfo), so every entry comes with
// its change time and no file has to be opened for it; where a file system refuses that
// listing, FindFirstFileExW serves without change times.
//
// Links are never followed. A symbolic link, junction or mount point inside a watched tree
// may lead anywhere: out of the tree (anyone who can write into a shared inbox could have the
// program copy any folder its user can read) or back into it (a loop). Change notifications
// do not cross them either. So every walk skips a name-surrogate reparse point, folder or
// file, with one trace line; so does any reparse point whose tag cannot be read. Other reparse
// points (cloud placeholders, deduplicated files) are ordinary files. The root of a walk is
// taken as given: the user chose the watched folder, link or not.
#pragma once

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
    ULONGLONG lastWriteTime;
    ULONGLONG changeTime; // 0 when the listing does not tell it
    DWORD reparseTag;     // for a reparse point; 0 when the listing does not tell it
};

// Lists the entries of `folder`, "." and ".." included. A folder that is not the root of a
// walk is opened as itself, never through a link that took its place.
void ListFolder(const std::wstring &folder, std::vector<FoundEntry> &entries,
                bool followLink = true);

// True when the entry is a link that walks must not follow.
bool IsLink(const FoundEntry &entry);
// True when the file or folder at `path` is such a link.
bool IsLinkAt(const std::wstring &path);

// What a walk calls. onFile gets every file with its full path, its path relative to the
// walk's root, its entry, and the change time of the folder that markFolder marked above it
// (0 when none was marked; the root's own mark when the whole walk is marked); onFolder gets
// every folder before its contents; markFolder gets every folder with the last-write time of
// the folder that holds it (0 when unknown). The walk ends early once `stopped` says so. Each
// may be empty.
struct TreeVisitor {
    std::function<void(const std::wstring &full, const std::wstring &relative,
                       const FoundEntry &entry, ULONGLONG markedAt)>
        onFile;
    std::function<void(const std::wstring &full)> onFolder;
    std::function<bool(const FoundEntry &folder, ULONGLONG parentLastWrite)> markFolder;
    std::function<bool()> stopped;
};

// Walks the tree below `folder`, any depth, parents before their children, skipping links.
// `relative` is the folder's path relative to the walk's root (empty for the root);
// `markedAt` marks everything below the folder. False when `stopped` ended the walk early.
bool WalkTree(const std::wstring &folder, const std::wstring &relative, const TreeVisitor &visitor,
              ULONGLONG markedAt = 0);

// Calls onFolder for every folder below `folder`, any depth, parents before their children,
// with its full path.
void ForEachSubfolder(const std::wstring &folder, void (*onFolder)(const std::wstring &full));

// True when the entry at `full` was written or changed at or after `since`. A file moved into
// the tree keeps its old last-write time; its change time moves.
bool ChangedSince(const std::wstring &full, const FoundEntry &entry, ULONGLONG since);

// True when a folder looks moved or renamed into place at or after `since`: its own change
// time is in the window, and either its last write (a file made or removed in it) is not, or
// the folder that holds it was written in the window too (it gained an entry: this one). A
// folder moved in and then given a new file is one; a folder that was only given a new file
// is not. A folder that arrives brings files whose own times say nothing of when.
bool ArrivedSince(const FoundEntry &folder, ULONGLONG parentLastWrite, ULONGLONG since);

// The latest of an entry's own times: the moment it last changed as far as the system tells.
ULONGLONG LastChangeOf(const FoundEntry &entry);
