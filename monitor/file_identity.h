// Telling whether two paths name one file, or whether a path still names a folder.
//
// A file's identity is its volume's serial number and its file ID. The 128-bit ID
// (FileIdInfo) is used where the file system gives one: ReFS IDs do not fit the 64-bit file
// index, whose low half can then repeat. Some network redirectors report an index of 0 for
// every file; such an identity is unknown, and an unknown identity never equals another.
#pragma once

#include <windows.h>

#include <string>

struct FileIdentity {
    ULONGLONG volume = 0;
    BYTE id[16] = {}; // the 128-bit file ID; the 64-bit index fills the low eight bytes
};

// Reads the identity of an open file or folder; false when the system gives none.
bool ReadFileIdentity(HANDLE file, FileIdentity &identity);
// Reads the identity of the file or folder at `path` (any length); false when it cannot be
// opened or gives none.
bool ReadPathIdentity(const std::wstring &path, FileIdentity &identity);

// True when the identity has a file ID (not all zero).
bool IdentityKnown(const FileIdentity &identity);

// True when both identities are known and differ: the two are certainly not one file.
bool KnownToDiffer(const FileIdentity &first, const FileIdentity &second);

// True when both identities are known (a file ID that is not all zero) and equal.
bool SameFileIdentity(const FileIdentity &first, const FileIdentity &second);

// True when the two paths name the same file: the same full path (compared without regard
// to case) or, when both exist, the same known identity.
bool IsSameFile(const std::wstring &first, const std::wstring &second);
