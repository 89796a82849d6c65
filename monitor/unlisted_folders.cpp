#include "monitor/unlisted_folders.h"

#include "monitor/clock.h"
#include "monitor/long_path.h"
#include "monitor/retry_delay.h"
#include "monitor/trace.h"

#include <algorithm>

namespace {

// A folder that waits for its walk after a walk of a gap met it holds the pair's mirror point
// back to where that walk began; one left out holds nothing.
void HoldPointFor(const std::wstring &key, const UnlistedFolder &folder, MirrorPoint &point) {
    if (folder.holdsPoint && !folder.leftOut)
        Hold(point, HoldKind::UnlistedFolder, key, folder.since);
    else
        LetGo(point, HoldKind::UnlistedFolder, key);
}

} // namespace

void FolderUnlisted(UnlistedFolders &folders, MirrorPoint &point, const std::wstring &folder,
                    const std::wstring &relative, DWORD error, ULONGLONG since, bool holdsPoint,
                    ULONGLONG markedAt, ULONGLONG now) {
    std::wstring key = FoldCase(folder);
    UnlistedFolder &entry = folders[key];
    bool known = !entry.path.empty();
    if (error == ERROR_ACCESS_DENIED) {
        if (!known || !entry.leftOut)
            Trace512(L"Leaving %ls out of the tree: the system refuses to list it (access "
                     L"denied); the hourly sweep looks at it again\n",
                     folder.c_str());
        entry = UnlistedFolder();
        entry.path = folder;
        entry.relative = relative;
        entry.leftOut = true;
        entry.lastError = error;
        HoldPointFor(key, entry, point);
        return;
    }
    if (!known || entry.leftOut) {
        Trace512(L"Cannot list %ls err=%u: its walk is tried again later\n", folder.c_str(), error);
        entry = UnlistedFolder();
        entry.path = folder;
        entry.relative = relative;
        entry.since = since;
        entry.failingSince = now;
        entry.retryDelayMs = NextRetryDelay(0);
        entry.due = now + entry.retryDelayMs;
    } else {
        entry.since = std::min(entry.since, since);
    }
    entry.holdsPoint = entry.holdsPoint || holdsPoint;
    entry.markedAt = std::max(entry.markedAt, markedAt);
    entry.lastError = error;
    HoldPointFor(key, entry, point);
}

void FolderStillUnlisted(UnlistedFolders &folders, const std::wstring &folder, DWORD error,
                         ULONGLONG now) {
    auto found = folders.find(FoldCase(folder));
    if (found == folders.end())
        return;
    UnlistedFolder &entry = found->second;
    entry.lastError = error;
    entry.retryDelayMs = NextRetryDelay(entry.retryDelayMs);
    entry.due = now + entry.retryDelayMs;
}

void FolderListed(UnlistedFolders &folders, MirrorPoint &point, const std::wstring &folder) {
    if (!folders.empty() && folders.erase(FoldCase(folder)) > 0)
        LetGo(point, HoldKind::UnlistedFolder, FoldCase(folder));
}

bool IsLeftOut(const UnlistedFolders &folders, const std::wstring &folder) {
    if (folders.empty())
        return false;
    auto found = folders.find(FoldCase(folder));
    return found != folders.end() && found->second.leftOut;
}

std::vector<UnlistedFolder> DueFolders(const UnlistedFolders &folders, ULONGLONG now) {
    std::vector<UnlistedFolder> due;
    for (const auto &[key, folder] : folders)
        if (!folder.leftOut && folder.due <= now)
            due.push_back(folder);
    return due;
}

ULONGLONG NextFolderDue(const UnlistedFolders &folders) {
    ULONGLONG next = 0;
    for (const auto &[key, folder] : folders)
        if (!folder.leftOut)
            next = EarliestSet(next, folder.due);
    return next;
}

size_t WaitingFolderCount(const UnlistedFolders &folders) {
    return std::count_if(folders.begin(), folders.end(),
                         [](const auto &entry) { return !entry.second.leftOut; });
}

const UnlistedFolder *FirstWaitingFolder(const UnlistedFolders &folders) {
    const UnlistedFolder *first = nullptr;
    for (const auto &[key, folder] : folders)
        if (!folder.leftOut && (!first || folder.failingSince < first->failingSince))
            first = &folder;
    return first;
}
