// The copy pass of one batch, and the tree walks that catch files no record names.
//
// A batch may name one file many times (some systems report every write() as its own
// modification), so the pass first finds the last record of each source file and copies
// only there: the destination ends as with one copy per record, at a fraction of the cost.
// A copy over an existing file goes through a temporary file (monitor/safe_copy.h); what
// cannot be copied now waits in the pair's mirror state (monitor/pending_copies.h).
#include "monitor/copier.h"

#include "monitor/clock.h"
#include "monitor/file_identity.h"
#include "monitor/file_system_traits.h"
#include "monitor/long_path.h"
#include "monitor/safe_copy.h"
#include "monitor/trace.h"
#include "monitor/tree_walk.h"

#include <algorithm>
#include <unordered_map>

namespace {

const int kAttemptLimit = 5;
const DWORD kRetryPauseMs = 200;

// What one source file does in a batch: where its last copied record stands, whether any of
// its records says that it arrived (added or renamed into place), and its name as the copy
// uses it (the long form of a short name).
struct SourceInBatch {
    size_t lastRecord = 0;
    bool arrived = false;
    std::wstring name;
};

bool IsCopiedAction(DWORD action) {
    return action == FILE_ACTION_ADDED || action == FILE_ACTION_MODIFIED ||
           action == FILE_ACTION_RENAMED_NEW_NAME;
}

std::wstring BaseNameOf(const std::wstring &name) {
    size_t cut = name.find_last_of(L"\\/");
    return cut == std::wstring::npos ? name : name.substr(cut + 1);
}

// A record may name a file by its short (8.3) name, which always holds a tilde. Returns
// the record's relative name with the long name of every component, or `name` itself when
// it has no short form or is gone.
std::wstring LongNameOf(const std::wstring &path, const std::wstring &name) {
    if (name.find(L'~') == std::wstring::npos)
        return name;
    std::wstring full = FileSystemPath(path + L"\\" + name);
    DWORD needed = GetLongPathNameW(full.c_str(), nullptr, 0);
    if (needed == 0)
        return name;
    std::wstring longFull(needed, L'\0');
    DWORD length = GetLongPathNameW(full.c_str(), longFull.data(), needed);
    if (length == 0 || length >= needed)
        return name;
    longFull.resize(length);
    // The record's components are the last ones of the long path, however `path` is spelt.
    size_t components = 1;
    for (wchar_t c : name)
        if (c == L'\\' || c == L'/')
            ++components;
    size_t cut = longFull.size();
    for (size_t k = 0; k < components; ++k) {
        cut = cut == 0 ? std::wstring::npos : longFull.find_last_of(L'\\', cut - 1);
        if (cut == std::wstring::npos)
            return name;
    }
    return longFull.substr(cut + 1);
}

// True when dstFull is srcFull itself: the destination folder is the watched folder or lies
// inside its tree, and the source's folder is the destination folder (a copy keeps its file
// name). The folders are compared once per pass: by path, else by identity (short names, links,
// a second path to the volume).
bool IsOntoItsOwnSource(MirrorState &mirror, const std::wstring &srcFull,
                        const std::wstring &dstFull) {
    if (!mirror.destinationMayBeSource)
        return false;
    std::wstring key = FoldCase(FullPath(FolderOf(srcFull)));
    if (key == mirror.destinationKey)
        return true;
    auto known = mirror.foldersAtDestination.find(key);
    if (known != mirror.foldersAtDestination.end())
        return known->second;
    // Another spelling of the destination folder?
    if (!IdentityKnown(mirror.destinationIdentity))
        ReadPathIdentity(FolderOf(dstFull), mirror.destinationIdentity);
    FileIdentity folder = mirror.sourceIdentity;
    if (key != mirror.sourceKey)
        ReadPathIdentity(FolderOf(srcFull), folder);
    bool same = SameFileIdentity(folder, mirror.destinationIdentity);
    mirror.foldersAtDestination[key] = same;
    return same;
}

// How one copy ended.
enum class CopyOutcome { Copied, Skipped, Waiting, Stopped };

// Copies srcFull to dstFull; a source held by its writer is tried up to `attempts` times, 200
// ms apart. What still fails waits in the mirror state for a later retry, unless the source is
// gone. Stopped when the generation stops: the copy neither landed nor waits.
CopyOutcome CopyWithRetries(MirrorState &mirror, const std::wstring &srcFull,
                            const std::wstring &dstFull, ULONGLONG size, ULONGLONG lastWrite,
                            ULONGLONG now, ULONGLONG since, int attempts,
                            ULONGLONG changeTime = 0) {
    if (IsOntoItsOwnSource(mirror, srcFull, dstFull)) {
        // The destination is the source itself (the destination folder is the watched folder
        // or lies inside the tree): the copy would come back as a change of the tree.
        Trace512(L"Skipping copy onto its own source: %ls\n", srcFull.c_str());
        return CopyOutcome::Skipped;
    }
    if (IsCopyBack(mirror, srcFull, dstFull, size, lastWrite))
        return CopyOutcome::Skipped;
    DWORD error = 0;
    for (int attempt = 1;; ++attempt) {
        if (CopyToDestination(mirror, srcFull, dstFull, lastWrite, error)) {
            Trace512(L"CopyFile succeeded: %ls -> %ls\n", srcFull.c_str(), dstFull.c_str());
            NoteCopied(mirror, srcFull, dstFull, size, lastWrite, changeTime, now);
            return CopyOutcome::Copied;
        }
        if (error == ERROR_REQUEST_ABORTED)
            return CopyOutcome::Stopped;
        // Only a writer's hold passes within moments; anything else concerns this file for
        // longer (access denied, a full disk, a drive that is gone) and waits with its own
        // delays, so that it holds back neither the pass nor the other files.
        bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
        if (!held) {
            Trace512(L"CopyFile failed (attempt %d): %ls -> %ls err=%u\n", attempt, srcFull.c_str(),
                     dstFull.c_str(), error);
            break;
        }
        if (attempt >= attempts)
            break;
        Sleep(kRetryPauseMs);
    }
    if (GetFileAttributesW(FileSystemPath(srcFull).c_str()) == INVALID_FILE_ATTRIBUTES &&
        IsGoneError(GetLastError()))
        return CopyOutcome::Skipped; // a later record, or nothing, says what became of it
    DeferCopy(mirror, srcFull, dstFull, error, now, since);
    return CopyOutcome::Waiting;
}

// True when the destination holds a copy written later than the file last changed: a later
// change of another file of that name (a copy of this file carries its last-write time, and a
// file moved in from elsewhere has its change time moved). Of two files of one name, the one
// changed last stays, also when a folder holding the other is moved or renamed (which changes
// none of its files).
bool CopyIsNewer(const FoundEntry &source, ULONGLONG copyWrite,
                 const FileSystemTraits &destination) {
    ULONGLONG step = destination.keepsChangeTime ? 0 : destination.timeStep;
    return copyWrite > LastChangeOf(source) + step;
}

bool DestinationIsNewer(const FoundEntry &source, const std::wstring &dstFull,
                        const FileSystemTraits &destination) {
    WIN32_FILE_ATTRIBUTE_DATA dst;
    return GetFileAttributesExW(FileSystemPath(dstFull).c_str(), GetFileExInfoStandard, &dst) &&
           CopyIsNewer(source, FileTimeValue(dst.ftLastWriteTime), destination);
}

// True when the walk leaves dstFull as it is for `source`: its copy is current, or the
// destination holds a later file of its name.
bool WalkLeavesAlone(MirrorState &mirror, const FoundEntry &source, const std::wstring &dstFull) {
    const FileSystemTraits &destination = DestinationTraitsOf(mirror, dstFull);
    return DestinationIsCurrent(source.size, source.lastWriteTime, source.changeTime, dstFull,
                                destination) ||
           DestinationIsNewer(source, dstFull, destination);
}

// Mirrors one file found in a folder that arrived, unless its copy is current or the
// destination holds a later file of its name.
CopyOutcome MirrorWalkedFile(MirrorState &mirror, const std::wstring &srcFull,
                             const FoundEntry &source, const std::wstring &destRoot,
                             ULONGLONG since) {
    if (IsTemporaryCopyName(source.name))
        return CopyOutcome::Skipped;
    std::wstring dstFull = destRoot + L"\\" + source.name;
    if (WalkLeavesAlone(mirror, source, dstFull))
        return CopyOutcome::Skipped;
    CreateFolderTree(destRoot);
    return CopyWithRetries(mirror, srcFull, dstFull, source.size, source.lastWriteTime,
                           GetTickCount64(), since, 1);
}

// One file a walk would copy, and when it changed: by its own times, or when the folder it
// arrived with did.
struct WalkCandidate {
    std::wstring full;
    FoundEntry entry;
    ULONGLONG changedAt = 0;
};

// A record's path may pass through a link inside the tree (a system that reports changes
// behind links): true when a folder on the way is one. Looked up once per folder and batch.
bool CrossesLink(const std::wstring &path, const std::wstring &name,
                 std::unordered_map<std::wstring, bool> &linkFolders) {
    for (size_t cut = name.find_first_of(L"\\/"); cut != std::wstring::npos;
         cut = name.find_first_of(L"\\/", cut + 1)) {
        std::wstring folder = path + L"\\" + name.substr(0, cut);
        auto known = linkFolders.find(FoldCase(folder));
        bool link = known != linkFolders.end() ? known->second : IsLinkAt(folder);
        if (known == linkFolders.end())
            linkFolders[FoldCase(folder)] = link;
        if (link)
            return true;
    }
    return false;
}

} // namespace

