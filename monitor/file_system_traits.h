// What a file system keeps of a file's times and identity, as far as the walks care.
//
// A walk looks for files changed since a moment, by the times the file system keeps, so it
// looks back by as much as those times can lag behind the change: on NTFS and the like the
// system's own clock stamps them (a coarse clock tick at most), FAT keeps last-write times in
// 2-second steps and exFAT in coarse steps too, neither keeps a change time, and a network
// share stamps them with its server's clock. Looking back further would copy files that were
// there before a pair was first watched. FAT's file IDs are the places of directory entries,
// which a folder moved in can take over from one that left, so folders there are not told
// apart by their identities.
//
// The file system's name, as GetVolumeInformationW gives it, says most of it, and its flags
// whether files can be found by their IDs. Only where the system names every file system NTFS
// (Wine: monitor/system_behaviour.h) do times that come in whole seconds, with the change time
// equal to the last write, tell a FAT-like one.
#pragma once

#include <windows.h>

#include <string>

// The step of the times of a file system that the system's own clock stamps (NTFS and the like).
const ULONGLONG kFineTimeStep = 100 * 10000;

struct FileSystemTraits {
    ULONGLONG timeStep = 0;      // FILETIME units: how far a time there may lag behind the change
    bool keepsChangeTime = true; // false on FAT and exFAT
    bool stableFileIds = true;   // a folder keeps its file ID wherever it moves in the volume
};

// The traits of the file system that holds `folder` (which exists); those of a fine-grained
// local file system when they cannot be told.
FileSystemTraits TraitsOfFileSystemAt(const std::wstring &folder);
