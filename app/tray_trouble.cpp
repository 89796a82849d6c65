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

// The latest report of every pair in trouble (never an `ended` one). UI thread.
static std::vector<PairTrouble> g_troubles;
// The trouble shown now has had its balloon. UI thread.
static bool g_balloonShown = false;
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
    const wchar_t *pattern = nullptr;
    int length = LoadStringW(g_hInst, id, reinterpret_cast<LPWSTR>(&pattern), 0);
    std::wstring format(pattern ? pattern : L"", length > 0 ? length : 0);
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

// What a balloon names: the first trouble to begin, of one of these kinds.
enum class TroubleKind { Copy, SourceMissing, Unlisted };

static std::wstring BalloonText(const PairTrouble &trouble, TroubleKind kind) {
    if (kind == TroubleKind::SourceMissing)
        return LoadText(IDS_BALLOON_SOURCE, {trouble.source, SystemMessage(trouble.folderError)});
    if (kind == TroubleKind::Unlisted)
        return LoadText(IDS_BALLOON_UNLISTED,
                        {trouble.firstUnlisted, SystemMessage(trouble.unlistedError)});
    if (trouble.destinationMissing)
        return LoadText(IDS_BALLOON_DESTINATION, {trouble.dest, SystemMessage(trouble.copyError)});
    return LoadText(IDS_BALLOON_COPY, {trouble.firstCopy, SystemMessage(trouble.copyError)});
}

static void CALLBACK OnTroubleTimer(HWND window, UINT, UINT_PTR, DWORD);

// Shows what has lasted the threshold by now, and sets the timer for what has not yet.
static void ShowTrouble(HWND window) {
    ULONGLONG now = GetTickCount64();
    ULONGLONG nextOfAge = 0;
    auto ofAge = [&](ULONGLONG since) {
        ULONGLONG due = since + g_troubleThresholdMs;
        if (due <= now)
            return true;
        nextOfAge = nextOfAge == 0 ? due : std::min(nextOfAge, due);
        return false;
    };
    size_t files = 0, folders = 0, destinations = 0, unlisted = 0;
    const PairTrouble *first = nullptr; // the trouble that began first, and which kind
    ULONGLONG firstSince = 0;
    TroubleKind firstKind = TroubleKind::Copy;
    auto consider = [&](const PairTrouble &trouble, ULONGLONG since, TroubleKind kind) {
        if (first && firstSince <= since)
            return;
        first = &trouble;
        firstSince = since;
        firstKind = kind;
    };
    for (const PairTrouble &trouble : g_troubles) {
        if (trouble.copiesWaiting > 0 && ofAge(trouble.copiesSince)) {
            files += trouble.copiesWaiting;
            destinations += trouble.destinationMissing ? 1 : 0;
            consider(trouble, trouble.copiesSince, TroubleKind::Copy);
        }
        if (trouble.folderMissingSince != 0 && ofAge(trouble.folderMissingSince)) {
            ++folders;
            consider(trouble, trouble.folderMissingSince, TroubleKind::SourceMissing);
        }
        if (trouble.foldersUnlisted > 0 && ofAge(trouble.unlistedSince)) {
            unlisted += trouble.foldersUnlisted;
            consider(trouble, trouble.unlistedSince, TroubleKind::Unlisted);
        }
    }
    if (nextOfAge != 0)
        SetTimer(window, kTroubleTimer, (UINT)(nextOfAge - now), OnTroubleTimer);
    else
        KillTimer(window, kTroubleTimer);

    if (!first) {
        g_balloonShown = false;
        ShowTrayLook(window, false, std::wstring());
        return;
    }
    std::wstring tip = g_szTitle;
    if (files > 0)
        tip += L"\n" + LoadText(IDS_TIP_COPIES, {std::to_wstring(files)});
    if (folders > 0)
        tip += L"\n" + LoadText(IDS_TIP_SOURCES, {std::to_wstring(folders)});
    if (destinations > 0)
        tip += L"\n" + LoadText(IDS_TIP_DESTINATIONS, {std::to_wstring(destinations)});
    if (unlisted > 0)
        tip += L"\n" + LoadText(IDS_TIP_UNLISTED, {std::to_wstring(unlisted)});
    ShowTrayLook(window, true, tip);
    if (!g_balloonShown) {
        ShowTrayBalloon(window, BalloonText(*first, firstKind));
        g_balloonShown = true;
    }
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
               report->foldersUnlisted == 0) {
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
    g_balloonShown = false;
}
