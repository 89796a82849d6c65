// The supervisor (StartMonitoring, StopMonitoring) and the watch threads.
//
// One thread per pair blocks in a synchronous ReadDirectoryChangesW on the whole source
// tree: an idle pair costs a sleeping thread and an open handle, nothing else. Each thread
// owns its context (see watch_thread.h) and closes its own directory handle exactly once;
// the supervisor only cancels reads, under the context's lock, so it can never cancel or
// close a handle value that another generation has been given since.
//
// The read loop is a short table of cases: a batch, an overflow, a wake-up (monitor/
// watch_wakeups.h: waiting copies due, a catch-up walk, the folder lost), a stop, and a
// read that fails because the folder went away. Nothing is lost across gaps: every thread
// keeps the time before which every change has been copied (caughtUpTo), and whatever reads
// the tree again (a recovery after an overflow, a catch-up once the folder is open again or a
// new generation watches the same pair) walks the tree for files changed since then.
#include "monitor/monitor.h"

#include "app/main_window.h"
#include "monitor/copier.h"
#include "monitor/long_path.h"
#include "monitor/pair_trouble.h"
#include "monitor/safe_copy.h"
#include "monitor/trace.h"
#include "monitor/watch_thread.h"
#include "monitor/watch_wakeups.h"
#include "monitor/wine_subfolders.h"
#include "store/pair_table.h"

#include <algorithm>
#include <map>

std::vector<HANDLE> g_threadHandles;
std::vector<std::shared_ptr<WatchContext>> g_watchContexts;
std::atomic<bool> g_stopMonitoring{false};

namespace {

const DWORD kBufferBytes = 16384;
const DWORD kChangeFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                            FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                            FILE_NOTIFY_CHANGE_LAST_WRITE;
const DWORD kFailedReadPauseMs = 500;
const DWORD kStopWaitMs = 2000;
const DWORD kStopCancelIntervalMs = 50;
const DWORD kFirstReopenMs = 1000;
const DWORD kLongestReopenMs = 30000;
// File systems with coarse clocks (FAT: 2 s) stamp a write up to this much before it happened.
const ULONGLONG kClockSlack = 2ULL * 10000000ULL;

// Where the next generation's watch of a pair catches up from (FILETIME), by pair: written
// by StopMonitoring, taken by the pair's thread once its folder is open. UI thread and
// watch threads, under the lock.
std::mutex g_handoverLock;
std::map<std::wstring, ULONGLONG> g_handovers;

// The running generation's folder check, or null. UI thread.
FolderCheck *g_folderCheck = nullptr;

// How the watch of an open folder ended.
enum class WatchEnd { Stopped, FolderLost };

// The start of a window of lost changes that began at `time`, allowing for coarse clocks.
ULONGLONG WindowStart(ULONGLONG time) {
    return time > kClockSlack ? time - kClockSlack : 0;
}

ULONGLONG SystemTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
}

bool StopRequested(const WatchContext &context) {
    return g_stopMonitoring.load() || context.stopRequested.load();
}

std::wstring PairKey(const std::wstring &source, const std::wstring &dest) {
    return FoldCase(source) + L"\n" + FoldCase(dest);
}

ULONGLONG TakeHandover(const WatchContext &context) {
    std::lock_guard<std::mutex> lock(g_handoverLock);
    auto found = g_handovers.find(PairKey(context.path, context.destRoot));
    if (found == g_handovers.end())
        return 0;
    ULONGLONG since = found->second;
    g_handovers.erase(found);
    return since;
}

void PostNotice(size_t index, const std::wstring &msg) {
    wchar_t *text = new wchar_t[msg.size() + 1];
    msg.copy(text, msg.size());
    text[msg.size()] = L'\0';
    if (!PostMessageW(g_hMainWnd, WM_FOLDER_CHANGED, (WPARAM)index, (LPARAM)text)) {
        DWORD error = GetLastError();
        Trace256(L"PostMessageW failed for index %zu err=%u\n", index, error);
        delete[] text;
    }
}

