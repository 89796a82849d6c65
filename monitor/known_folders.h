// The folders a pair's tree held: which folders of a gap arrived, and which were there.
//
// A walk of a gap copies every file of a folder that arrived in the gap (moved or renamed into
// the tree from elsewhere: its files keep their old times), but only what is new in a folder
// that was in the tree all along and was given a new entry. Times cannot tell the two apart (a
// new entry changes a folder's times as its arrival does); identities can. So every walk that
// runs to its end notes the identity of every folder it listed, and a later walk takes a folder
// whose identity is not among them for one that arrived. The folders are those of the moment
// the walk began: a gap that began before that moment (a mirror point held back by a waiting
// copy) is judged by times, and so is a folder whose identity the system does not give.
//
// The pair's mirror point holds its known folders, and they are kept across runs with the
// point (monitor/saved_points.h).
#pragma once

#include "monitor/file_identity.h"

#include <windows.h>

#include <memory>
#include <string>
#include <unordered_set>

struct KnownFolders {
    ULONGLONG takenAt = 0;               // FILETIME the walk that listed them began
    std::unordered_set<std::string> ids; // IdentityKey of each folder below the root
};

// A folder's identity as a key of KnownFolders::ids; empty when the identity is unknown.
std::string IdentityKey(const FileIdentity &identity);

// An identity key as hexadecimal text, and back (false when the text is not one).
std::string IdentityKeyText(const std::string &key);
bool ParseIdentityKeyText(const std::string &text, std::string &key);

// True when `folders` tells for a gap from `since`: the folders were listed no later.
bool KnownAtGap(const std::shared_ptr<const KnownFolders> &folders, ULONGLONG since);

// The folders as one line of hexadecimal text, and back (false when the text is damaged).
std::string FormatKnownFolders(const KnownFolders &folders);
bool ParseKnownFolders(const std::string &text, KnownFolders &folders);
