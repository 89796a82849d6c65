#include "monitor/pending_copies.h"

#include "monitor/long_path.h"
#include "monitor/retry_delay.h"
#include "monitor/trace.h"

namespace {

const DWORD kHeldLookMs = 1000;
// A file held this long is looked at once a minute.
const ULONGLONG kLongHoldMs = 10 * 60 * 1000;
const DWORD kLongHeldLookMs = 60000;
// A parked folder is looked at after a second, then every few seconds: often enough that its
// copies begin within seconds of its return, cheap enough to cost nothing meanwhile.
const DWORD kLongestParkedLookMs = 5000;

std::wstring ParkedKey(ParkedWhy why, const std::wstring &folder) {
    return std::to_wstring(int(why)) + L"|" + FoldCase(folder);
}

std::wstring FolderKey(const std::wstring &dstFull) {
    return FoldCase(FolderOf(dstFull));
}

DWORD HeldLookMs(const PendingCopy &entry, ULONGLONG now) {
    return now - entry.failingSince >= kLongHoldMs ? kLongHeldLookMs : kHeldLookMs;
}

// The parked folder that takes a new entry for `dstFull`: its destination folder's, if parked.
ParkedFolder *ParkedDestinationOf(PendingCopies &pending, const std::wstring &dstFull) {
    if (pending.parked.empty())
        return nullptr;
    std::wstring folder = FolderOf(dstFull);
    for (ParkedWhy why : {ParkedWhy::DestinationAbsent, ParkedWhy::DestinationFull}) {
        auto parked = pending.parked.find(ParkedKey(why, folder));
        if (parked != pending.parked.end())
            return &parked->second;
    }
    return nullptr;
}

// Takes the entry for `key` out of the list and its indexes; it holds the point no more.
bool Take(PendingCopies &pending, const std::wstring &key, PendingCopy &entry) {
    auto it = pending.entries.find(key);
    if (it == pending.entries.end())
        return false;
    entry = std::move(it->second);
    pending.entries.erase(it);
    if (entry.parkedIn.empty())
        pending.byDue.erase({entry.due, entry.bytes, key});
    if (entry.kind != WaitKind::Quiet)
        pending.failing.erase({entry.failingSince, key});
    if (!entry.parkedIn.empty()) {
        auto parked = pending.parked.find(entry.parkedIn);
        if (parked != pending.parked.end())
            parked->second.keys.erase({entry.bytes, key});
        entry.parkedIn.clear();
    }
    if (pending.point)
        LetGo(*pending.point, HoldKind::WaitingCopy, key);
    return true;
}

// Puts `entry` into the list and its indexes, parked with `parked` (null: its destination
// folder's, when that is parked, unless it is `due` there regardless); it holds the point back
// to its `since`.
void Put(PendingCopies &pending, const std::wstring &key, PendingCopy entry,
         ParkedFolder *parked = nullptr, bool due = false) {
    if (!parked && !due)
        parked = ParkedDestinationOf(pending, entry.dstFull);
    if (parked) {
        entry.due = 0;
        entry.parkedIn = ParkedKey(parked->why, parked->folder);
        parked->keys.insert({entry.bytes, key});
    } else {
        entry.parkedIn.clear();
        pending.byDue.insert({entry.due, entry.bytes, key});
    }
    if (entry.kind != WaitKind::Quiet)
        pending.failing.insert({entry.failingSince, key});
    if (pending.point)
        Hold(*pending.point, HoldKind::WaitingCopy, key, entry.since);
    pending.entries.emplace(key, std::move(entry));
}

// Puts `entry` in place of any entry for its destination, keeping the earlier `since` and, for
// a failure, the first failure's tick; true when there was none.
bool Replace(PendingCopies &pending, PendingCopy entry) {
    std::wstring key = DestinationKey(entry.dstFull);
    PendingCopy old;
    bool known = Take(pending, key, old);
    if (known)
        entry.since = std::min(old.since, entry.since);
    if (entry.kind != WaitKind::Quiet && known && old.failingSince != 0)
        entry.failingSince = old.failingSince;
    if (entry.bytes == 0 && known)
        entry.bytes = old.bytes;
    // A copy that was waiting for its source's folder still does.
    ParkedFolder *parked = nullptr;
    if (known && !old.parkedIn.empty()) {
        auto found = pending.parked.find(old.parkedIn);
        if (found != pending.parked.end() && found->second.why == ParkedWhy::SourceAway)
            parked = &found->second;
    }
    Put(pending, key, std::move(entry), parked);
    return !known;
}

// A copy that failed, or whose source is held, from tick `now` on.
PendingCopy Failure(WaitKind kind, const std::wstring &srcFull, const std::wstring &dstFull,
                    DWORD error, ULONGLONG now, ULONGLONG since, ULONGLONG bytes) {
    PendingCopy entry;
    entry.srcFull = srcFull;
    entry.dstFull = dstFull;
    entry.kind = kind;
    entry.since = since;
    entry.lastError = error;
    entry.failingSince = now;
    entry.bytes = bytes;
    return entry;
}

const wchar_t *ParkedText(ParkedWhy why) {
    switch (why) {
    case ParkedWhy::DestinationAbsent:
        return L"Destination folder %ls is missing: its %zu waiting copies wait until it is "
               L"there\n";
    case ParkedWhy::DestinationFull:
        return L"Destination folder %ls is on a full disk: its %zu waiting copies wait until there "
               L"is room\n";
    case ParkedWhy::SourceAway:
        return L"Watched folder %ls cannot be reached: its %zu waiting copies wait until it is "
               L"there\n";
    }
    return L"";
}

const wchar_t *BackText(ParkedWhy why) {
    switch (why) {
    case ParkedWhy::DestinationAbsent:
        return L"Destination folder %ls is there again: %zu waiting copies are due\n";
    case ParkedWhy::DestinationFull:
        return L"Destination folder %ls has room again: %zu waiting copies are due\n";
    case ParkedWhy::SourceAway:
        return L"Watched folder %ls is there again: %zu waiting copies are due\n";
    }
    return L"";
}

} // namespace

