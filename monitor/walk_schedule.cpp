#include "monitor/walk_schedule.h"

#include "monitor/clock.h"

#include <algorithm>

namespace {

const ULONGLONG kLostQuietMs = 300;
const ULONGLONG kSpellQuietMs = 2000;
const ULONGLONG kLongestWaitForQuietMs = 30000;
const ULONGLONG kPollMs = 30000;
// How soon the thread looks again whether its read has been in the system.
const ULONGLONG kCatchUpLookMs = 20;
const DWORD kFirstRetryMs = 1000;
const DWORD kLongestRetryMs = 60000;

bool CatchUpReady(const WalkSchedule &schedule) {
    return schedule.catchUpWanted && schedule.readPending && !schedule.subfoldersToOpen;
}

} // namespace

WalkSchedule WatchBegins(bool catchUp, bool subfoldersToOpen) {
    WalkSchedule schedule;
    schedule.catchUpWanted = catchUp;
    schedule.subfoldersToOpen = catchUp && subfoldersToOpen;
    return schedule;
}

void ReadCameBack(WalkSchedule &schedule) {
    schedule.readPending = true;
}

void SubfoldersOpened(WalkSchedule &schedule) {
    if (schedule.readPending)
        schedule.subfoldersToOpen = false;
}

void WalkWhenQuiet(WalkSchedule &schedule, WalkKind kind, ULONGLONG now) {
    // A loss wants its walk sooner than a busy spell, and the one walk serves both.
    if (schedule.quietKind != WalkKind::Recovery)
        schedule.quietKind = kind;
    if (schedule.quietBegan == 0)
        schedule.quietBegan = now;
    ULONGLONG quietMs = schedule.quietKind == WalkKind::Recovery ? kLostQuietMs : kSpellQuietMs;
    schedule.quietDue = std::min(now + quietMs, schedule.quietBegan + kLongestWaitForQuietMs);
}

void PairBusy(WalkSchedule &schedule, ULONGLONG now) {
    if (schedule.quietKind != WalkKind::None)
        WalkWhenQuiet(schedule, schedule.quietKind, now);
}

void PollInstead(WalkSchedule &schedule, ULONGLONG now) {
    schedule.catchUpWanted = false; // the first walk is the catch-up
    schedule.pollDue = now;
}

void SweepAsked(WalkSchedule &schedule) {
    schedule.sweepAsked = true;
}

WalkKind DueWalk(const WalkSchedule &schedule, ULONGLONG now) {
    if (CatchUpReady(schedule))
        return WalkKind::CatchUp;
    if (schedule.pollDue != 0 && now >= schedule.pollDue)
        return WalkKind::Poll;
    if (schedule.retryKind != WalkKind::None && now >= schedule.retryDue)
        return schedule.retryKind;
    if (schedule.quietKind != WalkKind::None && now >= schedule.quietDue)
        return schedule.quietKind;
    if (schedule.sweepAsked)
        return WalkKind::Sweep;
    return WalkKind::None;
}

ULONGLONG NextWalkTick(const WalkSchedule &schedule, ULONGLONG now) {
    ULONGLONG next = 0;
    if (schedule.catchUpWanted && !CatchUpReady(schedule))
        next = now + kCatchUpLookMs;
    next = EarliestSet(next, schedule.pollDue);
    if (schedule.retryKind != WalkKind::None)
        next = EarliestSet(next, schedule.retryDue);
    if (schedule.quietKind != WalkKind::None)
        next = EarliestSet(next, schedule.quietDue);
    if (schedule.sweepAsked || CatchUpReady(schedule))
        next = now;
    return next;
}

void WalkRan(WalkSchedule &schedule, WalkKind kind, bool complete, ULONGLONG now) {
    switch (kind) {
    case WalkKind::CatchUp:
        schedule.catchUpWanted = false;
        break;
    case WalkKind::Poll:
        schedule.pollDue = now + kPollMs;
        break;
    case WalkKind::Recovery:
    case WalkKind::BusySpell:
        schedule.quietKind = WalkKind::None;
        schedule.quietBegan = schedule.quietDue = 0;
        break;
    case WalkKind::Sweep:
        schedule.sweepAsked = false;
        break;
    case WalkKind::None:
        return;
    }
    // Every walk walks the open gap: one that ran to its end closed it, whatever it was for.
    if (complete) {
        schedule.retryKind = WalkKind::None;
        schedule.retryDue = 0;
        schedule.retryDelayMs = 0;
        return;
    }
    if (kind == WalkKind::Poll)
        return; // the next one comes soon enough
    schedule.retryDelayMs = schedule.retryDelayMs == 0
                                ? kFirstRetryMs
                                : std::min(2 * schedule.retryDelayMs, kLongestRetryMs);
    schedule.retryKind = kind;
    schedule.retryDue = now + schedule.retryDelayMs;
}
