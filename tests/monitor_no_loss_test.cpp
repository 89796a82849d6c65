// Changes the system reports badly or not at all still reach the destination: overflowed
// batches, subfolders that existed before the watch, files inside folders that arrive, and
// large files reported once per write.
#include "app/main_window.h"
#include "monitor/monitor.h"
#include "monitor/watch_thread.h"
#include "monitor/watch_wakeups.h"
#include "tests/monitor_test_helpers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

class NoLossTest : public WatchTest {
  protected:
    void StartWatching() { WatchTest::StartWatching(dst); }
    static std::string ContentOf(const std::wstring &name) {
        return "content of " + WideToUtf8(name);
    }
    // Pumps until every named file is in dst with its content; returns how many are. Looks
    // only every 200 ms, so that the test does not compete with the copies it waits for.
    size_t WaitForAll(const std::vector<std::wstring> &names, DWORD timeoutMs) {
        std::vector<bool> arrived(names.size(), false);
        size_t count = 0;
        ULONGLONG end = GetTickCount64() + timeoutMs;
        while (count < names.size() && GetTickCount64() < end) {
            PumpFor(200);
            if (CountFiles(dst) < names.size() && GetTickCount64() < end)
                continue;
            for (size_t i = 0; i < names.size(); ++i)
                if (!arrived[i] && ReadFileBytes(dst + L"\\" + names[i]) == ContentOf(names[i])) {
                    arrived[i] = true;
                    ++count;
                }
        }
        return count;
    }
    // Pumps until no copy has been made for quietMs.
    void WaitUntilQuiet(DWORD quietMs, DWORD timeoutMs) {
        ULONGLONG end = GetTickCount64() + timeoutMs;
        size_t seen = CountLines(L"CopyFile succeeded: ");
        ULONGLONG since = GetTickCount64();
        while (GetTickCount64() < end) {
            PumpFor(100);
            size_t now = CountLines(L"CopyFile succeeded: ");
            if (now != seen) {
                seen = now;
                since = GetTickCount64();
            } else if (GetTickCount64() - since >= quietMs) {
                return;
            }
        }
    }
};

std::vector<std::wstring> WriteNumberedFiles(const std::wstring &folder, int from, int count) {
    std::vector<std::wstring> names;
    for (int i = from; i < from + count; ++i) {
        wchar_t name[32];
        swprintf(name, 32, L"burst%05d.txt", i);
        names.push_back(name);
        WriteFileBytes(folder + L"\\" + name, "content of " + WideToUtf8(name));
    }
    return names;
}

} // namespace

TEST_F(NoLossTest, ABurstWithAFolderMovedInDuringItAllArrives) {
    // Last changed before the watch starts, longer ago than a walk looks back: outside every
    // window of lost changes. So are the photos of an album that moves into the tree while the
    // burst overflows the reads.
    WriteFileBytes(src + L"\\old.txt", "old");
    std::wstring album = root + L"\\album";
    CreateDirectoryW(album.c_str(), nullptr);
    CreateDirectoryW((album + L"\\day 2").c_str(), nullptr);
    WriteFileBytes(album + L"\\p1.jpg", ContentOf(L"p1.jpg"));
    WriteFileBytes(album + L"\\day 2\\p2.jpg", ContentOf(L"p2.jpg"));
    PumpFor(300); // the file system's time step, and more
    StartWatching();

    ULONGLONG start = GetTickCount64();
    std::vector<std::wstring> names = WriteNumberedFiles(src, 0, 600);
    ASSERT_TRUE(MoveFileW(album.c_str(), (src + L"\\album").c_str()));
    std::vector<std::wstring> more = WriteNumberedFiles(src, 600, 600);
    names.insert(names.end(), more.begin(), more.end());
    names.push_back(L"p1.jpg");
    names.push_back(L"p2.jpg");
    size_t arrived = WaitForAll(names, 120000);
    std::printf("[ measure  ] %zu of 1202 files arrived in %llu ms, %zu recovery passes\n", arrived,
                GetTickCount64() - start,
                CountLines(L"MonitorThread[0] changes were lost; recovery pass copied "));
    EXPECT_EQ(arrived, 1202u);
    EXPECT_FALSE(FileExists(dst + L"\\old.txt"));
}

