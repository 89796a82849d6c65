// The copy pass of one batch, the rounds of the waiting copies, and the copy step they share
// with the walks.
//
// A batch may name one file many times (some systems report every write() as its own
// modification), so the pass first finds the last record of each source file and copies
// only there: the destination ends as with one copy per record, at a fraction of the cost.
//
// Every copy goes through one step (CopyOneFile): never onto its own source, never a loop's copy
// onto a file that already holds its version (monitor/copy_records.h), never while a writer
// holds the source where the system lets that be seen (it waits: monitor/pending_copies.h),
// always through a temporary file (monitor/safe_copy.h), and noted once it is in place. What
// decides whether a copy is current lives here too: for a copy this program made of the same
// file, what it was made from; otherwise the times of the two.
#include "monitor/copier.h"

#include "monitor/clock.h"
#include "monitor/copy_records.h"
#include "monitor/file_identity.h"
#include "monitor/long_path.h"
#include "monitor/safe_copy.h"
#include "monitor/system_behaviour.h"
#include "monitor/trace.h"
#include "monitor/transient_names.h"

#include <algorithm>
#include <unordered_map>

// Older SDK headers (and mingw-w64's) lack the attributes of files whose data is elsewhere.
#ifndef FILE_ATTRIBUTE_RECALL_ON_OPEN
#define FILE_ATTRIBUTE_RECALL_ON_OPEN 0x00040000
#endif
#ifndef FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS
#define FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS 0x00400000
#endif

