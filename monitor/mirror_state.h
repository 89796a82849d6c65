// What one pair's copies keep from one batch to the next: where the copies go, the pair's mirror
// point, the copies that wait, the files that keep changing and the folders a walk could not
// list. Owned by its watch thread; only the point is read by others (monitor/mirror_point.h).
#pragma once

#include "monitor/changing_files.h"
#include "monitor/file_identity.h"
#include "monitor/file_system_traits.h"
#include "monitor/mirror_point.h"
#include "monitor/pending_copies.h"
#include "monitor/unlisted_folders.h"

#include <functional>
#include <string>
#include <unordered_map>

struct MirrorState {
    // False only when the destination folder is known to lie outside the source tree, so
    // that no destination file can be a source file and the per-copy check can be skipped.
    bool destinationMayBeSource = true;
    // Where it may: the destination folder's full path (folded) and identity, the watched
    // folder's, and which source folders of the pass under way are the destination folder
    // itself (by folded path), worked out once per folder and pass.
    std::wstring destinationKey, sourceKey;
    FileIdentity destinationIdentity, sourceIdentity;
    std::unordered_map<std::wstring, bool> foldersAtDestination;
    // True once the pair's generation stops: copies and walks under way end early, and no
    // copy is put into place any more. Empty: never.
    std::function<bool()> stopped;
    // The pair's mirror point, held back by the waiting copies, the unlisted folders and sweeps.
    MirrorPoint point;
    PendingCopies pending{&point, {}, {}, {}, {}};
    // The watched folder, as the pair names it: a source missing from it while it cannot be
    // reached is not gone. When it is a drive's root, the drive's own folders are left out
    // (monitor/volume_folders.h).
    std::wstring sourceRoot;
    bool sourceIsVolumeRoot = false;
    ChangingFiles changing;
    UnlistedFolders unlisted;
    // What the destination's file system keeps, once the destination folder has been seen.
    FileSystemTraits destination = {0, true, true};
    bool destinationSeen = false;
    // What the source's file system keeps of times and identities (a bare state: as fine as
    // can be, so that a walk looks back by nothing).
    FileSystemTraits source = {0, true, true};
    // The number the pair's copy notes carry (monitor/copy_records.h).
    unsigned long long notesPair = 0;
    // Said once per pair: a loop's copy was left alone, a copy was not carried back onto the
    // file it was made of, a change of attributes alone was not copied, an application's
    // temporary file was not copied, a file whose data is not on this computer was left as it is,
    // a drive's own folder was left out.
    bool loopSeen = false, originSeen = false, attributesSeen = false, transientSeen = false,
         placeholderSeen = false, volumeFolderSeen = false;
};

// True when `full`, a folder or file of the pair's tree, lies in one of the drive's own folders at
// the root of a watched drive. One trace line per pair.
bool InVolumeOwnFolder(MirrorState &mirror, const std::wstring &full);

// True once the mirror's generation has stopped.
inline bool MirrorStopped(const MirrorState &mirror) {
    return mirror.stopped && mirror.stopped();
}
