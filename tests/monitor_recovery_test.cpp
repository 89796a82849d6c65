// The watch survives its folder going away and coming back and a restart of monitoring, and
// loses no change across the gap.
#include "monitor/monitor.h"
#include "monitor/watch_thread.h"
#include "monitor/wine_subfolders.h"
#include "tests/monitor_test_helpers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace {

class LostWatch : public WatchTest {
  protected:
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
            WriteFileBytes(from + name, "fresh");
            WriteFileBytes(to + name, "stale");
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
    typedef char *(CDECL * UnixName)(const wchar_t *);
    UnixName unixName = (UnixName)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                                         "wine_get_unix_file_name");
    if (!RunsUnderWine() || !unixName) {
        // A copy under way may hold a file for a moment.
        ASSERT_TRUE(PumpUntil(
            [&] {
                RemoveTree(folder);
                return !FileExists(folder) || GetLastError() == ERROR_ACCESS_DENIED;
            },
            10000));
        return;
    }
    char *path = unixName(folder.c_str());
    ASSERT_NE(path, nullptr);
    std::wstring command = L"/bin/rm -rf \"" + Utf8ToWide(path) + L"\"";
    HeapFree(GetProcessHeap(), 0, path);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(L"Z:\\bin\\rm", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    // Wine does not wait for a Linux program: wait for what it does.
    ASSERT_TRUE(PumpUntil([&] { return !FileExists(folder); }, 10000));
}

} // namespace

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

TEST_F(LostWatch, ASourceThatAppearsAfterTheStartIsWatchedOnceItExists) {
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
    PumpFor(2500);
    StopMonitoring();
    StartMonitoring();
    held.LetGo();
    EXPECT_TRUE(WaitForContent(dst + L"\\late.txt", "saved while busy"));
    EXPECT_TRUE(WaitForContent(dst + L"\\busy4.txt", "fresh"));
}

TEST_F(LostWatch, AStopDuringTheCatchUpWalkStillEndsTheThread) {
    if (!RunsUnderWine())
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
