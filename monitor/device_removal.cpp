#include "monitor/device_removal.h"

#include "app/main_window.h"
#include "monitor/long_path.h"
#include "monitor/trace.h"
#include "monitor/watch_thread.h"
#include "monitor/watch_wakeups.h"

#include <dbt.h>

namespace {

// How long the main window waits for a thread to close its folder before it answers (a copy
// under way is cancelled first), and how long a thread waits for the removal's outcome.
const ULONGLONG kLetGoWaitMs = 5000;
const DWORD kOutcomeWaitMs = 30000;

const unsigned kRemovalRefused = 1;
const unsigned kRemovalDone = 2;

// The running generation's context whose registration the notice names. UI thread.
WatchContext *ContextOf(const DEV_BROADCAST_HANDLE &notice) {
    for (const std::shared_ptr<WatchContext> &context : g_watchContexts) {
        std::lock_guard<std::mutex> lock(context->handleLock);
        if ((context->deviceNotify && context->deviceNotify == notice.dbch_hdevnotify) ||
            (context->deviceHandle && context->deviceHandle == notice.dbch_handle))
            return context.get();
    }
    return nullptr;
}

bool FolderClosed(WatchContext &context) {
    std::lock_guard<std::mutex> lock(context.handleLock);
    return context.dirHandle == nullptr;
}

// Asks the thread to let go of its folder and waits, briefly, until it has: the system removes
// the drive only once no handle to it is open.
void LetGo(WatchContext &context) {
    context.removalOutcome.store(0);
    context.removalAsked.store(true);
    WakeWatchThread(context, kWakeRemoval);
    ULONGLONG start = GetTickCount64();
    while (!FolderClosed(context) && !context.ended.load() &&
           GetTickCount64() - start < kLetGoWaitMs)
        Sleep(10);
}

void RemovalEnded(WatchContext &context, unsigned outcome) {
    if (!context.removalAsked.load())
        return;
    context.removalOutcome.store(outcome);
    if (context.removalEvent)
        SetEvent(context.removalEvent.get());
}

} // namespace

LRESULT OnFolderDeviceChange(WPARAM event, LPARAM data) {
    const DEV_BROADCAST_HDR *header = (const DEV_BROADCAST_HDR *)data;
    if (!header || header->dbch_devicetype != DBT_DEVTYP_HANDLE)
        return TRUE;
    WatchContext *context = ContextOf(*(const DEV_BROADCAST_HANDLE *)data);
    if (!context)
        return TRUE;
    switch (event) {
    case DBT_DEVICEQUERYREMOVE:
        LetGo(*context);
        break;
    case DBT_DEVICEQUERYREMOVEFAILED:
        RemovalEnded(*context, kRemovalRefused);
        break;
    case DBT_DEVICEREMOVECOMPLETE:
        RemovalEnded(*context, kRemovalDone);
        break;
    }
    return TRUE;
}

void WatchForRemoval(WatchContext &context, HANDLE dir) {
    HDEVNOTIFY notify = nullptr;
    wchar_t root[MAX_PATH + 1] = {};
    bool remote =
        GetVolumePathNameW(FileSystemPath(FullPath(context.path)).c_str(), root, MAX_PATH) &&
        GetDriveTypeW(root) == DRIVE_REMOTE;
    if (remote || !g_hMainWnd)
        return;
    DEV_BROADCAST_HANDLE filter = {};
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = dir;
    notify = RegisterDeviceNotificationW(g_hMainWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    std::lock_guard<std::mutex> lock(context.handleLock);
    context.deviceNotify = notify;
    context.deviceHandle = dir;
}

void StopWatchingForRemoval(WatchContext &context) {
    HDEVNOTIFY notify = nullptr;
    {
        std::lock_guard<std::mutex> lock(context.handleLock);
        notify = context.deviceNotify;
        context.deviceNotify = nullptr;
        context.deviceHandle = nullptr;
    }
    if (notify)
        UnregisterDeviceNotification(notify);
}

bool RemovalAsked(const WatchContext &context) {
    return context.removalAsked.load();
}

bool WaitForRemoval(WatchContext &context) {
    Trace512(L"MonitorThread[%zu] lets go of %ls: its drive is being removed\n", context.index,
             context.path.c_str());
    HANDLE waits[] = {context.stopEvent.get(), context.removalEvent.get()};
    DWORD count = waits[1] ? 2 : 1;
    bool stopped = WaitForMultipleObjects(count, waits, FALSE, kOutcomeWaitMs) == WAIT_OBJECT_0;
    unsigned outcome = context.removalOutcome.exchange(0);
    context.removalAsked.store(false);
    if (stopped)
        return true;
    Trace512(outcome == kRemovalRefused
                 ? L"MonitorThread[%zu] keeps watching %ls: the removal of its drive was refused\n"
                 : L"MonitorThread[%zu] watches %ls again once its drive is back\n",
             context.index, context.path.c_str());
    return false;
}
