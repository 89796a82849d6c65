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

bool CatchUpReady(const WalkSchedule &schedule) {
    return schedule.catchUpPending.load() && schedule.readPending &&
           !schedule.subfoldersToOpen.load();
}

} // namespace

void WatchBegins(WalkSchedule &schedule, bool catchUp, bool subfoldersToOpen, ULONGLONG now) {
    schedule.catchUpPending.store(catchUp);
    schedule.subfoldersToOpen.store(catchUp && subfoldersToOpen);
    schedule.readPending = false;
    schedule.quietKind = WalkKind::None;
    schedule.quietBegan = schedule.quietDue = schedule.pollDue = 0;
    schedule.sweepAsked = false;
    schedule.sweptSince = now;
}

void ReadCameBack(WalkSchedule &schedule) {
    schedule.readPending = true;
}

void SubfoldersOpened(WalkSchedule &schedule) {
    if (schedule.readPending)
        schedule.subfoldersToOpen.store(false);
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
    schedule.catchUpPending.store(false); // the first walk is the catch-up
    schedule.subfoldersToOpen.store(false);
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
    if (schedule.quietKind != WalkKind::None && now >= schedule.quietDue)
        return schedule.quietKind;
    if (schedule.sweepAsked)
        return WalkKind::Sweep;
    return WalkKind::None;
}

ULONGLONG WalkFrom(const WalkSchedule &schedule, WalkKind kind, ULONGLONG gapSince) {
    if (kind == WalkKind::Sweep)
        return EarliestSet(gapSince, schedule.sweptSince);
    return gapSince;
}

ULONGLONG NextWalkTick(const WalkSchedule &schedule, ULONGLONG now) {
    ULONGLONG next = 0;
    if (schedule.catchUpPending.load() && !CatchUpReady(schedule))
        next = now + kCatchUpLookMs;
    next = EarliestSet(next, schedule.pollDue);
    if (schedule.quietKind != WalkKind::None)
        next = EarliestSet(next, schedule.quietDue);
    if (schedule.sweepAsked || CatchUpReady(schedule))
        next = now;
    return next;
}

void WalkRan(WalkSchedule &schedule, WalkKind kind, bool complete, ULONGLONG now,
             ULONGLONG startedAt) {
    switch (kind) {
    case WalkKind::CatchUp:
        schedule.catchUpPending.store(false);
        schedule.subfoldersToOpen.store(false);
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
        if (complete)
            schedule.sweptSince = startedAt;
        break;
    case WalkKind::None:
        break;
    }
}
