#include "monitor/watch_wakeups.h"

#include "monitor/tree_walk.h"
#include "monitor/wine_subfolders.h"

#include <algorithm>

namespace {

const DWORD kFolderCheckMs = 5000;
const DWORD kFolderCheckSlackMs = 1000; // lets the system run checks together
const int kCancelAttempts = 2000;       // about two seconds for a read to become cancellable

// A relative due time for SetThreadpoolTimer: negative, in 100-nanosecond units.
FILETIME RelativeDueTime(ULONGLONG ms) {
    ULARGE_INTEGER value;
    value.QuadPart = (ULONGLONG)(-(LONGLONG)(ms == 0 ? 1 : ms * 10000));
    FILETIME due;
    due.dwLowDateTime = value.LowPart;
    due.dwHighDateTime = value.HighPart;
    return due;
}

bool Finished(const WatchContext &context) {
    return context.stopRequested.load() || context.ended.load() || g_stopMonitoring.load();
}

VOID CALLBACK WakeForDueCopies(PTP_CALLBACK_INSTANCE, PVOID parameter, PTP_TIMER) {
    WakeWatchThread(*(WatchContext *)parameter, kWakeDueCopies);
}

VOID CALLBACK CheckWatchedFolder(PTP_CALLBACK_INSTANCE, PVOID parameter, PTP_TIMER) {
    WatchContext &context = *(WatchContext *)parameter;
    FileIdentity open;
    {
        std::lock_guard<std::mutex> lock(context.handleLock);
        open = context.folderIdentity;
    }
    FileIdentity now;
    bool found = ReadPathIdentity(context.path, now);
    // An identity the file system does not give (an index of 0) cannot tell: not lost.
    if (found && (!IdentityKnown(now) || !IdentityKnown(open) || SameFileIdentity(now, open)))
        return;
    WakeWatchThread(context, kWakeFolderLost);
}

struct CatchUpStart {
    std::shared_ptr<WatchContext> context;
    unsigned readsBefore;
    bool openSubfolders;
};

DWORD WINAPI CatchUpHelper(LPVOID parameter) {
    CatchUpStart *start = (CatchUpStart *)parameter;
    std::shared_ptr<WatchContext> keep = start->context;
    unsigned readsBefore = start->readsBefore;
    bool openSubfolders = start->openSubfolders;
    delete start;
    WatchContext &context = *keep;
    for (int wait = 0;
         wait < 6000 && context.readsIssued.load() <= readsBefore && !Finished(context); ++wait)
        Sleep(10);
    // Under Wine, folders opened before the read reached the system stay silent, so a read
    // that could not be cancelled although the thread was in it means: open them again.
    for (int attempt = 0; attempt < 100 && !Finished(context); ++attempt) {
        Sleep(20);
        if (openSubfolders)
            ForEachSubfolder(context.path, OpenFolderOnce);
        context.wakeReasons.fetch_or(kWakeCatchUp);
        if (CancelRead(context) || !context.inRead.load())
            break; // cancelled, or between two reads: it catches up at the head of its loop
    }
    return 0;
}

} // namespace

bool CancelRead(WatchContext &context) {
    std::lock_guard<std::mutex> lock(context.handleLock);
    return context.dirHandle && CancelIoEx(context.dirHandle, nullptr);
}

void WakeWatchThread(WatchContext &context, unsigned reason) {
    context.wakeReasons.fetch_or(reason);
    for (int attempt = 0; attempt < kCancelAttempts && context.inRead.load(); ++attempt) {
        if (CancelRead(context))
            return;
        Sleep(1);
    }
}

bool CreateWakeTimers(WatchContext &context) {
    context.dueCopiesTimer = CreateThreadpoolTimer(WakeForDueCopies, &context, nullptr);
    context.folderCheckTimer = CreateThreadpoolTimer(CheckWatchedFolder, &context, nullptr);
    return context.dueCopiesTimer && context.folderCheckTimer;
}

void ArmDueCopies(WatchContext &context, ULONGLONG dueTick) {
    if (!context.dueCopiesTimer)
        return;
    if (dueTick == 0) {
        SetThreadpoolTimer(context.dueCopiesTimer, nullptr, 0, 0);
        return;
    }
    ULONGLONG now = GetTickCount64();
    ULONGLONG delay = dueTick > now ? dueTick - now : 0;
    FILETIME due = RelativeDueTime(delay);
    SetThreadpoolTimer(context.dueCopiesTimer, &due, 0,
                       (DWORD)std::min<ULONGLONG>(delay / 8, 1000));
}

void ArmFolderCheck(WatchContext &context, bool on) {
    if (!context.folderCheckTimer)
        return;
    if (on) {
        FILETIME due = RelativeDueTime(kFolderCheckMs);
        SetThreadpoolTimer(context.folderCheckTimer, &due, kFolderCheckMs, kFolderCheckSlackMs);
        return;
    }
    SetThreadpoolTimer(context.folderCheckTimer, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(context.folderCheckTimer, TRUE);
}

void CloseWakeTimers(WatchContext &context) {
    for (PTP_TIMER *timer : {&context.dueCopiesTimer, &context.folderCheckTimer}) {
        if (!*timer)
            continue;
        SetThreadpoolTimer(*timer, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(*timer, TRUE);
        CloseThreadpoolTimer(*timer);
        *timer = nullptr;
    }
}

void StartCatchUpHelper(const std::shared_ptr<WatchContext> &context, unsigned readsBefore,
                        bool openSubfolders) {
    CatchUpStart *start = new CatchUpStart{context, readsBefore, openSubfolders};
    HANDLE thread = CreateThread(nullptr, 0, CatchUpHelper, start, 0, nullptr);
    if (thread)
        CloseHandle(thread);
    else
        delete start;
}