void PrepareMirror(MirrorState &mirror, const std::wstring &path, const std::wstring &destRoot) {
    mirror.source = TraitsOfFileSystemAt(path);
    mirror.destinationSeen = false;
    mirror.destinationMayBeSource = true;
    if (destRoot.empty())
        return;
    RemoveLeftoverCopies(destRoot);
    mirror.sourceKey = FoldCase(FullPath(path));
    mirror.destinationKey = FoldCase(FullPath(destRoot));
    mirror.sourceIdentity = mirror.destinationIdentity = FileIdentity();
    ReadPathIdentity(destRoot, mirror.destinationIdentity);
    // Known to lie outside only when the source folder has a known identity and neither the
    // destination folder nor any folder above it has that identity.
    if (!ReadPathIdentity(path, mirror.sourceIdentity))
        return;
    std::wstring sourceFull = FullPath(path);
    for (std::wstring folder = FullPath(destRoot); !folder.empty(); folder = ParentFolder(folder)) {
        if (CompareStringOrdinal(folder.c_str(), (int)folder.size(), sourceFull.c_str(),
                                 (int)sourceFull.size(), TRUE) == CSTR_EQUAL)
            return;
        FileIdentity identity;
        if (ReadPathIdentity(folder, identity) && SameFileIdentity(identity, mirror.sourceIdentity))
            return;
    }
    mirror.destinationMayBeSource = false;
}

