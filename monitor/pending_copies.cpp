#include "monitor/pending_copies.h"

#include "monitor/long_path.h"
#include "monitor/own_copies.h"
#include "monitor/safe_copy.h"
#include "monitor/trace.h"
#include "monitor/tree_walk.h"

#include <algorithm>
#include <vector>

namespace {

// Past this many names, copies older than the longest wait for quiet are forgotten.
const size_t kRecentCopiesKept = 4096;

// How long ago a file was last written, by the system clock; 0 for a time in the future.
ULONGLONG MillisecondsSinceWrite(ULONGLONG lastWrite) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG time = FileTimeValue(now);
    return time > lastWrite ? (time - lastWrite) / 10000 : 0;
}

// The waiting copies hold the pair's mirror point back to the earliest of them.
void UpdatePoint(MirrorState &mirror) {
    ULONGLONG earliest = 0;
    for (const auto &[key, entry] : mirror.pending)
        if (earliest == 0 || entry.since < earliest)
            earliest = entry.since;
    CopiesWaitingSince(mirror.point, earliest);
}

// A waiting copy failed again with `error` at `now`: its next attempt after its own delay,
// which doubles up to a minute.
void BackOff(PendingCopy &entry, DWORD error, ULONGLONG now) {
    entry.lastError = error;
    entry.due = now + entry.retryDelayMs;
    entry.retryDelayMs = std::min(2 * entry.retryDelayMs, kLongestRetryMs);
}

} // namespace

bool MirrorStopped(const MirrorState &mirror) {
    return mirror.stopped && mirror.stopped();
}

std::wstring DestinationKey(const std::wstring &dstFull) {
    return FoldCase(dstFull);
}

void DeferCopy(MirrorState &mirror, const std::wstring &srcFull, const std::wstring &dstFull,
               DWORD error, ULONGLONG now, ULONGLONG since) {
    PendingCopy &entry = mirror.pending[DestinationKey(dstFull)];
    bool known = !entry.dstFull.empty();
    if (known)
        since = std::min(entry.since, since);
    ULONGLONG failingSince = known && entry.failingSince != 0 ? entry.failingSince : now;
    entry = PendingCopy();
    entry.srcFull = srcFull;
    entry.dstFull = dstFull;
    entry.due = now + kFirstRetryMs;
    entry.retryDelayMs = 2 * kFirstRetryMs;
    entry.since = since;
    entry.failingSince = failingSince;
    entry.lastError = error;
    UpdatePoint(mirror);
    if (!known)
        Trace512(L"CopyFile deferred: %ls -> %ls err=%u, next attempt in %u ms\n", srcFull.c_str(),
                 dstFull.c_str(), error, kFirstRetryMs);
}

bool WaitForQuiet(MirrorState &mirror, const std::wstring &srcFull, const std::wstring &dstFull,
                  ULONGLONG size, ULONGLONG lastWrite, ULONGLONG now, ULONGLONG since) {
    std::wstring key = DestinationKey(dstFull);
    auto waiting = mirror.pending.find(key);
    if (waiting != mirror.pending.end() && waiting->second.retryDelayMs == 0) {
        waiting->second.srcFull = srcFull; // a later record of the name wins
        return true;
    }
    // A large file written within the last few seconds may still be written, and so may an
    // empty one (a download, an export, just begun): a copy now would be made again once its
    // writer closes it.
    ULONGLONG age = MillisecondsSinceWrite(lastWrite);
    bool mayBeWritten = size >= kQuietMinBytes || (size == 0 && age < kQuietCheckMs);
    if (!mayBeWritten || waiting != mirror.pending.end() || age >= kQuietCapMs)
        return false;
    auto recent = mirror.recentCopies.find(key);
    bool copiedLately =
        recent != mirror.recentCopies.end() && now - recent->second.tick < kQuietCapMs;
    PendingCopy entry;
    entry.srcFull = srcFull;
    entry.dstFull = dstFull;
    entry.due = now + (age < kQuietCheckMs ? kQuietCheckMs - age : kQuietLookMs);
    entry.size = size;
    entry.lastWrite = lastWrite;
    entry.lastCopy = copiedLately ? recent->second.tick : now;
    entry.since = since;
    mirror.pending.emplace(key, entry);
    UpdatePoint(mirror);
    return true;
}

