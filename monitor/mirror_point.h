// The point up to which a pair is mirrored.
//
// Every change of a pair's tree made before its mirror point has been copied to the
// destination (or waits among the pair's waiting copies, which hold the point back). A watch
// thread hears of changes two ways: its reads, which deliver what changed while its folder was
// open and a read had been issued on it, and walks of the tree, which find files by their own
// times. Whatever neither covers is a gap: the time before a watch's first read (the program
// was not running, monitoring was restarted, the folder was gone), a read that overflowed or
// failed, a batch whose copy pass could not finish, and where subfolders stay silent until
// opened (monitor/system_behaviour.h), the time until they are. A gap is open from the moment
// changes may have been missed until a walk has copied everything changed since then; the walk
// begins after the watch's first read was issued, so what changes while it runs reaches the
// reads.
//
// So the point is the earliest of three times: the start of the open gap, the issue time of
// the oldest read whose batch is not yet handled, and the earliest hold. It follows from the
// operations below and from nothing else; it never passes the start of a gap that has not been
// walked, and never runs ahead of the clock (a clock that was wrong or was set back must not make
// later gaps open in the future). A gap in which the whole tree may be new to the pair (another
// folder now stands at the watched path, or the kept point cannot be trusted) is walked comparing
// every file with its copy.
//
// Holds are registered here, each under its kind and key, and this alone computes the point
// from them; each kind is registered and let go of by the list that keeps its items, as they
// enter and leave it, so no caller has to remember either:
// - a waiting copy (monitor/pending_copies.h) holds the point from where a walk would find its
//   change, from when it begins to wait (a failure, a writer's hold, a file still being written,
//   a destination folder absent or full, a source drive away) until it is made, found current,
//   or its source is gone from a folder that is there;
// - a folder that a walk of a gap could not list (monitor/unlisted_folders.h) holds it from
//   where that walk began until the folder has been walked alone, or is gone (a folder the
//   system refuses to list is left out of the tree and holds nothing);
// - a sweep (monitor/gap_walk.h) holds it from where it looks from while it runs, so that a
//   sweep cut short by a stop is done again by the next run's catch-up.
// The pair's watch thread reports what happens; the supervisor reads the point when it stops
// the generation, and every minute to keep it across runs of the program. The folders the tree
// held (monitor/known_folders.h) and the identity of the watched folder itself are kept with the
// point.
#pragma once

#include "monitor/known_folders.h"

#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

// What holds a point back.
enum class HoldKind { WaitingCopy, UnlistedFolder, Sweep };

struct MirrorPoint {
    std::mutex lock;
    ULONGLONG gapSince = 0;   // start of the open gap; 0 while none is open
    ULONGLONG handledTo = 0;  // outside the gap, every change before this has been handled
    ULONGLONG readIssued = 0; // issue time of the last read sent to the system
    // The holds, by kind and key, and their times, earliest first.
    std::map<std::pair<HoldKind, std::wstring>, ULONGLONG> holds;
    std::multiset<ULONGLONG> holdTimes;
    bool wholeTree = false; // the open gap is walked comparing every file with its copy
    std::shared_ptr<const KnownFolders> knownFolders; // the last complete walk's; may be null
    std::string watchedFolder; // IdentityKey of the watched folder; empty while not known
};

// Changes from `since` on may have been missed (the watch begins, or begins again, after a
// time in which no read covered the tree; a batch could not be handled whole). A gap already
// open keeps the earlier start; a start later than the clock opens at the clock. `wholeTree`:
// every file of the tree may be new to the pair, whatever its times.
void GapOpened(MirrorPoint &point, ULONGLONG since, bool wholeTree = false);

// The changes of the read under way were lost (an overflow, a failed read, a folder lost):
// a gap opens at the point.
void ChangesLost(MirrorPoint &point);

// A read went to the system at `at`; from then on it gathers the tree's changes.
void ReadIssued(MirrorPoint &point, ULONGLONG at);

// The batch of the last read issued has been handled whole: every record copied, skipped by
// rule, or left among the waiting copies.
void BatchHandled(MirrorPoint &point);

// A walk that began at `walkStart`, after a read had been issued, has copied every file
// changed since `since`: a gap that opened at or after `since` is closed.
void GapWalked(MirrorPoint &point, ULONGLONG since, ULONGLONG walkStart);

// The item `key` of `kind` holds the point back to `since` (a walk from there would find what
// it stands for), in place of any hold it had; LetGo ends its hold, if any.
void Hold(MirrorPoint &point, HoldKind kind, const std::wstring &key, ULONGLONG since);
void LetGo(MirrorPoint &point, HoldKind kind, const std::wstring &key);

// A walk that ran to its end listed these folders.
void FoldersListed(MirrorPoint &point, std::shared_ptr<const KnownFolders> folders);
std::shared_ptr<const KnownFolders> KnownFoldersOf(MirrorPoint &point);

// The mirror point: every change before it has been handled. 0 only for a point that was
// never given a gap nor a read. `folders`, when given, gets the known folders as they are kept
// with the point.
ULONGLONG MirroredUpTo(MirrorPoint &point, std::shared_ptr<const KnownFolders> *folders = nullptr);

// True while a gap waits for its walk; `since` is its start, `wholeTree` whether the walk
// compares every file.
bool GapOpen(MirrorPoint &point, ULONGLONG &since, bool *wholeTree = nullptr);

// The watched folder's identity (IdentityKey; empty: unknown), kept with the point.
void WatchedFolderIs(MirrorPoint &point, const std::string &identity);
std::string WatchedFolderOf(MirrorPoint &point);
