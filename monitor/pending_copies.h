// Copies that wait: those that failed after their attempts, and those of a large file that
// is still being written.
//
// A watch thread copies a batch at once, retrying a file held by its writer a few times. What
// still fails (a file held longer, a full disk, a destination share or drive that is offline,
// access denied, a source that cannot be read just now) is kept here and tried again, each
// file with its own growing delay (1, 2, 4 ... 60 s), so that one file that keeps failing never
// holds back the others, until it succeeds, its source is gone or a later copy to the same
// destination name made it current. A drive plugged in hours later gets every file within a
// minute. There is one entry per
// destination name, so a destination that is gone for a day holds one entry per file name,
// and a later copy to that name (from the same file or another of the same name) replaces or
// ends the entry: a retry never puts an older version over a newer one.
//
// A large file that may still be written (a download, a video export: written within the last
// few seconds by its own time), and an empty file created moments ago, wait instead until they
// have been quiet for a moment (not written for 100 ms and not grown since they were last looked
// at), but never much longer than a few seconds after their last copy, so a file that never
// stops growing is still copied now and then: one closed file, one copy. Other small files are
// copied at once: copying them again is cheap. A record of a large file's write that its last
// copy already held, delivered late, copies nothing.
//
// All of it belongs to one watch thread; the thread runs what is due when a timer wakes it
// (monitor/watch_wakeups.h), so nothing here polls.
#pragma once

#include "monitor/file_identity.h"
#include "monitor/file_system_traits.h"
#include "monitor/mirror_point.h"

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

struct PendingCopy {
    std::wstring srcFull;    // the source to copy when it is due, as the batch named it
    std::wstring dstFull;    // the destination file
    ULONGLONG due = 0;       // tick at which it is looked at again
    DWORD retryDelayMs = 0;  // the delay after the next failure; 0 while waiting for quiet
    ULONGLONG size = 0;      // waiting for quiet: the source's size when last looked at
    ULONGLONG lastWrite = 0; // waiting for quiet: its last-write time then
    ULONGLONG lastCopy = 0;  // waiting for quiet: tick of the last copy to this name
    ULONGLONG since = 0;     // FILETIME: a tree walk from here would find this change
    DWORD lastError = 0;     // why the last attempt failed; 0 while waiting for quiet
    // A copy that failed: tick of the first failure to this destination (0: none).
    ULONGLONG failingSince = 0;
};

// The last copy to a destination name: when, and the source as it was then (a change time of
// 0: not known).
struct RecentCopy {
    ULONGLONG tick = 0;
    ULONGLONG size = 0, lastWrite = 0, changeTime = 0;
};

struct UnlistedFolder {
    std::wstring path;   // as the walk met it
    ULONGLONG since = 0; // tick of the first failure of this episode
    DWORD lastError = 0;
};

// What one pair's copies keep from one batch to the next. Owned by its watch thread.
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
    // The pair's mirror point, held back by the waiting copies below.
    MirrorPoint point;
    std::map<std::wstring, PendingCopy> pending;               // by destination, case folded
    std::unordered_map<std::wstring, RecentCopy> recentCopies; // the last copy, same key
    // Folders a walk could not list, by folded path: the tick of the first failure and the
    // last error. A walk that lists one again ends its entry.
    std::map<std::wstring, UnlistedFolder> unlisted;
    bool copyBackSeen = false; // a copy of one of this pair's own copies was left alone
    // What the destination's file system keeps, once the destination folder has been seen.
    FileSystemTraits destination = {0, true, true};
    bool destinationSeen = false;
    // What the source's file system keeps of times and identities (a bare state: as fine as
    // can be, so that a walk looks back by nothing).
    FileSystemTraits source = {0, true, true};
};

// Files of at least this size wait for quiet while they are being written.
const ULONGLONG kQuietMinBytes = 1 << 20;
const ULONGLONG kQuietCheckMs = 100; // how long a file must stay unwritten
const ULONGLONG kQuietLookMs = 20;   // the next look at a file that was quiet but grew
const ULONGLONG kQuietCapMs = 5000;  // a changing file is copied at least this often
const DWORD kFirstRetryMs = 1000;
const DWORD kLongestRetryMs = 60000;

// The key of a destination path in the tables above.
std::wstring DestinationKey(const std::wstring &dstFull);

// True once the mirror's generation has stopped.
bool MirrorStopped(const MirrorState &mirror);

// Keeps a copy that failed with `error` for a retry, in place of any entry for its
// destination, and writes a trace line when the destination had none. A walk of the tree
// from `since` (FILETIME) would find the change it copies.
void DeferCopy(MirrorState &mirror, const std::wstring &srcFull, const std::wstring &dstFull,
               DWORD error, ULONGLONG now, ULONGLONG since);

// True when the copy of a source of `size` bytes and last-write time `lastWrite` to dstFull
// must wait for the file to go quiet (it is large and written within the last few seconds, or
// already waits); the entry then names this source. `since` as for DeferCopy.
bool WaitForQuiet(MirrorState &mirror, const std::wstring &srcFull, const std::wstring &dstFull,
                  ULONGLONG size, ULONGLONG lastWrite, ULONGLONG now, ULONGLONG since);

// What the file system of dstFull's folder keeps: looked at once the folder exists.
const FileSystemTraits &DestinationTraitsOf(MirrorState &mirror, const std::wstring &dstFull);

// Copies srcFull (last written at `lastWrite`) to dstFull as CopyFileSafely does, and on a
// destination that keeps no change time (FAT, exFAT, whose renames may stamp times anew) gives
// the copy its source's last-write time, so that a walk finds it current.
bool CopyToDestination(MirrorState &mirror, const std::wstring &srcFull,
                       const std::wstring &dstFull, ULONGLONG lastWrite, DWORD &error);

// Records a copy of srcFull (of `size` bytes, last written at `lastWrite`, changed at
// `changeTime`, 0 when not known) made to dstFull at `now`: it ends any entry for that
// destination, and is never copied back (monitor/own_copies.h).
void NoteCopied(MirrorState &mirror, const std::wstring &srcFull, const std::wstring &dstFull,
                ULONGLONG size, ULONGLONG lastWrite, ULONGLONG changeTime, ULONGLONG now);

// True when the last copy to dstFull, moments ago, was made of the source exactly as it is now
// (size, last-write and change time; the source's file system keeps change times): a record of
// a write that the copy already held, delivered late. Large files only: one close, one copy.
bool CopiedAsItIs(const MirrorState &mirror, const std::wstring &dstFull, ULONGLONG size,
                  ULONGLONG lastWrite, ULONGLONG changeTime, ULONGLONG now);

// True when srcFull (of `size` bytes, last written at `lastWrite`) is a copy this program made
// of dstFull, which is then not to be copied: a loop of pairs. One trace line per pair.
bool IsCopyBack(MirrorState &mirror, const std::wstring &srcFull, const std::wstring &dstFull,
                ULONGLONG size, ULONGLONG lastWrite);

// A walk could not list `folder` (error) at tick `now`; one trace line per folder and episode.
void NoteUnlisted(MirrorState &mirror, const std::wstring &folder, DWORD error, ULONGLONG now);
// A walk of the whole tree ended; `failed` are the folders it could not list (folded paths):
// every other folder's episode is over.
void EndUnlistedEpisodes(MirrorState &mirror, const std::vector<std::wstring> &failed);

// Tries every entry that is due at `now`; returns the number of copies made.
size_t RunDueCopies(MirrorState &mirror, ULONGLONG now);

// The tick at which the next entry is due; 0 when none waits.
ULONGLONG NextDueTick(const MirrorState &mirror);
