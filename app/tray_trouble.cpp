#include "app/tray_trouble.h"

#include "app/main_window.h"
#include "app/tray_icon.h"
#include "monitor/long_path.h"
#include "res/resource.h"
#include "store/pair_table.h"

#include <algorithm>
#include <cwctype>
#include <initializer_list>
#include <string>
#include <vector>

DWORD g_troubleThresholdMs = 60000;
DWORD g_balloonRepeatMs = 24 * 60 * 60 * 1000;

// What a balloon names, and what counts as a new kind of trouble: one bit each.
enum TroubleKind { kCopy, kSourceMissing, kUnlisted, kRefused, kTroubleKinds };

// The latest report of every pair in trouble (never an `ended` one). UI thread.
static std::vector<PairTrouble> g_troubles;
// The kinds of trouble the tray shows now, and the tick of the last balloon (0: none since the
// trouble began). UI thread.
static unsigned g_kindsShown = 0;
static ULONGLONG g_balloonTick = 0;
// The main window's timer that fires when the next trouble has lasted the threshold.
static constexpr UINT_PTR kTroubleTimer = 1;

static bool IsPair(const PairTrouble &trouble, const std::wstring &source,
                   const std::wstring &dest) {
    return FoldCase(trouble.source) == FoldCase(source) && FoldCase(trouble.dest) == FoldCase(dest);
}

static bool StillRegistered(const PairTrouble &trouble) {
    for (size_t i = 0; i < g_sourceFolders.size(); ++i)
        if (IsPair(trouble, g_sourceFolders[i], i < g_destFolders.size() ? g_destFolders[i] : L""))
            return true;
    return false;
}

// String `id` of the table with %1, %2 ... replaced by `inserts`; a path that holds a '%'
// stays as it is.
static std::wstring LoadText(UINT id, std::initializer_list<std::wstring> inserts) {
    std::wstring format = LoadResourceText(id);
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring &insert : inserts)
        arguments.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
    wchar_t *text = nullptr;
    DWORD written = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                       FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   format.c_str(), 0, 0, reinterpret_cast<LPWSTR>(&text), 0,
                                   reinterpret_cast<va_list *>(arguments.data()));
    std::wstring result = written ? std::wstring(text, written) : format;
    LocalFree(text);
    return result;
}

// The system's text for `error`, without its line end.
static std::wstring SystemMessage(DWORD error) {
    wchar_t *text = nullptr;
    DWORD written = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring message = written ? std::wstring(text, written) : std::wstring();
    LocalFree(text);
    while (!message.empty() && iswspace(message.back()))
        message.pop_back();
    return message.empty() ? LoadText(IDS_UNKNOWN_ERROR, {std::to_wstring(error)}) : message;
}

static std::wstring BalloonText(const PairTrouble &trouble, int kind) {
    if (kind == kSourceMissing)
        return LoadText(IDS_BALLOON_SOURCE, {trouble.source, SystemMessage(trouble.folderError)});
    if (kind == kUnlisted)
        return LoadText(IDS_BALLOON_UNLISTED,
                        {trouble.firstUnlisted, SystemMessage(trouble.unlistedError)});
    if (kind == kRefused)
        return LoadText(
            IDS_BALLOON_REFUSED,
            {trouble.source, trouble.dest,
             LoadResourceText(trouble.refusal == PairRefusal::SameFolder ? IDS_REASON_SAME
                                                                         : IDS_REASON_RELATIVE)});
    if (trouble.destinationMissing)
        return LoadText(IDS_BALLOON_DESTINATION, {trouble.dest, SystemMessage(trouble.copyError)});
    return LoadText(IDS_BALLOON_COPY, {trouble.firstCopy, SystemMessage(trouble.copyError)});
}

static void CALLBACK OnTroubleTimer(HWND window, UINT, UINT_PTR, DWORD);

