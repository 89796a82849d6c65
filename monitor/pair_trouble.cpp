#include "monitor/pair_trouble.h"

#include "app/main_window.h"
#include "monitor/trace.h"
#include "monitor/watch_thread.h"

namespace {

// The pair's trouble now, from the thread's own state: counts its lists keep, no loop over
// the waiting copies.
PairTrouble TakeSnapshot(const WatchContext &context) {
    PairTrouble trouble;
    trouble.source = context.path;
    trouble.dest = context.destRoot;
    const MirrorState &mirror = context.mirror;
    trouble.copiesWaiting = FailingCount(mirror.pending);
    if (const PendingCopy *first = FirstFailing(mirror.pending)) {
        trouble.copiesSince = first->failingSince;
        trouble.copyError = first->lastError;
        trouble.firstCopy = first->dstFull;
        trouble.destinationMissing = AnyDestinationAbsent(mirror.pending);
    }
    trouble.folderMissingSince = context.trouble.folderMissingSince;
    trouble.folderError = context.trouble.folderError;
    trouble.foldersUnlisted = WaitingFolderCount(mirror.unlisted);
    if (const UnlistedFolder *first = FirstWaitingFolder(mirror.unlisted)) {
        trouble.unlistedSince = first->failingSince;
        trouble.unlistedError = first->lastError;
        trouble.firstUnlisted = first->path;
    }
    return trouble;
}

// Hands `trouble` to the main window, which deletes it; deletes it here when that fails.
bool Post(const WatchContext &context, PairTrouble *trouble) {
    if (g_hMainWnd && PostMessageW(g_hMainWnd, WM_PAIR_TROUBLE, 0, (LPARAM)trouble))
        return true;
    DWORD error = GetLastError();
    // A window that is gone is the program ending: nothing to say.
    if (g_hMainWnd && IsWindow(g_hMainWnd))
        Trace256(L"PostMessageW failed for the trouble of index %zu err=%u\n", context.index,
                 error);
    delete trouble;
    return false;
}

// Posts the pair's trouble when it differs in kind or count from what this thread posted
// last, or when the thread has posted nothing yet.
void PostIfChanged(WatchContext &context) {
    // A stopped generation's view is out of date: its successor speaks for the pair.
    if (g_stopMonitoring.load() || context.stopRequested.load())
        return;
    PairTrouble now = TakeSnapshot(context);
    TroubleWatch &said = context.trouble;
    bool folderMissing = now.folderMissingSince != 0;
    if (said.posted && said.copiesWaiting == now.copiesWaiting &&
        said.destinationMissing == now.destinationMissing && said.folderMissing == folderMissing &&
        said.foldersUnlisted == now.foldersUnlisted)
        return;
    size_t copiesWaiting = now.copiesWaiting, foldersUnlisted = now.foldersUnlisted;
    bool destinationMissing = now.destinationMissing;
    if (!Post(context, new PairTrouble(std::move(now))))
        return; // said as before: the next look tries again
    said.posted = true;
    said.copiesWaiting = copiesWaiting;
    said.destinationMissing = destinationMissing;
    said.folderMissing = folderMissing;
    said.foldersUnlisted = foldersUnlisted;
}

} // namespace

void ReportFolderMissing(WatchContext &context, DWORD error) {
    if (context.trouble.folderMissingSince == 0)
        context.trouble.folderMissingSince = GetTickCount64();
    context.trouble.folderError = error;
    PostIfChanged(context);
}

void ReportPairTrouble(WatchContext &context, bool copiesKnown) {
    context.trouble.folderMissingSince = 0;
    context.trouble.folderError = 0;
    if (copiesKnown)
        PostIfChanged(context);
}

void ReportPairRefused(const WatchContext &context, PairRefusal refusal) {
    PairTrouble *trouble = new PairTrouble();
    trouble->source = context.path;
    trouble->dest = context.destRoot;
    trouble->refusal = refusal;
    trouble->refusedSince = GetTickCount64();
    Post(context, trouble);
}

void ReportTroubleEnded(const WatchContext &context) {
    PairTrouble *last = new PairTrouble();
    last->source = context.path;
    last->dest = context.destRoot;
    last->ended = true;
    Post(context, last);
}
