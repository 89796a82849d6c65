#include "monitor/gap_walk.h"

#include "monitor/clock.h"
#include "monitor/copier.h"
#include "monitor/long_path.h"
#include "monitor/safe_copy.h"
#include "monitor/tree_walk.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace {

// One file a walk would copy, and when it changed: by its own times, or when the folder it
// arrived with did.
struct WalkCandidate {
    std::wstring full;
    FoundEntry entry;
    ULONGLONG changedAt = 0;
};

// What one walk gathers as it lists.
struct WalkRun {
    explicit WalkRun(MirrorState &state) : mirror(state) {}
    MirrorState &mirror;
    ULONGLONG lookFrom = 0;  // FILETIME: files changed from here on are candidates
    bool holdsPoint = false; // folders it cannot list hold the point back
    bool sweep = false;      // folders left out of the tree are listed again
    std::wstring alone;      // the folder walked alone, which reports its own failure
    DWORD aloneError = 0;
    std::shared_ptr<const KnownFolders> known;
    bool byIdentity = false; // the known folders tell which folders arrived
    std::shared_ptr<KnownFolders> listed = std::make_shared<KnownFolders>();
    bool anyUnlisted = false;
    std::vector<std::wstring> unlistedListed; // folders of the unlisted list it listed whole
    std::unordered_map<std::wstring, WalkCandidate> byName;
};

bool SamePath(const std::wstring &a, const std::wstring &b) {
    return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) ==
           CSTR_EQUAL;
}

void StartRun(WalkRun &run, ULONGLONG since, ULONGLONG startedAt) {
    run.known = KnownFoldersOf(run.mirror.point);
    run.byIdentity = run.mirror.source.stableFileIds && KnownAtGap(run.known, since);
    // Times are looked at from a little before the start, as far as the file system's times
    // may lag behind a change.
    ULONGLONG step = run.mirror.source.timeStep;
    run.lookFrom = since > step ? since - step : 0;
    run.listed->takenAt = startedAt;
}

TreeVisitor VisitorOf(WalkRun &run) {
    MirrorState &mirror = run.mirror;
    TreeVisitor visitor;
    visitor.onFile = [&run](const std::wstring &full, const std::wstring &, const FoundEntry &entry,
                            ULONGLONG markedAt) {
        if (IsNameNotCopied(run.mirror, full, entry.name))
            return;
        bool own = ChangedSince(full, entry, run.lookFrom);
        if (!own && markedAt == 0)
            return;
        ULONGLONG changedAt = own ? std::max(LastChangeOf(entry), markedAt) : markedAt;
        WalkCandidate &candidate = run.byName[FoldCase(entry.name)];
        if (!candidate.full.empty() && candidate.changedAt >= changedAt)
            return;
        candidate = WalkCandidate{full, entry, changedAt};
    };
    visitor.onFolder = [&run](const std::wstring &full) {
        return !InVolumeOwnFolder(run.mirror, full) &&
               (run.sweep || !IsLeftOut(run.mirror.unlisted, full));
    };
    visitor.markFolder = [&run](const std::wstring &full, const FoundEntry &folder,
                                const FileIdentity &identity,
                                ULONGLONG parentLastWrite) -> ULONGLONG {
        std::string key = IdentityKey(identity);
        if (!key.empty())
            run.listed->ids.insert(key);
        bool arrived = run.byIdentity && !key.empty()
                           ? run.known->ids.count(key) == 0
                           : ArrivedSince(folder, parentLastWrite, run.lookFrom);
        auto unlisted = run.mirror.unlisted.find(FoldCase(full));
        if (unlisted != run.mirror.unlisted.end()) {
            // Left out until now: everything below it is new to the pair. A folder that waits
            // for its own walk is done with once a walk from its own start has listed it.
            if (unlisted->second.leftOut)
                arrived = true;
            if (unlisted->second.leftOut || run.lookFrom <= unlisted->second.since)
                run.unlistedListed.push_back(full);
        }
        return arrived ? std::max({folder.changeTime, run.lookFrom, 1ULL}) : 0;
    };
    visitor.onUnlisted = [&run](const std::wstring &full, const std::wstring &relative, DWORD error,
                                ULONGLONG markedAt) {
        if (!run.alone.empty() && SamePath(full, run.alone)) {
            run.aloneError = error;
            return false;
        }
        run.anyUnlisted = true;
        FolderUnlisted(run.mirror.unlisted, run.mirror.point, full, relative, error, run.lookFrom,
                       run.holdsPoint, markedAt, GetTickCount64());
        return true;
    };
    visitor.stopped = mirror.stopped;
    return visitor;
}

