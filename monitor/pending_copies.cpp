#include "monitor/pending_copies.h"

#include "monitor/long_path.h"
#include "monitor/retry_delay.h"
#include "monitor/trace.h"

namespace {

const DWORD kHeldLookMs = 1000;
// An absent destination folder is looked at after a second, then every few seconds: often enough
// that its copies begin within seconds of its return, cheap enough to cost nothing meanwhile.
const DWORD kLongestAbsentLookMs = 5000;

std::wstring FolderKey(const std::wstring &dstFull) {
    return FoldCase(FolderOf(dstFull));
}

// Takes the entry for `key` out of the list and its indexes.
bool Take(PendingCopies &pending, const std::wstring &key, PendingCopy &entry) {
    auto it = pending.entries.find(key);
    if (it == pending.entries.end())
        return false;
    entry = std::move(it->second);
    pending.entries.erase(it);
    if (entry.due != 0)
        pending.byDue.erase({entry.due, key});
    pending.sinces.erase(pending.sinces.find(entry.since));
    if (entry.kind != WaitKind::Quiet)
        pending.failing.erase({entry.failingSince, key});
    auto absent = pending.absent.find(FolderKey(entry.dstFull));
    if (absent != pending.absent.end())
        absent->second.keys.erase(key);
    return true;
}

// Puts `entry` into the list and its indexes; parked when its folder is absent.
void Put(PendingCopies &pending, const std::wstring &key, PendingCopy entry) {
    auto absent = pending.absent.find(FolderKey(entry.dstFull));
    if (absent != pending.absent.end()) {
        entry.due = 0;
        absent->second.keys.insert(key);
    } else {
        pending.byDue.insert({entry.due, key});
    }
    pending.sinces.insert(entry.since);
    if (entry.kind != WaitKind::Quiet)
        pending.failing.insert({entry.failingSince, key});
    pending.entries.emplace(key, std::move(entry));
}

// The waiting copies hold the pair's mirror point back to the earliest of them.
void HoldPoint(const PendingCopies &pending, MirrorPoint &point) {
    CopiesWaitingSince(point, pending.sinces.empty() ? 0 : *pending.sinces.begin());
}

// Puts `entry` in place of any entry for its destination, keeping the earlier `since` and, for
// a failure, the first failure's tick; true when there was none.
bool Replace(PendingCopies &pending, MirrorPoint &point, PendingCopy entry) {
    std::wstring key = DestinationKey(entry.dstFull);
    PendingCopy old;
    bool known = Take(pending, key, old);
    if (known)
        entry.since = std::min(old.since, entry.since);
    if (entry.kind != WaitKind::Quiet && known && old.failingSince != 0)
        entry.failingSince = old.failingSince;
    Put(pending, key, std::move(entry));
    HoldPoint(pending, point);
    return !known;
}

// A copy that failed, or whose source is held, from tick `now` on.
PendingCopy Failure(WaitKind kind, const std::wstring &srcFull, const std::wstring &dstFull,
                    DWORD error, ULONGLONG now, ULONGLONG since) {
    PendingCopy entry;
    entry.srcFull = srcFull;
    entry.dstFull = dstFull;
    entry.kind = kind;
    entry.since = since;
    entry.lastError = error;
    entry.failingSince = now;
    return entry;
}

} // namespace

std::wstring DestinationKey(const std::wstring &dstFull) {
    return FoldCase(dstFull);
}

const PendingCopy *PendingFor(const PendingCopies &pending, const std::wstring &key) {
    auto it = pending.entries.find(key);
    return it == pending.entries.end() ? nullptr : &it->second;
}

void DeferCopy(PendingCopies &pending, MirrorPoint &point, const std::wstring &srcFull,
               const std::wstring &dstFull, DWORD error, ULONGLONG now, ULONGLONG since) {
    PendingCopy entry = Failure(WaitKind::Failed, srcFull, dstFull, error, now, since);
    entry.due = now + kFirstRetryMs;
    entry.retryDelayMs = NextRetryDelay(kFirstRetryMs);
    if (Replace(pending, point, std::move(entry)) && !IsFolderAbsent(pending, FolderOf(dstFull)))
        Trace512(L"CopyFile deferred: %ls -> %ls err=%u, next attempt in %u ms\n", srcFull.c_str(),
                 dstFull.c_str(), error, kFirstRetryMs);
}

void WaitForWriter(PendingCopies &pending, MirrorPoint &point, const std::wstring &srcFull,
                   const std::wstring &dstFull, ULONGLONG now, ULONGLONG since) {
    PendingCopy entry =
        Failure(WaitKind::Held, srcFull, dstFull, ERROR_SHARING_VIOLATION, now, since);
    entry.due = now + kHeldLookMs;
    if (Replace(pending, point, std::move(entry)))
        Trace512(L"CopyFile deferred: %ls -> %ls err=%u, next attempt in %u ms\n", srcFull.c_str(),
                 dstFull.c_str(), ERROR_SHARING_VIOLATION, kHeldLookMs);
}