std::wstring DestinationKey(const std::wstring &dstFull) {
    return FoldCase(dstFull);
}

const PendingCopy *PendingFor(const PendingCopies &pending, const std::wstring &key) {
    auto it = pending.entries.find(key);
    return it == pending.entries.end() ? nullptr : &it->second;
}

void DeferCopy(PendingCopies &pending, const std::wstring &srcFull, const std::wstring &dstFull,
               DWORD error, ULONGLONG now, ULONGLONG since, ULONGLONG bytes) {
    PendingCopy entry = Failure(WaitKind::Failed, srcFull, dstFull, error, now, since, bytes);
    entry.due = now + kFirstRetryMs;
    entry.retryDelayMs = NextRetryDelay(kFirstRetryMs);
    if (Replace(pending, std::move(entry)) && !ParkedDestinationOf(pending, dstFull))
        Trace512(L"CopyFile deferred: %ls -> %ls err=%u, next attempt in %u ms\n", srcFull.c_str(),
                 dstFull.c_str(), error, kFirstRetryMs);
}

void WaitForWriter(PendingCopies &pending, const std::wstring &srcFull, const std::wstring &dstFull,
                   ULONGLONG now, ULONGLONG since, ULONGLONG bytes) {
    PendingCopy entry =
        Failure(WaitKind::Held, srcFull, dstFull, ERROR_SHARING_VIOLATION, now, since, bytes);
    const PendingCopy *known = PendingFor(pending, DestinationKey(dstFull));
    if (known && known->kind == WaitKind::Held)
        entry.failingSince = known->failingSince;
    entry.due = now + HeldLookMs(entry, now);
    if (Replace(pending, std::move(entry)))
        Trace512(L"CopyFile deferred: %ls -> %ls err=%u, next attempt in %u ms\n", srcFull.c_str(),
                 dstFull.c_str(), ERROR_SHARING_VIOLATION, kHeldLookMs);
}

void WaitUntilQuiet(PendingCopies &pending, const std::wstring &srcFull,
                    const std::wstring &dstFull, ULONGLONG size, ULONGLONG lastWrite, ULONGLONG due,
                    ULONGLONG intervalFrom, ULONGLONG since) {
    PendingCopy entry;
    entry.srcFull = srcFull;
    entry.dstFull = dstFull;
    entry.kind = WaitKind::Quiet;
    entry.due = due;
    entry.since = since;
    entry.size = entry.bytes = size;
    entry.lastWrite = lastWrite;
    entry.intervalFrom = intervalFrom;
    Replace(pending, std::move(entry));
}

