// The copy pass of one batch, the rounds of the waiting copies, and the copy step they share
// with the walks.
//
// A batch may name one file many times (some systems report every write() as its own
// modification), so the pass first finds the last record of each source file and copies
// only there: the destination ends as with one copy per record, at a fraction of the cost.
//
// Whether a copy is made at all, the pass, the waiting copies and the walks ask one judge
// (monitor/copy_judge.h). Every copy it lets through goes through one step (CopyOneFile): never
// while a writer holds the source where the system lets that be seen (it waits:
// monitor/pending_copies.h), always through a temporary file (monitor/safe_copy.h), and noted
// once it is in place (monitor/copy_records.h).
#include "monitor/copier.h"

#include "monitor/clock.h"
#include "monitor/copy_judge.h"
#include "monitor/copy_records.h"
#include "monitor/file_identity.h"
#include "monitor/long_path.h"
#include "monitor/safe_copy.h"
#include "monitor/system_behaviour.h"
#include "monitor/trace.h"
#include "monitor/transient_names.h"
#include "monitor/volume_folders.h"

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

// How long ago a file was last written, by the engine's clock; 0 for a time in the future.
ULONGLONG WrittenAgoMs(ULONGLONG lastWrite) {
    ULONGLONG now = SystemTimeNow();
    return now > lastWrite ? (now - lastWrite) / 10000 : 0;
}

// Looks at a source file through an open handle (which reads no data, so a file whose data is
// not on this computer is not brought back). The handle asks for reading without write sharing,
// as a copy's does: ERROR_SHARING_VIOLATION means that a writer (or a reader that shares
// nothing) holds the file, and a copy would fail. (A writer the system does not see, such as a
// Linux process under Wine, is not told by this: monitor/system_behaviour.h.) False with the
// system's error (ERROR_DIRECTORY for a folder).
bool LookAtSource(SourceFile &source, DWORD &error) {
    return ReadFileFacts(source.full, GENERIC_READ | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_DELETE, source.facts, error);
}

// LookAtSource, again 200 ms later while a writer holds the file, `looks` times at most: a
// save that is just closing costs a moment, a file held for longer waits.
bool LookAtSourceOnceHeld(SourceFile &source, DWORD &error, int looks) {
    for (int look = 1;; ++look) {
        if (LookAtSource(source, error))
            return true;
        if (error != ERROR_SHARING_VIOLATION || look >= looks)
            return false;
        Sleep(kRetryPauseMs);
    }
}

bool IsHeldError(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// The bytes the disk of `folder` takes for this user; false when it does not say.
bool RoomAt(const std::wstring &folder, ULONGLONG &room) {
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/')
        path += L'\\';
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(FileSystemPath(path).c_str(), &available, nullptr, nullptr))
        return false;
    room = available.QuadPart;
    return true;
}