void WaitUntilQuiet(PendingCopies &pending, MirrorPoint &point, const std::wstring &srcFull,
                    const std::wstring &dstFull, ULONGLONG size, ULONGLONG lastWrite, ULONGLONG due,
                    ULONGLONG intervalFrom, ULONGLONG since) {
    PendingCopy entry;
    entry.srcFull = srcFull;
    entry.dstFull = dstFull;
    entry.kind = WaitKind::Quiet;
    entry.due = due;
    entry.since = since;
    entry.size = size;
    entry.lastWrite = lastWrite;
    entry.intervalFrom = intervalFrom;
    Replace(pending, point, std::move(entry));
}

void LookAgain(PendingCopies &pending, const std::wstring &key, DWORD error, ULONGLONG now) {
    PendingCopy entry;
    if (!Take(pending, key, entry))
        return;
    entry.lastError = error;
    if (entry.kind == WaitKind::Held) {
        entry.due = now + kHeldLookMs;
    } else {
        entry.due = now + entry.retryDelayMs;
        entry.retryDelayMs = NextRetryDelay(entry.retryDelayMs);
    }
    Put(pending, key, std::move(entry));
}

void SeenStillChanging(PendingCopies &pending, const std::wstring &key, ULONGLONG size,
                       ULONGLONG lastWrite, ULONGLONG due) {
    PendingCopy entry;
    if (!Take(pending, key, entry))
        return;
    entry.size = size;
    entry.lastWrite = lastWrite;
    entry.due = due;
    Put(pending, key, std::move(entry));
}

void SourceNowIs(PendingCopies &pending, const std::wstring &key, const std::wstring &srcFull) {
    auto it = pending.entries.find(key);
    if (it != pending.entries.end())
        it->second.srcFull = srcFull; // not indexed
}

bool EndPending(PendingCopies &pending, MirrorPoint &point, const std::wstring &key) {
    PendingCopy entry;
    if (!Take(pending, key, entry))
        return false;
    HoldPoint(pending, point);
    return true;
}

std::vector<std::wstring> DueKeys(const PendingCopies &pending, ULONGLONG now) {
    std::vector<std::wstring> due;
    for (auto it = pending.byDue.begin(); it != pending.byDue.end() && it->first <= now; ++it)
        due.push_back(it->second);
    return due;
}

ULONGLONG NextDueTick(const PendingCopies &pending) {
    ULONGLONG next = pending.byDue.empty() ? 0 : pending.byDue.begin()->first;
    for (const auto &[key, folder] : pending.absent)
        if (next == 0 || folder.due < next)
            next = folder.due;
    return next;
}

void FolderAbsent(PendingCopies &pending, const std::wstring &folder, ULONGLONG now) {
    std::wstring folderKey = FoldCase(folder);
    if (pending.absent.count(folderKey))
        return;
    // Once per absence: every entry of the folder is parked with it.
    std::vector<std::wstring> keys;
    for (const auto &[key, entry] : pending.entries)
        if (FolderKey(entry.dstFull) == folderKey)
            keys.push_back(key);
    AbsentFolder &absent = pending.absent[folderKey];
    absent.folder = folder;
    absent.delayMs = kFirstRetryMs;
    absent.due = now + absent.delayMs;
    for (const std::wstring &key : keys) {
        PendingCopy entry;
        Take(pending, key, entry);
        Put(pending, key, std::move(entry));
    }
    Trace512(L"Destination folder %ls is missing: its %zu waiting copies wait until it is there\n",
             folder.c_str(), keys.size());
}

bool IsFolderAbsent(const PendingCopies &pending, const std::wstring &folder) {
    return !pending.absent.empty() && pending.absent.count(FoldCase(folder)) > 0;
}

std::vector<std::wstring> DueAbsentFolders(const PendingCopies &pending, ULONGLONG now) {
    std::vector<std::wstring> due;
    for (const auto &[key, folder] : pending.absent)
        if (folder.due <= now)
            due.push_back(folder.folder);
    return due;
}

void FolderBack(PendingCopies &pending, const std::wstring &folder, ULONGLONG now) {
    auto absent = pending.absent.find(FoldCase(folder));
    if (absent == pending.absent.end())
        return;
    std::set<std::wstring> keys = std::move(absent->second.keys);
    pending.absent.erase(absent);
    for (const std::wstring &key : keys) {
        PendingCopy entry;
        if (!Take(pending, key, entry))
            continue;
        entry.due = now;
        Put(pending, key, std::move(entry));
    }
    Trace512(L"Destination folder %ls is there again: %zu waiting copies are due\n", folder.c_str(),
             keys.size());
}

void FolderStillAbsent(PendingCopies &pending, const std::wstring &folder, ULONGLONG now) {
    auto absent = pending.absent.find(FoldCase(folder));
    if (absent == pending.absent.end())
        return;
    absent->second.delayMs = std::min<DWORD>(2 * absent->second.delayMs, kLongestAbsentLookMs);
    absent->second.due = now + absent->second.delayMs;
}

size_t FailingCount(const PendingCopies &pending) {
    return pending.failing.size();
}

const PendingCopy *FirstFailing(const PendingCopies &pending) {
    return pending.failing.empty() ? nullptr : PendingFor(pending, pending.failing.begin()->second);
}
