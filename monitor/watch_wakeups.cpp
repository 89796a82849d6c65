#include "monitor/watch_wakeups.h"

#include "monitor/clock.h"
#include "monitor/copier.h"
#include "monitor/gap_walk.h"
#include "monitor/long_path.h"
#include "monitor/tree_walk.h"
#include "monitor/wine_subfolders.h"

#include <algorithm>

struct FolderCheck {
    PTP_TIMER timer = nullptr;
    std::vector<std::shared_ptr<WatchContext>> contexts;
    std::atomic<bool> stopping{false};
    // A look that hangs on a share that went away must not have the next round's callback run
    // beside it: a round that finds one under way leaves at once.
    std::atomic<bool> checking{false};
    unsigned rounds = 0; // the callback under way only
};

namespace {

const DWORD kFolderCheckMs = 5000;
const unsigned kRoundsBetweenSaves = 12; // a minute
const ULONGLONG kSweepMs = 60ULL * 60 * 1000;
const DWORD kFolderCheckSlackMs = 1000; // lets the system run checks together
const ULONGLONG kCancelWaitMs = 2000;   // how long a read may take to become cancellable
const int kOpenAttempts = 100;          // about two seconds of opening the subfolders again

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

// Under silent subfolders, while the catch-up waits: folders opened before the read reached
// the system stay silent, so a read that could not be cancelled although the thread was in it
// means: open them again.
void OpenSubfoldersAndWake(WatchContext &context) {
    for (int attempt = 0; attempt < kOpenAttempts && !Finished(context); ++attempt) {
        bool reading = context.inRead.load();
        if (reading)
            ForEachSubfolder(context.path, OpenFolderOnce);
        context.wakeReasons.fetch_or(kWakeDue | (reading ? kWakeSubfoldersOpened : 0));
        if (CancelRead(context) || !context.inRead.load())
            return; // cancelled, or between two reads: it looks at its reasons first
        Sleep(20);
    }
}

VOID CALLBACK WakeWhenDue(PTP_CALLBACK_INSTANCE, PVOID parameter, PTP_TIMER) {
    WatchContext &context = *(WatchContext *)parameter;
    if (context.schedule.subfoldersToOpen.load())
        OpenSubfoldersAndWake(context);
    else
        WakeWatchThread(context, kWakeDue);
}

bool SameSighting(const WIN32_FILE_ATTRIBUTE_DATA &a, const WIN32_FILE_ATTRIBUTE_DATA &b) {
    return a.dwFileAttributes == b.dwFileAttributes &&
           CompareFileTime(&a.ftCreationTime, &b.ftCreationTime) == 0 &&
           CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0;
}

// True while the registered path of a watching context still names the folder it has open.
bool StillTheOpenFolder(WatchContext &context, unsigned &opening) {
    FileIdentity open;
    WIN32_FILE_ATTRIBUTE_DATA seen;
    {
        std::lock_guard<std::mutex> lock(context.handleLock);
        if (!context.dirHandle)
            return true;
        open = context.folderIdentity;
        seen = context.folderSeen;
        opening = context.folderOpenings;
    }
    WIN32_FILE_ATTRIBUTE_DATA now;
    if (!GetFileAttributesExW(FileSystemPath(context.path).c_str(), GetFileExInfoStandard, &now))
        return false;
    if (SameSighting(now, seen))
        return true;
    FileIdentity found;
    if (!ReadPathIdentity(context.path, found))
        return false;
    // An identity the file system does not give (an index of 0) cannot tell: not lost.
    if (KnownToDiffer(found, open))
        return false;
    std::lock_guard<std::mutex> lock(context.handleLock);
    if (context.folderOpenings == opening)
        context.folderSeen = now;
    return true;
}

// One round of the check; the callback below runs one at a time.
void CheckEachFolder(FolderCheck &check) {
    if (++check.rounds % kRoundsBetweenSaves == 0 && !check.stopping.load())
        KeepPoints(MirrorPointsOf(check.contexts));
    for (const std::shared_ptr<WatchContext> &context : check.contexts) {
        if (check.stopping.load())
            return;
        ULONGLONG sweepTick = context->nextSweepTick.load();
        if (!Finished(*context) && sweepTick != 0 && GetTickCount64() >= sweepTick) {
            context->nextSweepTick.store(GetTickCount64() + kSweepMs);
            WakeWatchThread(*context, kWakeSweep);
        }
        unsigned opening = 0;
        if (Finished(*context) || StillTheOpenFolder(*context, opening))
            continue;
        // A thread that opened the folder again meanwhile has what the check did not see.
        {
            std::lock_guard<std::mutex> lock(context->handleLock);
            if (context->folderOpenings != opening || !context->dirHandle)
                continue;
        }
        WakeWatchThread(*context, kWakeFolderLost);
    }
}

VOID CALLBACK CheckWatchedFolders(PTP_CALLBACK_INSTANCE, PVOID parameter, PTP_TIMER) {
    FolderCheck &check = *(FolderCheck *)parameter;
    if (check.checking.exchange(true))
        return;
    CheckEachFolder(check);
    check.checking.store(false);
}

// Lets a stopped generation's timer go once its callback has returned.
VOID CALLBACK ReleaseFolderCheck(PTP_CALLBACK_INSTANCE, PVOID parameter) {
    FolderCheck *check = (FolderCheck *)parameter;
    WaitForThreadpoolTimerCallbacks(check->timer, TRUE);
    CloseThreadpoolTimer(check->timer);
    delete check;
}

} // namespace

