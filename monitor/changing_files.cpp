#include "monitor/changing_files.h"

#include <algorithm>

namespace {

const ULONGLONG kFirstQuietMs = 100;
const ULONGLONG kLongestQuietMs = 2000;
const ULONGLONG kFirstIntervalMs = 5000;
const ULONGLONG kLongestIntervalMs = 300000;
const unsigned kTopLevel = 8;
// Past this many names, those that have rested are forgotten.
const size_t kFilesKept = 4096;

// The file's entry while it keeps changing; null once it has rested (or was never seen).
const ChangingFile *StillChanging(const ChangingFiles &files, unsigned long long key,
                                  ULONGLONG now) {
    auto it = files.find(key);
    return it != files.end() && now - it->second.lastChange < kRestMs ? &it->second : nullptr;
}

ULONGLONG LookAfter(ULONGLONG span, ULONGLONG writtenAgoMs, ULONGLONG now) {
    return now + (writtenAgoMs < span ? span - writtenAgoMs : kQuietLookMs);
}

} // namespace

ULONGLONG QuietSpanMs(unsigned level) {
    return std::min(kFirstQuietMs << std::min(level, kTopLevel), kLongestQuietMs);
}

ULONGLONG CopyIntervalMs(unsigned level) {
    return std::min(kFirstIntervalMs << std::min(level, kTopLevel), kLongestIntervalMs);
}

QuietPlan PlanChange(ChangingFiles &files, unsigned long long key, ULONGLONG size,
                     ULONGLONG writtenAgoMs, ULONGLONG now, bool guessWriting) {
    QuietPlan plan;
    plan.intervalFrom = now;
    const ChangingFile *changing = StillChanging(files, key, now);
    if (changing) {
        if (changing->lastCopy != 0)
            plan.intervalFrom = changing->lastCopy;
        plan.look = LookAfter(QuietSpanMs(changing->level), writtenAgoMs, now);
        files[key].lastChange = now;
        return plan;
    }
    files.erase(key); // rested: it starts again from the bottom
    // A large file written lately may still be written, and so may an empty one just made (a
    // download, an export, just begun): a copy now would be made again once its writer is done.
    bool mayBeWritten =
        guessWriting && ((size >= kQuietMinBytes && writtenAgoMs < CopyIntervalMs(0)) ||
                         (size == 0 && writtenAgoMs < QuietSpanMs(0)));
    if (mayBeWritten)
        plan.look = LookAfter(QuietSpanMs(0), writtenAgoMs, now);
    return plan;
}

ULONGLONG NextQuietLook(ChangingFiles &files, unsigned long long key, bool grew, ULONGLONG size,
                        ULONGLONG writtenAgoMs, ULONGLONG intervalFrom, ULONGLONG now) {
    const ChangingFile *changing = StillChanging(files, key, now);
    if (changing && grew)
        files[key].lastChange = now;
    unsigned level = changing ? changing->level : 0;
    ULONGLONG span = QuietSpanMs(level);
    // Quiet: not written for the span by its own time, and not changed since the last look (a
    // clock that is coarse or lags must not make a growing file look quiet).
    if (!grew && writtenAgoMs >= span)
        return 0;
    // Still being written: a partial copy now and then. One that grows waits until it has
    // doubled, so that each copy costs at most half the next, however long it grows; one that
    // is rewritten at its size is copied after the longest interval.
    ULONGLONG waited = now - intervalFrom;
    ULONGLONG copiedSize = changing ? changing->lastCopySize : 0;
    bool due = size > copiedSize ? size >= 2 * copiedSize : waited >= kLongestIntervalMs;
    if (waited >= CopyIntervalMs(level) && due)
        return 0;
    return LookAfter(span, writtenAgoMs, now);
}

void CopiedAt(ChangingFiles &files, unsigned long long key, ULONGLONG size, ULONGLONG now) {
    if (files.size() >= kFilesKept) {
        for (auto it = files.begin(); it != files.end();)
            it = now - it->second.lastChange >= kRestMs ? files.erase(it) : std::next(it);
    }
    ChangingFile &file = files[key];
    bool changing = file.lastCopy != 0 && now - file.lastChange < kRestMs;
    file.level = changing ? std::min(file.level + 1, kTopLevel) : 0;
    file.lastCopy = now;
    file.lastCopySize = size;
    file.lastChange = std::max(file.lastChange, now);
}