TEST_F(NoLossTest, ABurstThatGoesOnDuringTheRecoveryPassAllArrives) {
    StartWatching();
    ULONGLONG start = GetTickCount64();
    std::vector<std::wstring> names = WriteNumberedFiles(src, 0, 600);
    // Go on writing as soon as the first recovery pass has begun.
    PumpUntil([] { return CountLines(L"ReadDirectoryChangesW failed on index 0") > 0; }, 5000);
    std::vector<std::wstring> more = WriteNumberedFiles(src, 600, 600);
    names.insert(names.end(), more.begin(), more.end());
    size_t arrived = WaitForAll(names, 120000);
    std::printf("[ measure  ] %zu of 1200 files arrived in %llu ms, %zu recovery passes\n", arrived,
                GetTickCount64() - start,
                CountLines(L"MonitorThread[0] changes were lost; recovery pass copied "));
    EXPECT_EQ(arrived, 1200u);
}

TEST_F(NoLossTest, AFileTwoLevelsDownAnExistingSubfolderIsMirrored) {
    CreateDirectoryW((src + L"\\sub").c_str(), nullptr);
    CreateDirectoryW((src + L"\\sub\\deep").c_str(), nullptr);
    StartWatching();
    WriteFileBytes(src + L"\\sub\\deep\\x.txt", "deep down");
    EXPECT_TRUE(PumpUntil([&] { return ReadFileBytes(dst + L"\\x.txt") == "deep down"; }, 10000));
    EXPECT_TRUE(PumpUntil(
        [] {
            for (const ReceivedNotice &notice : ReceivedNotices())
                if (notice.text.find(L"\r\nsub\\deep\\x.txt (") != std::wstring::npos)
                    return true;
            return false;
        },
        10000));
}

TEST_F(NoLossTest, AFileWrittenWhileTheWatchStartsIsMirrored) {
    CreateDirectoryW((src + L"\\sub").c_str(), nullptr);
    WritePairFile({{src, dst}});
    StartMonitoring();
    // Written as soon as the first read has started, before the existing subfolder is
    // watched under Wine.
    ASSERT_TRUE(PumpUntil([] { return g_watchContexts[0]->readsIssued.load() > 0; }, 10000));
    WriteFileBytes(src + L"\\sub\\early.txt", "early");
    EXPECT_TRUE(PumpUntil([&] { return ReadFileBytes(dst + L"\\early.txt") == "early"; }, 10000));
}

TEST_F(NoLossTest, AFolderMovedInBringsItsFilesAndARenameCopiesNothingAgain) {
    SetSystemBehaviour(NativeSystemBehaviour()); // renames a folder inside the tree
    std::wstring outside = root + L"\\outside";
    CreateDirectoryW(outside.c_str(), nullptr);
    CreateDirectoryW((outside + L"\\inner").c_str(), nullptr);
    std::vector<std::wstring> names = {L"m1.txt", L"m2.txt", L"m3.txt", L"inner\\m4.txt",
                                       L"inner\\m5.txt"};
    for (const std::wstring &name : names)
        WriteFileBytes(outside + L"\\" + name, "moved " + WideToUtf8(name));
    StartWatching();

    ASSERT_TRUE(MoveFileW(outside.c_str(), (src + L"\\moved").c_str()));
    EXPECT_TRUE(PumpUntil([&] { return CountFiles(dst) == 5; }, 10000));
    WaitUntilQuiet(1500, 10000);
    EXPECT_EQ(ReadFileBytes(dst + L"\\m5.txt"), "moved inner\\m5.txt");
    EXPECT_EQ(CountLines(L"CopyFile succeeded: "), 5u);

    PumpFor(1100); // past the notice throttle, so the rename's notice shows it was handled
    ASSERT_TRUE(MoveFileW((src + L"\\moved").c_str(), (src + L"\\renamed").c_str()));
    EXPECT_TRUE(PumpUntil(
        [] {
            for (const ReceivedNotice &notice : ReceivedNotices())
                if (notice.text.find(L"\r\nrenamed (名前変更: 新)\r\n") != std::wstring::npos)
                    return true;
            return false;
        },
        10000));
    WaitUntilQuiet(1000, 10000);
    EXPECT_EQ(CountLines(L"CopyFile succeeded: "), 5u);
}

