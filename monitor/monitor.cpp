// The supervisor (StartMonitoring, StopMonitoring) and the watch threads.
//
// One thread per pair blocks in a synchronous ReadDirectoryChangesW on the whole source
// tree: an idle pair costs a sleeping thread and an open handle, nothing else. Each thread
// owns its context (see watch_thread.h) and closes its own directory handle exactly once;
// the supervisor only cancels reads, under the context's lock, so it can never cancel or
// close a handle value that another generation has been given since.
//
// The read loop is a short table of what a read came back with (monitor/system_behaviour.h): a
// batch, changes that did not fit, a cancel for a wake-up (monitor/watch_wakeups.h: a waiting
// copy or a walk due, the folder lost), a stop, a failure, a file system that reports nothing.
// Nothing is lost across gaps: each pair's mirror point (monitor/mirror_point.h) says up to
// when every change has been handled, a gap opens wherever reads may have missed changes or a
// batch could not be handled whole, and a walk of the tree closes it, at the time the walk
// schedule (monitor/walk_schedule.h) decides. The point passes from one generation to the
// next, and from one run to the next (monitor/saved_points.h).
#include "monitor/monitor.h"

#include "app/main_window.h"
#include "monitor/system_behaviour.h"
#include "monitor/clock.h"
#include "monitor/copier.h"
#include "monitor/device_removal.h"
#include "monitor/gap_walk.h"
#include "monitor/long_path.h"
#include "monitor/pair_trouble.h"
#include "monitor/safe_copy.h"
#include "monitor/saved_points.h"
#include "monitor/trace.h"
#include "monitor/tree_walk.h"
#include "monitor/watch_thread.h"
#include "monitor/watch_wakeups.h"
#include "monitor/walk_schedule.h"
#include "monitor/wine_subfolders.h"
#include "store/pair_check.h"
#include "store/pair_table.h"

#include <algorithm>

BOOL(WINAPI *g_readDirectoryChanges)
(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD, LPOVERLAPPED,
 LPOVERLAPPED_COMPLETION_ROUTINE) = ReadDirectoryChangesW;
std::vector<HANDLE> g_threadHandles;
std::vector<std::shared_ptr<WatchContext>> g_watchContexts;
std::atomic<bool> g_stopMonitoring{false};

