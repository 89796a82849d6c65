#include "monitor/mirror_point.h"

#include "monitor/clock.h"

#include <algorithm>

namespace {

// Never later than the clock's `now`.
ULONGLONG PointOf(const MirrorPoint &point, ULONGLONG now) {
    ULONGLONG waiting = point.holdTimes.empty() ? 0 : *point.holdTimes.begin();
    return EarliestSet(EarliestSet(EarliestSet(point.gapSince, point.handledTo), waiting),
                       point.handledTo != 0 || point.gapSince != 0 ? now : 0);
}

// The known folders, listed no later than `now`: listed at a time later than the clock (it
// went back since), they were listed before now anyway.
std::shared_ptr<const KnownFolders> FoldersBy(MirrorPoint &point, ULONGLONG now) {
    if (point.knownFolders && point.knownFolders->takenAt > now) {
        auto folders = std::make_shared<KnownFolders>(*point.knownFolders);
        folders->takenAt = now;
        point.knownFolders = std::move(folders);
    }
    return point.knownFolders;
}

} // namespace

void GapOpened(MirrorPoint &point, ULONGLONG since, bool wholeTree) {
    std::lock_guard<std::mutex> lock(point.lock);
    point.gapSince = EarliestSet(point.gapSince, std::min(since, SystemTimeNow()));
    point.wholeTree = point.wholeTree || wholeTree;
}

void ChangesLost(MirrorPoint &point) {
    std::lock_guard<std::mutex> lock(point.lock);
    point.gapSince = EarliestSet(point.gapSince, PointOf(point, SystemTimeNow()));
}

void ReadIssued(MirrorPoint &point, ULONGLONG at) {
    std::lock_guard<std::mutex> lock(point.lock);
    point.readIssued = at;
    // The clock went back: nothing after the new time is handled yet.
    if (point.handledTo > at)
        point.handledTo = at;
}

void BatchHandled(MirrorPoint &point) {
    std::lock_guard<std::mutex> lock(point.lock);
    point.handledTo = std::max(point.handledTo, point.readIssued);
}

void GapWalked(MirrorPoint &point, ULONGLONG since, ULONGLONG walkStart) {
    std::lock_guard<std::mutex> lock(point.lock);
    if (point.gapSince != 0 && since <= point.gapSince) {
        point.gapSince = 0;
        point.wholeTree = false;
    }
    point.handledTo = std::max(point.handledTo, walkStart);
}

void Hold(MirrorPoint &point, HoldKind kind, const std::wstring &key, ULONGLONG since) {
    std::lock_guard<std::mutex> lock(point.lock);
    auto [held, fresh] = point.holds.insert({{kind, key}, since});
    if (!fresh) {
        if (held->second == since)
            return;
        if (held->second != 0)
            point.holdTimes.erase(point.holdTimes.find(held->second));
        held->second = since;
    }
    if (since != 0) // no time to hold to
        point.holdTimes.insert(since);
}

void LetGo(MirrorPoint &point, HoldKind kind, const std::wstring &key) {
    std::lock_guard<std::mutex> lock(point.lock);
    auto held = point.holds.find({kind, key});
    if (held == point.holds.end())
        return;
    if (held->second != 0)
        point.holdTimes.erase(point.holdTimes.find(held->second));
    point.holds.erase(held);
}

void FoldersListed(MirrorPoint &point, std::shared_ptr<const KnownFolders> folders) {
    std::lock_guard<std::mutex> lock(point.lock);
    point.knownFolders = std::move(folders);
}

std::shared_ptr<const KnownFolders> KnownFoldersOf(MirrorPoint &point) {
    std::lock_guard<std::mutex> lock(point.lock);
    return FoldersBy(point, SystemTimeNow());
}

ULONGLONG MirroredUpTo(MirrorPoint &point, std::shared_ptr<const KnownFolders> *folders) {
    std::lock_guard<std::mutex> lock(point.lock);
    ULONGLONG now = SystemTimeNow();
    if (folders)
        *folders = FoldersBy(point, now);
    return PointOf(point, now);
}

bool GapOpen(MirrorPoint &point, ULONGLONG &since, bool *wholeTree) {
    std::lock_guard<std::mutex> lock(point.lock);
    since = point.gapSince;
    if (wholeTree)
        *wholeTree = point.wholeTree && since != 0;
    return since != 0;
}

void WatchedFolderIs(MirrorPoint &point, const std::string &identity) {
    std::lock_guard<std::mutex> lock(point.lock);
    point.watchedFolder = identity;
}

std::string WatchedFolderOf(MirrorPoint &point) {
    std::lock_guard<std::mutex> lock(point.lock);
    return point.watchedFolder;
}
