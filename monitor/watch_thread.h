// The watch threads of the monitoring engine and what the supervisor shares with them.
//
// Every watch thread gets a context of its own, made by StartMonitoring before the thread
// exists and shared by the two of them: the pair's paths (so the thread never reads the
// folder pair table, which the pair list dialog edits while threads may still be starting),
// the directory handle and the notice tick of the pair. A generation's contexts are never
// reused, so a thread that outlives StopMonitoring (blocked in a long copy) can only touch
// its own generation's state, never the slots of the pairs that replaced it.
#pragma once

#include "monitor/change_batch.h"
#include "monitor/file_identity.h"
#include "monitor/mirror_state.h"
#include "monitor/pair_trouble.h"
#include "monitor/walk_schedule.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Closes a handle (an event, a thread: null when there is none) when its owner goes.
struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle)
            CloseHandle(handle);
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct WatchContext {
    size_t index = 0;             // the pair index, the wParam of the notices
    std::wstring path;            // the watched source folder, copied from the table at start
    std::wstring destRoot;        // the destination folder; empty when the pair has none
    std::mutex handleLock;        // orders closing dirHandle (thread) against cancelling (others)
    HANDLE dirHandle = nullptr;   // the open source folder, null while it is not open
    ULONGLONG lastNotifyTick = 0; // tick of the last accepted notice; watch thread only
    std::atomic<bool> stopRequested{false}; // set by StopMonitoring for this generation only
    UniqueHandle stopEvent;         // manual reset, set with stopRequested: ends waits at once
    UniqueHandle thread;            // the watch thread's own handle, to cancel its read
    std::atomic<bool> ended{false}; // the thread has closed its handle
    std::atomic<unsigned> readsIssued{0};    // reads the thread has started so far
    std::atomic<bool> inRead{false};         // in (or entering) a read; cleared under handleLock
    std::atomic<unsigned> wakeReasons{0};    // why the thread's read was interrupted (below)
    std::atomic<ULONGLONG> nextSweepTick{0}; // when the generation's timer asks for a sweep
    // When the current watch's gap is walked: the watch thread's, but for the two atomic facts,
    // which the wake timer and the tests read.
    WalkSchedule schedule;
    // The drive of the open folder is being removed (monitor/device_removal.h): the main window
    // asks the thread to let go of it, then tells the outcome (0: none yet, 1: refused, 2: done)
    // and sets the event (auto reset) that ends the thread's wait for it.
    std::atomic<bool> removalAsked{false};
    std::atomic<unsigned> removalOutcome{0};
    UniqueHandle removalEvent;
    // The open folder's registration for removal notices, under handleLock: the handle it names
    // (until the registration ends), and the registration (null where the system gave none).
    HANDLE deviceHandle = nullptr;
    HDEVNOTIFY deviceNotify = nullptr;
    // The open folder as the folder check knows it, under handleLock: its identity, its
    // attributes and times as last seen at the path, and which opening of the folder it is.
    FileIdentity folderIdentity;
    WIN32_FILE_ATTRIBUTE_DATA folderSeen = {};
    unsigned folderOpenings = 0;
    // The pair's waiting copies and its mirror point: the thread's, but for the point, which
    // the supervisor reads.
    MirrorState mirror;
    PTP_TIMER wakeTimer = nullptr; // wakes the thread when a waiting copy or a walk is due
    TroubleWatch trouble;          // what the pair's trouble reports know; watch thread only
};

// Owned by the user-interface thread; slot i belongs to pair i of the running generation.
// Both are sized only by StartMonitoring and emptied only by StopMonitoring.
extern std::vector<HANDLE> g_threadHandles;                        // thread handle, or null
extern std::vector<std::shared_ptr<WatchContext>> g_watchContexts; // the threads' contexts

// Set by StopMonitoring, cleared by StartMonitoring; loaded by every watch thread.
extern std::atomic<bool> g_stopMonitoring;

// The watch thread routine. Its parameter is a new std::shared_ptr<WatchContext> that the
// thread takes over and deletes.
DWORD WINAPI MonitorThread(LPVOID parameter);

// Handles one delivered batch of a pair at tick `now`: the notice throttle, the copy pass
// (for every batch, throttled or not) and the notice. A walk from `since` (FILETIME) would
// find the batch's changes. True when the copy pass handled every record. Watch thread of
// the context only.
bool HandleChangeBatch(WatchContext &context, const std::vector<FolderChange> &changes,
                       ULONGLONG now, ULONGLONG since);
