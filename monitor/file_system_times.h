// How finely a file system keeps a file's times.
//
// A walk looks for files changed since a moment, by the times the file system keeps, so it
// looks back by as much as those times can lag behind the change: on NTFS and the like the
// system's own clock stamps them (a coarse clock tick at most), FAT keeps last-write times in
// 2-second steps and neither FAT nor exFAT keeps a change time, and a network share stamps
// them with its server's clock. Looking back further would copy files that were there before a
// pair was first watched.
#pragma once

#include <windows.h>

#include <string>

struct FileSystemTimes {
    ULONGLONG step = 0;          // FILETIME units: how far a time there may lag behind the change
    bool keepsChangeTime = true; // false on FAT and exFAT
};

// The times of the file system that holds `path` (a folder); a fine-grained local file system
// when it cannot be told.
FileSystemTimes TimesOfFileSystemAt(const std::wstring &path);