namespace {

// A burst of a thousand names fits where 16 KiB would overflow (and cost a walk); 64 KiB is
// also the most a read of a folder on a share can take. A share that refuses even that for its
// size is read 16 KiB at a time before it is walked instead.
const DWORD kBufferBytes = 65536;
const DWORD kSmallBufferBytes = 16384;
const DWORD kChangeFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                            FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                            FILE_NOTIFY_CHANGE_LAST_WRITE;
// A stop waits this long for the whole generation, however many threads it has; what it does
// after the wait takes a few milliseconds more, more when both processors are busy.
const DWORD kStopWaitMs = 700;
const DWORD kStopCancelIntervalMs = 50;
const DWORD kStopLookMs = 10; // how often a stop looks whether every thread has ended
const DWORD kFirstReopenMs = 1000;
const DWORD kLongestReopenMs = 30000;

// The running generation's folder check, or null. UI thread.
FolderCheck *g_folderCheck = nullptr;

// How the watch of an open folder ended.
enum class WatchEnd { Stopped, FolderLost, ReadFailed, Released };

bool StopRequested(const WatchContext &context) {
    return g_stopMonitoring.load() || context.stopRequested.load();
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

// Opens the folder at `path` for change reads; a path that names a file is no folder to
// watch (ERROR_DIRECTORY), whatever the system let open.
HANDLE OpenFolderForWatch(const std::wstring &path) {
    HANDLE dir = CreateFileW(FileSystemPath(path).c_str(), FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FILE_BASIC_INFO basic = {};
    if (dir != INVALID_HANDLE_VALUE &&
        GetFileInformationByHandleEx(dir, FileBasicInfo, &basic, sizeof basic) &&
        !(basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(dir);
        SetLastError(ERROR_DIRECTORY);
        return INVALID_HANDLE_VALUE;
    }
    return dir;
}

// Waits `delay` ms, or less when the generation stops; true when it stopped.
bool PauseUnlessStopped(WatchContext &ctx, DWORD delay) {
    return WaitForSingleObject(ctx.stopEvent.get(), delay) != WAIT_TIMEOUT || StopRequested(ctx);
}

// Opens the watched folder; while it cannot be opened (a share not connected yet, a drive
// unplugged, a folder deleted or a file in its place), tries again after 1 s, 2 s, 4 s ...
// 30 s, with one trace line per failed attempt. INVALID_HANDLE_VALUE only when the generation
// stops.
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
        if (PauseUnlessStopped(ctx, delay))
            return INVALID_HANDLE_VALUE;
        delay = std::min(2 * delay, kLongestReopenMs);
    }
}

// What one watch of the open folder keeps besides its schedule (in the context).
struct WatchState {
    ULONGLONG firstIssued = 0; // FILETIME the watch's first read was issued
    ULONGLONG armedFor = 0;    // tick the wake timer is armed for; 0: not armed
};

void TraceWalk(const WatchContext &ctx, WalkKind kind, size_t copied) {
    switch (kind) {
    case WalkKind::CatchUp:
        Trace256(L"MonitorThread[%zu] catch-up pass copied %zu files\n", ctx.index, copied);
        break;
    case WalkKind::Recovery:
        Trace256(L"MonitorThread[%zu] changes were lost; recovery pass copied %zu files\n",
                 ctx.index, copied);
        break;
    case WalkKind::BusySpell:
        Trace256(L"MonitorThread[%zu] busy spell walked, %zu files copied\n", ctx.index, copied);
        break;
    case WalkKind::Poll:
        if (copied > 0) // every 30 s: only when it found something
            Trace256(L"MonitorThread[%zu] poll walk copied %zu files\n", ctx.index, copied);
        break;
    case WalkKind::Sweep:
        Trace256(L"MonitorThread[%zu] sweep copied %zu files\n", ctx.index, copied);
        break;
    case WalkKind::None:
        break;
    }
}

// Runs the walk the schedule says is due, if any: it walks the open gap (or, for the sweep,
// from where the last sweep began), and closes the gap once it has run to its end.
void RunDueWalk(WatchContext &ctx, WatchState &watch) {
    WalkSchedule &schedule = ctx.schedule;
    WalkKind kind = DueWalk(schedule, GetTickCount64());
    if (kind == WalkKind::None)
        return;
    MirrorPoint &point = ctx.mirror.point;
    // Where subfolders were silent until they were opened, everything since the first read
    // is to be walked, whatever walk ran before.
    if (kind == WalkKind::CatchUp && ThisSystem().subfoldersSilentUntilOpened)
        GapOpened(point, watch.firstIssued);
    // No read tells what changed since the last walk.
    if (kind == WalkKind::Poll)
        ChangesLost(point);
    ULONGLONG gapSince = 0;
    WalkMode mode;
    mode.closesGap = GapOpen(point, gapSince, &mode.wholeTree);
    mode.sweep = kind == WalkKind::Sweep;
    ULONGLONG since = WalkFrom(schedule, kind, gapSince);
    WalkReport report;
    if (since != 0) {
        report = CopyFilesChangedSince(ctx.path, ctx.destRoot, since, ctx.mirror, mode);
        if (report.complete && mode.closesGap) {
            GapWalked(point, gapSince, report.startedAt);
            if (report.folders)
                FoldersListed(point, report.folders);
        }
    }
    TraceWalk(ctx, kind, report.copied);
    WalkRan(schedule, kind, report.complete, GetTickCount64(), report.startedAt);
}

// A batch came: copy it, post its notice, and tell the point and the schedule.
void OnBatch(WatchContext &ctx, const std::vector<BYTE> &buffer, DWORD bytes) {
    MirrorPoint &point = ctx.mirror.point;
    Trace256(L"MonitorThread[%zu] Read %u bytes\n", ctx.index, bytes);
    ULONGLONG pointBefore = MirroredUpTo(point);
    bool whole = HandleChangeBatch(ctx, DecodeChangeBatch(buffer.data(), bytes), GetTickCount64(),
                                   pointBefore);
    ULONGLONG now = GetTickCount64();
    if (whole) {
        BatchHandled(point);
    } else {
        // Cut short: what the batch named is found by a walk from where the point was.
        GapOpened(point, pointBefore);
        if (!StopRequested(ctx))
            WalkWhenQuiet(ctx.schedule, WalkKind::Recovery, now);
    }
    if (ThisSystem().batchesMayMissChanges) {
        GapOpened(point, pointBefore);
        WalkWhenQuiet(ctx.schedule, WalkKind::BusySpell, now);
    } else {
        PairBusy(ctx.schedule, now);
    }
}

// No read to wait in: waits for the next job (a walk, a due copy) or the stop.
void WaitForNextJob(WatchContext &ctx, WatchState &watch) {
    ULONGLONG now = GetTickCount64();
    ULONGLONG until = watch.armedFor != 0 ? watch.armedFor : now + kLongestReopenMs;
    PauseUnlessStopped(ctx, until > now ? DWORD(until - now) : 0);
    if (GetTickCount64() >= until)
        ctx.wakeReasons.fetch_or(kWakeDue);
}

// The folder just opened is the one the point was kept for, or another folder now stands at the
// registered path (renamed or restored into place, a stick with the same drive letter and
// folder name, while the program ran or while it was closed): then all of it is new to the
// pair, and its gap's walk compares every file with its copy.
void NoteWatchedFolder(WatchContext &ctx) {
    MirrorPoint &point = ctx.mirror.point;
    std::string before = WatchedFolderOf(point), now = IdentityKey(ctx.folderIdentity);
    if (now.empty())
        return;
    if (!before.empty() && before != now) {
        Trace512(L"MonitorThread[%zu] another folder stands at %ls: its walk compares every "
                 L"file\n",
                 ctx.index, ctx.path.c_str());
        GapOpened(point, SystemTimeNow(), true);
    }
    WatchedFolderIs(point, now);
}

// Watches the open folder `dir` until the generation stops or the folder is lost.
WatchEnd WatchFolder(WatchContext &ctx, HANDLE dir, bool &delivered) {
    MirrorPoint &point = ctx.mirror.point;
    const SystemBehaviour &system = ThisSystem();
    std::vector<BYTE> buffer(kBufferBytes, 0);
    DWORD bufferBytes = kBufferBytes;
    WatchState watch;
    ULONGLONG gapSince = 0;
    bool catchUp = GapOpen(point, gapSince) || system.subfoldersSilentUntilOpened;
    WatchBegins(ctx.schedule, catchUp, system.subfoldersSilentUntilOpened, SystemTimeNow());
    for (;;) {
        if (StopRequested(ctx))
            return WatchEnd::Stopped;
        unsigned reasons = ctx.wakeReasons.exchange(0);
        if (RemovalAsked(ctx))
            return WatchEnd::Released;
        if (reasons & kWakeFolderLost) {
            Trace512(L"MonitorThread[%zu] lost its folder: %ls\n", ctx.index, ctx.path.c_str());
            return WatchEnd::FolderLost;
        }
        if (reasons & kWakeSubfoldersOpened)
            SubfoldersOpened(ctx.schedule);
        if (reasons & kWakeSweep)
            SweepAsked(ctx.schedule);
        RunDueWalk(ctx, watch);
        watch.armedFor =
            RunDueWork(ctx, GetTickCount64(), watch.armedFor, (reasons & kWakeDue) != 0,
                       NextWalkTick(ctx.schedule, GetTickCount64()));
        // Once the catch-up walk has run, the thread knows what its pair's copies are.
        ReportPairTrouble(ctx, !ctx.schedule.catchUpPending.load());
        if (ctx.schedule.pollDue != 0) {
            WaitForNextJob(ctx, watch);
            continue;
        }

        // Marked as in its read before the last look at the reasons: see watch_wakeups.h.
        ctx.inRead.store(true);
        if (ctx.wakeReasons.load() != 0 || StopRequested(ctx)) {
            ctx.inRead.store(false);
            continue;
        }
        DWORD bytes = 0;
        ULONGLONG issuedAt = SystemTimeNow();
        if (watch.firstIssued == 0) {
            watch.firstIssued = issuedAt;
            // Subfolders that stay silent until opened say nothing until the catch-up.
            if (system.subfoldersSilentUntilOpened)
                GapOpened(point, issuedAt);
        }
        ReadIssued(point, issuedAt);
        ctx.readsIssued.fetch_add(1);
        BOOL ok = g_readDirectoryChanges(dir, buffer.data(), bufferBytes, TRUE, kChangeFilter,
                                         &bytes, nullptr, nullptr);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        {
            std::lock_guard<std::mutex> lock(ctx.handleLock);
            ctx.inRead.store(false);
        }

        ReadOutcome outcome = ClassifyRead(ok, bytes, error, StopRequested(ctx));
        if (!ok && outcome != ReadOutcome::CancelledForWake)
            Trace256(L"ReadDirectoryChangesW failed on index %zu, err=%u\n", ctx.index, error);
        switch (outcome) {
        case ReadOutcome::Batch:
            ReadCameBack(ctx.schedule);
            OnBatch(ctx, buffer, bytes);
            delivered = true;
            break;
        case ReadOutcome::NothingFitted:
            ReadCameBack(ctx.schedule);
            ChangesLost(point);
            WalkWhenQuiet(ctx.schedule, WalkKind::Recovery, GetTickCount64());
            break;
        case ReadOutcome::CancelledForWake:
            ReadCameBack(ctx.schedule);
            break;
        case ReadOutcome::Stopped:
            return WatchEnd::Stopped;
        case ReadOutcome::NotSupported:
            if (error == ERROR_INVALID_PARAMETER && bufferBytes > kSmallBufferBytes) {
                Trace512(L"MonitorThread[%zu] %ls refuses reads of %u bytes: reading %u bytes at "
                         L"a time\n",
                         ctx.index, ctx.path.c_str(), bufferBytes, kSmallBufferBytes);
                bufferBytes = kSmallBufferBytes;
                break;
            }
            Trace512(L"MonitorThread[%zu] %ls does not report changes (err=%u): walked every 30 s "
                     L"instead\n",
                     ctx.index, ctx.path.c_str(), error);
            PollInstead(ctx.schedule, GetTickCount64());
            break;
        case ReadOutcome::Failed:
            return WatchEnd::ReadFailed; // deleted, or its share went away
        }
    }
}

} // namespace

bool HandleChangeBatch(WatchContext &context, const std::vector<FolderChange> &changes,
                       ULONGLONG now, ULONGLONG since) {
    // The throttle limits notices only: a save that writes a temporary file and renames it
    // within the same second must still be copied.
    bool notify = AcceptNoticeAt(now, context.lastNotifyTick) && g_hMainWnd != nullptr;
    std::wstring msg;
    if (notify)
        msg = ComposeNotice(context.path, changes);
    if (ThisSystem().subfoldersSilentUntilOpened)
        OpenArrivedFolders(context.path, changes);
    bool whole =
        CopyChangedFiles(context.path, context.destRoot, changes, context.mirror, now, since);
    if (notify)
        PostNotice(context.index, msg);
    return whole;
}

DWORD WINAPI MonitorThread(LPVOID parameter) {
    std::shared_ptr<WatchContext> *start = (std::shared_ptr<WatchContext> *)parameter;
    std::shared_ptr<WatchContext> context = *start;
    delete start;
    WatchContext &ctx = *context;
    // A pair file edited by hand may hold a pair that would harm: nothing is copied for it.
    PairRefusal refusal = CheckFolderPair(ctx.path, ctx.destRoot);
    if (refusal != PairRefusal::None) {
        Trace512(L"MonitorThread[%zu] copies nothing: %ls (%ls -> %ls)\n", ctx.index,
                 refusal == PairRefusal::SameFolder ? L"the destination is the source"
                                                    : L"a path is not a full path",
                 ctx.path.c_str(), ctx.destRoot.c_str());
        ReportPairRefused(ctx, refusal);
        PauseUnlessStopped(ctx, INFINITE);
        ReportTroubleEnded(ctx);
        ctx.ended.store(true);
        return 0;
    }
    // A stop, and a removal of the folder's drive, end the copies and walks under way.
    ctx.mirror.stopped = [&ctx] { return StopRequested(ctx) || RemovalAsked(ctx); };
    CreateWakeTimer(ctx);

    bool waited = false, opened = false;
    DWORD failedReadDelay = kFirstReopenMs;
    for (;;) {
        HANDLE dir = OpenWhenAvailable(ctx, waited);
        if (dir == INVALID_HANDLE_VALUE)
            break;
        Trace512(opened ? L"MonitorThread[%zu] watching again: %ls\n"
                        : L"MonitorThread[%zu] started for path: %ls\n",
                 ctx.index, ctx.path.c_str());
        opened = true;
        SetWatchedFolder(ctx, dir);
        WatchForRemoval(ctx, dir);
        NoteWatchedFolder(ctx);
        PrepareMirror(ctx.mirror, ctx.path, ctx.destRoot);
        bool delivered = false;
        WatchEnd end = WatchFolder(ctx, dir, delivered);
        // Closed at once: a deleted folder stays "delete pending" while a handle is open, and a
        // drive cannot be removed. A removal's outcome still comes through the registration.
        if (end != WatchEnd::Released)
            StopWatchingForRemoval(ctx);
        SetWatchedFolder(ctx, INVALID_HANDLE_VALUE);
        if (end == WatchEnd::Released) {
            bool stopped = WaitForRemoval(ctx);
            StopWatchingForRemoval(ctx);
            if (stopped)
                break;
        }
        if (end == WatchEnd::Stopped)
            break;
        // Nothing reads the tree until the folder is watched again.
        ChangesLost(ctx.mirror.point);
        ctx.wakeReasons.fetch_and(~kWakeFolderLost);
        if (end == WatchEnd::ReadFailed) {
            // A read that fails at once would fail again at once: wait as for a failed open.
            if (delivered)
                failedReadDelay = kFirstReopenMs;
            if (PauseUnlessStopped(ctx, failedReadDelay))
                break;
            failedReadDelay = std::min(2 * failedReadDelay, kLongestReopenMs);
        }
    }
    CloseWakeTimer(ctx);
    if (!ctx.mirror.pending.entries.empty())
        Trace256(L"MonitorThread[%zu] stopped with %zu copies waiting\n", ctx.index,
                 ctx.mirror.pending.entries.size());
    ReportTroubleEnded(ctx);
    ctx.ended.store(true);
    return 0;
}

void StartMonitoring() {
    StopFolderCheck(g_folderCheck);
    g_folderCheck = nullptr;
    bool pairFileRead = LoadFolderPairs();
    g_stopMonitoring.store(false);
    for (HANDLE thread : g_threadHandles)
        if (thread)
            CloseHandle(thread);
    g_threadHandles.clear();
    g_watchContexts.clear();

    size_t count = g_sourceFolders.size();
    std::vector<std::pair<std::wstring, std::wstring>> pairs;
    for (size_t i = 0; i < count; ++i)
        pairs.push_back({g_sourceFolders[i], i < g_destFolders.size() ? g_destFolders[i] : L""});
    // Points of pairs that are gone would never be taken.
    LoadKeptPoints(pairs, pairFileRead);

    ULONGLONG now = SystemTimeNow(), tick = GetTickCount64();
    g_threadHandles.reserve(count);
    g_watchContexts.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        // The thread's paths are copied here, before it exists: the table may change while
        // it starts. So is its mirror point: a pair watched before catches up from where it
        // was mirrored to; a new one has no past before this moment.
        std::shared_ptr<WatchContext> context = std::make_shared<WatchContext>();
        context->index = i;
        context->path = pairs[i].first;
        context->destRoot = pairs[i].second;
        KeptPoint kept = KeptPointOf(context->path, context->destRoot);
        // The clock was wrong then, or is now: from the point, a walk would find nothing.
        bool ahead = kept.point > now;
        if (ahead)
            Trace512(L"Mirror point of %ls is later than the clock: its first walk compares "
                     L"every file\n",
                     context->path.c_str());
        GapOpened(context->mirror.point, kept.point != 0 ? kept.point : now, ahead);
        FoldersListed(context->mirror.point, kept.folders);
        WatchedFolderIs(context->mirror.point, kept.watchedFolder);
        context->nextSweepTick.store(FirstSweepTick(tick, i, count));
        context->stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        context->removalEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        g_watchContexts.push_back(context);

        std::shared_ptr<WatchContext> *parameter = new std::shared_ptr<WatchContext>(context);
        HANDLE thread =
            CreateThread(nullptr, 0, MonitorThread, parameter, CREATE_SUSPENDED, nullptr);
        g_threadHandles.push_back(thread);
        if (thread) {
            // The context keeps a handle of its own: it may outlive the generation's table.
            HANDLE own = nullptr;
            if (DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &own, 0, FALSE,
                                DUPLICATE_SAME_ACCESS))
                context->thread.reset(own);
            ResumeThread(thread);
            Trace256(L"StartMonitoring: created thread %zu handle=%p\n", i, thread);
        } else {
            DWORD error = GetLastError();
            delete parameter;
            context->ended.store(true); // nothing for a stop to wait for
            Trace256(L"StartMonitoring: CreateThread failed for %zu err=%u\n", i, error);
        }
    }
    if (count > 0)
        g_folderCheck = StartFolderCheck(g_watchContexts);
}

