// Waking a watch thread that waits in its read, and what wakes it.
//
// A watch thread spends its idle time inside a synchronous ReadDirectoryChangesW. Whatever
// else needs the thread (a waiting copy or a walk that is due, a catch-up walk once its first
// read is pending, a check that found the watched folder gone, the hourly sweep) adds a reason
// to the context's wakeReasons and cancels the read; the thread finds the reasons at the head
// of its loop. The thread marks itself as in its read (inRead) before it looks at the reasons
// one last time, and a waker adds its reason before it looks at inRead: so either the thread
// sees the reason before it reads, or the waker sees the thread in its read and cancels until
// the cancel takes (a read that is still being entered cannot be cancelled yet).
//
// The waking is done by thread-pool timers: one per thread, armed only for the thread's next
// job (a waiting copy, a walk: monitor/walk_schedule.h; an idle pair has none), and one per
// generation that looks every few seconds whether each registered path still names the folder
// its thread has open (a folder deleted or renamed away leaves the read blocked without an
// error under Wine, and on Windows the handle follows a renamed folder). That look is a cheap
// one (attributes and times at the path); only when they changed is the folder opened to
// compare its identity. The same timer asks each thread for a sweep of its tree about once an
// hour (the pairs' sweeps spread over the hour), and keeps the pairs' mirror points in their
// file once a minute when they moved.
//
// Where subfolders stay silent until they are opened (monitor/system_behaviour.h), the thread's
// timer opens every subfolder of the tree once the first read is pending, before it wakes the
// thread for its catch-up walk.
//
// A stop never waits for the generation's timer: a look under way may hang on a share that
// went away. The timer is disarmed at once and let go of once its callback has returned.
#pragma once

#include "monitor/saved_points.h"
#include "monitor/watch_thread.h"

#include <memory>
#include <vector>

const unsigned kWakeDue = 1;              // the thread's timer went off: a copy or walk is due
const unsigned kWakeSubfoldersOpened = 2; // its subfolders were opened while its read was pending
const unsigned kWakeFolderLost = 4;       // the path no longer names the open folder
const unsigned kWakeSweep = 8;            // walk the tree for changes no notice told of
const unsigned kWakeRemoval = 16;         // let go of the folder: its drive is being removed

// Cancels the context's pending read, if any (CancelSynchronousIo on its thread, while it is
// in its read); true when a read was cancelled.
bool CancelRead(WatchContext &context);

// Adds `reason` and gets the thread out of its read. Any thread but the watch thread.
void WakeWatchThread(WatchContext &context, unsigned reason);

// Creates the context's wake timer, not armed; false when the system refuses it (the thread
// then retries waiting copies and walks only when a batch wakes it).
bool CreateWakeTimer(WatchContext &context);
// Arms it for `dueTick` (a GetTickCount64 value), or disarms it for 0.
void ArmWakeTimer(WatchContext &context, ULONGLONG dueTick);
// Disarms it, waits for its callback and closes it.
void CloseWakeTimer(WatchContext &context);

// Runs the waiting copies, and the walks of folders that wait for one, that are due at tick
// `now`, and arms the timer for the next one, or
// for `alsoAt` (other work of the thread; 0: none) when that comes first. `armedFor` is the
// tick the timer was armed for (0: not armed) and `fired` tells that it went off since, so
// that it is armed again even for the same tick (a timer may go off a little before the tick
// counter reaches its due tick). Returns the tick it is armed for now.
ULONGLONG RunDueWork(WatchContext &context, ULONGLONG now, ULONGLONG armedFor, bool fired,
                     ULONGLONG alsoAt = 0);

// Records `dir` (INVALID_HANDLE_VALUE: none) as the context's open folder, with what the
// folder check compares. Watch thread only.
void SetWatchedFolder(WatchContext &context, HANDLE dir);

// The folder check of one generation. UI thread: started after the generation's threads,
// stopped (waiting for a check under way) before they are.
struct FolderCheck;
FolderCheck *StartFolderCheck(const std::vector<std::shared_ptr<WatchContext>> &contexts);
void StopFolderCheck(FolderCheck *check);

// The tick of pair `index`'s first sweep, of `count` pairs started at tick `now`.
ULONGLONG FirstSweepTick(ULONGLONG now, size_t index, size_t count);

// The mirror points of a generation's pairs, as saved_points.h keeps them.
std::vector<KeptPoint> MirrorPointsOf(const std::vector<std::shared_ptr<WatchContext>> &contexts);
