// Walking a source tree: folder listings with the times the recovery walks need.
//
// Folders are listed through their handles (FileFullDirectoryInfo), so every entry comes with
// its change time and no file has to be opened for it; where a file system refuses that
// listing, FindFirstFileExW serves without change times. Linked folders (reparse points) are
// not entered: a link may lead back into the tree.
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
};

// Lists the entries of `folder`, "." and ".." included.
void ListFolder(const std::wstring &folder, std::vector<FoundEntry> &entries);

// What a walk calls. onFile gets every file with its full path, its path relative to the
// walk's root, its entry, and whether it lies below a folder that markFolder marked;
// onFolder gets every folder before its contents. Each may be empty.
struct TreeVisitor {
    std::function<void(const std::wstring &full, const std::wstring &relative,
                       const FoundEntry &entry, bool marked)>
        onFile;
    std::function<void(const std::wstring &full)> onFolder;
    std::function<bool(const FoundEntry &folder)> markFolder;
};

// Walks the tree below `folder`, any depth, parents before their children. `relative` is the
// folder's path relative to the walk's root (empty for the root); `marked` marks everything
// below the folder.
void WalkTree(const std::wstring &folder, const std::wstring &relative, const TreeVisitor &visitor,
              bool marked = false);

// Calls onFolder for every folder below `folder`, any depth, parents before their children,
// with its full path.
void ForEachSubfolder(const std::wstring &folder, void (*onFolder)(const std::wstring &full));

// True when the entry at `full` was written or changed at or after `since`. A file moved into
// the tree keeps its old last-write time; its change time moves.
bool ChangedSince(const std::wstring &full, const FoundEntry &entry, ULONGLONG since);

// True when a folder looks moved or renamed into place at or after `since`: its own change
// time is in the window while its last write (a file made or removed in it) is not. Such a
// folder brings files whose own times say nothing of when they arrived.
bool ArrivedSince(const FoundEntry &folder, ULONGLONG since);