// What a stop leaves to release: the thread handles, and the contexts of the threads that
// ended (a thread still running keeps its own).
struct StoppedGeneration {
    std::vector<HANDLE> threads;
    std::vector<std::shared_ptr<WatchContext>> contexts;
};

// Releases a stopped generation. On a thread-pool thread: with every watch thread copying,
// each call to the system can take milliseconds, and the user waits for none of them.
VOID CALLBACK ReleaseGeneration(PTP_CALLBACK_INSTANCE, PVOID parameter) {
    StoppedGeneration *stopped = (StoppedGeneration *)parameter;
    for (HANDLE thread : stopped->threads)
        if (thread)
            CloseHandle(thread);
    delete stopped;
}

void StopMonitoring() {
    ULONGLONG stopStart = GetTickCount64();
    g_stopMonitoring.store(true);
    StopFolderCheck(g_folderCheck);
    g_folderCheck = nullptr;
    for (const std::shared_ptr<WatchContext> &context : g_watchContexts) {
        context->stopRequested.store(true);
        if (context->stopEvent)
            SetEvent(context->stopEvent.get());
    }
    // Every read is cancelled before any wait, so the threads wind down side by side, and
    // all of them are waited for within one bound. A thread that was just entering its read
    // when the first cancel came would stay blocked; cancelling again while waiting frees it.
    for (const std::shared_ptr<WatchContext> &context : g_watchContexts)
        CancelRead(*context);
    ULONGLONG lastCancel = GetTickCount64();
    for (;;) {
        bool running = false;
        bool cancelAgain = GetTickCount64() - lastCancel >= kStopCancelIntervalMs;
        for (const std::shared_ptr<WatchContext> &context : g_watchContexts) {
            if (context->ended.load())
                continue;
            running = true;
            if (cancelAgain && context->inRead.load())
                CancelRead(*context);
        }
        if (cancelAgain)
            lastCancel = GetTickCount64();
        if (!running || GetTickCount64() - stopStart >= kStopWaitMs)
            break;
        Sleep(kStopLookMs);
    }
    // The next generation's watch of each pair, in this run or the next, catches up from
    // where this one was mirrored to, including a thread still busy past the wait.
    KeepPoints(MirrorPointsOf(g_watchContexts));
    // A thread still running past the wait keeps its context alive and closes its own
    // directory handle when it ends.
    StoppedGeneration *stopped =
        new StoppedGeneration{std::move(g_threadHandles), std::move(g_watchContexts)};
    if (!TrySubmitThreadpoolCallback(ReleaseGeneration, stopped, nullptr))
        ReleaseGeneration(nullptr, stopped);
    g_threadHandles.clear();
    g_watchContexts.clear();
}