// Shows what has lasted the threshold by now (a refused pair at once: it will not pass), and
// sets the timer for what has not yet and for the next daily balloon.
static void ShowTrouble(HWND window) {
    ULONGLONG now = GetTickCount64();
    ULONGLONG wake = 0;
    auto wakeAt = [&](ULONGLONG due) { wake = wake == 0 ? due : std::min(wake, due); };
    auto ofAge = [&](ULONGLONG since) {
        ULONGLONG due = since + g_troubleThresholdMs;
        if (due <= now)
            return true;
        wakeAt(due);
        return false;
    };
    size_t files = 0, folders = 0, destinations = 0, unlisted = 0, refused = 0;
    struct FirstOfKind {
        const PairTrouble *trouble = nullptr; // the trouble of the kind that began first
        ULONGLONG since = 0;
    } firsts[kTroubleKinds];
    auto consider = [&](const PairTrouble &trouble, ULONGLONG since, TroubleKind kind) {
        if (!firsts[kind].trouble || since < firsts[kind].since)
            firsts[kind] = {&trouble, since};
    };
    for (const PairTrouble &trouble : g_troubles) {
        if (trouble.copiesWaiting > 0 && ofAge(trouble.copiesSince)) {
            files += trouble.copiesWaiting;
            destinations += trouble.destinationMissing ? 1 : 0;
            consider(trouble, trouble.copiesSince, kCopy);
        }
        if (trouble.folderMissingSince != 0 && ofAge(trouble.folderMissingSince)) {
            ++folders;
            consider(trouble, trouble.folderMissingSince, kSourceMissing);
        }
        if (trouble.foldersUnlisted > 0 && ofAge(trouble.unlistedSince)) {
            unlisted += trouble.foldersUnlisted;
            consider(trouble, trouble.unlistedSince, kUnlisted);
        }
        if (trouble.refusal != PairRefusal::None) {
            ++refused;
            consider(trouble, trouble.refusedSince, kRefused);
        }
    }
    unsigned kinds = 0;
    for (int kind = 0; kind < kTroubleKinds; ++kind)
        kinds |= firsts[kind].trouble ? 1u << kind : 0;

    if (kinds == 0) {
        g_kindsShown = 0;
        g_balloonTick = 0;
        ShowTrayLook(window, false, std::wstring());
    } else {
        std::wstring tip = g_szTitle;
        if (files > 0)
            tip += L"\n" + LoadText(IDS_TIP_COPIES, {std::to_wstring(files)});
        if (folders > 0)
            tip += L"\n" + LoadText(IDS_TIP_SOURCES, {std::to_wstring(folders)});
        if (destinations > 0)
            tip += L"\n" + LoadText(IDS_TIP_DESTINATIONS, {std::to_wstring(destinations)});
        if (unlisted > 0)
            tip += L"\n" + LoadText(IDS_TIP_UNLISTED, {std::to_wstring(unlisted)});
        if (refused > 0)
            tip += L"\n" + LoadText(IDS_TIP_REFUSED, {std::to_wstring(refused)});
        ShowTrayLook(window, true, tip);
        // New tray icons sit in the overflow and a balloon is easily missed (focus assist holds
        // it back): one comes when a kind of trouble begins that was not shown, and once a day
        // while trouble lasts. It names the first trouble of the new kinds, or of all.
        unsigned fresh = kinds & ~g_kindsShown;
        g_kindsShown = kinds;
        if (fresh != 0 || now - g_balloonTick >= g_balloonRepeatMs) {
            int named = -1;
            for (int kind = 0; kind < kTroubleKinds; ++kind)
                if (((fresh ? fresh : kinds) >> kind & 1) &&
                    (named < 0 || firsts[kind].since < firsts[named].since))
                    named = kind;
            ShowTrayBalloon(window, BalloonText(*firsts[named].trouble, named));
            g_balloonTick = now;
        }
        wakeAt(g_balloonTick + g_balloonRepeatMs);
    }
    if (wake != 0)
        SetTimer(window, kTroubleTimer, (UINT)(wake - now), OnTroubleTimer);
    else
        KillTimer(window, kTroubleTimer);
}

static void CALLBACK OnTroubleTimer(HWND window, UINT, UINT_PTR, DWORD) {
    ShowTrouble(window);
}

void OnPairTrouble(HWND mainWindow, PairTrouble *report) {
    auto known = std::find_if(g_troubles.begin(), g_troubles.end(), [&](const PairTrouble &t) {
        return IsPair(t, report->source, report->dest);
    });
    if (report->ended) {
        // Monitoring restarted: the pair's next thread speaks for it, unless it is gone.
        if (known != g_troubles.end() && !StillRegistered(*report))
            g_troubles.erase(known);
    } else if (report->copiesWaiting == 0 && report->folderMissingSince == 0 &&
               report->foldersUnlisted == 0 && report->refusal == PairRefusal::None) {
        if (known != g_troubles.end())
            g_troubles.erase(known);
    } else if (known != g_troubles.end()) {
        // Trouble that goes on keeps its start, whichever thread or file reports it now.
        if (known->copiesWaiting > 0 && report->copiesWaiting > 0)
            report->copiesSince = std::min(known->copiesSince, report->copiesSince);
        if (known->folderMissingSince != 0 && report->folderMissingSince != 0)
            report->folderMissingSince =
                std::min(known->folderMissingSince, report->folderMissingSince);
        if (known->foldersUnlisted > 0 && report->foldersUnlisted > 0)
            report->unlistedSince = std::min(known->unlistedSince, report->unlistedSince);
        if (known->refusal != PairRefusal::None && report->refusal != PairRefusal::None)
            report->refusedSince = std::min(known->refusedSince, report->refusedSince);
        *known = std::move(*report);
    } else {
        g_troubles.push_back(std::move(*report));
    }
    delete report;
    ShowTrouble(mainWindow);
}

void ForgetPairTrouble(HWND mainWindow) {
    KillTimer(mainWindow, kTroubleTimer);
    g_troubles.clear();
    g_kindsShown = 0;
    g_balloonTick = 0;
}