HANDLE OpenFolderForWatch(const std::wstring &path) {
    return CreateFileW(FileSystemPath(path).c_str(), FILE_LIST_DIRECTORY,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Opens the watched folder; while it cannot be opened (a share not connected yet, a drive
// unplugged, a folder deleted), tries again after 1 s, 2 s, 4 s ... 30 s, with one trace line
// per failed attempt. INVALID_HANDLE_VALUE only when the generation stops.
HANDLE OpenWhenAvailable(WatchContext &ctx, bool &waited) {
    DWORD delay = kFirstReopenMs;
    for (;;) {
        if (StopRequested(ctx))
            return INVALID_HANDLE_VALUE;
        HANDLE dir = OpenFolderForWatch(ctx.path);
        if (dir != INVALID_HANDLE_VALUE)
            return dir;
        DWORD error = GetLastError();
        ReportFolderMissing(ctx, error);
        if (!waited && !ctx.destRoot.empty())
            RemoveLeftoverCopies(ctx.destRoot);
        waited = true;
        Trace512(L"MonitorThread[%zu] cannot open %ls err=%u, next attempt in %u ms\n", ctx.index,
                 ctx.path.c_str(), error, delay);
        if (WaitForSingleObject(ctx.stopEvent.get(), delay) != WAIT_TIMEOUT)
            return INVALID_HANDLE_VALUE;
        delay = std::min(2 * delay, kLongestReopenMs);
    }
}

// Runs the waiting copies that are due and sets the timer for the next one.
void RunDueWork(WatchContext &ctx, ULONGLONG &armedFor) {
    ULONGLONG next = NextDueTick(ctx.mirror);
    if (next != 0 && next <= GetTickCount64()) {
        RunDueCopies(ctx.mirror, GetTickCount64());
        next = NextDueTick(ctx.mirror);
    }
    if (next != armedFor) {
        ArmDueCopies(ctx, next);
        armedFor = next;
    }
}

// Everything before `delivered` has reached the thread; what waits is older still.
void PublishCaughtUp(WatchContext &ctx, ULONGLONG delivered, ULONGLONG outstanding) {
    ULONGLONG upTo = outstanding != 0 ? std::min(delivered, outstanding) : delivered;
    ctx.caughtUpTo.store(EarliestPendingSince(ctx.mirror, upTo));
}

void RecoverLostChanges(WatchContext &ctx, ULONGLONG lostSince) {
    ctx.mirror.windowStart = lostSince;
    size_t copied = CopyFilesChangedSince(ctx.path, ctx.destRoot, lostSince, ctx.mirror);
    Trace256(L"MonitorThread[%zu] changes were lost; recovery pass copied %zu files\n", ctx.index,
             copied);
}

void CatchUp(WatchContext &ctx, ULONGLONG since, bool rootArrived) {
    ctx.mirror.windowStart = since;
    size_t copied = CopyFilesChangedSince(ctx.path, ctx.destRoot, since, ctx.mirror, rootArrived);
    Trace256(L"MonitorThread[%zu] catch-up pass copied %zu files\n", ctx.index, copied);
}

// Watches the open folder `dir` until the generation stops or the folder is lost. A
// catch-up walk runs once a read is pending: from catchUpSince (a gap before this watch;
// 0 for none), and under Wine from the first read on (see wine_subfolders.h).
WatchEnd WatchFolder(const std::shared_ptr<WatchContext> &context, HANDLE dir,
                     ULONGLONG catchUpSince, bool rootArrived) {
    WatchContext &ctx = *context;
    std::vector<BYTE> buffer(kBufferBytes, 0);
    ULONGLONG firstReadIssued = 0, previousReadIssued = 0, readIssued = 0, armedFor = 0;
    bool wine = RunsUnderWine();
    bool catchUpOutstanding = wine || catchUpSince != 0;
    if (catchUpOutstanding)
        StartCatchUpHelper(context, ctx.readsIssued.load(), wine);
    ULONGLONG delivered = catchUpSince != 0 ? catchUpSince : SystemTimeNow();
    PublishCaughtUp(ctx, delivered, 0);
    for (;;) {
        if (StopRequested(ctx))
            return WatchEnd::Stopped;
        unsigned reasons = ctx.wakeReasons.exchange(0);
        if (reasons & kWakeFolderLost) {
            Trace512(L"MonitorThread[%zu] lost its folder: %ls\n", ctx.index, ctx.path.c_str());
            return WatchEnd::FolderLost;
        }
        // A catch-up is due once this watch's first read was pending (a helper of an earlier
        // watch of the folder may still wake the thread: that is not it).
        if ((reasons & kWakeCatchUp) && catchUpOutstanding && firstReadIssued != 0) {
            ULONGLONG since = wine ? firstReadIssued : catchUpSince;
            if (catchUpSince != 0)
                since = std::min(since, catchUpSince);
            CatchUp(ctx, WindowStart(since), rootArrived);
            catchUpOutstanding = false;
            PublishCaughtUp(ctx, delivered, 0);
        }
        RunDueWork(ctx, armedFor);
        ReportPairTrouble(ctx, !catchUpOutstanding);

        // Marked as in its read before the last look at the reasons: see watch_wakeups.h.
        ctx.inRead.store(true);
        if (ctx.wakeReasons.load() != 0 || StopRequested(ctx)) {
            ctx.inRead.store(false);
            continue;
        }
        DWORD bytes = 0;
        previousReadIssued = readIssued;
        readIssued = SystemTimeNow();
        if (firstReadIssued == 0)
            firstReadIssued = previousReadIssued = readIssued;
        ctx.readsIssued.fetch_add(1);
        BOOL ok = ReadDirectoryChangesW(dir, buffer.data(), kBufferBytes, TRUE, kChangeFilter,
                                        &bytes, nullptr, nullptr);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        ctx.inRead.store(false);

        if (!ok) {
            // A read cancelled for a wake-up: Windows says ERROR_OPERATION_ABORTED, Wine
            // ERROR_IO_PENDING. A cancel by StopMonitoring is a failed read as ever.
            bool cancelled = error == ERROR_OPERATION_ABORTED || error == ERROR_IO_PENDING;
            if (cancelled && !StopRequested(ctx))
                continue;
            Trace256(L"ReadDirectoryChangesW failed on index %zu, err=%u\n", ctx.index, error);
            if (error == ERROR_NOTIFY_ENUM_DIR) {
                // Changes lost in an overflow happened after the previous read handed over
                // its batch, so after that read was issued.
                RecoverLostChanges(ctx, WindowStart(previousReadIssued));
            } else if (!StopRequested(ctx)) {
                return WatchEnd::FolderLost; // deleted, or its share went away
            }
            Sleep(kFailedReadPauseMs);
        } else if (bytes == 0) {
            RecoverLostChanges(ctx, WindowStart(previousReadIssued));
        } else {
            Trace256(L"MonitorThread[%zu] Read %u bytes\n", ctx.index, bytes);
            ctx.mirror.windowStart = WindowStart(previousReadIssued);
            HandleChangeBatch(ctx, DecodeChangeBatch(buffer.data(), bytes), GetTickCount64());
        }
        delivered = readIssued;
        PublishCaughtUp(ctx, delivered, catchUpOutstanding ? firstReadIssued : 0);
    }
}

} // namespace

void HandleChangeBatch(WatchContext &context, const std::vector<FolderChange> &changes,
                       ULONGLONG now) {
    // The throttle limits notices only: a save that writes a temporary file and renames it
    // within the same second must still be copied.
    bool notify = AcceptNoticeAt(now, context.lastNotifyTick) && g_hMainWnd != nullptr;
    std::wstring msg;
    if (notify)
        msg = ComposeNotice(context.path, changes);
    if (RunsUnderWine())
        OpenArrivedFolders(context.path, changes);
    CopyChangedFiles(context.path, context.destRoot, changes, context.mirror, now);
    if (notify)
        PostNotice(context.index, msg);
}

DWORD WINAPI MonitorThread(LPVOID parameter) {
    std::shared_ptr<WatchContext> *start = (std::shared_ptr<WatchContext> *)parameter;
    std::shared_ptr<WatchContext> context = *start;
    delete start;
    WatchContext &ctx = *context;
    ULONGLONG started = SystemTimeNow();
    CreateDueCopiesTimer(ctx);

    bool waited = false;
    HANDLE dir = OpenWhenAvailable(ctx, waited);
    if (dir != INVALID_HANDLE_VALUE) {
        Trace512(L"MonitorThread[%zu] started for path: %ls\n", ctx.index, ctx.path.c_str());
        // Files written while the folder could not be opened, or while no generation read
        // the pair's changes, are found by the catch-up walk.
        ULONGLONG catchUpSince = TakeHandover(ctx);
        if (waited)
            catchUpSince = catchUpSince != 0 ? std::min(catchUpSince, started) : started;
        FileIdentity lost; // the folder watched before, unknown at the first opening
        for (;;) {
            SetWatchedFolder(ctx, dir);
            // Another folder at the registered path (renamed or restored into place): all of
            // it is new to this pair.
            bool rootArrived = KnownToDiffer(ctx.folderIdentity, lost);
            PrepareMirror(ctx.mirror, ctx.path, ctx.destRoot);
            WatchEnd end = WatchFolder(context, dir, catchUpSince, rootArrived);
            lost = ctx.folderIdentity;
            // Closed at once: a deleted folder stays "delete pending" while a handle is open.
            SetWatchedFolder(ctx, INVALID_HANDLE_VALUE);
            if (end == WatchEnd::Stopped)
                break;
            ctx.wakeReasons.fetch_and(~kWakeFolderLost);
            catchUpSince = ctx.caughtUpTo.load();
            dir = OpenWhenAvailable(ctx, waited);
            if (dir == INVALID_HANDLE_VALUE)
                break;
            Trace512(L"MonitorThread[%zu] watching again: %ls\n", ctx.index, ctx.path.c_str());
        }
    }
    CloseDueCopiesTimer(ctx);
    if (!ctx.mirror.pending.empty())
        Trace256(L"MonitorThread[%zu] stopped with %zu copies waiting\n", ctx.index,
                 ctx.mirror.pending.size());
    ReportTroubleEnded(ctx);
    ctx.ended.store(true);
    return 0;
}

void StartMonitoring() {
    StopFolderCheck(g_folderCheck);
    g_folderCheck = nullptr;
    LoadFolderPairs();
    g_stopMonitoring.store(false);
    for (HANDLE thread : g_threadHandles)
        if (thread)
            CloseHandle(thread);
    g_threadHandles.clear();
    g_watchContexts.clear();

    size_t count = g_sourceFolders.size();
    {
        // Catch-up points of pairs that are gone would never be taken.
        std::map<std::wstring, ULONGLONG> kept;
        std::lock_guard<std::mutex> lock(g_handoverLock);
        for (size_t i = 0; i < count; ++i) {
            std::wstring key =
                PairKey(g_sourceFolders[i], i < g_destFolders.size() ? g_destFolders[i] : L"");
            auto found = g_handovers.find(key);
            if (found != g_handovers.end())
                kept.insert(*found);
        }
        g_handovers.swap(kept);
    }

    g_threadHandles.reserve(count);
    g_watchContexts.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        // The thread's paths are copied here, before it exists: the table may change while
        // it starts.
        std::shared_ptr<WatchContext> context = std::make_shared<WatchContext>();
        context->index = i;
        context->path = g_sourceFolders[i];
        if (i < g_destFolders.size())
            context->destRoot = g_destFolders[i];
        context->stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        g_watchContexts.push_back(context);

        std::shared_ptr<WatchContext> *parameter = new std::shared_ptr<WatchContext>(context);
        HANDLE thread = CreateThread(nullptr, 0, MonitorThread, parameter, 0, nullptr);
        g_threadHandles.push_back(thread);
        if (thread) {
            Trace256(L"StartMonitoring: created thread %zu handle=%p\n", i, thread);
        } else {
            DWORD error = GetLastError();
            delete parameter;
            Trace256(L"StartMonitoring: CreateThread failed for %zu err=%u\n", i, error);
        }
    }
    if (count > 0)
        g_folderCheck = StartFolderCheck(g_watchContexts);
}

void StopMonitoring() {
    g_stopMonitoring.store(true);
    StopFolderCheck(g_folderCheck);
    g_folderCheck = nullptr;
    for (const std::shared_ptr<WatchContext> &context : g_watchContexts) {
        context->stopRequested.store(true);
        if (context->stopEvent)
            SetEvent(context->stopEvent.get());
    }
    // Every read is cancelled before any wait, so the threads wind down side by side.
    for (const std::shared_ptr<WatchContext> &context : g_watchContexts)
        CancelRead(*context);
    for (size_t i = 0; i < g_threadHandles.size(); ++i) {
        HANDLE thread = g_threadHandles[i];
        if (!thread)
            continue;
        // A thread that was just entering its read when the first cancel came would stay
        // blocked; cancelling again while waiting frees it.
        ULONGLONG waitStart = GetTickCount64();
        while (WaitForSingleObject(thread, kStopCancelIntervalMs) == WAIT_TIMEOUT &&
               GetTickCount64() - waitStart < kStopWaitMs)
            CancelRead(*g_watchContexts[i]);
        CloseHandle(thread);
    }
    // The next generation's watch of each pair catches up from where this one stopped
    // reading, including a thread still busy past its wait.
    {
        std::lock_guard<std::mutex> lock(g_handoverLock);
        for (const std::shared_ptr<WatchContext> &context : g_watchContexts) {
            ULONGLONG upTo = context->caughtUpTo.load();
            if (upTo == 0)
                continue;
            std::wstring key = PairKey(context->path, context->destRoot);
            auto found = g_handovers.find(key);
            g_handovers[key] = found == g_handovers.end() ? upTo : std::min(found->second, upTo);
        }
    }
    // A thread still running past its wait keeps its context alive and closes its own
    // directory handle when it ends.
    g_threadHandles.clear();
    g_watchContexts.clear();
}
