// The copy pass on real folders.
#include "monitor/copier.h"
#include "tests/monitor_test_helpers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace {

class CopierTest : public testing::Test {
  protected:
    void SetUp() override {
        root = MakeTempDir();
        src = root + L"\\src";
        dst = root + L"\\dst";
        CreateDirectoryW(src.c_str(), nullptr);
        CapturedLines().clear();
        StartDebugCapture();
    }
    void TearDown() override { RemoveTree(root); }

    std::vector<std::wstring> Lines() { return TakeDebugOutput(); }
    void MakeFolder(const std::wstring &relative) {
        CreateDirectoryW((src + L"\\" + relative).c_str(), nullptr);
    }
    void Put(const std::wstring &relative, const std::string &text) {
        WriteFileBytes(src + L"\\" + relative, text);
    }
    std::string Copied(const std::wstring &name) { return ReadFileBytes(dst + L"\\" + name); }

    std::wstring root, src, dst;
};

// Holds a file open without sharing on another thread for holdMs.
struct HeldFile {
    HANDLE file;
    DWORD holdMs;
};
DWORD WINAPI ReleaseLater(LPVOID parameter) {
    HeldFile *held = (HeldFile *)parameter;
    Sleep(held->holdMs);
    CloseHandle(held->file);
    return 0;
}
HANDLE HoldWithoutSharing(const std::wstring &path, DWORD holdMs, HeldFile &held) {
    held.file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
    held.holdMs = holdMs;
    return CreateThread(nullptr, 0, ReleaseLater, &held, 0, nullptr);
}

} // namespace

TEST_F(CopierTest, CopiesFlatUnderTheFileNameFromAnySubfolder) {
    MakeFolder(L"sub");
    MakeFolder(L"sub\\deep");
    Put(L"top.txt", "top");
    Put(L"sub\\deep\\a.txt", "deep a");
    CopyChangedFiles(src, dst, {{L"top.txt", 1}, {L"sub\\deep\\a.txt", 3}});
    EXPECT_EQ(Copied(L"top.txt"), "top");
    EXPECT_EQ(Copied(L"a.txt"), "deep a");
    EXPECT_FALSE(FileExists(dst + L"\\sub"));
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"CopyFile succeeded: " + src + L"\\top.txt -> " + dst + L"\\top.txt\n");
    EXPECT_EQ(lines[1],
              L"CopyFile succeeded: " + src + L"\\sub\\deep\\a.txt -> " + dst + L"\\a.txt\n");
}

TEST_F(CopierTest, TheLaterRecordOfTwoSameNamedFilesWins) {
    MakeFolder(L"sub1");
    MakeFolder(L"sub2");
    Put(L"sub1\\x.txt", "from sub1");
    Put(L"sub2\\x.txt", "from sub2");
    CopyChangedFiles(src, dst, {{L"sub1\\x.txt", 1}, {L"sub2\\x.txt", 1}});
    EXPECT_EQ(Copied(L"x.txt"), "from sub2");
    // Repeated records: the last record of the batch decides, as with one copy per record.
    CopyChangedFiles(src, dst, {{L"sub1\\x.txt", 3}, {L"sub2\\x.txt", 3}, {L"sub1\\x.txt", 3}});
    EXPECT_EQ(Copied(L"x.txt"), "from sub1");
    CopyChangedFiles(src, dst, {{L"sub2\\x.txt", 3}, {L"sub1\\x.txt", 3}, {L"SUB2\\X.TXT", 3}});
    EXPECT_EQ(Copied(L"x.txt"), "from sub2");
}

TEST_F(CopierTest, CopiesEachFileOncePerBatchHoweverOftenItIsReported) {
    Put(L"big.bin", std::string(100000, 'b'));
    Put(L"small.txt", "s");
    std::vector<FolderChange> changes = {{L"big.bin", 1}};
    for (int i = 0; i < 40; ++i)
        changes.push_back({L"big.bin", 3});
    changes.push_back({L"small.txt", 1});
    changes.push_back({L"big.bin", 3});
    CopyChangedFiles(src, dst, changes);
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(L"small.txt"), std::wstring::npos);
    EXPECT_NE(lines[1].find(L"big.bin"), std::wstring::npos);
    EXPECT_EQ(Copied(L"big.bin"), std::string(100000, 'b'));
}

TEST_F(CopierTest, CutsNamesAtForwardSlashesToo) {
    MakeFolder(L"sub");
    Put(L"sub\\c.txt", "slash");
    CopyChangedFiles(src, dst, {{L"sub/c.txt", 1}});
    EXPECT_EQ(Copied(L"c.txt"), "slash");
}

