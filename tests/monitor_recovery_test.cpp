// The watch survives its folder going away and coming back and a restart of monitoring, and
// loses no change across the gap.
#include "monitor/clock.h"
#include "monitor/long_path.h"
#include "monitor/monitor.h"
#include "monitor/safe_copy.h"
#include "monitor/saved_points.h"
#include "monitor/tree_walk.h"
#include "monitor/watch_thread.h"
#include "monitor/watch_wakeups.h"
#include "tests/monitor_test_helpers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <dbt.h>

#include <functional>
#include <map>
#include <mutex>

namespace {

class LostWatch : public WatchTest {
  protected:
    // A drive letter that names nothing, as a stick that is not plugged in.
    std::wstring FreeDrive() {
        wchar_t drive[] = L"Q:";
        while (drive[0] > L'D' && GetLogicalDrives() & (1u << (drive[0] - L'A')))
            --drive[0];
        return drive;
    }
    // Makes `folder` the drive `drive`, as a stick plugged in, or takes it away again. Wine's
    // drive letters are links in its prefix.
    std::wstring DriveLink(const std::wstring &drive) {
        wchar_t prefix[MAX_PATH] = {};
        GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
        return std::wstring(prefix) + L"/dosdevices/" + (wchar_t)towlower(drive[0]) + L":";
    }
    void Plug(const std::wstring &drive, const std::wstring &folder) {
        if (RunningUnderWine())
            ASSERT_TRUE(StartLinuxProgram(L"/bin/ln", L"-sfn \"" + LinuxPathOf(folder) + L"\" \"" +
                                                          DriveLink(drive) + L"\""));
        else
            ASSERT_TRUE(DefineDosDeviceW(0, drive.c_str(), folder.c_str()));
        ASSERT_TRUE(PumpUntil([&] { return FolderIsThere(drive + L"\\"); }, 10000));
    }
    void Unplug(const std::wstring &drive) {
        if (RunningUnderWine())
            StartLinuxProgram(L"/bin/rm", L"-f \"" + DriveLink(drive) + L"\"");
        else
            DefineDosDeviceW(DDD_REMOVE_DEFINITION, drive.c_str(), nullptr);
        EXPECT_TRUE(PumpUntil([&] { return !FolderIsThere(drive + L"\\"); }, 10000));
    }
    // Once the watch of `folder` has resumed (its line traced), the file written in the gap
    // arrives, and so does one written afterwards.
    void ExpectWatchedAgain(const std::wstring &folder, const std::wstring &resumedLine) {
        EXPECT_TRUE(WaitForLine(resumedLine));
        EXPECT_TRUE(WaitForContent(dst + L"\\gap.txt", "written in the gap"));
        WriteFileBytes(folder + L"\\after.txt", "after");
        EXPECT_TRUE(WaitForContent(dst + L"\\after.txt", "after"));
    }
};

// Holds files without sharing, so that copying over them fails until they are let go.
struct HeldFiles {
    std::vector<HANDLE> handles;
    void Hold(const std::wstring &path) {
        handles.push_back(
            CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_NE(handles.back(), INVALID_HANDLE_VALUE) << WideToUtf8(path);
    }
    // Writes `count` files <stem><n>.txt into `from` and older copies of them into `to`, and
    // holds the copies.
    void HoldOlderCopies(const std::wstring &from, const std::wstring &to, const wchar_t *stem,
                         int count) {
        for (int i = 0; i < count; ++i) {
            std::wstring name = L"\\" + std::wstring(stem) + std::to_wstring(i) + L".txt";
            WriteFileBytes(to + name, "stale");
            WriteFileBytes(from + name, "fresh");
            Hold(to + name);
        }
    }
    void LetGo() {
        for (HANDLE handle : handles)
            CloseHandle(handle);
        handles.clear();
    }
    ~HeldFiles() { LetGo(); }
};

// Removes a folder and everything in it. Under Wine a folder deleted through Wine stays,
// "delete pending", while any handle to it is open (the watch's own), and nothing tells the
// watch; a folder deleted by a Linux program is gone at once, so the test deletes it that way.
void RemoveFolderForGood(const std::wstring &folder) {
    if (!RunningUnderWine()) {
        // A copy under way may hold a file for a moment.
        ASSERT_TRUE(PumpUntil(
            [&] {
                RemoveTree(folder);
                return !FileExists(folder) || GetLastError() == ERROR_ACCESS_DENIED;
            },
            10000));
        return;
    }
    ASSERT_TRUE(StartLinuxProgram(L"/bin/rm", L"-rf \"" + LinuxPathOf(folder) + L"\""));
    ASSERT_TRUE(PumpUntil([&] { return !FileExists(folder); }, 10000));
}

// The folder listings the engine asks for, counted per folder, while a test runs; a folder may
// be refused, as the system refuses "System Volume Information".
std::mutex g_listingsLock;
std::map<std::wstring, int> g_listings;
std::wstring g_refused;
HANDLE CountedListing(const std::wstring &path, DWORD flags) {
    {
        std::lock_guard<std::mutex> lock(g_listingsLock);
        ++g_listings[FoldCase(path)];
    }
    if (path == g_refused) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return OpenFolderToList(path, flags);
}
struct CountedListings {
    explicit CountedListings(const std::wstring &refused = std::wstring()) {
        g_refused = refused;
        g_listings.clear();
        g_openFolderToList = CountedListing;
    }
    ~CountedListings() { g_openFolderToList = OpenFolderToList; }
    int Of(const std::wstring &folder) {
        std::lock_guard<std::mutex> lock(g_listingsLock);
        return g_listings[FoldCase(folder)];
    }
};

// Changes made while monitoring is stopped, as registering a pair stops it.
class GapTest : public WatchTest {
  protected:
    // Stops monitoring, does `work` while nothing watches, starts again, and returns once the
    // new watch has caught up.
    void RestartAfter(const std::function<void()> &work) {
        StopMonitoring();
        work();
        CollectTrace();
        CapturedLines().clear();
        StartMonitoring();
        ASSERT_TRUE(WaitForReadsPending());
        ASSERT_TRUE(WaitForLine(L"MonitorThread[0] catch-up pass copied "));
    }
};

using GapStartTest = BothStarts<GapTest>;
INSTANTIATE_TEST_SUITE_P(AsHereAndAsOnWindows, GapStartTest, testing::Bool());
using LostWatchStartTest = BothStarts<LostWatch>;
INSTANTIATE_TEST_SUITE_P(AsHereAndAsOnWindows, LostWatchStartTest, testing::Bool());

} // namespace

TEST_F(GapTest, AFolderMovedInAndGivenANewFileBringsItsOldFiles) {
    std::wstring album = root + L"\\album";
    CreateDirectoryW(album.c_str(), nullptr);
    WriteFileBytes(album + L"\\old1.jpg", "old 1");
    WriteFileBytes(album + L"\\old2.jpg", "old 2");
    // Older than any walk of the gap looks back (the file system's time step).
    PumpFor(300);
    StartWatching(dst);
    RestartAfter([&] {
        ASSERT_TRUE(MoveFileW(album.c_str(), (src + L"\\album").c_str()));
        WriteFileBytes(src + L"\\album\\new.jpg", "new");
    });
    EXPECT_EQ(ReadFileBytes(dst + L"\\new.jpg"), "new");
    EXPECT_EQ(ReadFileBytes(dst + L"\\old1.jpg"), "old 1");
    EXPECT_EQ(ReadFileBytes(dst + L"\\old2.jpg"), "old 2");
}

TEST_F(GapTest, AFolderThatWasThereAndGotANewFileBringsOnlyThatFile) {
    std::wstring album = src + L"\\album";
    CreateDirectoryW(album.c_str(), nullptr);
    WriteFileBytes(album + L"\\old.jpg", "there before the pair");
    PumpFor(300); // older than a walk looks back (the file system's time step)
    StartWatching(dst);
    // A new photo in the album, and a note beside it: the album's folder and the one that
    // holds it are both written in the gap, as when a folder moves in.
    RestartAfter([&] {
        WriteFileBytes(album + L"\\new.jpg", "new");
        WriteFileBytes(src + L"\\note.txt", "note");
    });
    EXPECT_EQ(ReadFileBytes(dst + L"\\new.jpg"), "new");
    EXPECT_EQ(ReadFileBytes(dst + L"\\note.txt"), "note");
    EXPECT_FALSE(FileExists(dst + L"\\old.jpg")) << "copied although it never changed";
}

TEST_P(GapStartTest, ASavedPointLaterThanTheClockIsNotTrusted) {
    StartWatching(dst);
    StopMonitoring();
    WriteFileBytes(src + L"\\closed.txt", "saved while closed");
    PumpFor(300); // closed for longer than a walk looks back
    // The profile of a machine whose clock ran an hour ahead.
    std::wstring config = UseFreshConfig();
    WritePairFile({{src, dst}});
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG hourAhead = FileTimeValue(now) + 36000000000ULL;
    WriteFileBytes(config + L"\\mirror-points.txt", std::to_string(hourAhead) + "\t" +
                                                        WideToUtf8(src) + "\t" + WideToUtf8(dst) +
                                                        "\r\n");
    StartMonitoring();
    EXPECT_TRUE(WaitForContent(dst + L"\\closed.txt", "saved while closed"));
    EXPECT_EQ(CountLines(L"Mirror point of " + src + L" is later than the clock"), 1u);
}

TEST_P(GapStartTest, APairFileThatCannotBeReadKeepsTheSavedPoints) {
    std::wstring config = UseFreshConfig();
    StartWatching(dst);
    StopMonitoring();
    FinishKeepingPoints();
    WriteFileBytes(src + L"\\closed.txt", "saved while closed");
    PumpFor(300); // closed for longer than a walk looks back
    // The next run finds its pair file held by another program: it watches nothing...
    std::wstring next = UseFreshConfig();
    for (const wchar_t *name : {L"\\folders.txt", L"\\mirror-points.txt"})
        ASSERT_TRUE(CopyFileW((config + name).c_str(), (next + name).c_str(), FALSE));
    HANDLE held = CreateFileW((next + L"\\folders.txt").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    StartMonitoring();
    EXPECT_TRUE(g_watchContexts.empty());
    StopMonitoring();
    CloseHandle(held);
    // ... and once it can read it, the pair catches up from where it was.
    StartMonitoring();
    EXPECT_TRUE(WaitForContent(dst + L"\\closed.txt", "saved while closed"));
}

TEST_F(GapTest, AFolderThatCannotBeListedIsWalkedAgainAloneUntilItCanBe) {
    std::wstring locked = src + L"\\locked";
    CreateDirectoryW(locked.c_str(), nullptr);
    StartWatching(dst);
    StopMonitoring();
    WriteFileBytes(locked + L"\\changed.txt", "changed while closed");
    WriteFileBytes(src + L"\\beside.txt", "beside it");
    // Another program holds the folder without sharing while the catch-up walk runs. (As on
    // Windows, no subfolder is opened before it: every listing is a walk's.)
    HANDLE held = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    SetSystemBehaviour(WindowsBehaviour());
    CountedListings listings;
    StartMonitoring();
    EXPECT_TRUE(WaitForLine(L"Cannot list " + locked + L" err="));
    EXPECT_TRUE(WaitForContent(dst + L"\\beside.txt", "beside it"));
    // Its own walks come after 1 and 2 s; the tree's is not walked again.
    EXPECT_TRUE(PumpUntil([&] { return listings.Of(locked) >= 3; }, 30000));
    EXPECT_EQ(listings.Of(src), 1);
    CloseHandle(held);
    EXPECT_TRUE(WaitForContent(dst + L"\\changed.txt", "changed while closed"));
    EXPECT_EQ(CountLines(L"Cannot list "), 1u) << "one line for the whole episode";
    EXPECT_EQ(listings.Of(src), 1);
}

TEST_F(GapTest, AFolderTheSystemRefusesToListIsLeftOutAndTheRestIsMirrored) {
    // As "System Volume Information" at the root of a drive.
    std::wstring refused = src + L"\\System Volume Information";
    CreateDirectoryW(refused.c_str(), nullptr);
    CreateDirectoryW((src + L"\\photos").c_str(), nullptr);
    SetSystemBehaviour(WindowsBehaviour()); // every listing is a walk's
    StartWatching(dst);
    CountedListings listings(refused);
    ULONGLONG written = 0;
    RestartAfter([&] {
        WriteFileBytes(src + L"\\photos\\new.jpg", "new");
        WriteFileBytes(src + L"\\note.txt", "note");
        written = SystemClock();
    });
    EXPECT_EQ(ReadFileBytes(dst + L"\\new.jpg"), "new");
    EXPECT_EQ(ReadFileBytes(dst + L"\\note.txt"), "note");
    EXPECT_EQ(CountLines(L"Leaving " + refused + L" out of the tree"), 1u);
    // The walk counted as done: the point passed the gap, and neither the tree nor the folder is
    // walked again (the first retries would come after 1 and 2 s).
    std::shared_ptr<WatchContext> context = g_watchContexts[0];
    EXPECT_GT(MirroredUpTo(context->mirror.point), written);
    PumpFor(3500);
    EXPECT_EQ(listings.Of(src), 1);
    EXPECT_EQ(listings.Of(refused), 1);
    StopMonitoring();
    EXPECT_EQ(WaitingFolderCount(context->mirror.unlisted), 0u) << "the tray would show it";
    EXPECT_EQ(CountLines(L"Cannot list "), 0u);
}

TEST_F(GapTest, AnotherFolderAtTheWatchedPathIsComparedWhole) {
    // A backup of the folder, restored while the program was closed: its files are older than
    // the point, and none of them was ever copied.
    std::wstring restored = root + L"\\restored";
    CreateDirectoryW(restored.c_str(), nullptr);
    WriteFileBytes(restored + L"\\old.txt", "from the backup");
    PumpFor(300); // older than a walk looks back
    StartWatching(dst);
    RestartAfter([&] {
        ASSERT_TRUE(MoveFileW(src.c_str(), (root + L"\\away").c_str()));
        ASSERT_TRUE(MoveFileW(restored.c_str(), src.c_str()));
    });
    EXPECT_TRUE(WaitForContent(dst + L"\\old.txt", "from the backup"));
}

TEST_P(GapStartTest, AnEditAfterTheClockWasSetBackIsCopied) {
    StartWatching(dst);
    // Saved while the clock ran an hour ahead: the file, and so its copy, carry that time.
    std::wstring file = src + L"\\report.txt";
    WriteFileBytes(file, "saved while the clock ran ahead");
    FILETIME ahead = {};
    ULONGLONG later = SystemClock() + 36000000000ULL;
    ahead.dwLowDateTime = DWORD(later);
    ahead.dwHighDateTime = DWORD(later >> 32);
    HANDLE handle = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(SetFileTime(handle, nullptr, nullptr, &ahead));
    CloseHandle(handle);
    ASSERT_TRUE(PumpUntil(
        [&] {
            WIN32_FILE_ATTRIBUTE_DATA copy;
            return GetFileAttributesExW((dst + L"\\report.txt").c_str(), GetFileExInfoStandard,
                                        &copy) &&
                   CompareFileTime(&copy.ftLastWriteTime, &ahead) == 0;
        },
        30000));
    // The clock is set right; the file is edited while the program is closed.
    RestartAfter([&] { WriteFileBytes(file, "edited"); });
    EXPECT_TRUE(WaitForContent(dst + L"\\report.txt", "edited"));
}

TEST_F(GapTest, AStopInTheMiddleOfACopyPassLosesNothingOfItsBatch) {
    StartWatching(dst);
    std::vector<std::wstring> names;
    for (int i = 0; i < 500; ++i) {
        names.push_back(L"\\burst" + std::to_wstring(i) + L".txt");
        WriteFileBytes(src + names.back(), "burst");
    }
    // Monitoring stops (as registering a pair stops it) once the pass has begun copying.
    ASSERT_TRUE(WaitForLine(L"CopyFile succeeded: "));
    StopMonitoring();
    EXPECT_LT(CountFiles(dst), names.size()) << "the pass was not cut short";
    StartMonitoring();
    for (const std::wstring &name : names)
        EXPECT_TRUE(WaitForContent(dst + name, "burst"));
}

TEST_F(GapTest, OfSameNamedFilesTheOneChangedLastWinsWhateverTheListingOrder) {
    CreateDirectoryW((src + L"\\one").c_str(), nullptr);
    CreateDirectoryW((src + L"\\two").c_str(), nullptr);
    StartWatching(dst);
    // x.txt changes in two\ first, y.txt in one\ first: one of them is listed first.
    RestartAfter([&] {
        WriteFileBytes(src + L"\\two\\x.txt", "older x");
        WriteFileBytes(src + L"\\one\\y.txt", "older y");
        PumpFor(50);
        WriteFileBytes(src + L"\\one\\x.txt", "newer x");
        WriteFileBytes(src + L"\\two\\y.txt", "newer y");
    });
    EXPECT_EQ(ReadFileBytes(dst + L"\\x.txt"), "newer x");
    EXPECT_EQ(ReadFileBytes(dst + L"\\y.txt"), "newer y");
}

TEST_F(GapTest, AChangeThatKeepsSizeAndLastWriteTimeIsCopied) {
    StartWatching(dst);
    std::wstring file = src + L"\\volume.bin";
    WriteFileBytes(file, "version 1");
    ASSERT_TRUE(WaitForContent(dst + L"\\volume.bin", "version 1"));
    // As container tools do: new content of the same size, the old last-write time put back.
    RestartAfter([&] {
        HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        FILETIME written;
        DWORD count = 0;
        ASSERT_TRUE(GetFileTime(handle, nullptr, nullptr, &written));
        ASSERT_TRUE(WriteFile(handle, "version 2", 9, &count, nullptr));
        ASSERT_TRUE(SetFileTime(handle, nullptr, nullptr, &written));
        CloseHandle(handle);
    });
    EXPECT_EQ(ReadFileBytes(dst + L"\\volume.bin"), "version 2");
}

TEST_F(LostWatch, ASourcePathThatNamesAFileIsWaitedForWithoutSpinning) {
    std::wstring later = root + L"\\later";
    WriteFileBytes(later, "a file where the folder will be");
    WritePairFile({{later, dst}});
    StartMonitoring();
    EXPECT_TRUE(
        WaitForLine(L"MonitorThread[0] cannot open " + later + L" err=267, next attempt in 4000"));
    EXPECT_EQ(CountLines(L"MonitorThread[0] cannot open "), 3u);
    EXPECT_EQ(CountLines(L"ReadDirectoryChangesW failed"), 0u);
    ASSERT_TRUE(DeleteFileW(later.c_str()) && CreateDirectoryW(later.c_str(), nullptr));
    WriteFileBytes(later + L"\\gap.txt", "written in the gap");
    ExpectWatchedAgain(later, L"MonitorThread[0] started for path: " + later + L"\n");
}

TEST_F(LostWatch, AFolderRenamedAwayAndAnotherRenamedInIsWatchedAgain) {
    StartWatching(dst);
    std::wstring restored = root + L"\\restored";
    CreateDirectoryW(restored.c_str(), nullptr);
    WriteFileBytes(restored + L"\\kept.txt", "restored with the folder");
    ASSERT_TRUE(MoveFileW(src.c_str(), (root + L"\\away").c_str()));
    ASSERT_TRUE(MoveFileW(restored.c_str(), src.c_str()));
    WriteFileBytes(src + L"\\gap.txt", "written in the gap");

    ExpectWatchedAgain(src, L"MonitorThread[0] watching again: " + src + L"\n");
    EXPECT_TRUE(WaitForContent(dst + L"\\kept.txt", "restored with the folder"));
    EXPECT_EQ(CountLines(L"MonitorThread[0] lost its folder: " + src + L"\n"), 1u);
}

TEST_F(LostWatch, AFolderRemovedAndMadeAgainIsWatchedAgain) {
    StartWatching(dst);
    WriteFileBytes(src + L"\\before.txt", "before");
    EXPECT_TRUE(WaitForContent(dst + L"\\before.txt", "before"));
    RemoveFolderForGood(src);
    // On Windows the folder is "delete pending" until the watch lets go of it.
    ASSERT_TRUE(PumpUntil([&] { return CreateDirectoryW(src.c_str(), nullptr) != FALSE; }, 30000));
    WriteFileBytes(src + L"\\gap.txt", "written in the gap");

    ExpectWatchedAgain(src, L"MonitorThread[0] watching again: " + src + L"\n");
}

TEST_P(LostWatchStartTest, ASourceThatAppearsAfterTheStartIsWatchedOnceItExists) {
    std::wstring later = root + L"\\later";
    WritePairFile({{later, dst}});
    StartMonitoring();
    ASSERT_EQ(g_threadHandles.size(), 1u);
    EXPECT_TRUE(WaitForLine(L"MonitorThread[0] cannot open " + later + L" err="));
    EXPECT_EQ(CountLines(L"MonitorThread[0] started for path: "), 0u);
    PumpFor(1000); // a share that connects a little after logon
    ASSERT_TRUE(CreateDirectoryW(later.c_str(), nullptr));
    WriteFileBytes(later + L"\\gap.txt", "written in the gap");
    ExpectWatchedAgain(later, L"MonitorThread[0] started for path: " + later + L"\n");
}

TEST_F(LostWatch, ADestinationDriveThatAppearsLaterGetsEveryWaitingCopy) {
    std::wstring drive = FreeDrive(), stick = root + L"\\stick";
    CreateDirectoryW(stick.c_str(), nullptr);
    StartWatching(drive + L"\\backup");
    std::vector<std::wstring> names;
    for (int i = 0; i < 10; ++i) {
        names.push_back(L"\\file" + std::to_wstring(i) + L".txt");
        WriteFileBytes(src + names.back(), "mirrored");
    }
    EXPECT_TRUE(WaitForLine(L"Destination folder " + drive + L"\\backup is missing"));
    // A few rounds of retries fail before it is plugged in.
    PumpFor(3500);
    Plug(drive, stick);
    for (const std::wstring &name : names)
        EXPECT_TRUE(WaitForContent(stick + L"\\backup" + name, "mirrored"));
    StopMonitoring();
    Unplug(drive);
}

// What CreateDirectoryW answers on Windows for a drive's root, where Wine answers that it exists.
BOOL WINAPI CreateDirectoryAsOnWindows(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    std::wstring folder = path;
    if (folder.size() >= 2 && folder.size() <= 3 && folder[1] == L':') {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return CreateDirectoryW(path, attributes);
}

TEST_F(LostWatch, ADestinationAtADriveRootUnpluggedAndPluggedInAgainGetsItsCopies) {
    g_createDirectory = CreateDirectoryAsOnWindows;
    std::wstring drive = FreeDrive(), stick = root + L"\\stick";
    CreateDirectoryW(stick.c_str(), nullptr);
    Plug(drive, stick);
    StartWatching(drive + L"\\");
    WriteFileBytes(src + L"\\before.txt", "before");
    EXPECT_TRUE(WaitForContent(stick + L"\\before.txt", "before"));
    Unplug(drive);
    for (int i = 0; i < 10; ++i)
        WriteFileBytes(src + L"\\file" + std::to_wstring(i) + L".txt", "mirrored");
    EXPECT_TRUE(WaitForLine(L"Destination folder " + drive + L"\\ is missing"));
    Plug(drive, stick);
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(WaitForContent(stick + L"\\file" + std::to_wstring(i) + L".txt", "mirrored"));
    StopMonitoring();
    g_createDirectory = CreateDirectoryW;
    Unplug(drive);
}

TEST_F(LostWatch, ADrivesRecycleBinIsNotMirroredButItsDocumentsAre) {
    // A drive registered whole, with a recycle bin as Explorer keeps one at its root.
    std::wstring drive = FreeDrive(), disk = root + L"\\disk";
    std::wstring bin = disk + L"\\$RECYCLE.BIN\\S-1-5-21-1004";
    for (const std::wstring &folder :
         {disk, disk + L"\\$RECYCLE.BIN", bin, disk + L"\\Docs", disk + L"\\Docs\\Old"})
        CreateDirectoryW(folder.c_str(), nullptr);
    WriteFileBytes(disk + L"\\Docs\\draft.txt", "a draft");
    for (const wchar_t *name : {L"\\1.txt", L"\\2.txt", L"\\3.txt"})
        WriteFileBytes(disk + L"\\Docs\\Old" + name, "old");
    Plug(drive, disk);
    src = drive + L"\\";
    StartWatching(dst);
    // What the drive held before (under Wine the first walk looks back at it) is not the point.
    for (const wchar_t *name : {L"\\draft.txt", L"\\1.txt", L"\\2.txt", L"\\3.txt"})
        DeleteFileW((dst + name).c_str());
    // Explorer deletes a file and a folder: each renamed into the bin, beside a record of it.
    ASSERT_TRUE(
        MoveFileW((disk + L"\\Docs\\draft.txt").c_str(), (bin + L"\\$RK3J9QA.txt").c_str()));
    WriteFileBytes(bin + L"\\$IK3J9QA.txt", "where it was");
    ASSERT_TRUE(MoveFileW((disk + L"\\Docs\\Old").c_str(), (bin + L"\\$R7QW2LM").c_str()));
    WriteFileBytes(bin + L"\\$I7QW2LM", "where it was");
    WriteFileBytes(disk + L"\\Docs\\new.txt", "a new document");
    EXPECT_TRUE(WaitForContent(dst + L"\\new.txt", "a new document"));
    WakeWatchThread(*g_watchContexts[0], kWakeSweep);
    EXPECT_TRUE(WaitForLine(L"MonitorThread[0] sweep copied 0 files"));
    EXPECT_EQ(CountFiles(dst), 1u) << "what was deleted was mirrored";
    EXPECT_EQ(CountLinesContaining(L"a folder the drive keeps for itself"), 1u);
    StopMonitoring();
    Unplug(drive);
}

// A share that refuses reads of more than 16 KiB, as some do.
BOOL WINAPI ReadAsAShareOfSmallReads(HANDLE dir, LPVOID buffer, DWORD length, BOOL subtree,
                                     DWORD filter, LPDWORD bytes, LPOVERLAPPED overlapped,
                                     LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    if (length > 16384) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return ReadDirectoryChangesW(dir, buffer, length, subtree, filter, bytes, overlapped, routine);
}

TEST_F(LostWatch, AShareThatRefusesLargeReadsIsReadInSmallerOnes) {
    g_readDirectoryChanges = ReadAsAShareOfSmallReads;
    StartWatching(dst);
    WriteFileBytes(src + L"\\a.txt", "a");
    EXPECT_TRUE(WaitForContent(dst + L"\\a.txt", "a"));
    EXPECT_EQ(CountLinesContaining(L"walked every 30 s instead"), 0u) << "fell back to walks";
    StopMonitoring();
    g_readDirectoryChanges = ReadDirectoryChangesW;
}

TEST_P(LostWatchStartTest, ADriveRemovedSafelyIsLetGoOfAndWatchedAgainWhenTheRemovalIsRefused) {
    StartWatching(dst);
    std::shared_ptr<WatchContext> context = g_watchContexts[0];
    DEV_BROADCAST_HANDLE notice = {};
    notice.dbch_size = sizeof notice;
    notice.dbch_devicetype = DBT_DEVTYP_HANDLE;
    {
        std::lock_guard<std::mutex> lock(context->handleLock);
        notice.dbch_handle = context->deviceHandle;
        notice.dbch_hdevnotify = context->deviceNotify;
    }
    ASSERT_NE(notice.dbch_handle, nullptr) << "the folder was not registered";
    // The system asks before it removes the drive; the folder is let go of before the answer.
    EXPECT_EQ(SendMessageW(sink, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, (LPARAM)&notice), TRUE);
    HANDLE alone = CreateFileW(src.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_NE(alone, INVALID_HANDLE_VALUE) << "the folder is still held";
    CloseHandle(alone);
    WriteFileBytes(src + L"\\gap.txt", "written in the gap");
    // Another program refused: the drive stays, and so does the pair.
    SendMessageW(sink, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVEFAILED, (LPARAM)&notice);
    ExpectWatchedAgain(src, L"MonitorThread[0] watching again: " + src + L"\n");
}

TEST_F(LostWatch, AStopWhileWaitingToOpenTheFolderEndsTheThreadAtOnce) {
    std::wstring missing = root + L"\\missing";
    WritePairFile({{missing, dst}});
    StartMonitoring();
    // The third attempt waits four seconds, longer than a stop waits for a thread.
    EXPECT_TRUE(
        PumpUntil([] { return CountLinesContaining(L"next attempt in 4000 ms") > 0; }, 30000));
    std::shared_ptr<WatchContext> context = g_watchContexts[0];
    StopMonitoring();
    EXPECT_TRUE(context->ended.load()) << "the thread still waits to open its folder";
}

TEST_F(LostWatch, ARestartLosesNothingThatTheOldWatchHadNotRead) {
    // A folder of five files moves in with one rename, and copying each over its held copy
    // keeps the watch busy with attempts for a second: five seconds for the one batch.
    CreateDirectoryW(dst.c_str(), nullptr);
    std::wstring pack = root + L"\\pack";
    CreateDirectoryW(pack.c_str(), nullptr);
    HeldFiles held;
    held.HoldOlderCopies(pack, dst, L"busy", 5);
    StartWatching(dst);
    ASSERT_TRUE(MoveFileW(pack.c_str(), (src + L"\\pack").c_str()));
    ASSERT_TRUE(WaitForLine(L"MonitorThread[0] Read "));
    // Saved while the watch is busy; monitoring restarts (as registering a pair does) later
    // than any catch-up of a new watch looks back.
    WriteFileBytes(src + L"\\late.txt", "saved while busy");
    StopMonitoring();
    StartMonitoringLater(3000);
    held.LetGo();
    EXPECT_TRUE(WaitForContent(dst + L"\\late.txt", "saved while busy"));
    EXPECT_TRUE(WaitForContent(dst + L"\\busy4.txt", "fresh"));
}

TEST_F(LostWatch, AStopDuringTheCatchUpWalkStillEndsTheThread) {
    if (!RunningUnderWine())
        GTEST_SKIP() << "the walk at the start of a watch runs under Wine";
    // Written just before the watch starts, so its catch-up walk copies them; their copies
    // are held, so the walk takes a second of attempts for each.
    CreateDirectoryW(dst.c_str(), nullptr);
    HeldFiles held;
    held.HoldOlderCopies(src, dst, L"f", 5);
    WritePairFile({{src, dst}});
    StartMonitoring();
    ASSERT_TRUE(WaitForLine(L"CopyFile deferred: "));
    std::shared_ptr<WatchContext> context = g_watchContexts[0];
    StopMonitoring();
    held.LetGo();
    EXPECT_TRUE(PumpUntil([&] { return context->ended.load(); }, 30000))
        << "the thread went into a read after the stop";
}