namespace {

const int kAttemptLimit = 5;
const DWORD kRetryPauseMs = 200;
const DWORD kNotOnDisk =
    FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS | FILE_ATTRIBUTE_RECALL_ON_OPEN | FILE_ATTRIBUTE_OFFLINE;

// What one source file does in a batch: where its last copied record stands, whether any of
// its records says that it arrived (added or renamed into place), and its name as the copy
// uses it (the long form of a short name).
struct SourceInBatch {
    size_t lastRecord = 0;
    bool arrived = false;
    std::wstring name;
};

// A source file as a look found it: its attributes, size and times (FILETIME; a change time of
// 0: not known).
struct SourceFile {
    std::wstring full;
    DWORD attributes = 0;
    ULONGLONG size = 0, lastWrite = 0, changeTime = 0;
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

bool IsPlaceholder(DWORD attributes) {
    return (attributes & kNotOnDisk) != 0;
}

// Looks at a source file through an open handle (which reads no data, so a file whose data is
// not on this computer is not brought back). The handle asks for reading without write sharing,
// as a copy's does: ERROR_SHARING_VIOLATION means that a writer (or a reader that shares
// nothing) holds the file, and a copy would fail. (A writer the system does not see, such as a
// Linux process under Wine, is not told by this: monitor/system_behaviour.h.) False with the
// system's error (ERROR_DIRECTORY for a folder).
bool LookAtSource(const std::wstring &full, SourceFile &source, DWORD &error) {
    HANDLE file = CreateFileW(FileSystemPath(full).c_str(), GENERIC_READ | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    FILE_BASIC_INFO basic = {};
    FILE_STANDARD_INFO standard = {};
    bool read = GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
                GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard);
    error = read ? (standard.Directory ? ERROR_DIRECTORY : ERROR_SUCCESS) : GetLastError();
    CloseHandle(file);
    if (error != ERROR_SUCCESS)
        return false;
    source.full = full;
    source.attributes = basic.FileAttributes;
    source.size = (ULONGLONG)standard.EndOfFile.QuadPart;
    source.lastWrite = (ULONGLONG)basic.LastWriteTime.QuadPart;
    source.changeTime = (ULONGLONG)basic.ChangeTime.QuadPart;
    return true;
}

// LookAtSource, again 200 ms later while a writer holds the file, `looks` times at most: a
// save that is just closing costs a moment, a file held for longer waits.
bool LookAtSourceOnceHeld(const std::wstring &full, SourceFile &source, DWORD &error, int looks) {
    for (int look = 1;; ++look) {
        if (LookAtSource(full, source, error))
            return true;
        if (error != ERROR_SHARING_VIOLATION || look >= looks)
            return false;
        Sleep(kRetryPauseMs);
    }
}

bool IsHeldError(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// What the file system of dstFull's folder keeps: looked at once the folder exists.
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

// Two last-write times are one where a file system keeps them: exactly, or within its step.
bool SameTime(ULONGLONG a, ULONGLONG b, ULONGLONG step) {
    ULONGLONG apart = a > b ? a - b : b - a;
    return step == 0 ? apart == 0 : apart < step;
}

ULONGLONG StepOf(const FileSystemTraits &traits) {
    return traits.keepsChangeTime ? 0 : traits.timeStep;
}

// True when the destination holds a copy written later than the file last changed: a later
// change of another file of that name (a copy of this file carries its last-write time, and a
// file moved in from elsewhere has its change time moved). Of two files of one name, the one
// changed last stays, also when a folder holding the other is moved or renamed (which changes
// none of its files).
bool CopyIsNewer(const FoundEntry &source, ULONGLONG copyWrite,
                 const FileSystemTraits &destination) {
    return copyWrite > LastChangeOf(source) + StepOf(destination);
}

// True when the source is one of this program's copies, as it was made, and dstFull already
// holds the same version (size and last-write time, at the coarser of the two file systems'
// steps): copying it would only carry a loop's copy round again (or bring a chain's copy where
// it is already). One trace line per pair.
bool IsLoopCopy(MirrorState &mirror, const SourceFile &source, const std::wstring &dstFull) {
    CopyRecord own;
    if (!CopyRecordOf(source.full, own) || !StillAsCopied(own, source.size, source.lastWrite))
        return false;
    WIN32_FILE_ATTRIBUTE_DATA held;
    if (!GetFileAttributesExW(FileSystemPath(dstFull).c_str(), GetFileExInfoStandard, &held))
        return false;
    ULONGLONG heldSize = ((ULONGLONG)held.nFileSizeHigh << 32) | held.nFileSizeLow;
    ULONGLONG step = std::max(StepOf(mirror.source), StepOf(DestinationTraitsOf(mirror, dstFull)));
    if (heldSize != source.size ||
        !SameTime(FileTimeValue(held.ftLastWriteTime), source.lastWrite, step))
        return false;
    if (!mirror.loopSeen)
        Trace512(L"Not copying %ls onto %ls: it is this program's copy and that file holds the "
                 L"same version (pairs in a loop or a chain)\n",
                 source.full.c_str(), dstFull.c_str());
    mirror.loopSeen = true;
    return true;
}

// True when a file whose data is not on this computer (a cloud placeholder) has a current copy
// by size and last-write time: freeing space or pinning it changes only its attributes, and a
// copy would bring its data back for nothing. One trace line per pair.
bool PlaceholderCopyIsCurrent(MirrorState &mirror, const SourceFile &source,
                              const std::wstring &dstFull) {
    WIN32_FILE_ATTRIBUTE_DATA held;
    if (!IsPlaceholder(source.attributes) ||
        !GetFileAttributesExW(FileSystemPath(dstFull).c_str(), GetFileExInfoStandard, &held))
        return false;
    ULONGLONG heldSize = ((ULONGLONG)held.nFileSizeHigh << 32) | held.nFileSizeLow;
    if (heldSize != source.size || !SameTime(FileTimeValue(held.ftLastWriteTime), source.lastWrite,
                                             StepOf(DestinationTraitsOf(mirror, dstFull))))
        return false;
    if (!mirror.placeholderSeen)
        Trace512(L"Not copying %ls: its data is not on this computer and its copy is current\n",
                 source.full.c_str());
    mirror.placeholderSeen = true;
    return true;
}

// True when the destination holds this program's copy of srcFull, made of it as it is now.
bool CopiedAsItIs(const SourceFile &source, const std::wstring &dstFull) {
    CopyRecord record;
    WIN32_FILE_ATTRIBUTE_DATA held;
    return CopyRecordOf(dstFull, record) &&
           MadeOfThisVersion(record, source.full, source.size, source.lastWrite,
                             source.changeTime) &&
           GetFileAttributesExW(FileSystemPath(dstFull).c_str(), GetFileExInfoStandard, &held) &&
           StillAsCopied(record, ((ULONGLONG)held.nFileSizeHigh << 32) | held.nFileSizeLow,
                         FileTimeValue(held.ftLastWriteTime));
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

// A copy of `source` to dstFull failed with `error` at `now`: it waits, unless its source is
// gone. A retry backs off; anything else waits from the first retry delay, parked when the
// destination folder is absent.
CopyOutcome CopyFailed(MirrorState &mirror, const SourceFile &source, const std::wstring &dstFull,
                       DWORD error, ULONGLONG now, ULONGLONG since, bool retry) {
    if (GetFileAttributesW(FileSystemPath(source.full).c_str()) == INVALID_FILE_ATTRIBUTES &&
        IsGoneError(GetLastError())) {
        EndPending(mirror.pending, mirror.point, DestinationKey(dstFull));
        return CopyOutcome::Skipped; // a later record, or nothing, says what became of it
    }
    std::wstring folder = FolderOf(dstFull);
    if (!IsFolderAbsent(mirror.pending, folder) &&
        GetFileAttributesW(FileSystemPath(folder).c_str()) == INVALID_FILE_ATTRIBUTES &&
        !CreateFolderTree(folder))
        FolderAbsent(mirror.pending, folder, now);
    // A writer that holds the source (the walks copy without looking first): it waits for it.
    SourceFile look;
    DWORD lookError = 0;
    const PendingCopy *waiting = PendingFor(mirror.pending, DestinationKey(dstFull));
    if (error == ERROR_SHARING_VIOLATION && !(waiting && waiting->kind == WaitKind::Held) &&
        !LookAtSource(source.full, look, lookError) && lookError == ERROR_SHARING_VIOLATION)
        WaitForWriter(mirror.pending, mirror.point, source.full, dstFull, now, since);
    else if (retry && waiting)
        LookAgain(mirror.pending, DestinationKey(dstFull), error, now);
    else
        DeferCopy(mirror.pending, mirror.point, source.full, dstFull, error, now, since);
    return CopyOutcome::Waiting;
}

// The copy step: copies `source` to dstFull, trying again a copy that meets a lock or a reader
// of the destination up to `attempts` times, 200 ms apart. `retry`: a waiting copy's turn. What
// fails waits in the mirror state, found again by a walk from `since`. Stopped when the
// generation stops: the copy neither landed nor waits.
CopyOutcome CopyOneFile(MirrorState &mirror, const SourceFile &source, const std::wstring &dstFull,
                        ULONGLONG now, ULONGLONG since, int attempts, bool retry) {
    if (IsOntoItsOwnSource(mirror, source.full, dstFull)) {
        // The destination is the source itself (the destination folder is the watched folder
        // or lies inside the tree): the copy would come back as a change of the tree.
        Trace512(L"Skipping copy onto its own source: %ls\n", source.full.c_str());
        return CopyOutcome::Skipped;
    }
    if (IsLoopCopy(mirror, source, dstFull) || PlaceholderCopyIsCurrent(mirror, source, dstFull)) {
        EndPending(mirror.pending, mirror.point, DestinationKey(dstFull));
        return CopyOutcome::Skipped;
    }
    if (IsFolderAbsent(mirror.pending, FolderOf(dstFull)))
        return CopyFailed(mirror, source, dstFull, ERROR_PATH_NOT_FOUND, now, since, retry);
    // On a destination that keeps no change time (FAT, exFAT, whose renames may stamp times
    // anew) the copy gets its source's last-write time back, so that a walk finds it current.
    ULONGLONG keepWrite =
        DestinationTraitsOf(mirror, dstFull).keepsChangeTime ? 0 : source.lastWrite;
    DWORD error = 0;
    for (int attempt = 1;; ++attempt) {
        if (CopyFileSafely(source.full, dstFull, error, mirror.stopped, keepWrite)) {
            Trace512(retry ? L"Deferred copy succeeded: %ls -> %ls\n"
                           : L"CopyFile succeeded: %ls -> %ls\n",
                     source.full.c_str(), dstFull.c_str());
            // Its time as the destination keeps it: what a later look at the copy will see.
            WIN32_FILE_ATTRIBUTE_DATA placed;
            ULONGLONG copyWrite = GetFileAttributesExW(FileSystemPath(dstFull).c_str(),
                                                       GetFileExInfoStandard, &placed)
                                      ? FileTimeValue(placed.ftLastWriteTime)
                                      : source.lastWrite;
            NoteCopyMade(source.full, dstFull, source.size, source.lastWrite, source.changeTime,
                         copyWrite);
            std::wstring key = DestinationKey(dstFull);
            EndPending(mirror.pending, mirror.point, key);
            CopiedAt(mirror.changing, FoldCase(source.full), source.size, now);
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
                         source.full.c_str(), dstFull.c_str(), error);
            break;
        }
        if (attempt >= attempts)
            break;
        Sleep(kRetryPauseMs);
    }
    return CopyFailed(mirror, source, dstFull, error, now, since, retry);
}

SourceFile SourceOf(const std::wstring &full, const FoundEntry &entry) {
    SourceFile source;
    source.full = full;
    source.attributes = entry.attributes;
    source.size = entry.size;
    source.lastWrite = entry.lastWriteTime;
    source.changeTime = entry.changeTime;
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
        std::wstring dstFull = destRoot + L"\\" + entry.name;
        FoundEntry copy;
        bool held = LookAtCopy(dstFull, copy);
        if (WalkLeavesAlone(mirror, full, entry, dstFull, held ? &copy : nullptr))
            return;
        if (CopyFoundFile(mirror, full, entry, dstFull, since) == CopyOutcome::Stopped)
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

bool ReadAttributes(const std::wstring &path, WIN32_FILE_ATTRIBUTE_DATA &data) {
    return GetFileAttributesExW(FileSystemPath(path).c_str(), GetFileExInfoStandard, &data) !=
           FALSE;
}

bool (*g_readAttributes)(const std::wstring &path,
                         WIN32_FILE_ATTRIBUTE_DATA &data) = ReadAttributes;

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

bool IsNameNotCopied(MirrorState &mirror, const std::wstring &srcFull,
                     const std::wstring &fileName) {
    if (IsTemporaryCopyName(fileName))
        return true;
    if (!IsTransientName(fileName))
        return false;
    if (!mirror.transientSeen)
        Trace512(L"Not copying %ls: its name marks another program's temporary file\n",
                 srcFull.c_str());
    mirror.transientSeen = true;
    return true;
}

bool WalkLeavesAlone(MirrorState &mirror, const std::wstring &srcFull, const FoundEntry &source,
                     const std::wstring &dstFull, const FoundEntry *copy) {
    if (!copy)
        return false;
    const FileSystemTraits &destination = DestinationTraitsOf(mirror, dstFull);
    if (IsPlaceholder(source.attributes))
        return copy->size == source.size &&
               SameTime(copy->lastWriteTime, source.lastWriteTime, StepOf(destination));
    // This program's copy of this very file: whatever the times say (a clock set back, a
    // change within a coarse destination's time step), it is current when the file is as it
    // was copied.
    CopyRecord record;
    if (CopyRecordOf(dstFull, record) && record.source == PathHash(srcFull) &&
        StillAsCopied(record, copy->size, copy->lastWriteTime))
        return MadeOfThisVersion(record, srcFull, source.size, source.lastWriteTime,
                                 source.changeTime);
    return CopyIsCurrent(source.size, source.lastWriteTime, source.changeTime, copy->size,
                         copy->lastWriteTime, copy->changeTime, destination) ||
           CopyIsNewer(source, copy->lastWriteTime, destination);
}

bool LookAtCopy(const std::wstring &dstFull, FoundEntry &copy) {
    copy = FoundEntry{};
    return ReadFileTimes(dstFull, copy.size, copy.lastWriteTime, copy.changeTime);
}

CopyOutcome CopyFoundFile(MirrorState &mirror, const std::wstring &srcFull,
                          const FoundEntry &source, const std::wstring &dstFull, ULONGLONG since) {
    return CopyOneFile(mirror, SourceOf(srcFull, source), dstFull, GetTickCount64(), since, 1,
                       false);
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
            CrossesLink(path, source.name, linkFolders))
            continue;
        if (!destinationTried) {
            // Once per pass; a folder found again brings back the copies that wait for it.
            destinationTried = true;
            if (CreateFolderTree(destRoot) && IsFolderAbsent(mirror.pending, destRoot))
                FolderBack(mirror.pending, destRoot, now);
        }
        std::wstring dstFull = destRoot + L"\\" + baseName;
        std::wstring key = DestinationKey(dstFull);
        // The attributes first, without opening the file: a file whose data is not on this
        // computer must not be brought back by a look.
        WIN32_FILE_ATTRIBUTE_DATA found;
        if (!g_readAttributes(srcFull, found)) {
            DWORD error = GetLastError();
            if (IsGoneError(error))
                Trace512(L"Skipping non-file or missing: %ls (attr=0x%08x)\n", srcFull.c_str(),
                         INVALID_FILE_ATTRIBUTES);
            else // there, but not to be read just now (denied, held, a share that hiccups)
                DeferCopy(mirror.pending, mirror.point, srcFull, dstFull, error, now, since);
            continue;
        }
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkAt(srcFull)) {
            Trace512(L"Skipping link: %ls\n", srcFull.c_str());
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            Trace512(L"Skipping non-file or missing: %ls (attr=0x%08x)\n", srcFull.c_str(),
                     found.dwFileAttributes);
            // A folder moved or created in place brings files no record will name.
            auto copiedLater = [&](const std::wstring &name) {
                auto later = sources.find(FoldCase(name));
                return later != sources.end() && later->second.lastRecord > k;
            };
            if (source.arrived &&
                !MirrorArrivedFolder(mirror, srcFull, source.name, destRoot, since, copiedLater) &&
                MirrorStopped(mirror))
                return false;
            continue;
        }
        SourceFile file;
        file.full = srcFull;
        file.attributes = found.dwFileAttributes;
        file.size = ((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        file.lastWrite = FileTimeValue(found.ftLastWriteTime);
        const PendingCopy *waiting = PendingFor(mirror.pending, key);
        if (!IsPlaceholder(file.attributes)) {
            if (waiting && waiting->kind == WaitKind::Quiet) {
                SourceNowIs(mirror.pending, key, srcFull); // a later record of the name wins
                continue;
            }
            DWORD error = 0;
            bool heldBefore = waiting && waiting->kind == WaitKind::Held;
            if (!LookAtSourceOnceHeld(srcFull, file, error, heldBefore ? 1 : kAttemptLimit)) {
                if (error == ERROR_SHARING_VIOLATION)
                    WaitForWriter(mirror.pending, mirror.point, srcFull, dstFull, now, since);
                else if (!IsGoneError(error))
                    DeferCopy(mirror.pending, mirror.point, srcFull, dstFull, error, now, since);
                continue;
            }
            // A record of a large file's write that its copy, made moments ago, already held.
            std::wstring changingKey = FoldCase(srcFull);
            ULONGLONG lastCopy = LastCopyTick(mirror.changing, changingKey, now);
            if (file.size >= kQuietMinBytes && mirror.source.keepsChangeTime && lastCopy != 0 &&
                now - lastCopy < CopyIntervalMs(0) && CopiedAsItIs(file, dstFull))
                continue;
            // Not held: its writer is done with it, unless the system may not show a writer's
            // hold; then a large file written moments ago may still be being written.
            ULONGLONG look =
                QuietLookFor(mirror.changing, changingKey, file.size, WrittenAgoMs(file.lastWrite),
                             now, ThisSystem().writerHoldsUnseen);
            if (look != 0 && !(waiting && waiting->kind != WaitKind::Quiet)) {
                WaitUntilQuiet(mirror.pending, mirror.point, srcFull, dstFull, file.size,
                               file.lastWrite, look,
                               IntervalFrom(mirror.changing, changingKey, now), since);
                continue;
            }
        }
        if (CopyOneFile(mirror, file, dstFull, now, since, kAttemptLimit, false) ==
            CopyOutcome::Stopped)
            return false;
    }
    return !MirrorStopped(mirror);
}

size_t RunDueCopies(MirrorState &mirror, ULONGLONG now) {
    PendingCopies &pending = mirror.pending;
    // An absent destination folder is looked at once, whatever the number of its copies.
    for (const std::wstring &folder : DueAbsentFolders(pending, now)) {
        if (CreateFolderTree(folder))
            FolderBack(pending, folder, now);
        else
            FolderStillAbsent(pending, folder, now);
    }
    size_t copied = 0;
    for (const std::wstring &key : DueKeys(pending, now)) {
        if (MirrorStopped(mirror))
            break; // the next generation's catch-up finds what still waits
        const PendingCopy *waiting = PendingFor(pending, key);
        if (!waiting || waiting->due == 0 || waiting->due > now)
            continue; // ended, parked or put off by a copy of this round
        PendingCopy entry = *waiting;
        bool retry = entry.kind != WaitKind::Quiet;
        SourceFile source;
        DWORD error = 0;
        if (!LookAtSource(entry.srcFull, source, error)) {
            if (IsGoneError(error) || error == ERROR_DIRECTORY) {
                if (retry)
                    Trace512(L"Deferred copy dropped, source gone: %ls -> %ls\n",
                             entry.srcFull.c_str(), entry.dstFull.c_str());
                EndPending(pending, mirror.point, key);
            } else if (error == ERROR_SHARING_VIOLATION) {
                if (entry.kind == WaitKind::Held)
                    LookAgain(pending, key, error, now);
                else
                    WaitForWriter(pending, mirror.point, entry.srcFull, entry.dstFull, now,
                                  entry.since);
            } else if (!retry) {
                DeferCopy(pending, mirror.point, entry.srcFull, entry.dstFull, error, now,
                          entry.since);
            } else {
                LookAgain(pending, key, error, now); // cannot be read just now: still there
            }
            continue;
        }
        if (!retry) {
            bool grew = source.size != entry.size || source.lastWrite != entry.lastWrite;
            ULONGLONG next =
                NextQuietLook(mirror.changing, FoldCase(entry.srcFull), grew, source.size,
                              WrittenAgoMs(source.lastWrite), entry.intervalFrom, now);
            if (next != 0) {
                SeenStillChanging(pending, key, source.size, source.lastWrite, next);
                continue;
            }
        } else if (CopiedAsItIs(source, entry.dstFull)) {
            // A later copy of this program's made it current (another pair of the same folders).
            Trace512(L"Deferred copy dropped, copy is current: %ls -> %ls\n", entry.srcFull.c_str(),
                     entry.dstFull.c_str());
            EndPending(pending, mirror.point, key);
            continue;
        }
        CopyOutcome outcome =
            CopyOneFile(mirror, source, entry.dstFull, now, entry.since, 1, retry);
        if (outcome == CopyOutcome::Copied)
            ++copied;
        if (outcome == CopyOutcome::Stopped)
            break; // the generation stops: the next one's catch-up copies it
    }
    return copied;
}
