#include "monitor/own_copies.h"

#include "monitor/long_path.h"

#include <mutex>
#include <unordered_map>

namespace {

const size_t kCopiesKept = 65536;

struct OwnCopy {
    ULONGLONG original; // PathHash of what it was made from
    ULONGLONG size;
    ULONGLONG lastWrite;
    ULONGLONG order; // when it was noted, to forget the oldest
};

// By PathHash of the copy; every watch thread, under the lock.
std::mutex g_ownCopiesLock;
std::unordered_map<ULONGLONG, OwnCopy> g_ownCopies;
ULONGLONG g_noted = 0;

} // namespace

void NoteOwnCopy(const std::wstring &srcFull, const std::wstring &dstFull, ULONGLONG size,
                 ULONGLONG lastWrite) {
    ULONGLONG copy = PathHash(dstFull), original = PathHash(srcFull);
    std::lock_guard<std::mutex> lock(g_ownCopiesLock);
    if (g_ownCopies.size() >= kCopiesKept) {
        // Forget the older half.
        ULONGLONG keepFrom = g_noted - kCopiesKept / 2;
        for (auto it = g_ownCopies.begin(); it != g_ownCopies.end();)
            it = it->second.order < keepFrom ? g_ownCopies.erase(it) : std::next(it);
    }
    g_ownCopies[copy] = OwnCopy{original, size, lastWrite, g_noted++};
}

bool IsOwnCopyOf(const std::wstring &file, const std::wstring &original, ULONGLONG size,
                 ULONGLONG lastWrite) {
    ULONGLONG copy = PathHash(file);
    std::lock_guard<std::mutex> lock(g_ownCopiesLock);
    auto found = g_ownCopies.find(copy);
    if (found == g_ownCopies.end() || found->second.size != size ||
        found->second.lastWrite != lastWrite)
        return false;
    ULONGLONG made = found->second.original;
    return made == PathHash(original);
}