void LookAgain(PendingCopies &pending, const std::wstring &key, DWORD error, ULONGLONG now) {
    PendingCopy entry;
    if (!Take(pending, key, entry))
        return;
    entry.lastError = error;
    if (entry.kind == WaitKind::Held) {
        entry.due = now + HeldLookMs(entry, now);
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
    entry.size = entry.bytes = size;
    entry.lastWrite = lastWrite;
    entry.due = due;
    Put(pending, key, std::move(entry));
}

void SourceNowIs(PendingCopies &pending, const std::wstring &key, const std::wstring &srcFull) {
    auto it = pending.entries.find(key);
    if (it != pending.entries.end())
        it->second.srcFull = srcFull; // not indexed
}

bool EndPending(PendingCopies &pending, const std::wstring &key) {
    PendingCopy entry;
    return Take(pending, key, entry);
}

std::vector<std::wstring> DueKeys(const PendingCopies &pending, ULONGLONG now) {
    std::vector<std::wstring> due;
    for (auto it = pending.byDue.begin(); it != pending.byDue.end() && std::get<0>(*it) <= now;
         ++it)
        due.push_back(std::get<2>(*it));
    return due;
}

ULONGLONG NextDueTick(const PendingCopies &pending) {
    ULONGLONG next = pending.byDue.empty() ? 0 : std::get<0>(*pending.byDue.begin());
    for (const auto &[key, folder] : pending.parked)
        if (next == 0 || folder.due < next)
            next = folder.due;
    return next;
}

void ParkFolder(PendingCopies &pending, ParkedWhy why, const std::wstring &folder, ULONGLONG now,
                const std::wstring &key) {
    std::wstring parkedKey = ParkedKey(why, folder);
    auto known = pending.parked.find(parkedKey);
    if (known != pending.parked.end()) {
        PendingCopy entry;
        if (!key.empty() && PendingFor(pending, key) &&
            PendingFor(pending, key)->parkedIn.empty() && Take(pending, key, entry))
            Put(pending, key, std::move(entry), &known->second);
        return;
    }
    // Once per episode: every entry it concerns is parked with it.
    std::vector<std::wstring> keys;
    std::wstring folderKey = FoldCase(folder);
    for (const auto &[key, entry] : pending.entries) {
        bool concerned = why == ParkedWhy::SourceAway ? entry.parkedIn.empty()
                                                      : FolderKey(entry.dstFull) == folderKey;
        if (concerned)
            keys.push_back(key);
    }
    ParkedFolder &parked = pending.parked[parkedKey];
    parked.folder = folder;
    parked.why = why;
    parked.delayMs = kFirstRetryMs;
    parked.due = now + parked.delayMs;
    for (const std::wstring &key : keys) {
        PendingCopy entry;
        Take(pending, key, entry);
        Put(pending, key, std::move(entry), &parked);
    }
    Trace512(ParkedText(why), folder.c_str(), keys.size());
}

bool IsParked(const PendingCopies &pending, ParkedWhy why, const std::wstring &folder) {
    return !pending.parked.empty() && pending.parked.count(ParkedKey(why, folder)) > 0;
}

bool IsDestinationParked(const PendingCopies &pending, const std::wstring &folder) {
    return IsParked(pending, ParkedWhy::DestinationAbsent, folder) ||
           IsParked(pending, ParkedWhy::DestinationFull, folder);
}

std::vector<ParkedFolder> DueParkedFolders(const PendingCopies &pending, ULONGLONG now) {
    std::vector<ParkedFolder> due;
    for (const auto &[key, folder] : pending.parked) {
        if (folder.due <= now) {
            ParkedFolder look; // not its keys: only what the look needs
            look.folder = folder.folder;
            look.why = folder.why;
            due.push_back(look);
        }
    }
    return due;
}

void FolderBack(PendingCopies &pending, ParkedWhy why, const std::wstring &folder, ULONGLONG now,
                ULONGLONG room) {
    auto parked = pending.parked.find(ParkedKey(why, folder));
    if (parked == pending.parked.end())
        return;
    std::vector<std::wstring> keys;
    ULONGLONG taken = 0;
    for (const auto &[bytes, key] : parked->second.keys) {
        taken += bytes;
        if (room != 0 && taken > room)
            break;
        keys.push_back(key);
    }
    bool allGo = keys.size() == parked->second.keys.size();
    for (const std::wstring &key : keys) {
        PendingCopy entry;
        if (!Take(pending, key, entry))
            continue;
        entry.due = now;
        Put(pending, key, std::move(entry), nullptr, true);
    }
    // A destination that is back takes the copies that are still too big as before.
    auto still = pending.parked.find(ParkedKey(why, folder));
    if (allGo && still != pending.parked.end())
        pending.parked.erase(still);
    else if (still != pending.parked.end())
        FolderStillParked(pending, why, folder, now);
    if (!keys.empty())
        Trace512(BackText(why), folder.c_str(), keys.size());
}

void FolderStillParked(PendingCopies &pending, ParkedWhy why, const std::wstring &folder,
                       ULONGLONG now) {
    auto parked = pending.parked.find(ParkedKey(why, folder));
    if (parked == pending.parked.end())
        return;
    parked->second.delayMs = std::min<DWORD>(2 * parked->second.delayMs, kLongestParkedLookMs);
    parked->second.due = now + parked->second.delayMs;
}

std::wstring TrySmallestParked(PendingCopies &pending, ParkedWhy why, const std::wstring &folder,
                               ULONGLONG now) {
    auto parked = pending.parked.find(ParkedKey(why, folder));
    if (parked == pending.parked.end() || parked->second.keys.empty())
        return std::wstring();
    std::wstring key = parked->second.keys.begin()->second;
    PendingCopy entry;
    if (!Take(pending, key, entry))
        return std::wstring();
    entry.due = now;
    Put(pending, key, std::move(entry), nullptr, true);
    return key;
}

bool IsTurnOf(const PendingCopies &pending, const std::wstring &key) {
    const PendingCopy *entry = PendingFor(pending, key);
    return entry && entry->parkedIn.empty();
}

size_t FailingCount(const PendingCopies &pending) {
    return pending.failing.size();
}

const PendingCopy *FirstFailing(const PendingCopies &pending) {
    return pending.failing.empty() ? nullptr : PendingFor(pending, pending.failing.begin()->second);
}

bool AnyDestinationAbsent(const PendingCopies &pending) {
    for (const auto &[key, folder] : pending.parked)
        if (folder.why == ParkedWhy::DestinationAbsent)
            return true;
    return false;
}
