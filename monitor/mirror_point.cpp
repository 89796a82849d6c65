#include "monitor/mirror_point.h"

#include <algorithm>

namespace {

// The earliest of the times that are set (not 0); 0 when none is.
ULONGLONG EarliestSet(ULONGLONG a, ULONGLONG b) {
    if (a == 0)
        return b;
    if (b == 0)
        return a;
    return std::min(a, b);
}

ULONGLONG PointOf(const MirrorPoint &point) {
    return EarliestSet(EarliestSet(point.gapSince, point.handledTo), point.waitingSince);
}

} // namespace

void GapOpened(MirrorPoint &point, ULONGLONG since) {
    std::lock_guard<std::mutex> lock(point.lock);
    point.gapSince = EarliestSet(point.gapSince, since);
}

void ChangesLost(MirrorPoint &point) {
    std::lock_guard<std::mutex> lock(point.lock);
    point.gapSince = EarliestSet(point.gapSince, PointOf(point));
}

void ReadIssued(MirrorPoint &point, ULONGLONG at) {
    std::lock_guard<std::mutex> lock(point.lock);
    point.readIssued = at;
}

void ReadDelivered(MirrorPoint &point) {
    std::lock_guard<std::mutex> lock(point.lock);
    point.handledTo = std::max(point.handledTo, point.readIssued);
}

void GapWalked(MirrorPoint &point, ULONGLONG since, ULONGLONG walkStart) {
    std::lock_guard<std::mutex> lock(point.lock);
    if (point.gapSince != 0 && since <= point.gapSince)
        point.gapSince = 0;
    point.handledTo = std::max(point.handledTo, walkStart);
}

void CopiesWaitingSince(MirrorPoint &point, ULONGLONG since) {
    std::lock_guard<std::mutex> lock(point.lock);
    point.waitingSince = since;
}

ULONGLONG MirroredUpTo(MirrorPoint &point) {
    std::lock_guard<std::mutex> lock(point.lock);
    return PointOf(point);
}

bool GapOpen(MirrorPoint &point, ULONGLONG &since) {
    std::lock_guard<std::mutex> lock(point.lock);
    since = point.gapSince;
    return since != 0;
}