bool IsDiskFull(DWORD error) {
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

// True when the watched folder (or its drive) can be reached: a source missing from it is gone.
bool SourceFolderThere(const MirrorState &mirror) {
    return mirror.sourceRoot.empty() || FolderIsThere(mirror.sourceRoot);
}

// A copy of `source` to the target failed with `error` at `now`: it waits, unless its source is
// gone from a folder that is there. A retry backs off; anything else waits from the first retry
// delay, parked when the destination folder is absent or its disk full, or the source's folder
// cannot be reached, or until its writer lets go of the source.
CopyOutcome CopyFailed(MirrorState &mirror, const SourceFile &source, const CopyTarget &target,
                       DWORD error, ULONGLONG now, ULONGLONG since, bool retry) {
    PendingCopies &pending = mirror.pending;
    ULONGLONG bytes = source.facts.size;
    if (GetFileAttributesW(FileSystemPath(source.full).c_str()) == INVALID_FILE_ATTRIBUTES &&
        IsGoneError(GetLastError())) {
        if (SourceFolderThere(mirror)) {
            EndPending(pending, target.key);
            return CopyOutcome::Skipped; // a later record, or nothing, says what became of it
        }
        DeferCopy(pending, source.full, target.full, error, now, since, bytes);
        ParkFolder(pending, ParkedWhy::SourceAway, mirror.sourceRoot, now, target.key);
        return CopyOutcome::Waiting;
    }
    if (IsDiskFull(error)) {
        ParkFolder(pending, ParkedWhy::DestinationFull, target.folder, now);
        DeferCopy(pending, source.full, target.full, error, now, since, bytes);
        return CopyOutcome::Waiting;
    }
    // The copy that was to show whether a full disk has room failed for a reason of its own: the
    // disk is not what stops it, and the others are tried.
    if (IsParked(pending, ParkedWhy::DestinationFull, target.folder) &&
        IsTurnOf(pending, target.key))
        FolderBack(pending, ParkedWhy::DestinationFull, target.folder, now);
    if (!IsDestinationParked(pending, target.folder) && !FolderIsThere(target.folder) &&
        !CreateFolderTree(target.folder))
        ParkFolder(pending, ParkedWhy::DestinationAbsent, target.folder, now);
    // A writer that holds the source (the walks copy without looking first): it waits for it.
    SourceFile look = source;
    DWORD lookError = 0;
    const PendingCopy *waiting = PendingFor(pending, target.key);
    if (error == ERROR_SHARING_VIOLATION && !(waiting && waiting->kind == WaitKind::Held) &&
        !LookAtSource(look, lookError) && lookError == ERROR_SHARING_VIOLATION)
        WaitForWriter(pending, source.full, target.full, now, since, bytes);
    else if (retry && waiting)
        LookAgain(pending, target.key, error, now);
    else
        DeferCopy(pending, source.full, target.full, error, now, since, bytes);
    return CopyOutcome::Waiting;
}

// The copy step: copies `source` to the target, which the judge (monitor/copy_judge.h) let it,
// trying again a copy that meets a lock or a reader of the destination up to `attempts` times,
// 200 ms apart. `retry`: a waiting copy's turn. What fails waits in the mirror state, found
// again by a walk from `since`. Stopped when the generation stops: the copy neither landed nor
// waits.
CopyOutcome CopyOneFile(MirrorState &mirror, const SourceFile &source, const CopyTarget &target,
                        ULONGLONG now, ULONGLONG since, int attempts, bool retry) {
    // Nothing is tried into a parked destination but the copies whose turn has come.
    if (IsDestinationParked(mirror.pending, target.folder) && !IsTurnOf(mirror.pending, target.key))
        return CopyFailed(mirror, source, target,
                          IsParked(mirror.pending, ParkedWhy::DestinationFull, target.folder)
                              ? ERROR_DISK_FULL
                              : ERROR_PATH_NOT_FOUND,
                          now, since, retry);
    // On a destination that keeps no change time (FAT, exFAT, whose renames may stamp times
    // anew) the copy gets its source's last-write time back, so that a walk finds it current.
    const FileFacts &facts = source.facts;
    ULONGLONG keepWrite =
        DestinationTraitsOf(mirror, target.folder).keepsChangeTime ? 0 : facts.lastWrite;
    DWORD error = 0;
    for (int attempt = 1;; ++attempt) {
        ULONGLONG copiedAt = SystemTimeNow();
        if (CopyFileSafely(source.full, target.full, error, mirror.stopped, keepWrite)) {
            Trace512(retry ? L"Deferred copy succeeded: %ls -> %ls\n"
                           : L"CopyFile succeeded: %ls -> %ls\n",
                     source.full.c_str(), target.full.c_str());
            NoteCopyPutInPlace(mirror, source, target, copiedAt);
            EndPending(mirror.pending, target.key);
            CopiedAt(mirror.changing, source.hash, facts.size, now);
            return CopyOutcome::Copied;
        }
        if (error == ERROR_REQUEST_ABORTED)
            return CopyOutcome::Stopped;
        // Only a writer's hold passes within moments; anything else concerns this file for
        // longer (access denied, a full disk, a drive that is gone) and waits with its own
        // delays, so that it holds back neither the pass nor the other files.
        if (!IsHeldError(error)) {
            if (!retry)
                Trace512(L"CopyFile failed (attempt %d): %ls -> %ls err=%u\n", attempt,
                         source.full.c_str(), target.full.c_str(), error);
            break;
        }
        if (attempt >= attempts)
            break;
        Sleep(kRetryPauseMs);
    }
    return CopyFailed(mirror, source, target, error, now, since, retry);
}

SourceFile SourceOf(const std::wstring &full, const FoundEntry &entry) {
    SourceFile source = SourceAt(full);
    source.facts.attributes = entry.attributes;
    source.facts.size = entry.size;
    source.facts.lastWrite = entry.lastWriteTime;
    source.facts.changeTime = entry.changeTime;
    return source;
}

// A record may name a file by a path that passes through a link inside the tree (a system that
// reports changes behind links): true when a folder on the way is one. Looked up once per folder
// and batch.
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

// What the pass does with the last record of one source file.
enum class StepKind { Copy, Leave, ArrivedFolder, NameAgain, WaitForWriter, WaitUntilQuiet, Defer };
struct FileStep {
    StepKind kind = StepKind::Copy;
    DWORD error = 0; // Defer: why
    QuietPlan quiet; // WaitUntilQuiet: when it is looked at
};

// Decides the pass's step for `file` (its facts filled in as they are seen): its facts by its
// path first, without opening it (a file whose data is not on this computer must not be brought
// back by a look), then the judge, then, for a file to be copied, a look through a handle (a
// writer's hold, as the copy would meet it), then whether it is still being written.
FileStep StepFor(MirrorState &mirror, SourceFile &file, const CopyTarget &target, ULONGLONG now,
                 CopyAsk ask) {
    FileStep step;
    FileFacts &facts = file.facts;
    if (!g_lookUpFacts(file.full, facts, step.error)) {
        if (!IsGoneError(step.error)) {
            step.kind = StepKind::Defer;
            return step;
        }
        Trace512(L"Skipping non-file or missing: %ls (attr=0x%08x)\n", file.full.c_str(),
                 INVALID_FILE_ATTRIBUTES);
        step.kind = StepKind::Leave;
        return step;
    }
    if ((facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkAt(file.full)) {
        Trace512(L"Skipping link: %ls\n", file.full.c_str());
        step.kind = StepKind::Leave;
        return step;
    }
    if (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) {
        Trace512(L"Skipping non-file or missing: %ls (attr=0x%08x)\n", file.full.c_str(),
                 facts.attributes);
        step.kind = StepKind::ArrivedFolder;
        return step;
    }
    const PendingCopy *waiting = PendingFor(mirror.pending, target.key);
    WaitKind waits = waiting ? waiting->kind : WaitKind::Failed;
    if (waiting && waits == WaitKind::Quiet && !DataIsElsewhere(facts.attributes)) {
        step.kind = StepKind::NameAgain;
        return step;
    }
    // A file already known to be held is looked at once, before anything is judged of it: its
    // times may not show its writer's changes until the writer lets go.
    bool heldBefore = waiting && waits == WaitKind::Held;
    auto heldStep = [&] {
        step.kind = step.error == ERROR_SHARING_VIOLATION ? StepKind::WaitForWriter
                    : IsGoneError(step.error)             ? StepKind::Leave
                                                          : StepKind::Defer;
        return step;
    };
    if (heldBefore && !LookAtSourceOnceHeld(file, step.error, 1))
        return heldStep();
    // A change whose copy waits is judged as the waiting copy is: only a later copy of ours ends
    // it, never a look that finds nothing new since the last copy.
    TargetLook look;
    if (JudgeCopy(mirror, file, target, look, waiting ? CopyAsk::Waiting : ask) !=
        Judgement::Copy) {
        if (waiting)
            EndPending(mirror.pending, target.key);
        step.kind = StepKind::Leave;
        return step;
    }
    if (DataIsElsewhere(facts.attributes))
        return step; // copied: only the copy reads it
    // Another file is looked at again for a moment while a writer holds it.
    if (!heldBefore && !LookAtSourceOnceHeld(file, step.error, kAttemptLimit))
        return heldStep();
    // Not held: its writer is done with it, unless the system may not show a writer's hold;
    // then a large file written moments ago may still be being written.
    step.quiet = PlanChange(mirror.changing, file.hash, facts.size, WrittenAgoMs(facts.lastWrite),
                            now, ThisSystem().writerHoldsUnseen);
    if (step.quiet.look != 0 && !waiting)
        step.kind = StepKind::WaitUntilQuiet;
    return step;
}

// Mirrors every file inside a folder that arrived with a batch (moved or created in place),
// unless its copy is current or the destination holds a later file of its name; files with a
// later record of their own are copied at that record. False when the generation stopped.
bool MirrorArrivedFolder(MirrorState &mirror, const std::wstring &srcFull, const std::wstring &name,
                         const std::wstring &destRoot, ULONGLONG since,
                         const std::function<bool(const std::wstring &)> &copiedLater) {
    bool stopped = false;
    TreeVisitor visitor;
    visitor.onFile = [&](const std::wstring &full, const std::wstring &rel, const FoundEntry &entry,
                         ULONGLONG) {
        if (IsNameNotCopied(mirror, full, entry.name) || copiedLater(name + L"\\" + rel))
            return;
        if (MirrorFoundFile(mirror, full, entry, destRoot + L"\\" + entry.name, TargetLook(),
                            since) == CopyOutcome::Stopped)
            stopped = true;
    };
    visitor.onFolder = [&](const std::wstring &full) { return !IsLeftOut(mirror.unlisted, full); };
    visitor.onUnlisted = [&](const std::wstring &full, const std::wstring &rel, DWORD error,
                             ULONGLONG) {
        // Everything below it is new to the pair: its own walk mirrors all of it.
        FolderUnlisted(mirror.unlisted, mirror.point, full, rel.empty() ? name : name + L"\\" + rel,
                       error, since, true, std::max(since, 1ULL), GetTickCount64());
        return true;
    };
    visitor.stopped = [&] { return stopped || MirrorStopped(mirror); };
    return WalkTree(srcFull, std::wstring(), visitor) && !stopped;
}

} // namespace

bool (*g_lookUpFacts)(const std::wstring &path, FileFacts &facts, DWORD &error) = LookUpFileFacts;

void PrepareMirror(MirrorState &mirror, const std::wstring &path, const std::wstring &destRoot) {
    mirror.source = TraitsOfFileSystemAt(path);
    mirror.notesPair = NotesPairOf(path, destRoot);
    mirror.sourceRoot = path;
    mirror.sourceIsVolumeRoot = IsVolumeRoot(path);
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

bool InVolumeOwnFolder(MirrorState &mirror, const std::wstring &full) {
    const std::wstring &root = mirror.sourceRoot;
    if (!mirror.sourceIsVolumeRoot || full.size() <= root.size())
        return false;
    // The path below the root, whether the root's spelling ends in a separator or not.
    size_t from = root.size();
    while (from < full.size() && (full[from] == L'\\' || full[from] == L'/'))
        ++from;
    if (!IsInVolumeOwnFolder(full.substr(from)))
        return false;
    Trace512Once(mirror.volumeFolderSeen,
                 L"Not mirroring %ls: it lies in a folder the drive keeps for itself\n",
                 full.c_str());
    return true;
}

bool IsNameNotCopied(MirrorState &mirror, const std::wstring &srcFull,
                     const std::wstring &fileName) {
    if (IsTemporaryCopyName(fileName))
        return true;
    if (!IsTransientName(fileName))
        return false;
    Trace512Once(mirror.transientSeen,
                 L"Not copying %ls: its name marks another program's temporary file\n",
                 srcFull.c_str());
    return true;
}

CopyOutcome MirrorFoundFile(MirrorState &mirror, const std::wstring &srcFull,
                            const FoundEntry &source, const std::wstring &dstFull, TargetLook look,
                            ULONGLONG since) {
    SourceFile file = SourceOf(srcFull, source);
    CopyTarget target = TargetOf(dstFull);
    // A copy that waits for its turn has it there; a walk does not try it besides.
    const PendingCopy *waiting = PendingFor(mirror.pending, target.key);
    if (waiting && PathHash(waiting->srcFull) == file.hash)
        return CopyOutcome::Skipped;
    if (JudgeCopy(mirror, file, target, look, CopyAsk::Walk) != Judgement::Copy)
        return CopyOutcome::Skipped;
    return CopyOneFile(mirror, file, target, GetTickCount64(), since, 1, false);
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

    bool destinationTried = false;
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
        if (destRoot.empty() || IsNameNotCopied(mirror, srcFull, baseName) ||
            InVolumeOwnFolder(mirror, srcFull) || CrossesLink(path, source.name, linkFolders))
            continue;
        if (!destinationTried) {
            // Once per pass; a folder found again brings back the copies that wait for it.
            destinationTried = true;
            if (CreateFolderTree(destRoot) &&
                IsParked(mirror.pending, ParkedWhy::DestinationAbsent, destRoot))
                FolderBack(mirror.pending, ParkedWhy::DestinationAbsent, destRoot, now);
        }
        SourceFile file = SourceAt(srcFull);
        CopyTarget target = TargetOf(destRoot + L"\\" + baseName);
        FileStep step = StepFor(mirror, file, target, now,
                                source.arrived ? CopyAsk::Arrived : CopyAsk::Changed);
        switch (step.kind) {
        case StepKind::Copy:
            if (CopyOneFile(mirror, file, target, now, since, kAttemptLimit, false) ==
                CopyOutcome::Stopped)
                return false;
            break;
        case StepKind::Leave:
            break;
        case StepKind::ArrivedFolder: {
            // A folder moved or created in place brings files no record will name.
            auto copiedLater = [&](const std::wstring &name) {
                auto later = sources.find(FoldCase(name));
                return later != sources.end() && later->second.lastRecord > k;
            };
            if (source.arrived &&
                !MirrorArrivedFolder(mirror, srcFull, source.name, destRoot, since, copiedLater) &&
                MirrorStopped(mirror))
                return false;
            break;
        }
        case StepKind::NameAgain: // a later record of the name wins
            SourceNowIs(mirror.pending, target.key, srcFull);
            break;
        case StepKind::WaitForWriter:
            WaitForWriter(mirror.pending, srcFull, target.full, now, since, file.facts.size);
            break;
        case StepKind::WaitUntilQuiet:
            WaitUntilQuiet(mirror.pending, srcFull, target.full, file.facts.size,
                           file.facts.lastWrite, step.quiet.look, step.quiet.intervalFrom, since);
            break;
        case StepKind::Defer: // there, but not to be read just now (denied, a share that hiccups)
            DeferCopy(mirror.pending, srcFull, target.full, step.error, now, since,
                      file.facts.size);
            break;
        }
    }
    return !MirrorStopped(mirror);
}

namespace {

// A waiting copy whose turn has come: looked at, judged and copied, or put off again.
CopyOutcome RunWaitingCopy(MirrorState &mirror, const PendingCopy &entry, const std::wstring &key,
                           ULONGLONG now) {
    PendingCopies &pending = mirror.pending;
    bool retry = entry.kind != WaitKind::Quiet;
    SourceFile source = SourceAt(entry.srcFull);
    CopyTarget target = TargetOf(entry.dstFull);
    DWORD error = 0;
    if (!LookAtSource(source, error)) {
        if (IsGoneError(error) && !SourceFolderThere(mirror)) {
            // Its folder (or drive) cannot be reached: it waits for it, whatever its source.
            ParkFolder(pending, ParkedWhy::SourceAway, mirror.sourceRoot, now, key);
        } else if (IsGoneError(error) || error == ERROR_DIRECTORY) {
            if (retry)
                Trace512(L"Deferred copy dropped, source gone: %ls -> %ls\n", entry.srcFull.c_str(),
                         entry.dstFull.c_str());
            EndPending(pending, key);
            return CopyOutcome::Skipped;
        } else if (error == ERROR_SHARING_VIOLATION) {
            if (entry.kind == WaitKind::Held)
                LookAgain(pending, key, error, now);
            else
                WaitForWriter(pending, entry.srcFull, entry.dstFull, now, entry.since, entry.bytes);
        } else if (!retry) {
            DeferCopy(pending, entry.srcFull, entry.dstFull, error, now, entry.since, entry.bytes);
        } else {
            LookAgain(pending, key, error, now); // cannot be read just now: still there
        }
        return CopyOutcome::Waiting;
    }
    const FileFacts &facts = source.facts;
    if (!retry) {
        bool grew = facts.size != entry.size || facts.lastWrite != entry.lastWrite;
        ULONGLONG next = NextQuietLook(mirror.changing, source.hash, grew, facts.size,
                                       WrittenAgoMs(facts.lastWrite), entry.intervalFrom, now);
        if (next != 0) {
            SeenStillChanging(pending, key, facts.size, facts.lastWrite, next);
            return CopyOutcome::Waiting;
        }
    }
    TargetLook look;
    Judgement judgement = JudgeCopy(mirror, source, target, look, CopyAsk::Waiting);
    if (judgement != Judgement::Copy) {
        // A later copy of this program's made it current (another pair of the same folders).
        if (judgement == Judgement::SameVersion && retry)
            Trace512(L"Deferred copy dropped, copy is current: %ls -> %ls\n", entry.srcFull.c_str(),
                     entry.dstFull.c_str());
        EndPending(pending, key);
        return CopyOutcome::Skipped;
    }
    return CopyOneFile(mirror, source, target, now, entry.since, 1, retry);
}

// Looks at each parked folder whose look is due: brings back the copies of a folder that is
// there again, and for a full disk has its smallest copy tried, when the disk says it has room.
void LookAtParkedFolders(MirrorState &mirror, ULONGLONG now) {
    PendingCopies &pending = mirror.pending;
    for (const ParkedFolder &parked : DueParkedFolders(pending, now)) {
        bool back = false;
        switch (parked.why) {
        case ParkedWhy::DestinationAbsent:
            back = CreateFolderTree(parked.folder); // finds a folder that is there first
            break;
        case ParkedWhy::SourceAway:
            back = FolderIsThere(parked.folder);
            break;
        case ParkedWhy::DestinationFull: {
            FolderStillParked(pending, parked.why, parked.folder, now);
            ULONGLONG room = 0;
            std::wstring smallest = TrySmallestParked(pending, parked.why, parked.folder, now);
            const PendingCopy *entry = PendingFor(pending, smallest);
            // No write where the disk says the smallest would not fit: a stick wears.
            if (entry && RoomAt(parked.folder, room) && room < entry->bytes)
                LookAgain(pending, smallest, entry->lastError, now);
            continue;
        }
        }
        if (back)
            FolderBack(pending, parked.why, parked.folder, now);
        else
            FolderStillParked(pending, parked.why, parked.folder, now);
    }
}

} // namespace

size_t RunDueCopies(MirrorState &mirror, ULONGLONG now) {
    PendingCopies &pending = mirror.pending;
    LookAtParkedFolders(mirror, now);
    size_t copied = 0;
    // A copy that shows a full disk has room again brings the others due in the same round.
    for (bool again = true; again;) {
        again = false;
        for (const std::wstring &key : DueKeys(pending, now)) {
            if (MirrorStopped(mirror))
                return copied; // the next generation's catch-up finds what still waits
            const PendingCopy *waiting = PendingFor(pending, key);
            if (!waiting || waiting->due == 0 || waiting->due > now)
                continue; // ended, parked or put off by a copy of this round
            PendingCopy entry = *waiting;
            CopyOutcome outcome = RunWaitingCopy(mirror, entry, key, now);
            if (outcome == CopyOutcome::Copied) {
                ++copied;
                std::wstring folder = FolderOf(entry.dstFull);
                ULONGLONG room = 0;
                if (IsParked(pending, ParkedWhy::DestinationFull, folder)) {
                    FolderBack(pending, ParkedWhy::DestinationFull, folder, now,
                               RoomAt(folder, room) ? std::max<ULONGLONG>(room, 1) : 0);
                    again = true;
                }
            }
            if (outcome == CopyOutcome::Stopped)
                return copied; // the generation stops: the next one's catch-up copies it
        }
    }
    return copied;
}