bool CopyChangedFiles(const std::wstring &path, const std::wstring &destRoot,
                      const std::vector<FolderChange> &changes, MirrorState &mirror, ULONGLONG now,
                      ULONGLONG since) {
    // The key of a record: its long name, case folded.
    std::vector<std::wstring> keys(changes.size());
    std::unordered_map<std::wstring, SourceInBatch> sources;
    for (size_t k = 0; k < changes.size(); ++k) {
        const FolderChange &change = changes[k];
        if (change.name.empty() || !IsCopiedAction(change.action))
            continue;
        std::wstring name = LongNameOf(path, change.name);
        keys[k] = FoldCase(name);
        SourceInBatch &source = sources[keys[k]];
        source.lastRecord = k;
        source.arrived = source.arrived || change.action != FILE_ACTION_MODIFIED;
        source.name = name;
    }

    bool finished = true, destinationMade = false;
    std::unordered_map<std::wstring, bool> linkFolders;
    mirror.foldersAtDestination.clear();
    for (size_t k = 0; k < changes.size(); ++k) {
        if (MirrorStopped(mirror))
            return false;
        const FolderChange &change = changes[k];
        if (change.name.empty() || !IsCopiedAction(change.action))
            continue;
        const SourceInBatch &source = sources[keys[k]];
        if (source.lastRecord != k)
            continue;
        std::wstring srcFull = path + L"\\" + source.name;
        std::wstring baseName = BaseNameOf(source.name);
        if (destRoot.empty() || IsTemporaryCopyName(baseName))
            continue;
        if (CrossesLink(path, source.name, linkFolders))
            continue;
        destinationMade = destinationMade || CreateFolderTree(destRoot);
        std::wstring dstFull = destRoot + L"\\" + baseName;
        WIN32_FILE_ATTRIBUTE_DATA found;
        DWORD attributes = INVALID_FILE_ATTRIBUTES;
        if (GetFileAttributesExW(FileSystemPath(srcFull).c_str(), GetFileExInfoStandard, &found)) {
            attributes = found.dwFileAttributes;
        } else if (DWORD error = GetLastError(); !IsGoneError(error)) {
            // There, but not to be read just now (denied, held, a share that hiccups).
            DeferCopy(mirror, srcFull, dstFull, error, now, since);
            continue;
        }
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            IsLinkAt(srcFull)) {
            Trace512(L"Skipping link: %ls\n", srcFull.c_str());
            continue;
        }
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            Trace512(L"Skipping non-file or missing: %ls (attr=0x%08x)\n", srcFull.c_str(),
                     attributes);
            if (attributes != INVALID_FILE_ATTRIBUTES && source.arrived) {
                // A folder moved or created in place brings files no record will name.
                // Files with a later record of their own are copied at that record.
                bool stopped = false;
                TreeVisitor visitor;
                visitor.onFile = [&](const std::wstring &full, const std::wstring &rel,
                                     const FoundEntry &entry, ULONGLONG) {
                    auto later = sources.find(FoldCase(source.name + L"\\" + rel));
                    if (later != sources.end() && later->second.lastRecord > k)
                        return;
                    if (MirrorWalkedFile(mirror, full, entry, destRoot, since) ==
                        CopyOutcome::Stopped)
                        stopped = true;
                };
                visitor.onUnlisted = [&](const std::wstring &full, DWORD error) {
                    NoteUnlisted(mirror, full, error, GetTickCount64());
                };
                visitor.stopped = [&] { return stopped || MirrorStopped(mirror); };
                if (!WalkTree(srcFull, std::wstring(), visitor))
                    finished = false;
            }
            continue;
        }
        ULONGLONG size = ((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        ULONGLONG lastWrite = FileTimeValue(found.ftLastWriteTime), changeTime = 0;
        if (size >= kQuietMinBytes) {
            // A record of a write the last copy already held, come late: no second copy.
            ULONGLONG readSize = 0, readWrite = 0;
            if (ReadFileTimes(srcFull, readSize, readWrite, changeTime) &&
                CopiedAsItIs(mirror, dstFull, readSize, readWrite, changeTime, now))
                continue;
            if (readSize != size || readWrite != lastWrite)
                changeTime = 0; // it changed between the two looks
        }
        if (WaitForQuiet(mirror, srcFull, dstFull, size, lastWrite, now, since))
            continue;
        if (CopyWithRetries(mirror, srcFull, dstFull, size, lastWrite, now, since, kAttemptLimit,
                            changeTime) == CopyOutcome::Stopped)
            return false;
    }
    return finished && !MirrorStopped(mirror);
}

