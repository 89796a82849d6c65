// The supervisor (StartMonitoring, StopMonitoring) and the watch threads.
//
// One thread per pair blocks in a synchronous ReadDirectoryChangesW on the whole source
// tree: an idle pair costs a sleeping thread and an open handle, nothing else. Each thread
// owns its context (see watch_thread.h) and closes its own directory handle exactly once;
// the supervisor only cancels reads, under the context's lock, so it can never cancel or
// close a handle value that another generation has been given since.
//
// The read loop is a short table of cases: a batch, an overflow, a wake-up (monitor/
// watch_wakeups.h: waiting copies due, a catch-up walk, a sweep, the folder lost), a stop,
// and a read that fails. Nothing is lost across gaps: each pair's mirror point (monitor/
// mirror_point.h) says up to when every change has been handled, a gap opens wherever reads
// may have missed changes, and a walk of the tree closes it. The point passes from one
// generation to the next, and from one run to the next (monitor/saved_points.h).
#include "monitor/monitor.h"

#include "app/main_window.h"
#include "monitor/copier.h"
#include "monitor/long_path.h"
#include "monitor/pair_trouble.h"
#include "monitor/safe_copy.h"
#include "monitor/saved_points.h"
#include "monitor/trace.h"
#include "monitor/tree_walk.h"
#include "monitor/watch_thread.h"
#include "monitor/watch_wakeups.h"
#include "monitor/wine_subfolders.h"
#include "store/pair_table.h"

#include <algorithm>

std::vector<HANDLE> g_threadHandles;
std::vector<std::shared_ptr<WatchContext>> g_watchContexts;
std::atomic<bool> g_stopMonitoring{false};

namespace {

const DWORD kBufferBytes = 16384;
const DWORD kChangeFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                            FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                            FILE_NOTIFY_CHANGE_LAST_WRITE;
const DWORD kFailedReadPauseMs = 500;
// A stop waits this long for the whole generation, however many threads it has; what it does
// after the wait takes a few milliseconds more, more when both processors are busy.
const DWORD kStopWaitMs = 700;
const DWORD kStopCancelIntervalMs = 50;
const DWORD kStopLookMs = 10; // how often a stop looks whether every thread has ended
const DWORD kFirstReopenMs = 1000;
const DWORD kLongestReopenMs = 30000;
// Where the file system reports no changes, the tree is walked this often instead.
const DWORD kPollMs = 30000;
// Changes lost in an overflow are walked for once the pair has been quiet this long, so that a
// burst costs one walk of the tree, not one per overflow; under Wine every busy spell is walked
// once the pair has been quiet a little longer (see wine_subfolders.h). Either walk waits at
// most this long while the pair stays busy.
const ULONGLONG kLostQuietMs = 300;
const ULONGLONG kSpellQuietMs = 2000;
const ULONGLONG kLongestWaitForQuietMs = 30000;
// File systems with coarse clocks (FAT: 2 s) stamp a write up to this much before it happened.
const ULONGLONG kClockSlack = 2ULL * 10000000ULL;

// The running generation's folder check, or null. UI thread.
FolderCheck *g_folderCheck = nullptr;

// How the watch of an open folder ended.
enum class WatchEnd { Stopped, FolderLost, ReadFailed };

// The start of a walk for changes made at or after `time`, allowing for coarse clocks.
ULONGLONG WindowStart(ULONGLONG time) {
    return time > kClockSlack ? time - kClockSlack : 0;
}

ULONGLONG SystemTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FileTimeValue(now);
}

bool StopRequested(const WatchContext &context) {
    return g_stopMonitoring.load() || context.stopRequested.load();
}