TEST_F(CopierTest, ARenameCopiesTheNewNameAndKeepsTheOldCopy) {
    CreateDirectoryW(dst.c_str(), nullptr);
    WriteFileBytes(dst + L"\\old.txt", "old copy");
    Put(L"new.txt", "renamed");
    CopyChangedFiles(src, dst, {{L"old.txt", 4}, {L"new.txt", 5}});
    EXPECT_EQ(Copied(L"new.txt"), "renamed");
    EXPECT_EQ(Copied(L"old.txt"), "old copy");
    EXPECT_EQ(Lines().size(), 1u);
}

TEST_F(CopierTest, ARemovalRemovesNothingAndOtherActionsAreIgnored) {
    CreateDirectoryW(dst.c_str(), nullptr);
    WriteFileBytes(dst + L"\\gone.txt", "kept");
    Put(L"odd.txt", "odd");
    CopyChangedFiles(src, dst, {{L"gone.txt", 2}, {L"odd.txt", 0}, {L"odd.txt", 6}, {L"", 1}});
    EXPECT_EQ(Copied(L"gone.txt"), "kept");
    EXPECT_FALSE(FileExists(dst + L"\\odd.txt"));
    EXPECT_TRUE(Lines().empty());
}

TEST_F(CopierTest, SkipsAFolderAndAMissingFileWithTheirAttributes) {
    MakeFolder(L"folder");
    CopyChangedFiles(src, dst, {{L"folder", 3}, {L"missing.txt", 1}});
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"Skipping non-file or missing: " + src + L"\\folder (attr=0x00000010)\n");
    EXPECT_EQ(lines[1],
              L"Skipping non-file or missing: " + src + L"\\missing.txt (attr=0xffffffff)\n");
    // The destination folder was created before the source was looked at.
    EXPECT_TRUE(FileExists(dst));
}

TEST_F(CopierTest, AnEmptyDestinationCreatesAndCopiesNothing) {
    Put(L"a.txt", "a");
    CopyChangedFiles(src, L"", {{L"a.txt", 1}, {L"missing", 1}});
    EXPECT_TRUE(Lines().empty());
}

TEST_F(CopierTest, AMissingDestinationParentGivesOneFailureLineAtAttemptOne) {
    Put(L"a.txt", "a");
    Put(L"b.txt", "b");
    std::wstring deep = root + L"\\no\\such\\dst";
    CopyChangedFiles(src, deep, {{L"a.txt", 1}, {L"b.txt", 3}});
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              L"CopyFile failed (attempt 1): " + src + L"\\a.txt -> " + deep + L"\\a.txt err=3\n");
    EXPECT_EQ(lines[1].substr(0, 29), L"CopyFile failed (attempt 1): ");
}

TEST_F(CopierTest, ASourceHeldBrieflyIsCopiedAfterRetries) {
    Put(L"held.txt", "held content");
    HeldFile held;
    HANDLE releaser = HoldWithoutSharing(src + L"\\held.txt", 300, held);
    ASSERT_NE(held.file, INVALID_HANDLE_VALUE);
    ULONGLONG start = GetTickCount64();
    CopyChangedFiles(src, dst, {{L"held.txt", 3}});
    ULONGLONG took = GetTickCount64() - start;
    WaitForSingleObject(releaser, INFINITE);
    CloseHandle(releaser);
    EXPECT_EQ(Copied(L"held.txt"), "held content");
    EXPECT_GE(took, 200u);
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 20), L"CopyFile succeeded: ");
}

TEST_F(CopierTest, ASourceHeldPastFiveAttemptsGivesNoLineAtAll) {
    Put(L"held.txt", "held content");
    HeldFile held;
    HANDLE releaser = HoldWithoutSharing(src + L"\\held.txt", 2000, held);
    ULONGLONG start = GetTickCount64();
    CopyChangedFiles(src, dst, {{L"held.txt", 3}});
    ULONGLONG took = GetTickCount64() - start;
    WaitForSingleObject(releaser, INFINITE);
    CloseHandle(releaser);
    EXPECT_TRUE(Lines().empty());
    EXPECT_FALSE(FileExists(dst + L"\\held.txt"));
    // Five attempts, each followed by 200 ms.
    EXPECT_GE(took, 950u);
    EXPECT_LT(took, 1900u);
}

TEST_F(CopierTest, OverwritesAnExistingDestinationFile) {
    CreateDirectoryW(dst.c_str(), nullptr);
    WriteFileBytes(dst + L"\\a.txt", "an older and longer copy");
    Put(L"a.txt", "new");
    CopyChangedFiles(src, dst, {{L"a.txt", 3}});
    EXPECT_EQ(Copied(L"a.txt"), "new");
}