bool CancelRead(WatchContext &context) {
    // The thread leaves its read under the same lock: a cancel never reaches whatever else it
    // does next (a copy, a listing).
    std::lock_guard<std::mutex> lock(context.handleLock);
    return context.inRead.load() && context.thread &&
           CancelSynchronousIo(context.thread.get()) != FALSE;
}

void WakeWatchThread(WatchContext &context, unsigned reason) {
    context.wakeReasons.fetch_or(reason);
    // Sleep(1) lasts a timer tick (about 16 ms): bounded by the clock, not by a count.
    ULONGLONG start = GetTickCount64();
    while (context.inRead.load() && GetTickCount64() - start < kCancelWaitMs) {
        if (CancelRead(context))
            return;
        Sleep(1);
    }
}

bool CreateWakeTimer(WatchContext &context) {
    context.wakeTimer = CreateThreadpoolTimer(WakeWhenDue, &context, nullptr);
    return context.wakeTimer != nullptr;
}

void ArmWakeTimer(WatchContext &context, ULONGLONG dueTick) {
    if (!context.wakeTimer)
        return;
    if (dueTick == 0) {
        SetThreadpoolTimer(context.wakeTimer, nullptr, 0, 0);
        return;
    }
    ULONGLONG now = GetTickCount64();
    ULONGLONG delay = dueTick > now ? dueTick - now : 0;
    FILETIME due = RelativeDueTime(delay);
    SetThreadpoolTimer(context.wakeTimer, &due, 0, (DWORD)std::min<ULONGLONG>(delay / 8, 1000));
}

void CloseWakeTimer(WatchContext &context) {
    if (!context.wakeTimer)
        return;
    SetThreadpoolTimer(context.wakeTimer, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(context.wakeTimer, TRUE);
    CloseThreadpoolTimer(context.wakeTimer);
    context.wakeTimer = nullptr;
}

void SetWatchedFolder(WatchContext &context, HANDLE dir) {
    bool open = dir != INVALID_HANDLE_VALUE;
    FileIdentity identity;
    WIN32_FILE_ATTRIBUTE_DATA seen = {};
    if (open) {
        if (!ReadFileIdentity(dir, identity))
            ReadPathIdentity(context.path, identity);
        GetFileAttributesExW(FileSystemPath(context.path).c_str(), GetFileExInfoStandard, &seen);
    }
    HANDLE previous = nullptr;
    {
        std::lock_guard<std::mutex> lock(context.handleLock);
        previous = context.dirHandle;
        context.dirHandle = open ? dir : nullptr;
        context.folderIdentity = identity;
        context.folderSeen = seen;
        ++context.folderOpenings;
    }
    // Outside the lock: closing a folder on a share that went away can take long, and a stop
    // cancelling reads under the lock must not wait for it.
    if (previous)
        CloseHandle(previous);
}

FolderCheck *StartFolderCheck(const std::vector<std::shared_ptr<WatchContext>> &contexts) {
    FolderCheck *check = new FolderCheck;
    check->contexts = contexts;
    check->timer = CreateThreadpoolTimer(CheckWatchedFolders, check, nullptr);
    if (!check->timer) {
        delete check;
        return nullptr;
    }
    FILETIME due = RelativeDueTime(kFolderCheckMs);
    SetThreadpoolTimer(check->timer, &due, kFolderCheckMs, kFolderCheckSlackMs);
    return check;
}

void StopFolderCheck(FolderCheck *check) {
    if (!check)
        return;
    check->stopping.store(true);
    SetThreadpoolTimer(check->timer, nullptr, 0, 0);
    if (!TrySubmitThreadpoolCallback(ReleaseFolderCheck, check, nullptr))
        ReleaseFolderCheck(nullptr, check);
}

ULONGLONG FirstSweepTick(ULONGLONG now, size_t index, size_t count) {
    return now + kSweepMs * (index + 1) / (count + 1);
}

std::vector<KeptPoint> MirrorPointsOf(const std::vector<std::shared_ptr<WatchContext>> &contexts) {
    std::vector<KeptPoint> points;
    for (const std::shared_ptr<WatchContext> &context : contexts) {
        std::shared_ptr<const KnownFolders> folders;
        ULONGLONG point = MirroredUpTo(context->mirror.point, &folders);
        points.push_back(KeptPoint{context->path, context->destRoot, point, folders,
                                   WatchedFolderOf(context->mirror.point)});
    }
    return points;
}

ULONGLONG RunDueWork(WatchContext &context, ULONGLONG now, ULONGLONG armedFor, bool fired,
                     ULONGLONG alsoAt) {
    MirrorState &mirror = context.mirror;
    auto nextDue = [&] {
        return EarliestSet(NextDueTick(mirror.pending), NextFolderDue(mirror.unlisted));
    };
    ULONGLONG next = nextDue();
    if (next != 0 && next <= now) {
        RunDueCopies(mirror, now);
        WalkWaitingFolders(context.destRoot, mirror, now);
        next = nextDue();
    }
    if (alsoAt != 0 && (next == 0 || alsoAt < next))
        next = alsoAt;
    if (fired)
        armedFor = 0;
    if (next != armedFor)
        ArmWakeTimer(context, next);
    return next;
}