const FileSystemTraits &DestinationTraitsOf(MirrorState &mirror, const std::wstring &dstFull) {
    if (!mirror.destinationSeen) {
        std::wstring folder = FolderOf(dstFull);
        if (GetFileAttributesW(FileSystemPath(folder).c_str()) != INVALID_FILE_ATTRIBUTES) {
            mirror.destination = TraitsOfFileSystemAt(folder);
            mirror.destinationSeen = true;
        }
    }
    return mirror.destination;
}

bool CopyToDestination(MirrorState &mirror, const std::wstring &srcFull,
                       const std::wstring &dstFull, ULONGLONG lastWrite, DWORD &error) {
    bool coarse = !DestinationTraitsOf(mirror, dstFull).keepsChangeTime;
    return CopyFileSafely(srcFull, dstFull, error, mirror.stopped, coarse ? lastWrite : 0);
}

bool IsCopyBack(MirrorState &mirror, const std::wstring &srcFull, const std::wstring &dstFull,
                ULONGLONG size, ULONGLONG lastWrite) {
    if (!IsOwnCopyOf(srcFull, dstFull, size, lastWrite))
        return false;
    if (!mirror.copyBackSeen)
        Trace512(L"Not copying %ls back onto %ls: it is a copy of that file (pairs in a loop)\n",
                 srcFull.c_str(), dstFull.c_str());
    mirror.copyBackSeen = true;
    return true;
}

bool CopiedAsItIs(const MirrorState &mirror, const std::wstring &dstFull, ULONGLONG size,
                  ULONGLONG lastWrite, ULONGLONG changeTime, ULONGLONG now) {
    if (changeTime == 0 || !mirror.source.keepsChangeTime)
        return false;
    auto recent = mirror.recentCopies.find(DestinationKey(dstFull));
    return recent != mirror.recentCopies.end() && now - recent->second.tick < kQuietCapMs &&
           recent->second.size == size && recent->second.lastWrite == lastWrite &&
           recent->second.changeTime == changeTime;
}

void NoteCopied(MirrorState &mirror, const std::wstring &srcFull, const std::wstring &dstFull,
                ULONGLONG size, ULONGLONG lastWrite, ULONGLONG changeTime, ULONGLONG now) {
    NoteOwnCopy(srcFull, dstFull, size, lastWrite);
    std::wstring key = DestinationKey(dstFull);
    if (mirror.pending.erase(key) > 0)
        UpdatePoint(mirror);
    if (mirror.recentCopies.size() >= kRecentCopiesKept) {
        for (auto it = mirror.recentCopies.begin(); it != mirror.recentCopies.end();)
            it = now - it->second.tick >= kQuietCapMs ? mirror.recentCopies.erase(it)
                                                      : std::next(it);
    }
    mirror.recentCopies[key] = RecentCopy{now, size, lastWrite, changeTime};
}