WalkReport CopyFilesChangedSince(const std::wstring &path, const std::wstring &destRoot,
                                 ULONGLONG since, MirrorState &mirror, bool wholeTree) {
    WalkReport report;
    report.startedAt = SystemTimeNow();
    if (destRoot.empty())
        return report;
    mirror.foldersAtDestination.clear();
    // Which folders arrived in the gap: those the tree did not hold when the known folders
    // were listed, where they tell; else what their times suggest. Times are looked at from a
    // little before the gap, as far as the file system's times may lag behind.
    std::shared_ptr<const KnownFolders> known = KnownFoldersOf(mirror.point);
    bool byIdentity = mirror.source.stableFileIds && KnownAtGap(known, since);
    ULONGLONG step = mirror.source.timeStep;
    ULONGLONG lookFrom = since > step ? since - step : 0;
    std::shared_ptr<KnownFolders> listed = std::make_shared<KnownFolders>();
    listed->takenAt = report.startedAt;
    std::vector<std::wstring> unlisted;

    // First the files the walk would copy, the one changed last for each name; then the
    // copies, so that listing order never decides which of two same-named files stays.
    std::unordered_map<std::wstring, WalkCandidate> byName;
    TreeVisitor visitor;
    visitor.onFile = [&](const std::wstring &full, const std::wstring &, const FoundEntry &entry,
                         ULONGLONG markedAt) {
        if (IsTemporaryCopyName(entry.name))
            return;
        bool own = ChangedSince(full, entry, lookFrom);
        if (!own && markedAt == 0)
            return;
        ULONGLONG changedAt = own ? std::max(LastChangeOf(entry), markedAt) : markedAt;
        WalkCandidate &candidate = byName[FoldCase(entry.name)];
        if (!candidate.full.empty() && candidate.changedAt >= changedAt)
            return;
        candidate = WalkCandidate{full, entry, changedAt};
    };
    visitor.markFolder = [&](const FoundEntry &folder, const FileIdentity &identity,
                             ULONGLONG parentLastWrite) -> ULONGLONG {
        std::string key = IdentityKey(identity);
        if (!key.empty())
            listed->ids.insert(key);
        bool arrived = byIdentity && !key.empty() ? known->ids.count(key) == 0
                                                  : ArrivedSince(folder, parentLastWrite, lookFrom);
        return arrived ? std::max({folder.changeTime, lookFrom, 1ULL}) : 0;
    };
    visitor.onUnlisted = [&](const std::wstring &full, DWORD error) {
        unlisted.push_back(FoldCase(full));
        NoteUnlisted(mirror, full, error, GetTickCount64());
    };
    visitor.stopped = mirror.stopped;
    report.complete =
        WalkTree(path, std::wstring(), visitor, wholeTree ? std::max(lookFrom, 1ULL) : 0);
    if (!MirrorStopped(mirror))
        EndUnlistedEpisodes(mirror, unlisted);

    // The destination's copies, listed once rather than looked up name by name.
    std::unordered_map<std::wstring, FoundEntry> copies;
    std::vector<FoundEntry> listing;
    DWORD listError = 0;
    bool copiesListed = !byName.empty() && ListFolder(destRoot, listing, listError);
    for (FoundEntry &copy : listing)
        if (!(copy.attributes & FILE_ATTRIBUTE_DIRECTORY))
            copies.emplace(FoldCase(copy.name), std::move(copy));
    for (const auto &[key, candidate] : byName) {
        if (MirrorStopped(mirror)) {
            report.complete = false;
            break;
        }
        const FoundEntry &entry = candidate.entry;
        std::wstring dstFull = destRoot + L"\\" + entry.name;
        if (!copiesListed) {
            if (WalkLeavesAlone(mirror, entry, dstFull))
                continue;
        } else if (auto copy = copies.find(key); copy != copies.end()) {
            const FileSystemTraits &destination = DestinationTraitsOf(mirror, dstFull);
            const FoundEntry &held = copy->second;
            if (CopyIsCurrent(entry.size, entry.lastWriteTime, entry.changeTime, held.size,
                              held.lastWriteTime, held.changeTime, destination) ||
                CopyIsNewer(entry, held.lastWriteTime, destination))
                continue;
        }
        CreateFolderTree(destRoot);
        CopyOutcome outcome = CopyWithRetries(mirror, candidate.full, dstFull, entry.size,
                                              entry.lastWriteTime, GetTickCount64(), lookFrom, 1);
        if (outcome == CopyOutcome::Copied)
            ++report.copied;
        if (outcome == CopyOutcome::Stopped) {
            report.complete = false;
            break;
        }
    }
    if (report.complete)
        report.folders = known && known->ids == listed->ids ? known : listed;
    return report;
}