// The file systems that cannot report changes say so with these.
bool ReportsNoChanges(DWORD error) {
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_PARAMETER;
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

// Walks the tree for what changed since `since` and, when the walk ran to its end (a stop
// cuts it short), closes the gap that opened then. Returns the number of files copied;
// `walkedAt`, when given, gets the time the walk began, or 0 when it was cut short.
size_t WalkSince(WatchContext &ctx, ULONGLONG since, bool rootArrived,
                 ULONGLONG *walkedAt = nullptr) {
    ULONGLONG walkStart = SystemTimeNow();
    bool complete = false;
    size_t copied = CopyFilesChangedSince(ctx.path, ctx.destRoot, WindowStart(since), ctx.mirror,
                                          rootArrived, &complete);
    if (complete)
        GapWalked(ctx.mirror.point, since, walkStart);
    if (walkedAt)
        *walkedAt = complete ? walkStart : 0;
    return copied;
}

// What one watch of the open folder keeps.
struct WatchState {
    unsigned readsBefore = 0;  // reads of the thread before this watch began
    bool rootArrived = false;  // the folder is another than the one watched before
    ULONGLONG sweptSince = 0;  // FILETIME the last sweep (or the watch) began
    ULONGLONG firstIssued = 0; // FILETIME the watch's first read was issued
    ULONGLONG armedFor = 0;    // tick the due-copies timer is armed for; 0: not armed
    bool polling = false;      // the file system reports no changes: walked every 30 s
    ULONGLONG nextPollTick = 0;
    bool caughtUp = false;       // the watch's catch-up walk has run
    ULONGLONG walkBeganTick = 0; // tick of the first change of a walk to come; 0: none to come
    ULONGLONG walkDueTick = 0;   // and when it is due
    bool changesLost = false;    // that walk recovers changes an overflow lost
};

// Opens a gap where the point was (`pointBefore`), and has it walked once the pair has been
// quiet for quietMs, at most kLongestWaitForQuietMs after the first such change.
void WalkWhenQuiet(WatchState &watch, MirrorPoint &point, ULONGLONG pointBefore, ULONGLONG now,
                   ULONGLONG quietMs) {
    GapOpened(point, pointBefore);
    if (watch.walkBeganTick == 0)
        watch.walkBeganTick = now;
    if (watch.changesLost)
        quietMs = std::min(quietMs, kLostQuietMs);
    watch.walkDueTick = std::min(now + quietMs, watch.walkBeganTick + kLongestWaitForQuietMs);
}

// The work a wake-up asked for, and the due waiting copies, before the thread reads again.
void DoWakeWork(WatchContext &ctx, WatchState &watch, unsigned reasons) {
    MirrorPoint &point = ctx.mirror.point;
    ULONGLONG gapSince = 0;
    if (watch.polling && GetTickCount64() >= watch.nextPollTick) {
        watch.nextPollTick = GetTickCount64() + kPollMs;
        ChangesLost(point);
        if (GapOpen(point, gapSince)) {
            size_t copied = WalkSince(ctx, gapSince, watch.rootArrived);
            if (copied > 0)
                Trace256(L"MonitorThread[%zu] sweep copied %zu files\n", ctx.index, copied);
        }
    }
    // A catch-up is due once this watch's first read was pending (a helper of an earlier
    // watch of the folder may still wake the thread: that is not it).
    bool reading = ctx.readsIssued.load() > watch.readsBefore;
    // Under Wine the helper wakes the thread once the subfolders are open: only a walk from
    // here on has seen what they said nothing of, whatever walk ran before.
    if ((reasons & kWakeCatchUp) && reading && RunsUnderWine())
        GapOpened(point, watch.firstIssued);
    if ((reasons & kWakeCatchUp) && reading && GapOpen(point, gapSince)) {
        size_t copied = WalkSince(ctx, gapSince, watch.rootArrived);
        watch.rootArrived = false;
        Trace256(L"MonitorThread[%zu] catch-up pass copied %zu files\n", ctx.index, copied);
    }
    if ((reasons & kWakeCatchUp) && reading)
        watch.caughtUp = true;
    if (watch.walkDueTick != 0 && GetTickCount64() >= watch.walkDueTick) {
        size_t copied = GapOpen(point, gapSince) ? WalkSince(ctx, gapSince, false) : 0;
        if (watch.changesLost)
            Trace256(L"MonitorThread[%zu] changes were lost; recovery pass copied %zu files\n",
                     ctx.index, copied);
        else
            Trace256(L"MonitorThread[%zu] busy spell walked, %zu files copied\n", ctx.index,
                     copied);
        watch.walkBeganTick = watch.walkDueTick = 0;
        watch.changesLost = false;
    }
    if (reasons & kWakeSweep) {
        // Files whose notices never came (dropped by a share, a redirector, a full buffer
        // that said nothing); a gap still open is walked with it.
        ULONGLONG since = watch.sweptSince, walkedAt = 0;
        if (GapOpen(point, gapSince))
            since = std::min(since, gapSince);
        size_t copied = WalkSince(ctx, since, false, &walkedAt);
        if (walkedAt != 0)
            watch.sweptSince = walkedAt;
        Trace256(L"MonitorThread[%zu] sweep copied %zu files\n", ctx.index, copied);
    }
    watch.armedFor = RunDueWork(ctx, GetTickCount64(), watch.armedFor,
                                (reasons & kWakeDueCopies) != 0, watch.walkDueTick);
}

// Watches the open folder `dir` until the generation stops or the folder is lost. Catch-up
// walks run once a read is pending: for a gap before this watch, and under Wine for the
// subfolders that stay silent until opened (see wine_subfolders.h).
WatchEnd WatchFolder(const std::shared_ptr<WatchContext> &context, HANDLE dir, bool rootArrived,
                     bool &delivered) {
    WatchContext &ctx = *context;
    MirrorPoint &point = ctx.mirror.point;
    std::vector<BYTE> buffer(kBufferBytes, 0);
    bool wine = RunsUnderWine();
    WatchState watch;
    watch.readsBefore = ctx.readsIssued.load();
    watch.rootArrived = rootArrived;
    watch.sweptSince = SystemTimeNow();
    ULONGLONG gapSince = 0;
    if (wine || GapOpen(point, gapSince))
        StartCatchUpHelper(context, watch.readsBefore, wine);
    for (;;) {
        if (StopRequested(ctx))
            return WatchEnd::Stopped;
        unsigned reasons = ctx.wakeReasons.exchange(0);
        if (reasons & kWakeFolderLost) {
            Trace512(L"MonitorThread[%zu] lost its folder: %ls\n", ctx.index, ctx.path.c_str());
            return WatchEnd::FolderLost;
        }
        DoWakeWork(ctx, watch, reasons);
        // Once the catch-up walk has run, the thread knows what its pair's copies are.
        ReportPairTrouble(ctx, watch.caughtUp);
        if (watch.polling) {
            // No read to wait in: wait for the next walk, a due copy or the stop.
            ULONGLONG now = GetTickCount64(), until = watch.nextPollTick;
            if (watch.armedFor != 0)
                until = std::min(until, watch.armedFor);
            PauseUnlessStopped(ctx, until > now ? DWORD(until - now) : 0);
            if (watch.armedFor != 0 && GetTickCount64() >= watch.armedFor)
                ctx.wakeReasons.fetch_or(kWakeDueCopies);
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
        // Under Wine the subfolders say nothing until the catch-up helper has opened them.
        if (watch.firstIssued == 0) {
            watch.firstIssued = issuedAt;
            if (wine)
                GapOpened(point, issuedAt);
        }
        ReadIssued(point, issuedAt);
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
            // Wine's way to say what Windows says with 0 bytes: the batch did not fit.
            if (error == ERROR_NOTIFY_ENUM_DIR) {
                watch.changesLost = true;
                WalkWhenQuiet(watch, point, MirroredUpTo(point), GetTickCount64(), kLostQuietMs);
                continue;
            }
            if (!StopRequested(ctx)) {
                if (!ReportsNoChanges(error))
                    return WatchEnd::ReadFailed; // deleted, or its share went away
                Trace512(L"MonitorThread[%zu] %ls does not report changes (err=%u): walked "
                         L"every 30 s instead\n",
                         ctx.index, ctx.path.c_str(), error);
                watch.polling = true;
                continue;
            }
            Sleep(kFailedReadPauseMs);
        } else if (bytes == 0) {
            watch.changesLost = true;
            WalkWhenQuiet(watch, point, MirroredUpTo(point), GetTickCount64(), kLostQuietMs);
        } else {
            Trace256(L"MonitorThread[%zu] Read %u bytes\n", ctx.index, bytes);
            ULONGLONG pointBefore = MirroredUpTo(point);
            HandleChangeBatch(ctx, DecodeChangeBatch(buffer.data(), bytes), GetTickCount64(),
                              pointBefore);
            // Under Wine the reports of a busy spell are not trusted alone; a walk for lost
            // changes waits while batches keep coming.
            if (wine || watch.walkDueTick != 0)
                WalkWhenQuiet(watch, point, pointBefore, GetTickCount64(),
                              wine ? kSpellQuietMs : kLostQuietMs);
            delivered = true;
            ReadDelivered(point);
        }
    }
}

} // namespace

