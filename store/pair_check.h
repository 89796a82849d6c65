// What a folder pair must not be, for the registration dialog and for the engine alike.
//
// A relative path ("Backup") resolves against whatever folder the program runs in, and a
// drive-relative one ("C:", "C:Backup", "\Backup") against the current folder of a drive: the
// pair would mirror somewhere the user never chose. A destination that is the source itself
// has every file of the tree copied flat over the files at its top. Both are refused: the
// dialog does not register such a pair, and the engine copies nothing for one that a pair
// file edited by hand names.
#pragma once

#include <string>

enum class PairRefusal {
    None,         // the pair may be mirrored
    RelativePath, // a path is not a full path (an empty destination is none: nothing is copied)
    SameFolder,   // the destination is the source, by its path or as another spelling of it
};

// Why the pair would harm, or None. Looks at the disk only to tell whether two spellings name
// one folder.
PairRefusal CheckFolderPair(const std::wstring &source, const std::wstring &dest);

// A path as typed or pasted, without the blanks around it and without one pair of quotes
// around it (Explorer's "copy as path" quotes every path).
std::wstring TrimTypedPath(const std::wstring &typed);