TEST_F(CopierTest, NeverCopiesAFileOntoItself) {
    Put(L"a.txt", "precious");
    MakeFolder(L"sub");
    // The destination is the watched folder, spelt three ways.
    for (const std::wstring &self : {src, src + L"\\sub\\..", root + L"\\SRC"}) {
        CopyChangedFiles(src, self, {{L"a.txt", 3}});
        EXPECT_EQ(ReadFileBytes(src + L"\\a.txt"), "precious");
    }
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    for (const std::wstring &line : lines)
        EXPECT_EQ(line, L"Skipping copy onto its own source: " + src + L"\\a.txt\n");
    // A file in a subfolder of such a pair is still copied up into the watched folder.
    Put(L"sub\\b.txt", "b");
    CopyChangedFiles(src, src, {{L"sub\\b.txt", 1}});
    EXPECT_EQ(ReadFileBytes(src + L"\\b.txt"), "b");
}

TEST_F(CopierTest, AFolderThatArrivesHasEveryFileInsideCopied) {
    MakeFolder(L"moved");
    MakeFolder(L"moved\\inner");
    for (const wchar_t *name : {L"moved\\1.txt", L"moved\\2.txt", L"moved\\3.txt",
                                L"moved\\inner\\4.txt", L"moved\\inner\\5.txt"})
        Put(name, WideToUtf8(name));
    CopyChangedFiles(src, dst, {{L"moved", 5}});
    EXPECT_EQ(CountFiles(dst), 5u);
    EXPECT_EQ(Copied(L"5.txt"), "moved\\inner\\5.txt");
    EXPECT_EQ(CountLines(L"CopyFile succeeded: "), 5u);
    CapturedLines().clear();

    // Renamed again inside the tree: every copy is current, nothing is copied again.
    MoveFileW((src + L"\\moved").c_str(), (src + L"\\renamed").c_str());
    CopyChangedFiles(src, dst, {{L"moved", 4}, {L"renamed", 5}});
    EXPECT_EQ(CountLines(L"CopyFile succeeded: "), 0u);

    // A changed file inside is copied again; a file with its own later record is copied there.
    Put(L"renamed\\2.txt", "changed");
    Put(L"renamed\\inner\\4.txt", "also changed");
    CapturedLines().clear();
    CopyChangedFiles(src, dst, {{L"renamed", 1}, {L"renamed\\inner\\4.txt", 3}});
    EXPECT_EQ(Copied(L"2.txt"), "changed");
    EXPECT_EQ(Copied(L"4.txt"), "also changed");
    EXPECT_EQ(CountLines(L"CopyFile succeeded: "), 2u);
    CapturedLines().clear();
}

TEST_F(CopierTest, AModifiedFolderIsNotWalked) {
    MakeFolder(L"f");
    Put(L"f\\inside.txt", "x");
    CopyChangedFiles(src, dst, {{L"f", 3}});
    EXPECT_FALSE(FileExists(dst + L"\\inside.txt"));
}

TEST_F(CopierTest, TheRecoveryWalkCopiesOnlyFilesChangedInTheWindow) {
    MakeFolder(L"a");
    MakeFolder(L"a\\b");
    Put(L"old.txt", "old");
    Put(L"a\\b\\old2.txt", "old2");
    Sleep(100);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG since = ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
    Sleep(100);
    Put(L"new.txt", "new");
    Put(L"a\\b\\new2.txt", "new2");
    EXPECT_EQ(CopyFilesChangedSince(src, dst, since), 2u);
    EXPECT_EQ(Copied(L"new2.txt"), "new2");
    EXPECT_EQ(Copied(L"new.txt"), "new");
    EXPECT_FALSE(FileExists(dst + L"\\old.txt"));
    EXPECT_FALSE(FileExists(dst + L"\\old2.txt"));
    // Current copies are not made again.
    EXPECT_EQ(CopyFilesChangedSince(src, dst, since), 0u);
    // A file moved into the tree keeps its last-write time but its change time moves.
    std::wstring outside = root + L"\\outside.txt";
    WriteFileBytes(outside, "moved in");
    Sleep(100);
    GetSystemTimeAsFileTime(&now);
    since = ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
    Sleep(100);
    ASSERT_TRUE(MoveFileW(outside.c_str(), (src + L"\\a\\movedin.txt").c_str()));
    EXPECT_EQ(CopyFilesChangedSince(src, dst, since), 1u);
    EXPECT_EQ(Copied(L"movedin.txt"), "moved in");
}

TEST_F(CopierTest, OverlongTraceLinesAreCutShort) {
    std::wstring longName(700, L'n');
    CopyChangedFiles(src, dst, {{longName, 1}});
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 511u);
    EXPECT_EQ(lines[0].substr(0, 30), L"Skipping non-file or missing: ");
}