TEST_F(NoLossTest, TwoHundredFilesInTwentyNewSubfoldersAllArrive) {
    StartWatching();
    ULONGLONG start = GetTickCount64();
    std::vector<std::wstring> names;
    for (int d = 0; d < 20; ++d) {
        wchar_t folder[16];
        swprintf(folder, 16, L"\\d%02d", d);
        CreateDirectoryW((src + folder).c_str(), nullptr);
        for (int f = 0; f < 10; ++f) {
            wchar_t name[32];
            swprintf(name, 32, L"d%02d_f%02d.txt", d, f);
            names.push_back(name);
            WriteFileBytes(src + folder + L"\\" + name, ContentOf(name));
        }
    }
    size_t arrived = WaitForAll(names, 60000);
    std::printf("[ measure  ] %zu of 200 files in 20 new subfolders arrived in %llu ms\n", arrived,
                GetTickCount64() - start);
    EXPECT_EQ(arrived, 200u);
}

TEST_F(NoLossTest, ALargeFileWrittenInPiecesIsCopiedAFewTimesAndArrivesWhole) {
    StartWatching();
    const size_t piece = 1 << 20, pieces = 128;
    std::string chunk(piece, '\0');
    HANDLE file = CreateFileW((src + L"\\big.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ULONGLONG start = GetTickCount64();
    for (size_t i = 0; i < pieces; ++i) {
        for (size_t j = 0; j < piece; j += 4096)
            chunk[j] = char(i * 7 + j / 4096);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file, chunk.data(), DWORD(piece), &written, nullptr));
    }
    CloseHandle(file);
    ULONGLONG wrote = GetTickCount64() - start;

    EXPECT_TRUE(PumpUntil(
        [&] {
            WIN32_FILE_ATTRIBUTE_DATA data;
            return GetFileAttributesExW((dst + L"\\big.bin").c_str(), GetFileExInfoStandard,
                                        &data) &&
                   (((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow) == piece * pieces;
        },
        120000));
    WaitUntilQuiet(3000, 120000);
    size_t copies = CountLinesContaining(L"\\big.bin -> ");
    std::printf("[ measure  ] 128 MiB written in 1 MiB pieces in %llu ms; copied %zu times, "
                "done after %llu ms\n",
                wrote, copies, GetTickCount64() - start);
    // Every batch that arrives while the file grows copies it once more (2 to 8 copies on an
    // idle machine under Wine, up to 17 with other work competing for the disk); one copy per
    // record would make it about 256.
    EXPECT_GE(copies, 1u);
    EXPECT_LE(copies, 32u);
    EXPECT_TRUE(ReadFileBytes(dst + L"\\big.bin") == ReadFileBytes(src + L"\\big.bin"));
}

TEST_F(NoLossTest, ASweepCopiesWhatNoNoticeToldOf) {
    StartWatching();
    WriteFileBytes(src + L"\\a.txt", "a");
    ASSERT_TRUE(WaitForContent(dst + L"\\a.txt", "a"));
    WaitUntilQuiet(1000, 10000);
    // The copy is gone and nothing says so, as when a notice never came.
    ASSERT_TRUE(DeleteFileW((dst + L"\\a.txt").c_str()));
    WakeWatchThread(*g_watchContexts[0], kWakeSweep);
    EXPECT_TRUE(WaitForContent(dst + L"\\a.txt", "a"));
    EXPECT_TRUE(WaitForLine(L"MonitorThread[0] sweep copied 1 files\n"));
}

TEST_F(NoLossTest, LinksAreNeverFollowed) {
    if (!RunningUnderWine())
        GTEST_SKIP() << "the links are Linux symbolic links";
    std::wstring outside = root + L"\\outside", moved = root + L"\\moved";
    CreateDirectoryW(outside.c_str(), nullptr);
    CreateDirectoryW(moved.c_str(), nullptr);
    CreateDirectoryW((src + L"\\sub").c_str(), nullptr);
    WriteFileBytes(outside + L"\\secret.txt", ContentOf(L"secret.txt"));
    WriteFileBytes(moved + L"\\inside.txt", ContentOf(L"inside.txt"));
    // Met by the walks at the start, one of them a loop back to the watched folder.
    ASSERT_TRUE(MakeLinuxLink(outside, src + L"\\sub\\out"));
    ASSERT_TRUE(MakeLinuxLink(src, src + L"\\loop"));
    ASSERT_TRUE(MakeLinuxLink(outside, moved + L"\\inner"));
    StartWatching();
    ASSERT_TRUE(MakeLinuxLink(outside, src + L"\\later")); // a live record
    ASSERT_TRUE(MoveFileW(moved.c_str(), (src + L"\\moved").c_str()));
    // A burst that overflows the read: the recovery walk meets every link again.
    std::vector<std::wstring> names = WriteNumberedFiles(src, 0, 600);
    names.push_back(L"inside.txt");
    EXPECT_EQ(WaitForAll(names, 60000), names.size());
    WaitUntilQuiet(1000, 10000);
    EXPECT_FALSE(FileExists(dst + L"\\secret.txt"));
    EXPECT_GE(CountLines(L"Skipping link: " + src + L"\\later\n"), 1u);
    EXPECT_GE(CountLines(L"Skipping link: " + src + L"\\loop\n"), 1u);
}

TEST_F(NoLossTest, FilesBelowAFolderRenamedInsideTheTreeArrive) {
    SetSystemBehaviour(NativeSystemBehaviour()); // renames a folder inside the tree
    ASSERT_TRUE(CreateDirectoryW((src + L"\\a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((src + L"\\a\\sub").c_str(), nullptr));
    StartWatching();
    ASSERT_TRUE(MoveFileW((src + L"\\a").c_str(), (src + L"\\b").c_str()));
    // The rename's batch has been handled once a file written after it has arrived.
    WriteFileBytes(src + L"\\marker1.txt", "1");
    ASSERT_TRUE(WaitForContent(dst + L"\\marker1.txt", "1"));
    WriteFileBytes(src + L"\\b\\later.txt", "later");
    EXPECT_TRUE(WaitForContent(dst + L"\\later.txt", "later"));

    // A new folder of the old name comes and goes; the renamed folder's subfolder still tells.
    ASSERT_TRUE(CreateDirectoryW((src + L"\\a").c_str(), nullptr));
    ASSERT_TRUE(RemoveDirectoryW((src + L"\\a").c_str()));
    WriteFileBytes(src + L"\\marker2.txt", "2");
    ASSERT_TRUE(WaitForContent(dst + L"\\marker2.txt", "2"));
    WriteFileBytes(src + L"\\b\\sub\\deeper.txt", "deeper");
    EXPECT_TRUE(WaitForContent(dst + L"\\deeper.txt", "deeper"));
}

TEST_F(NoLossTest, AFolderRenamedInTheTreeLeavesTheLaterOfTwoSameNamedFiles) {
    SetSystemBehaviour(NativeSystemBehaviour()); // renames a folder inside the tree
    ASSERT_TRUE(CreateDirectoryW((src + L"\\a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((src + L"\\b").c_str(), nullptr));
    StartWatching();
    WriteFileBytes(src + L"\\a\\report.txt", "older");
    ASSERT_TRUE(WaitForContent(dst + L"\\report.txt", "older"));
    WriteFileBytes(src + L"\\b\\report.txt", "newer");
    ASSERT_TRUE(WaitForContent(dst + L"\\report.txt", "newer"));
    // Renaming a folder changes none of its files.
    ASSERT_TRUE(MoveFileW((src + L"\\a").c_str(), (src + L"\\c").c_str()));
    WriteFileBytes(src + L"\\marker.txt", "1");
    ASSERT_TRUE(WaitForContent(dst + L"\\marker.txt", "1"));
    WaitUntilQuiet(1000, 10000);
    EXPECT_EQ(ReadFileBytes(dst + L"\\report.txt"), "newer");
}
