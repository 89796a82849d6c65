// The supervisor (StartMonitoring, StopMonitoring) and the watch threads.
//
// One thread per pair blocks in a synchronous ReadDirectoryChangesW on the whole source
// tree: an idle pair costs a sleeping thread and an open handle, nothing else. Each thread
// owns its context (see watch_thread.h) and closes its own directory handle exactly once;
// the supervisor only cancels reads, under the context's lock, so it can never cancel or
// close a handle value that another generation has been given since.
//
// Changes the system could not deliver (an overflowed batch) are recovered by walking the
// tree for files written since the read before the lost one was issued. Under Wine a
// subfolder that existed before the watch is silent until it is opened once after the first
// read is pending; a short-lived helper thread opens them and then has the watch thread
// catch up on files written meanwhile.
#include "monitor/monitor.h"

#include "app/main_window.h"
#include "monitor/copier.h"
#include "monitor/trace.h"
#include "monitor/watch_thread.h"
#include "store/pair_table.h"

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
// File systems with coarse clocks (FAT: 2 s) stamp a write up to this much before it happened.
const ULONGLONG kClockSlack = 2ULL * 10000000ULL;

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

// Cancels the context's pending read, if any; true when a read was cancelled.
bool CancelRead(WatchContext &context) {
    std::lock_guard<std::mutex> lock(context.handleLock);
    return context.dirHandle && CancelIoEx(context.dirHandle, nullptr);
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

// Opening a folder makes Wine add it to the watched tree's notifications.
void OpenFolderOnce(const std::wstring &folder) {
    HANDLE handle = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

// Under Wine: folders that a batch reports as arrived are opened, with every folder inside
// them, so that later changes inside them are reported. The copy pass that follows walks
// them for the files that arrived before that.
void OpenArrivedFolders(const std::wstring &path, const std::vector<FolderChange> &changes) {
    for (const FolderChange &change : changes) {
        if (change.name.empty() ||
            (change.action != FILE_ACTION_ADDED && change.action != FILE_ACTION_RENAMED_NEW_NAME))
            continue;
        std::wstring full = path + L"\\" + change.name;
        DWORD attributes = GetFileAttributesW(full.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        OpenFolderOnce(full);
        ForEachSubfolder(full, OpenFolderOnce);
    }
}

// Helper thread under Wine: once the watch thread's first read is pending, opens every
// existing subfolder and then interrupts the read so that the watch thread walks the tree
// for files written before the subfolders were watched.
DWORD WINAPI OpenExistingSubfolders(LPVOID parameter) {
    std::shared_ptr<WatchContext> *start = (std::shared_ptr<WatchContext> *)parameter;
    std::shared_ptr<WatchContext> context = *start;
    delete start;
    auto finished = [&] { return context->stopRequested.load() || context->ended.load(); };
    for (int wait = 0; wait < 500 && context->readsIssued.load() == 0 && !finished(); ++wait)
        Sleep(10);
    // Folders opened before the first read reached the system stay silent, so a read that
    // could not be cancelled although the thread was in it means: open them again.
    for (int attempt = 0; attempt < 100 && !finished(); ++attempt) {
        Sleep(20);
        ForEachSubfolder(context->path, OpenFolderOnce);
        context->catchUpPending.store(true);
        if (CancelRead(*context) || !context->inRead.load())
            break; // cancelled, or between two reads: it catches up at the head of its loop
    }
    return 0;
}

void StartSubfolderOpener(const std::shared_ptr<WatchContext> &context) {
    std::shared_ptr<WatchContext> *parameter = new std::shared_ptr<WatchContext>(context);
    HANDLE thread = CreateThread(nullptr, 0, OpenExistingSubfolders, parameter, 0, nullptr);
    if (thread)
        CloseHandle(thread);
    else
        delete parameter;
}

void RecoverLostChanges(WatchContext &context, ULONGLONG lostSince) {
    size_t copied = CopyFilesChangedSince(context.path, context.destRoot, lostSince);
    Trace256(L"MonitorThread[%zu] changes were lost; recovery pass copied %zu files\n",
             context.index, copied);
}

void CatchUpSubfolders(WatchContext &context, ULONGLONG since) {
    size_t copied = CopyFilesChangedSince(context.path, context.destRoot, since);
    Trace256(L"MonitorThread[%zu] subfolder catch-up pass copied %zu files\n", context.index,
             copied);
}

void WatchFolder(const std::shared_ptr<WatchContext> &context, HANDLE dir) {
    WatchContext &ctx = *context;
    std::vector<BYTE> buffer(kBufferBytes, 0);
    ULONGLONG firstReadIssued = 0, previousReadIssued = 0, readIssued = 0;
    if (RunsUnderWine())
        StartSubfolderOpener(context);
    while (!StopRequested(ctx)) {
        if (ctx.catchUpPending.exchange(false))
            CatchUpSubfolders(ctx, WindowStart(firstReadIssued));
        DWORD bytes = 0;
        previousReadIssued = readIssued;
        readIssued = SystemTimeNow();
        if (firstReadIssued == 0)
            firstReadIssued = previousReadIssued = readIssued;
        ctx.inRead.store(true);
        ctx.readsIssued.fetch_add(1);
        BOOL ok = ReadDirectoryChangesW(dir, buffer.data(), kBufferBytes, TRUE, kChangeFilter,
                                        &bytes, nullptr, nullptr);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        ctx.inRead.store(false);
        bool catchUp = ctx.catchUpPending.exchange(false);
        // The helper interrupted the read (Windows reports a cancelled synchronous read as
        // ERROR_OPERATION_ABORTED, Wine as ERROR_IO_PENDING).
        if (!ok && catchUp && error != ERROR_NOTIFY_ENUM_DIR) {
            CatchUpSubfolders(ctx, WindowStart(firstReadIssued));
            continue;
        }
        // Changes lost in an overflow happened after the previous read handed over its batch,
        // so after that read was issued; the recovery pass looks from there on.
        if (!ok) {
            Trace256(L"ReadDirectoryChangesW failed on index %zu, err=%u\n", ctx.index, error);
            if (error == ERROR_NOTIFY_ENUM_DIR)
                RecoverLostChanges(ctx, WindowStart(previousReadIssued));
            if (catchUp)
                CatchUpSubfolders(ctx, WindowStart(firstReadIssued));
            Sleep(kFailedReadPauseMs);
            continue;
        }
        if (bytes == 0) {
            RecoverLostChanges(ctx, WindowStart(previousReadIssued));
        } else {
            Trace256(L"MonitorThread[%zu] Read %u bytes\n", ctx.index, bytes);
            HandleChangeBatch(ctx, DecodeChangeBatch(buffer.data(), bytes), GetTickCount64());
        }
        if (catchUp)
            CatchUpSubfolders(ctx, WindowStart(firstReadIssued));
    }
}

} // namespace

bool RunsUnderWine() {
    static const bool wine = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

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
    CopyChangedFiles(context.path, context.destRoot, changes);
    if (notify)
        PostNotice(context.index, msg);
}

DWORD WINAPI MonitorThread(LPVOID parameter) {
    std::shared_ptr<WatchContext> *start = (std::shared_ptr<WatchContext> *)parameter;
    std::shared_ptr<WatchContext> context = *start;
    delete start;
    WatchContext &ctx = *context;

    HANDLE dir = CreateFileW(ctx.path.c_str(), FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) {
        ctx.ended.store(true);
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(ctx.handleLock);
        ctx.dirHandle = dir;
    }
    Trace512(L"MonitorThread[%zu] started for path: %ls\n", ctx.index, ctx.path.c_str());

    WatchFolder(context, dir);

    std::lock_guard<std::mutex> lock(ctx.handleLock);
    CloseHandle(ctx.dirHandle);
    ctx.dirHandle = nullptr;
    ctx.ended.store(true);
    return 0;
}

void StartMonitoring() {
    LoadFolderPairs();
    g_stopMonitoring.store(false);
    for (HANDLE thread : g_threadHandles)
        if (thread)
            CloseHandle(thread);
    g_threadHandles.clear();
    g_watchContexts.clear();

    size_t count = g_sourceFolders.size();
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
}

void StopMonitoring() {
    g_stopMonitoring.store(true);
    for (const std::shared_ptr<WatchContext> &context : g_watchContexts)
        context->stopRequested.store(true);
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
    // A thread still running past its wait keeps its context alive and closes its own
    // directory handle when it ends.
    g_threadHandles.clear();
    g_watchContexts.clear();
}
