// Paths as the file functions take them: long paths in their extended-length form.
//
// Without long-path support declared in the manifest, the file functions refuse plain paths
// of MAX_PATH (260) characters or more, and CreateDirectoryW those of 248 or more. A file deep
// in a source tree is still mirrored if every path of that length the engine hands to a file
// function is spelt \\?\C:\... (or \\?\UNC\server\share\... for a share). That form is taken
// literally, so it is made from the full, normalised path. Trace lines and notices keep the
// user's own spelling: only the calls see the converted one.
#pragma once

#include <string>

// The full path of `path` (GetFullPathNameW: relative and drive-relative paths resolved,
// forward slashes turned, "." and ".." and doubled separators removed); `path` itself when it
// cannot be resolved.
std::wstring FullPath(const std::wstring &path);

// The extended-length form of `path`: its full path behind \\?\ for a drive path or \\?\UNC\ for a
// share. A path already in the extended-length or device form (\\?\, \\.\, \??\) is returned as it
// is; so is a path that cannot be resolved.
std::wstring ExtendedLengthPath(const std::wstring &path);

// The spelling of `path` to hand to a file function: `path` itself while it is short enough
// for every file function, otherwise its extended-length form.
std::wstring FileSystemPath(const std::wstring &path);

// `path` in one case, so that two spellings of one name on a file system that ignores case
// compare equal.
std::wstring FoldCase(const std::wstring &path);

// A 64-bit hash (FNV-1a) of the full path of `path`, case folded: one number for every spelling
// of a path, where a table or an object name cannot hold the path itself.
unsigned long long PathHash(const std::wstring &path);

// The folder part of a file path ("." when it has none).
std::wstring FolderOf(const std::wstring &path);

// The folder that holds `path` ("D:\Backup" for "D:\Backup\2026", "D:\" for "D:\Backup"),
// or empty when `path` is a root or has no folder part.
std::wstring ParentFolder(const std::wstring &path);

// The length of the root of `path` ("C:\", "\\server\share", "\\?\C:\", "\\?\UNC\server\share",
// "\"); 0 for a relative path. Nothing above the root can be created or removed.
size_t RootLength(const std::wstring &path);
