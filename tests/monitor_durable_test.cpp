// Copies that cannot be made at once still arrive, and a failed copy never costs the copy
// that was there: the running engine against real faults.
#include "monitor/monitor.h"
#include "monitor/saved_points.h"
#include "store/pair_table.h"
#include "monitor/watch_thread.h"
#include "monitor/watch_wakeups.h"
#include "tests/monitor_test_helpers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using DurableCopies = WatchTest;

// The files in `folder` other than the one named.
size_t OtherFiles(const std::wstring &folder, const std::wstring &name) {
    return CountFiles(folder) - (FileExists(folder + L"\\" + name) ? 1 : 0);
}

} // namespace

TEST_F(DurableCopies, AFullDiskKeepsTheOldCopyAndTheNewOneArrivesOnceThereIsRoom) {
    std::wstring small = SmallFileSystemFolder();
    if (small.empty())
        GTEST_SKIP() << "no small file system in this run";
    std::wstring backup = small + L"\\backup";
    CreateDirectoryW(backup.c_str(), nullptr);
    const std::string older(8000, 'o'), newer(24000, 'n');
    WriteFileBytes(backup + L"\\doc.bin", older);
    StartWatching(backup);
    FillDisk(small);

    // Saved as editors save: written beside the folder, then renamed into place.
    WriteFileBytes(root + L"\\doc.new", newer);
    ASSERT_TRUE(MoveFileW((root + L"\\doc.new").c_str(), (src + L"\\doc.bin").c_str()));
    EXPECT_TRUE(WaitForLine(L"Destination folder " + backup + L" is on a full disk"));
    EXPECT_EQ(CountLinesContaining(L"err=112"), CountLines(L"CopyFile")) << "failed on a full disk";
    EXPECT_TRUE(ReadFileBytes(backup + L"\\doc.bin") == older) << "the old copy was harmed";
    EXPECT_EQ(OtherFiles(backup, L"doc.bin"), 0u) << "a temporary copy was left behind";

    FreeDisk(small);
    EXPECT_TRUE(WaitForContent(backup + L"\\doc.bin", newer));
    EXPECT_EQ(CountLines(L"Deferred copy succeeded: " + src + L"\\doc.bin -> "), 1u)
        << "no change came after the failure: the retry must have copied it";
    EXPECT_EQ(OtherFiles(backup, L"doc.bin"), 0u);
    StopMonitoring();
    RemoveTree(small);
}

