// The copy pass of one batch, and the tree walks that catch files no record names.
//
// A batch may name one file many times (some systems report every write() as its own
// modification), so the pass first finds the last record of each source file and copies
// only there: the destination ends as with one copy per record, at a fraction of the cost.
// A copy over an existing file goes through a temporary file (monitor/safe_copy.h); what
// cannot be copied now waits in the pair's mirror state (monitor/pending_copies.h).
#include "monitor/copier.h"

#include "monitor/file_identity.h"
#include "monitor/long_path.h"
#include "monitor/safe_copy.h"
#include "monitor/trace.h"
#include "monitor/tree_walk.h"

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

// Copies srcFull to dstFull with the attempts for files held by their writers; what still
// fails waits in the mirror state for a later retry. Returns true when a copy was made.
bool CopyWithRetries(MirrorState &mirror, const std::wstring &srcFull, const std::wstring &dstFull,
                     ULONGLONG now) {
    if (mirror.destinationMayBeSource && IsSameFile(srcFull, dstFull)) {
        // The destination is the source itself (the destination folder is the watched folder
        // or lies inside the tree): the copy would come back as a change of the tree.
        Trace512(L"Skipping copy onto its own source: %ls\n", srcFull.c_str());
        return false;
    }
    bool copied = false;
    DWORD error = 0;
    int attempt = 0;
    while (attempt < kAttemptLimit && !copied) {
        copied = CopyFileSafely(srcFull, dstFull, error);
        if (!copied) {
            if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                error == ERROR_ACCESS_DENIED) {
                Sleep(kRetryPauseMs);
                ++attempt;
                continue;
            }
            Trace512(L"CopyFile failed (attempt %d): %ls -> %ls err=%u\n", attempt + 1,
                     srcFull.c_str(), dstFull.c_str(), error);
            break;
        }
        ++attempt;
    }
    if (copied) {
        Trace512(L"CopyFile succeeded: %ls -> %ls\n", srcFull.c_str(), dstFull.c_str());
        NoteCopied(mirror, dstFull, now);
    } else if (GetFileAttributesW(FileSystemPath(srcFull).c_str()) != INVALID_FILE_ATTRIBUTES) {
        DeferCopy(mirror, srcFull, dstFull, error, now);
    }
    return copied;
}

// Mirrors one file found by a walk, unless its copy is current; true when a copy was made.
bool MirrorWalkedFile(MirrorState &mirror, const std::wstring &srcFull, const FoundEntry &source,
                      const std::wstring &destRoot) {
    if (IsTemporaryCopyName(source.name))
        return false;
    std::wstring dstFull = destRoot + L"\\" + source.name;
    if (DestinationIsCurrent(source.size, source.lastWriteTime, dstFull))
        return false;
    CreateFolderTree(destRoot);
    return CopyWithRetries(mirror, srcFull, dstFull, GetTickCount64());
}

} // namespace

void PrepareMirror(MirrorState &mirror, const std::wstring &path, const std::wstring &destRoot) {
    mirror.destinationMayBeSource = true;
    if (destRoot.empty())
        return;
    RemoveLeftoverCopies(destRoot);
    // Known to lie outside only when the source folder has a known identity and neither the
    // destination folder nor any folder above it has that identity.
    FileIdentity source;
    if (!ReadPathIdentity(path, source))
        return;
    std::wstring sourceFull = FullPath(path);
    for (std::wstring folder = FullPath(destRoot); !folder.empty(); folder = ParentFolder(folder)) {
        if (CompareStringOrdinal(folder.c_str(), (int)folder.size(), sourceFull.c_str(),
                                 (int)sourceFull.size(), TRUE) == CSTR_EQUAL)
            return;
        FileIdentity identity;
        if (ReadPathIdentity(folder, identity) && SameFileIdentity(identity, source))
            return;
    }
    mirror.destinationMayBeSource = false;
}

void CopyChangedFiles(const std::wstring &path, const std::wstring &destRoot,
                      const std::vector<FolderChange> &changes, MirrorState &mirror,
                      ULONGLONG now) {
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

    for (size_t k = 0; k < changes.size(); ++k) {
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
        CreateFolderTree(destRoot);
        std::wstring dstFull = destRoot + L"\\" + baseName;
        WIN32_FILE_ATTRIBUTE_DATA found;
        DWORD attributes = INVALID_FILE_ATTRIBUTES;
        if (GetFileAttributesExW(FileSystemPath(srcFull).c_str(), GetFileExInfoStandard, &found))
            attributes = found.dwFileAttributes;
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            Trace512(L"Skipping non-file or missing: %ls (attr=0x%08x)\n", srcFull.c_str(),
                     attributes);
            if (attributes != INVALID_FILE_ATTRIBUTES && source.arrived) {
                // A folder moved or created in place brings files no record will name.
                // Files with a later record of their own are copied at that record.
                TreeVisitor visitor;
                visitor.onFile = [&](const std::wstring &full, const std::wstring &rel,
                                     const FoundEntry &entry, bool) {
                    auto later = sources.find(FoldCase(source.name + L"\\" + rel));
                    if (later != sources.end() && later->second.lastRecord > k)
                        return;
                    MirrorWalkedFile(mirror, full, entry, destRoot);
                };
                WalkTree(srcFull, std::wstring(), visitor);
            }
            continue;
        }
        ULONGLONG size = ((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        if (WaitForQuiet(mirror, srcFull, dstFull, size, FileTimeValue(found.ftLastWriteTime), now))
            continue;
        CopyWithRetries(mirror, srcFull, dstFull, now);
    }
}

size_t CopyFilesChangedSince(const std::wstring &path, const std::wstring &destRoot,
                             ULONGLONG since, MirrorState &mirror, bool rootArrived) {
    size_t copied = 0;
    if (destRoot.empty())
        return 0;
    TreeVisitor visitor;
    visitor.onFile = [&](const std::wstring &full, const std::wstring &, const FoundEntry &entry,
                         bool arrived) {
        if ((arrived || ChangedSince(full, entry, since)) &&
            MirrorWalkedFile(mirror, full, entry, destRoot))
            ++copied;
    };
    visitor.markFolder = [&](const FoundEntry &folder) { return ArrivedSince(folder, since); };
    WalkTree(path, std::wstring(), visitor, rootArrived);
    return copied;
}
