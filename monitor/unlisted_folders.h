// Folders of a pair's tree that a walk could not list, each handled alone.
//
// A walk that cannot list a folder has not seen what lies below it. One folder's trouble stays
// with that folder:
// - a folder the system refuses to list (access denied: "System Volume Information" at the root
//   of every drive, other users' folders under "$RECYCLE.BIN") is left out of the pair's tree:
//   one trace line, no tray warning, no retries, and a walk that met it counts as complete for
//   everything else. Only the hourly sweep looks at it again; once it can be listed, everything
//   below it is mirrored as a folder that arrived;
// - a folder that cannot be listed for another reason (another program holds it without
//   sharing, a share or network error) is walked again alone, after 1, 2, 4 ... 60 s
//   (monitor/retry_delay.h): the rest of the tree's gap closes, and the folder holds the pair's
//   mirror point back to where the walk that met it began, as a waiting copy does (a sweep that
//   closed no gap holds nothing back). The tray shows it once it has failed for a minute.
// A folder that is gone ends its entry: there is nothing below it to mirror any more.
#pragma once

#include "monitor/mirror_point.h"

#include <windows.h>

#include <map>
#include <string>
#include <vector>

struct UnlistedFolder {
    std::wstring path;          // as the walk met it
    std::wstring relative;      // its path below the watched folder
    bool leftOut = false;       // refused: left out of the tree until a sweep can list it
    ULONGLONG since = 0;        // FILETIME from which its walk looks for changes
    bool holdsPoint = false;    // the walk that met it closed a gap: the point waits for it
    ULONGLONG markedAt = 0;     // it lies in a folder that arrived: everything below is mirrored
    ULONGLONG failingSince = 0; // tick of its first failure
    DWORD lastError = 0;
    ULONGLONG due = 0; // tick of its next walk (not left out)
    DWORD retryDelayMs = 0;
};
// By folded path.
using UnlistedFolders = std::map<std::wstring, UnlistedFolder>;

// A walk from `since` (FILETIME; holdsPoint: a walk of a gap) could not list `folder`
// (`relative` below the watched folder; `markedAt` as the walk had it) with `error` at tick
// `now`. One trace line per folder and episode.
void FolderUnlisted(UnlistedFolders &folders, MirrorPoint &point, const std::wstring &folder,
                    const std::wstring &relative, DWORD error, ULONGLONG since, bool holdsPoint,
                    ULONGLONG markedAt, ULONGLONG now);
// The walk of a waiting folder failed again at `now`: it is walked again after a longer delay.
void FolderStillUnlisted(UnlistedFolders &folders, const std::wstring &folder, DWORD error,
                         ULONGLONG now);
// `folder` was listed, or is gone: its entry ends.
void FolderListed(UnlistedFolders &folders, MirrorPoint &point, const std::wstring &folder);

// True when `folder` is left out of the tree.
bool IsLeftOut(const UnlistedFolders &folders, const std::wstring &folder);
// The folders whose walk is due at `now`.
std::vector<UnlistedFolder> DueFolders(const UnlistedFolders &folders, ULONGLONG now);
// The tick of the next walk of a waiting folder; 0 when none waits.
ULONGLONG NextFolderDue(const UnlistedFolders &folders);

// For the tray: the folders that wait for their walk (not those left out), and the one that has
// failed longest (null when none).
size_t WaitingFolderCount(const UnlistedFolders &folders);
const UnlistedFolder *FirstWaitingFolder(const UnlistedFolders &folders);