TEST_F(DurableCopies, AFileHeldForThreeSecondsIsCopiedAfterItsWriterLetsGo) {
    StartWatching(dst);
    ULONGLONG start = GetTickCount64();
    HANDLE writer = CreateFileW((src + L"\\held.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer, "saved while held", 16, &written, nullptr));
    EXPECT_TRUE(WaitForLine(L"CopyFile deferred: " + src + L"\\held.txt -> "));
    // The writer keeps the file for three seconds, then closes it and changes nothing more.
    ULONGLONG held = GetTickCount64() - start;
    if (held < 3000)
        PumpFor(DWORD(3000 - held));
    EXPECT_FALSE(FileExists(dst + L"\\held.txt"));
    CloseHandle(writer);
    EXPECT_TRUE(WaitForContent(dst + L"\\held.txt", "saved while held"));
    // Under Wine closing the file reports no change: only a retry can have copied it.
    EXPECT_EQ(CountLines(L"Deferred copy succeeded: " + src + L"\\held.txt -> ") +
                  CountLines(L"CopyFile succeeded: " + src + L"\\held.txt -> "),
              1u);
}

TEST_F(DurableCopies, AFileItsWriterHoldsWaitsAloneAndArrivesSoonAfterItIsClosed) {
    StartWatching(dst);
    // A mail store held open for writing, changed now and then while notes are saved beside
    // it. It has read sharing: Wine's own CopyFileW would copy it, Windows' cannot.
    HANDLE writer = CreateFileW((src + L"\\mail.db").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    std::string content;
    for (int round = 0; round < 6; ++round) {
        std::string message = "message " + std::to_string(round) + "\n";
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(writer, message.data(), DWORD(message.size()), &written, nullptr));
        content += message;
        for (int i = 0; i < 5; ++i)
            WriteFileBytes(src + L"\\note" + std::to_wstring(round * 5 + i) + L".txt", "note");
        for (int i = 0; i < 5; ++i)
            EXPECT_TRUE(
                WaitForContent(dst + L"\\note" + std::to_wstring(round * 5 + i) + L".txt", "note"));
        PumpFor(500);
    }
    EXPECT_FALSE(FileExists(dst + L"\\mail.db")) << "copied while its writer held it";
    EXPECT_EQ(CountLines(L"CopyFile deferred: " + src + L"\\mail.db -> "), 1u);
    CloseHandle(writer);
    EXPECT_TRUE(WaitForContent(dst + L"\\mail.db", content, 2500));
}

TEST_F(DurableCopies, AFileWrittenSlowlyIsCopiedOnceAfterItIsClosed) {
    StartWatching(dst);
    const size_t piece = 1 << 20, pieces = 40;
    std::string content;
    HANDLE writer = CreateFileW((src + L"\\slow.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    // A download: a piece every 10 ms or so for about a second.
    for (size_t i = 0; i < pieces; ++i) {
        std::string chunk(piece, char('a' + i % 26));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(writer, chunk.data(), DWORD(piece), &written, nullptr));
        content += chunk;
        Sleep(10);
    }
    CloseHandle(writer);
    ULONGLONG closed = GetTickCount64();
    EXPECT_TRUE(PumpUntil([&] { return ReadFileBytes(dst + L"\\slow.bin") == content; }, 30000));
    ULONGLONG arrived = GetTickCount64() - closed;
    // Records of its last writes may come after the copy: they bring no second one.
    PumpFor(1500);
    size_t copies = CountLinesContaining(L"succeeded: " + src + L"\\slow.bin -> ");
    std::printf("[ measure  ] 40 MiB written over a second: copied %zu times, identical %llu ms "
                "after the writer closed it\n",
                copies, arrived);
    EXPECT_EQ(copies, 1u);
}

TEST_F(DurableCopies, OnFatAndExFatCurrentCopiesAreNotCopiedAgain) {
    int ran = 0;
    for (bool exfat : {false, true}) {
        std::wstring stick = FatFileSystemFolder(exfat);
        if (stick.empty())
            continue;
        SCOPED_TRACE(exfat ? "exFAT" : "FAT32");
        ++ran;
        // Under Wine busy spells are walked: one more walk that must find the copies current.
        SetSystemBehaviour(NativeSystemBehaviour());
        src = root + (exfat ? L"\\src-exfat" : L"\\src-fat");
        CreateDirectoryW(src.c_str(), nullptr);
        CapturedLines().clear();
        StartWatching(stick);
        for (int i = 0; i < 20; ++i)
            WriteFileBytes(src + L"\\f" + std::to_wstring(i) + L".txt", "first");
        for (int i = 0; i < 20; ++i)
            EXPECT_TRUE(WaitForContent(stick + L"\\f" + std::to_wstring(i) + L".txt", "first"));
        if (ThisSystem().batchesMayMissChanges) {
            EXPECT_TRUE(WaitForLine(L"MonitorThread[0] busy spell walked, 0 files copied"));
        }
        WakeWatchThread(*g_watchContexts[0], kWakeSweep);
        EXPECT_TRUE(WaitForLine(L"MonitorThread[0] sweep copied 0 files"));
        StopMonitoring();
        CollectTrace();
        CapturedLines().clear();
        StartMonitoring();
        EXPECT_TRUE(WaitForLine(L"MonitorThread[0] catch-up pass copied 0 files"));
        // The same size, within the same time step: only the change's own record tells.
        WriteFileBytes(src + L"\\f0.txt", "again");
        EXPECT_TRUE(WaitForContent(stick + L"\\f0.txt", "again"));
        // The same again, but its copy has to wait (a scanner reads the copy on the stick): the
        // retry must not take the copy there for current.
        HANDLE reader = CreateFileW((stick + L"\\f1.txt").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        SaveKeepingTime(src + L"\\f1.txt", "FIRST");
        EXPECT_TRUE(WaitForLine(L"CopyFile deferred: " + src + L"\\f1.txt"));
        CloseHandle(reader);
        EXPECT_TRUE(WaitForContent(stick + L"\\f1.txt", "FIRST"));
        // And once more while the program is closed, as a new run of it finds it.
        StopMonitoring();
        FinishKeepingPoints();
        SaveKeepingTime(src + L"\\f2.txt", "FIRST");
        std::wstring config = GetConfigDirectory(), next = UseFreshConfig();
        for (const wchar_t *name : {L"\\folders.txt", L"\\mirror-points.txt",
                                    L"\\mirror-folders.txt", L"\\mirror-copies.txt"})
            CopyFileW((config + name).c_str(), (next + name).c_str(), FALSE);
        CapturedLines().clear();
        StartMonitoring();
        EXPECT_TRUE(WaitForLine(L"MonitorThread[0] catch-up pass copied 1 files"));
        EXPECT_EQ(ReadFileBytes(stick + L"\\f2.txt"), "FIRST");
        StopMonitoring();
    }
    if (ran == 0)
        GTEST_SKIP() << "no FAT32 or exFAT file system in this run";
}