// Copies the walk's candidates whose copies are not current into destRoot; the destination's
// copies are listed once rather than looked up name by name. Clears `complete` when the
// generation stops.
void CopyCandidates(WalkRun &run, const std::wstring &destRoot, WalkReport &report) {
    MirrorState &mirror = run.mirror;
    std::unordered_map<std::wstring, FoundEntry> copies;
    std::vector<FoundEntry> listing;
    DWORD listError = 0;
    bool copiesListed = !run.byName.empty() && ListFolder(destRoot, listing, listError);
    for (FoundEntry &copy : listing)
        if (!(copy.attributes & FILE_ATTRIBUTE_DIRECTORY))
            copies.emplace(FoldCase(copy.name), std::move(copy));
    bool destinationMade = false;
    for (const auto &[key, candidate] : run.byName) {
        if (MirrorStopped(mirror)) {
            report.complete = false;
            return;
        }
        const FoundEntry &entry = candidate.entry;
        TargetLook look;
        if (copiesListed) {
            auto found = copies.find(key);
            look = found == copies.end()
                       ? NoTarget()
                       : TargetAsListed(found->second.size, found->second.lastWriteTime,
                                        found->second.changeTime);
        }
        if (!destinationMade && !IsDestinationParked(mirror.pending, destRoot))
            destinationMade = CreateFolderTree(destRoot);
        CopyOutcome outcome = MirrorFoundFile(mirror, candidate.full, entry,
                                              destRoot + L"\\" + entry.name, look, run.lookFrom);
        if (outcome == CopyOutcome::Copied)
            ++report.copied;
        if (outcome == CopyOutcome::Stopped) {
            report.complete = false;
            return;
        }
    }
}

// The folders of the unlisted list that the walk listed are done with.
void EndListedFolders(WalkRun &run) {
    for (const std::wstring &folder : run.unlistedListed)
        FolderListed(run.mirror.unlisted, run.mirror.point, folder);
}

} // namespace

WalkReport CopyFilesChangedSince(const std::wstring &path, const std::wstring &destRoot,
                                 ULONGLONG since, MirrorState &mirror, WalkMode mode) {
    WalkReport report;
    report.startedAt = SystemTimeNow();
    if (destRoot.empty())
        return report;
    mirror.foldersAtDestination.clear();
    WalkRun run(mirror);
    run.holdsPoint = mode.closesGap;
    run.sweep = mode.sweep;
    StartRun(run, since, report.startedAt);
    // A sweep cut short is done again from its start by the next run's catch-up.
    if (mode.sweep)
        Hold(mirror.point, HoldKind::Sweep, std::wstring(), since);
    TreeVisitor visitor = VisitorOf(run);
    report.complete =
        WalkTree(path, std::wstring(), visitor, mode.wholeTree ? std::max(run.lookFrom, 1ULL) : 0);
    CopyCandidates(run, destRoot, report);
    if (mode.sweep)
        LetGo(mirror.point, HoldKind::Sweep, std::wstring());
    if (!report.complete)
        return report;
    EndListedFolders(run);
    // Folders it could not list are walked alone later: the tree still holds the ones known.
    if (run.anyUnlisted && run.known)
        run.listed->ids.insert(run.known->ids.begin(), run.known->ids.end());
    report.folders = run.known && run.known->ids == run.listed->ids ? run.known : run.listed;
    return report;
}

size_t WalkWaitingFolders(const std::wstring &destRoot, MirrorState &mirror, ULONGLONG now) {
    size_t copied = 0;
    if (destRoot.empty())
        return copied;
    for (const UnlistedFolder &folder : DueFolders(mirror.unlisted, now)) {
        if (MirrorStopped(mirror))
            break;
        WalkRun run(mirror);
        run.holdsPoint = folder.holdsPoint;
        run.alone = folder.path;
        StartRun(run, folder.since, SystemTimeNow());
        run.lookFrom = folder.since; // its start was looked back from already
        mirror.foldersAtDestination.clear();
        TreeVisitor visitor = VisitorOf(run);
        bool listed = WalkTree(folder.path, folder.relative, visitor, folder.markedAt);
        if (MirrorStopped(mirror))
            break;
        if (!listed) {
            if (run.aloneError == ERROR_ACCESS_DENIED)
                FolderUnlisted(mirror.unlisted, mirror.point, folder.path, folder.relative,
                               run.aloneError, folder.since, folder.holdsPoint, folder.markedAt,
                               GetTickCount64());
            else
                FolderStillUnlisted(mirror.unlisted, folder.path, run.aloneError, GetTickCount64());
            continue;
        }
        WalkReport report;
        CopyCandidates(run, destRoot, report);
        copied += report.copied;
        if (!report.complete)
            break;
        EndListedFolders(run);
        FolderListed(mirror.unlisted, mirror.point, folder.path);
    }
    return copied;
}
