// When a pair's open gap is walked: the one place that decides it, for the watch thread.
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
// - batches may miss changes (monitor/change_reports.h): every busy spell is walked once the
//   pair has been quiet for 2 s;
//   either quiet walk waits at most 30 s after the spell began while the pair stays busy;
// - the file system reports no changes: a walk every 30 s instead;
// - the hourly sweep, for notices that never came.
// A walk that could not list every folder leaves the gap open and is tried again after 1, 2,
// 4 ... 60 s, for as long as it stays incomplete; one that runs to its end ends that.
//
// Only bookkeeping, with the tick the thread passes in: the thread runs the walk DueWalk
// names, reports it with WalkRan, and arms its timer for NextWalkTick.
#pragma once

#include <windows.h>

enum class WalkKind { None, CatchUp, Recovery, BusySpell, Poll, Sweep };

struct WalkSchedule {
    bool catchUpWanted = false;          // the watch began with a gap
    bool readPending = false;            // a read of this watch has been in the system
    bool subfoldersToOpen = false;       // and the catch-up waits until its subfolders are opened
    WalkKind quietKind = WalkKind::None; // Recovery or BusySpell once the pair is quiet
    ULONGLONG quietBegan = 0;            // tick of the first change of that spell
    ULONGLONG quietDue = 0;              // tick the quiet walk is due
    ULONGLONG pollDue = 0;               // reads report nothing: tick of the next walk; 0 otherwise
    bool sweepAsked = false;
    WalkKind retryKind = WalkKind::None; // a walk that could not list every folder
    ULONGLONG retryDue = 0;
    DWORD retryDelayMs = 0; // the delay before its last try; 0 when all is well
};

// A watch begins. `catchUp`: it has a gap to walk once a read has been pending (and
// `subfoldersToOpen`: once its subfolders have been opened after that).
WalkSchedule WatchBegins(bool catchUp, bool subfoldersToOpen);

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
// The tick of the next walk to come (or of the next look whether the catch-up may run), or 0.
ULONGLONG NextWalkTick(const WalkSchedule &schedule, ULONGLONG now);
// A walk of `kind` ran at `now`; `complete`: it ran to its end.
void WalkRan(WalkSchedule &schedule, WalkKind kind, bool complete, ULONGLONG now);