void HandleChangeBatch(WatchContext &context, const std::vector<FolderChange> &changes,
                       ULONGLONG now, ULONGLONG since) {
    // The throttle limits notices only: a save that writes a temporary file and renames it
    // within the same second must still be copied.
    bool notify = AcceptNoticeAt(now, context.lastNotifyTick) && g_hMainWnd != nullptr;
    std::wstring msg;
    if (notify)
        msg = ComposeNotice(context.path, changes);
    if (RunsUnderWine())
        OpenArrivedFolders(context.path, changes);
    CopyChangedFiles(context.path, context.destRoot, changes, context.mirror, now, since);
    if (notify)
        PostNotice(context.index, msg);
}

DWORD WINAPI MonitorThread(LPVOID parameter) {
    std::shared_ptr<WatchContext> *start = (std::shared_ptr<WatchContext> *)parameter;
    std::shared_ptr<WatchContext> context = *start;
    delete start;
    WatchContext &ctx = *context;
    ctx.mirror.stopped = [&ctx] { return StopRequested(ctx); };
    CreateDueCopiesTimer(ctx);

    bool waited = false, opened = false;
    DWORD failedReadDelay = kFirstReopenMs;
    FileIdentity lost; // the folder watched before, unknown at the first opening
    for (;;) {
        HANDLE dir = OpenWhenAvailable(ctx, waited);
        if (dir == INVALID_HANDLE_VALUE)
            break;
        Trace512(opened ? L"MonitorThread[%zu] watching again: %ls\n"
                        : L"MonitorThread[%zu] started for path: %ls\n",
                 ctx.index, ctx.path.c_str());
        opened = true;
        SetWatchedFolder(ctx, dir);
        // Another folder at the registered path (renamed or restored into place): all of it
        // is new to this pair.
        bool rootArrived = KnownToDiffer(ctx.folderIdentity, lost);
        PrepareMirror(ctx.mirror, ctx.path, ctx.destRoot);
        bool delivered = false;
        WatchEnd end = WatchFolder(context, dir, rootArrived, delivered);
        lost = ctx.folderIdentity;
        // Closed at once: a deleted folder stays "delete pending" while a handle is open.
        SetWatchedFolder(ctx, INVALID_HANDLE_VALUE);
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
    std::vector<std::pair<std::wstring, std::wstring>> pairs;
    for (size_t i = 0; i < count; ++i)
        pairs.push_back({g_sourceFolders[i], i < g_destFolders.size() ? g_destFolders[i] : L""});
    // Points of pairs that are gone would never be taken.
    LoadKeptPoints(pairs);

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
        ULONGLONG kept = KeptPointOf(context->path, context->destRoot);
        GapOpened(context->mirror.point, kept != 0 ? kept : now);
        context->nextSweepTick.store(FirstSweepTick(tick, i, count));
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
