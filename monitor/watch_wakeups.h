// Waking a watch thread that waits in its read, and what wakes it.
//
// A watch thread spends its idle time inside a synchronous ReadDirectoryChangesW. Whatever
// else needs the thread (a waiting copy that is due, a catch-up walk once a new read is
// pending, a check that found the watched folder gone) adds a reason to the context's
// wakeReasons and cancels the read; the thread finds the reasons at the head of its loop.
// The thread marks itself as in its read (inRead) before it looks at the reasons one last
// time, and a waker adds its reason before it looks at inRead: so either the thread sees the
// reason before it reads, or the waker sees the thread in its read and cancels until the
// cancel takes (a read that is still being entered cannot be cancelled yet).
//
// Two thread-pool timers per thread do the waking: one armed only while copies wait (an idle
// pair has none), one that looks every few seconds whether the registered path still names
// the folder the thread has open (a folder deleted or renamed away leaves the read blocked
// without an error under Wine, and on Windows the handle follows a renamed folder).
#pragma once

#include "monitor/watch_thread.h"

#include <memory>

const unsigned kWakeCatchUp = 1;    // a read is pending: walk for what happened before it
const unsigned kWakeDueCopies = 2;  // a waiting copy is due
const unsigned kWakeFolderLost = 4; // the path no longer names the open folder

// Cancels the context's pending read, if any; true when a read was cancelled.
bool CancelRead(WatchContext &context);

// Adds `reason` and gets the thread out of its read. Any thread but the watch thread.
void WakeWatchThread(WatchContext &context, unsigned reason);

// Creates the context's two timers, neither armed; false when the system refuses them
// (the thread then watches without waiting copies and without the folder check).
bool CreateWakeTimers(WatchContext &context);
// Arms the due-copies timer for `dueTick` (a GetTickCount64 value), or disarms it for 0.
void ArmDueCopies(WatchContext &context, ULONGLONG dueTick);
// Starts or stops the periodic folder check. Stopping waits for a check under way, so no
// stale check wakes the thread afterwards.
void ArmFolderCheck(WatchContext &context, bool on);
// Disarms both timers, waits for their callbacks and closes them.
void CloseWakeTimers(WatchContext &context);

// Starts a short-lived helper that waits until the thread has started a read after
// `readsBefore` reads, then (when openSubfolders, under Wine) opens every subfolder of the
// tree so that changes inside are reported, and wakes the thread for a catch-up walk.
void StartCatchUpHelper(const std::shared_ptr<WatchContext> &context, unsigned readsBefore,
                        bool openSubfolders);
