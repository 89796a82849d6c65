// When a pair's open gap is walked, and from where: the one place that decides it, for the
// watch thread.
//
// A walk of the tree closes the pair's open gap (monitor/mirror_point.h) once it has run to
// its end. When a walk runs depends on why it is wanted:
// - a watch begins with a gap (the program starts, monitoring restarts, the folder is watched
//   again): the catch-up walk, as soon as the watch's first read has been in the system, so
//   that what changes from then on reaches the reads; where subfolders stay silent until
//   opened, once they have been opened after that;
// - changes were lost (a read overflowed, a batch could not be handled whole): the recovery
//   walk, once the pair has been quiet for 300 ms, so that a burst that overflows many times
//   costs one walk;
// - batches may miss changes (monitor/system_behaviour.h): every busy spell is walked once the
//   pair has been quiet for 2 s;
//   either quiet walk waits at most 30 s after the spell began while the pair stays busy;
// - the file system reports no changes: a poll walk every 30 s instead;
// - the hourly sweep, for notices that never came: from where the last sweep began (or the
//   watch), or the open gap's start when that is earlier.
// Every walk walks the open gap. A folder that a walk cannot list does not make it walk again:
// that folder is walked alone (monitor/unlisted_folders.h).
//
// Only bookkeeping, with the tick the thread passes in: the thread runs the walk DueWalk
// names, reports it with WalkRan, and arms its timer for NextWalkTick. The schedule lives in the
// watch's context: the wake timer and the tests read the two atomic facts.
#pragma once

#include <windows.h>

#include <atomic>

enum class WalkKind { None, CatchUp, Recovery, BusySpell, Poll, Sweep };

struct WalkSchedule {
    // The watch has not caught up yet: it has not begun, or it began with a gap and its
    // catch-up walk has not run.
    std::atomic<bool> catchUpPending{true};
    // The catch-up waits until the watch's subfolders have been opened after its first read
    // reached the system: the wake timer opens them before it wakes the thread.
    std::atomic<bool> subfoldersToOpen{false};
    bool readPending = false;            // a read of this watch has been in the system
    WalkKind quietKind = WalkKind::None; // Recovery or BusySpell once the pair is quiet
    ULONGLONG quietBegan = 0;            // tick of the first change of that spell
    ULONGLONG quietDue = 0;              // tick the quiet walk is due
    ULONGLONG pollDue = 0;               // reads report nothing: tick of the next walk; 0 otherwise
    bool sweepAsked = false;
    ULONGLONG sweptSince = 0; // FILETIME the last complete sweep (or the watch) began
};

// A watch begins at `now` (FILETIME). `catchUp`: it has a gap to walk once a read has been
// pending (and `subfoldersToOpen`: once its subfolders have been opened after that).
void WatchBegins(WalkSchedule &schedule, bool catchUp, bool subfoldersToOpen, ULONGLONG now);

// A read of the watch came back (a batch, an overflow, a cancel): it had been in the system.
void ReadCameBack(WalkSchedule &schedule);
// The watch's subfolders were opened while its read was in the system.
void SubfoldersOpened(WalkSchedule &schedule);
// Changes were lost at tick `now` (kind Recovery), or a batch of a busy spell arrived whose
// batches may miss changes (kind BusySpell).
void WalkWhenQuiet(WalkSchedule &schedule, WalkKind kind, ULONGLONG now);
// A batch arrived: the pair is not quiet yet.
void PairBusy(WalkSchedule &schedule, ULONGLONG now);
// The file system reports no changes: walks every 30 s from `now` on, the first at once.
void PollInstead(WalkSchedule &schedule, ULONGLONG now);
void SweepAsked(WalkSchedule &schedule);

// The walk due at `now`, or None.
WalkKind DueWalk(const WalkSchedule &schedule, ULONGLONG now);
// Where a walk of `kind` begins, with the open gap from `gapSince` (0: none open); 0 when it
// has nothing to walk.
ULONGLONG WalkFrom(const WalkSchedule &schedule, WalkKind kind, ULONGLONG gapSince);
// The tick of the next walk to come (or of the next look whether the catch-up may run), or 0.
ULONGLONG NextWalkTick(const WalkSchedule &schedule, ULONGLONG now);
// A walk of `kind` that began at `startedAt` (FILETIME) ran at tick `now`; `complete`: it ran
// to its end.
void WalkRan(WalkSchedule &schedule, WalkKind kind, bool complete, ULONGLONG now,
             ULONGLONG startedAt);