size_t RunDueCopies(MirrorState &mirror, ULONGLONG now) {
    std::vector<std::pair<ULONGLONG, std::wstring>> due;
    for (const auto &[key, entry] : mirror.pending)
        if (entry.due <= now)
            due.push_back({entry.due, key});
    std::sort(due.begin(), due.end());

    size_t copied = 0;
    for (const auto &[dueTick, key] : due) {
        auto it = mirror.pending.find(key);
        if (it == mirror.pending.end())
            continue;
        if (MirrorStopped(mirror))
            break; // the next generation's catch-up finds what still waits
        PendingCopy &entry = it->second;
        bool retry = entry.retryDelayMs != 0;
        ULONGLONG size = 0, lastWrite = 0, changeTime = 0;
        DWORD readError = 0;
        if (!ReadFileTimes(entry.srcFull, size, lastWrite, changeTime, &readError)) {
            if (IsGoneError(readError) || readError == ERROR_DIRECTORY) {
                if (retry)
                    Trace512(L"Deferred copy dropped, source gone: %ls -> %ls\n",
                             entry.srcFull.c_str(), entry.dstFull.c_str());
                mirror.pending.erase(it);
                UpdatePoint(mirror);
            } else if (!retry) {
                DeferCopy(mirror, entry.srcFull, entry.dstFull, readError, now, entry.since);
            } else {
                BackOff(entry, readError, now); // cannot be read just now: still there
            }
            continue;
        }
        if (!retry) {
            // Quiet: not written for a while by its own time, and not grown since the last
            // look (a clock that is coarse or lags must not make a growing file look quiet).
            ULONGLONG age = MillisecondsSinceWrite(lastWrite);
            bool quiet = age >= kQuietCheckMs && size == entry.size;
            if (!quiet && now - entry.lastCopy < kQuietCapMs) {
                entry.size = size;
                entry.lastWrite = lastWrite;
                entry.due = now + (age < kQuietCheckMs ? kQuietCheckMs - age : kQuietLookMs);
                continue;
            }
        } else if (DestinationIsCurrent(size, lastWrite, changeTime, entry.dstFull,
                                        DestinationTraitsOf(mirror, entry.dstFull))) {
            Trace512(L"Deferred copy dropped, copy is current: %ls -> %ls\n", entry.srcFull.c_str(),
                     entry.dstFull.c_str());
            mirror.pending.erase(it);
            UpdatePoint(mirror);
            continue;
        }

        std::wstring srcFull = entry.srcFull, dstFull = entry.dstFull;
        if (IsCopyBack(mirror, srcFull, dstFull, size, lastWrite)) {
            mirror.pending.erase(it);
            UpdatePoint(mirror);
            continue;
        }
        CreateFolderTree(FolderOf(dstFull));
        DWORD error = 0;
        if (CopyToDestination(mirror, srcFull, dstFull, lastWrite, error)) {
            Trace512(retry ? L"Deferred copy succeeded: %ls -> %ls\n"
                           : L"CopyFile succeeded: %ls -> %ls\n",
                     srcFull.c_str(), dstFull.c_str());
            NoteCopied(mirror, srcFull, dstFull, size, lastWrite, changeTime, now);
            ++copied;
            continue;
        }
        if (error == ERROR_REQUEST_ABORTED)
            break; // the generation stops: the next one's catch-up copies it
        if (!retry) {
            DeferCopy(mirror, srcFull, dstFull, error, now, entry.since);
            continue;
        }
        BackOff(entry, error, now);
    }
    return copied;
}

void NoteUnlisted(MirrorState &mirror, const std::wstring &folder, DWORD error, ULONGLONG now) {
    UnlistedFolder &entry = mirror.unlisted[FoldCase(folder)];
    if (entry.path.empty()) {
        Trace512(L"Cannot list %ls err=%u: its walk is tried again later\n", folder.c_str(), error);
        entry.path = folder;
        entry.since = now;
    }
    entry.lastError = error;
}

void EndUnlistedEpisodes(MirrorState &mirror, const std::vector<std::wstring> &failed) {
    for (auto it = mirror.unlisted.begin(); it != mirror.unlisted.end();)
        it = std::find(failed.begin(), failed.end(), it->first) == failed.end()
                 ? mirror.unlisted.erase(it)
                 : std::next(it);
}

ULONGLONG NextDueTick(const MirrorState &mirror) {
    ULONGLONG next = 0;
    for (const auto &[key, entry] : mirror.pending)
        if (next == 0 || entry.due < next)
            next = entry.due;
    return next;
}
