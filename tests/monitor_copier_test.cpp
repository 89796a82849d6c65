// The copy pass on real folders.
#include "monitor/clock.h"
#include "monitor/copier.h"
#include "monitor/copy_records.h"
#include "monitor/gap_walk.h"
#include "monitor/retry_delay.h"
#include "monitor/safe_copy.h"
#include "monitor/transient_names.h"
#include "tests/monitor_test_helpers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>

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
    // One copy pass of the pair's mirror state, a minute after the one before: long enough
    // for no file to count as one that keeps changing.
    void Pass(const std::wstring &dest, const std::vector<FolderChange> &changes) {
        tick += 60000;
        CopyChangedFiles(src, dest, changes, mirror, tick, 0);
    }

    // 1,000 new files copied into `dest`, whose folder cannot take them (`parkedLine` names
    // why): only the first copy is tried and the folder is parked with all of them; while it
    // stays so, no copy is due and the looks thin out; once `bringBack` mends it, every copy
    // arrives in the next round.
    void ExpectParkedUntilBack(const std::wstring &dest, const std::wstring &parkedLine,
                               const std::function<void()> &bringBack) {
        std::vector<FolderChange> changes;
        for (int i = 0; i < 1000; ++i) {
            std::wstring name = L"f" + std::to_wstring(i) + L".txt";
            Put(name, "mirrored");
            changes.push_back({name, FILE_ACTION_ADDED});
        }
        Pass(dest, changes);
        EXPECT_EQ(CountLines(L"CopyFile failed (attempt 1): "), 1u)
            << "more than the first was tried";
        EXPECT_EQ(CountLines(parkedLine), 1u);
        EXPECT_EQ(FailingCount(mirror.pending), 1000u);
        ULONGLONG due = NextDueTick(mirror.pending);
        for (ULONGLONG delay : {2000, 4000, 5000, 5000}) {
            EXPECT_TRUE(DueKeys(mirror.pending, due).empty());
            EXPECT_EQ(RunDueCopies(mirror, due), 0u);
            EXPECT_EQ(NextDueTick(mirror.pending), due + delay);
            due = NextDueTick(mirror.pending);
        }
        EXPECT_LE(CountLines(L""), 2u) << "a line per file or per round";
        bringBack();
        EXPECT_EQ(RunDueCopies(mirror, due), 1000u) << "not all in the round that found it back";
        EXPECT_EQ(ReadFileBytes(dest + L"\\f999.txt"), "mirrored");
        EXPECT_EQ(NextDueTick(mirror.pending), 0u);
    }

    std::wstring root, src, dst;
    MirrorState mirror;
    ULONGLONG tick = GetTickCount64();
};

// Closes a file (and so ends what it holds) on another thread after holdMs.
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

// The engine's clock as a test drives it.
ULONGLONG g_drivenTime = 0;
ULONGLONG DrivenClock() {
    return g_drivenTime;
}

std::wstring BaseName(const std::wstring &name) {
    return name.substr(name.find_last_of(L'\\') + 1);
}

} // namespace

TEST_F(CopierTest, CopiesFlatUnderTheFileNameFromAnySubfolder) {
    MakeFolder(L"sub");
    MakeFolder(L"sub\\deep");
    Put(L"top.txt", "top");
    Put(L"sub\\deep\\a.txt", "deep a");
    Pass(dst, {{L"top.txt", 1}, {L"sub\\deep\\a.txt", 3}});
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
    Pass(dst, {{L"sub1\\x.txt", 1}, {L"sub2\\x.txt", 1}});
    EXPECT_EQ(Copied(L"x.txt"), "from sub2");
    // Repeated records: the last record of the batch decides, as with one copy per record.
    Pass(dst, {{L"sub1\\x.txt", 3}, {L"sub2\\x.txt", 3}, {L"sub1\\x.txt", 3}});
    EXPECT_EQ(Copied(L"x.txt"), "from sub1");
    Pass(dst, {{L"sub2\\x.txt", 3}, {L"sub1\\x.txt", 3}, {L"SUB2\\X.TXT", 3}});
    EXPECT_EQ(Copied(L"x.txt"), "from sub2");
}

TEST_F(CopierTest, CopiesEachFileOncePerBatchHoweverOftenItIsReported) {
    Put(L"big.bin", std::string(100000, 'b'));
    Put(L"small.txt", "s");
    // Last written a second ago, as far as its time tells: it is quiet whenever it is copied.
    HANDLE file = CreateFileW((src + L"\\big.bin").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ULONGLONG secondAgo = SystemClock() - 10000000;
    FILETIME written = {DWORD(secondAgo), DWORD(secondAgo >> 32)};
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
    // The engine's clock as the copies see it: a copy begins `after` the file's last change.
    g_systemClock = DrivenClock;
    auto copyBegins = [&](ULONGLONG after) {
        ULONGLONG size = 0, lastWrite = 0, changeTime = 0;
        ReadFileTimes(src + L"\\big.bin", size, lastWrite, changeTime);
        g_drivenTime = std::max(lastWrite, changeTime) + after;
    };
    copyBegins(5000000); // half a second after the write
    std::vector<FolderChange> changes = {{L"big.bin", 1}};
    for (int i = 0; i < 40; ++i)
        changes.push_back({L"big.bin", 3});
    changes.push_back({L"small.txt", 1});
    changes.push_back({L"big.bin", 3});
    Pass(dst, changes);
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(L"small.txt"), std::wstring::npos);
    EXPECT_NE(lines[1].find(L"big.bin"), std::wstring::npos);
    EXPECT_EQ(Copied(L"big.bin"), std::string(100000, 'b'));

    // Batches that come after: a record of the write its copy already held copies nothing; the
    // same size saved again with its time put back is still copied (its change time tells).
    CopyChangedFiles(src, dst, {{L"big.bin", 3}}, mirror, tick + 100, 0);
    EXPECT_TRUE(Lines().empty()) << "copied again what its copy held";
    EXPECT_TRUE(mirror.pending.entries.empty()) << "waits to copy again what its copy held";
    file = CreateFileW((src + L"\\big.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    DWORD count = 0;
    WriteFile(file, "B", 1, &count, nullptr);
    SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    CopyChangedFiles(src, dst, {{L"big.bin", 3}}, mirror, tick + 200, 0);
    ULONGLONG copiedAt = NextDueTick(mirror.pending);
    copyBegins(300000);             // 30 ms after the write: less than a clock tick
    RunDueCopies(mirror, copiedAt); // once it is quiet
    EXPECT_EQ(Copied(L"big.bin"), "B" + std::string(99999, 'b'));
    // A write less than a clock tick before that copy began may not be in it.
    Lines();
    CopyChangedFiles(src, dst, {{L"big.bin", 3}}, mirror, copiedAt + 100, 0);
    g_systemClock = SystemClock;
    EXPECT_FALSE(Lines().empty() && mirror.pending.entries.empty()) << "trusted a copy too early";
}

TEST_F(CopierTest, CutsNamesAtForwardSlashesToo) {
    MakeFolder(L"sub");
    Put(L"sub\\c.txt", "slash");
    Pass(dst, {{L"sub/c.txt", 1}});
    EXPECT_EQ(Copied(L"c.txt"), "slash");
}

TEST_F(CopierTest, ARenameCopiesTheNewNameAndKeepsTheOldCopy) {
    CreateDirectoryW(dst.c_str(), nullptr);
    WriteFileBytes(dst + L"\\old.txt", "old copy");
    Put(L"new.txt", "renamed");
    Pass(dst, {{L"old.txt", 4}, {L"new.txt", 5}});
    EXPECT_EQ(Copied(L"new.txt"), "renamed");
    EXPECT_EQ(Copied(L"old.txt"), "old copy");
    EXPECT_EQ(Lines().size(), 1u);
}

TEST_F(CopierTest, ARemovalRemovesNothingAndOtherActionsAreIgnored) {
    CreateDirectoryW(dst.c_str(), nullptr);
    WriteFileBytes(dst + L"\\gone.txt", "kept");
    Put(L"odd.txt", "odd");
    Pass(dst, {{L"gone.txt", 2}, {L"odd.txt", 0}, {L"odd.txt", 6}, {L"", 1}});
    EXPECT_EQ(Copied(L"gone.txt"), "kept");
    EXPECT_FALSE(FileExists(dst + L"\\odd.txt"));
    EXPECT_TRUE(Lines().empty());
}

TEST_F(CopierTest, SkipsAFolderAndAMissingFileWithTheirAttributes) {
    MakeFolder(L"folder");
    Pass(dst, {{L"folder", 3}, {L"missing.txt", 1}});
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
    Pass(L"", {{L"a.txt", 1}, {L"missing", 1}});
    EXPECT_TRUE(Lines().empty());
}

TEST_F(CopierTest, CreatesEveryMissingParentOfTheDestination) {
    Put(L"a.txt", "a");
    std::wstring deep = root + L"\\no\\such\\dst";
    Pass(deep, {{L"a.txt", 1}});
    EXPECT_EQ(ReadFileBytes(deep + L"\\a.txt"), "a");
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], L"CopyFile succeeded: " + src + L"\\a.txt -> " + deep + L"\\a.txt\n");
    // The extended-length spelling has its own root; a missing drive or share is never made.
    EXPECT_TRUE(CreateFolderTree(L"\\\\?\\" + root + L"\\x\\y\\"));
    EXPECT_TRUE(FileExists(root + L"\\x\\y"));
    EXPECT_FALSE(CreateFolderTree(L"\\\\no-such-server\\share\\backup\\2026"));
    wchar_t drive[] = L"A:\\backup\\2026";
    for (; drive[0] <= L'Z' &&
           GetFileAttributesW(std::wstring(drive, 3).c_str()) != INVALID_FILE_ATTRIBUTES;
         ++drive[0]) {
    }
    if (drive[0] <= L'Z') {
        EXPECT_FALSE(CreateFolderTree(drive));
    }
}

TEST_F(CopierTest, ASourceHeldBrieflyIsCopiedAfterRetries) {
    Put(L"held.txt", "held content");
    HeldFile held;
    held.file = CreateFileW((src + L"\\held.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held.file, INVALID_HANDLE_VALUE);
    held.holdMs = 200;
    HANDLE releaser = CreateThread(nullptr, 0, ReleaseLater, &held, 0, nullptr);
    ULONGLONG start = GetTickCount64();
    Pass(dst, {{L"held.txt", 3}});
    ULONGLONG took = GetTickCount64() - start;
    WaitForSingleObject(releaser, INFINITE);
    CloseHandle(releaser);
    EXPECT_EQ(Copied(L"held.txt"), "held content");
    EXPECT_GE(took, 200u);
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 20), L"CopyFile succeeded: ");
}

TEST_F(CopierTest, ASourceHeldPastFiveAttemptsWaitsAndIsCopiedOnceReleased) {
    Put(L"held.txt", "held content");
    HANDLE held = CreateFileW((src + L"\\held.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Pass(dst, {{L"held.txt", 3}});
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], L"CopyFile deferred: " + src + L"\\held.txt -> " + dst +
                            L"\\held.txt err=32, next attempt in 1000 ms\n");
    EXPECT_EQ(CountFiles(dst), 0u) << "a temporary copy was left behind";

    // Still held when it is due: it waits again, quietly.
    EXPECT_EQ(RunDueCopies(mirror, NextDueTick(mirror.pending)), 0u);
    EXPECT_TRUE(Lines().empty());
    CloseHandle(held);
    EXPECT_EQ(RunDueCopies(mirror, NextDueTick(mirror.pending)), 1u);
    EXPECT_EQ(Copied(L"held.txt"), "held content");
    lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              L"Deferred copy succeeded: " + src + L"\\held.txt -> " + dst + L"\\held.txt\n");
    EXPECT_EQ(NextDueTick(mirror.pending), 0u);
}

TEST_F(CopierTest, AFileItsWriterHoldsWaitsWithoutAttemptsAndIsLookedAtEverySecond) {
    Put(L"mail.db", "a mail store");
    Put(L"note.txt", "a note");
    // Held with read sharing: Wine's own CopyFileW would copy it, Windows' cannot.
    HANDLE writer = CreateFileW((src + L"\\mail.db").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    for (int batch = 0; batch < 3; ++batch) {
        ULONGLONG start = GetTickCount64();
        Pass(dst, {{L"mail.db", 3}, {L"note.txt", 3}});
        // The first batch looks again for a moment; five looks 200 ms apart would take 800 ms
        // at least, for each of the others.
        if (batch > 0) {
            EXPECT_LT(GetTickCount64() - start, 600u) << "batch " << batch << " looked again";
        }
    }
    EXPECT_FALSE(FileExists(dst + L"\\mail.db"));
    EXPECT_EQ(Copied(L"note.txt"), "a note");
    EXPECT_EQ(CountLines(L"CopyFile deferred: " + src + L"\\mail.db -> "), 1u);
    EXPECT_EQ(NextDueTick(mirror.pending), tick + 1000) << "looked at again in a second";
    EXPECT_EQ(RunDueCopies(mirror, tick + 1000), 0u);
    EXPECT_EQ(NextDueTick(mirror.pending), tick + 2000) << "still held: again in a second";
    // Held for ten minutes (a mail store held all day): looked at once a minute, and a record of
    // it still has it looked at at once.
    const ULONGLONG later = tick + 600000;
    EXPECT_EQ(RunDueCopies(mirror, later), 0u);
    EXPECT_EQ(NextDueTick(mirror.pending), later + 60000) << "held long: again in a minute";
    CloseHandle(writer);
    CopyChangedFiles(src, dst, {{L"mail.db", FILE_ACTION_MODIFIED}}, mirror, later + 1000, 0);
    EXPECT_EQ(Copied(L"mail.db"), "a mail store");
    EXPECT_EQ(NextDueTick(mirror.pending), 0u);
}

// A file whose data is not on this computer, as a cloud client leaves it (Wine cannot set the
// attribute): its attributes read as the system would show them.
std::wstring g_placeholder;
bool LookUpPlaceholderFacts(const std::wstring &path, FileFacts &facts, DWORD &error) {
    if (!LookUpFileFacts(path, facts, error))
        return false;
    if (path == g_placeholder)
        facts.attributes |= 0x00400000; // FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS
    return true;
}

TEST_F(CopierTest, AFileWhoseDataIsElsewhereIsCopiedOnlyWhenItsCopyDiffers) {
    Put(L"photo.jpg", "a photo");
    Pass(dst, {{L"photo.jpg", 1}});
    ASSERT_EQ(Copied(L"photo.jpg"), "a photo");
    // Space is freed: only its attributes change. Held without sharing, any read would fail.
    g_placeholder = src + L"\\photo.jpg";
    g_lookUpFacts = LookUpPlaceholderFacts;
    HANDLE held = CreateFileW(g_placeholder.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    Pass(dst, {{L"photo.jpg", 3}});
    EXPECT_EQ(CountLines(L"Not copying " + g_placeholder + L": only its attributes changed"), 1u);
    // Without the note of its copy (forgotten), its copy's size and time tell.
    ReplaceNotes({}, 0);
    Pass(dst, {{L"photo.jpg", 3}});
    EXPECT_EQ(CountLines(L"Not copying " + g_placeholder + L": its data is not on this computer"),
              1u);
    EXPECT_EQ(CountLines(L"CopyFile"), 1u) << "copied, or read, for nothing";
    CloseHandle(held);
    // Changed elsewhere, and its size with it: copied.
    Put(L"photo.jpg", "a photo, edited on another computer");
    Pass(dst, {{L"photo.jpg", 3}});
    g_lookUpFacts = LookUpFileFacts;
    EXPECT_EQ(Copied(L"photo.jpg"), "a photo, edited on another computer");
}

TEST_F(CopierTest, ACopyThatStillFailsIsRetriedWithGrowingDelaysUntilItSucceeds) {
    Put(L"a.txt", "a");
    // A folder stands where the copy should go: the destination refuses it until it is gone.
    CreateDirectoryW(dst.c_str(), nullptr);
    CreateDirectoryW((dst + L"\\a.txt").c_str(), nullptr);
    Pass(dst, {{L"a.txt", 3}});
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(L"CopyFile failed (attempt 1): " + src + L"\\a.txt -> ", 0), 0u);
    EXPECT_EQ(lines[1].rfind(L"CopyFile deferred: " + src + L"\\a.txt -> ", 0), 0u);

    ULONGLONG due = NextDueTick(mirror.pending);
    for (ULONGLONG delay : {2000, 4000, 8000, 16000, 32000, 60000, 60000}) {
        EXPECT_EQ(RunDueCopies(mirror, due), 0u);
        EXPECT_EQ(NextDueTick(mirror.pending), due + delay);
        due = NextDueTick(mirror.pending);
    }
    EXPECT_TRUE(Lines().empty()) << "one line when deferred, none for each retry";

    RemoveDirectoryW((dst + L"\\a.txt").c_str());
    EXPECT_EQ(RunDueCopies(mirror, due), 1u);
    EXPECT_EQ(Copied(L"a.txt"), "a");
    EXPECT_EQ(NextDueTick(mirror.pending), 0u);
}

TEST_F(CopierTest, AnAbsentDestinationFolderIsLookedAtOncePerRoundAndItsCopiesArriveTogether) {
    // A file stands where a folder above the destination should be, as a drive that is away:
    // nothing can be made in it. While it is away only the folder is looked at, less often.
    WriteFileBytes(dst, "in the way");
    std::wstring inner = dst + L"\\inner";
    ExpectParkedUntilBack(inner, L"Destination folder " + inner + L" is missing",
                          [&] { DeleteFileW(dst.c_str()); });
}

TEST_F(CopierTest, AFullDestinationIsTriedOncePerRoundAndItsCopiesArriveOnceThereIsRoom) {
    std::wstring small = SmallFileSystemFolder();
    if (small.empty())
        GTEST_SKIP() << "no small file system in this run";
    std::wstring backup = small + L"\\backup";
    CreateDirectoryW(backup.c_str(), nullptr);
    FillDisk(small);
    // While the disk is full no copy is due in a round but the smallest, tried at most every few
    // seconds; the others wait with the folder.
    ExpectParkedUntilBack(backup, L"Destination folder " + backup + L" is on a full disk",
                          [&] { FreeDisk(small); });
    RemoveTree(small);
}

TEST_F(CopierTest, CopiesWaitForASourceDriveThatIsAwayWhenTheirTurnComes) {
    PrepareMirror(mirror, src, dst);
    std::vector<FolderChange> changes;
    for (int i = 0; i < 20; ++i) {
        std::wstring name = L"card" + std::to_wstring(i) + L".jpg";
        Put(name, "a photo");
        changes.push_back({name, FILE_ACTION_ADDED});
    }
    // The backup disk is away (a file stands where its folder should be), then the card is taken
    // out, then the disk comes back: the card's copies wait for it, and arrive once it is back.
    WriteFileBytes(dst, "in the way");
    std::wstring inner = dst + L"\\inner";
    PrepareMirror(mirror, src, inner);
    Pass(inner, changes);
    ASSERT_TRUE(MoveFileW(src.c_str(), (src + L" away").c_str()));
    DeleteFileW(dst.c_str());
    EXPECT_EQ(RunDueCopies(mirror, NextDueTick(mirror.pending)), 0u);
    EXPECT_EQ(mirror.pending.entries.size(), 20u) << "copies of a card that is away were dropped";
    EXPECT_EQ(CountLines(L"Deferred copy dropped"), 0u);
    ASSERT_TRUE(MoveFileW((src + L" away").c_str(), src.c_str()));
    EXPECT_EQ(RunDueCopies(mirror, NextDueTick(mirror.pending)), 20u);
    EXPECT_EQ(ReadFileBytes(inner + L"\\card19.jpg"), "a photo");
    // A file that is gone from a folder that is there ends its copy.
    Put(L"gone.jpg", "gone");
    DeferCopy(mirror.pending, src + L"\\gone.jpg", inner + L"\\gone.jpg", 5, tick, 0);
    DeleteFileW((src + L"\\gone.jpg").c_str());
    EXPECT_EQ(RunDueCopies(mirror, NextDueTick(mirror.pending)), 0u);
    EXPECT_EQ(NextDueTick(mirror.pending), 0u);
}

TEST_F(CopierTest, AWaitingCopyEndsOnlyWhenItsSourceGoesOrALaterCopyOfOursMadeItCurrent) {
    MakeFolder(L"sub1");
    MakeFolder(L"sub2");
    Put(L"sub1\\x.txt", "older, from sub1");
    Put(L"sub2\\x.txt", "newer, from sub2");
    Put(L"gone.txt", "gone");
    Put(L"same.txt", "same");
    Put(L"ours.txt", "ours");
    // The destination holds a file of the same size and time that this program did not copy:
    // the change that waits must still arrive (on a FAT stick, times cannot tell two saves
    // within two seconds apart).
    CreateDirectoryW(dst.c_str(), nullptr);
    WriteFileBytes(dst + L"\\same.txt", "SAME");
    HANDLE source = CreateFileW((src + L"\\same.txt").c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE copy = CreateFileW((dst + L"\\same.txt").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME written;
    ASSERT_TRUE(GetFileTime(source, nullptr, nullptr, &written) &&
                SetFileTime(copy, nullptr, nullptr, &written));
    CloseHandle(source);
    CloseHandle(copy);
    const ULONGLONG now = 1000000;
    for (const wchar_t *name : {L"sub1\\x.txt", L"gone.txt", L"same.txt", L"ours.txt"})
        DeferCopy(mirror.pending, src + L"\\" + name, dst + L"\\" + BaseName(name), 5, now, 0);
    ASSERT_EQ(Lines().size(), 4u);

    // Another file of the same name is copied: the waiting one must never go over it. Another
    // pair of the same folders copies ours.txt as it is.
    Pass(dst, {{L"sub2\\x.txt", 1}});
    MirrorState otherPair;
    CopyChangedFiles(src, dst, {{L"ours.txt", 1}}, otherPair, tick, 0);
    DeleteFileW((src + L"\\gone.txt").c_str());
    EXPECT_EQ(RunDueCopies(mirror, now + kFirstRetryMs), 1u);
    EXPECT_EQ(Copied(L"x.txt"), "newer, from sub2");
    EXPECT_EQ(Copied(L"same.txt"), "same");
    EXPECT_EQ(NextDueTick(mirror.pending), 0u);
    EXPECT_EQ(CountLines(L"Deferred copy dropped, source gone: " + src + L"\\gone.txt -> " + dst +
                         L"\\gone.txt\n"),
              1u);
    EXPECT_EQ(CountLines(L"Deferred copy dropped, copy is current: " + src + L"\\ours.txt -> " +
                         dst + L"\\ours.txt\n"),
              1u);
    EXPECT_EQ(CountLines(L"Deferred copy succeeded: " + src + L"\\same.txt"), 1u);
}

TEST_F(CopierTest, AFileTheDestinationRefusesHoldsBackNoOtherWaitingCopy) {
    Put(L"refused.txt", "refused");
    Put(L"a.txt", "a");
    Put(L"b.txt", "b");
    // A folder in the way of one copy: the destination refuses it, and always will.
    CreateDirectoryW(dst.c_str(), nullptr);
    CreateDirectoryW((dst + L"\\refused.txt").c_str(), nullptr);
    Pass(dst, {{L"refused.txt", 1}});
    // Waiting at once: no attempts within the pass for what is no writer's hold.
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(L"CopyFile failed (attempt 1): " + src + L"\\refused.txt", 0), 0u);
    EXPECT_EQ(lines[1].rfind(L"CopyFile deferred: " + src + L"\\refused.txt", 0), 0u);
    // The others wait for a moment too (a held source), and come due a little later.
    ULONGLONG due = NextDueTick(mirror.pending);
    for (const wchar_t *name : {L"\\a.txt", L"\\b.txt"})
        DeferCopy(mirror.pending, src + name, dst + name, ERROR_SHARING_VIOLATION, due - 900, 0);
    EXPECT_EQ(RunDueCopies(mirror, due + 100), 2u);
    EXPECT_EQ(Copied(L"a.txt"), "a");
    EXPECT_EQ(Copied(L"b.txt"), "b");
    EXPECT_EQ(mirror.pending.entries.size(), 1u) << "the refused copy still waits";
}

TEST_F(CopierTest, AFileThatKeepsGrowingIsCopiedLessOftenTheLongerItGrows) {
    // An hour of a log that gains a line every half second, on a driven clock: every line is a
    // change record, and its times follow the clock.
    const ULONGLONG start = tick, base = SystemClock(), hour = 3600000;
    g_systemClock = DrivenClock;
    auto at = [&](ULONGLONG t) { g_drivenTime = base + (t - start) * 10000; };
    std::wstring log = src + L"\\app.log";
    std::string content;
    size_t copies = 0, written = 0;
    ULONGLONG lastCopy = 0;
    auto account = [&](ULONGLONG t) {
        size_t now = CountLinesContaining(L"\\app.log -> ");
        if (now == copies)
            return;
        copies = now;
        written += ReadFileBytes(dst + L"\\app.log").size();
        lastCopy = t;
    };
    auto runDue = [&](ULONGLONG until) {
        for (ULONGLONG due = NextDueTick(mirror.pending); due != 0 && due <= until;
             due = NextDueTick(mirror.pending)) {
            at(due);
            RunDueCopies(mirror, due);
            account(due);
        }
    };
    for (ULONGLONG t = start; t < start + hour; t += 500) {
        runDue(t);
        at(t);
        std::string line = "line " + std::to_string(t - start) + " of a log that keeps growing\n";
        content += line;
        HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
        DWORD count = 0;
        FILETIME now = {DWORD(g_drivenTime), DWORD(g_drivenTime >> 32)};
        ASSERT_TRUE(WriteFile(file, line.data(), DWORD(line.size()), &count, nullptr) &&
                    SetFileTime(file, nullptr, nullptr, &now));
        CloseHandle(file);
        CopyChangedFiles(src, dst, {{L"app.log", 3}}, mirror, t, 0);
        account(t);
    }
    const ULONGLONG lastWrite = start + hour - 500;
    runDue(lastWrite + 60000);
    g_systemClock = SystemClock;
    EXPECT_EQ(Copied(L"app.log"), content) << "its last version was not copied";
    EXPECT_GT(lastCopy, lastWrite);
    EXPECT_LE(lastCopy, lastWrite + 5000) << "its last version came late";
    EXPECT_LE(written, 3 * content.size())
        << copies << " copies wrote " << written << " bytes for a file of " << content.size();
}

TEST_F(CopierTest, AReadOnlyOrHiddenCopyIsReplacedAndLeavesNoTemporaryFile) {
    CreateDirectoryW(dst.c_str(), nullptr);
    WriteFileBytes(dst + L"\\ro.txt", "an older copy");
    SetFileAttributesW((dst + L"\\ro.txt").c_str(),
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    Put(L"ro.txt", "checked out");
    SetFileAttributesW((src + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    Pass(dst, {{L"ro.txt", 3}});
    EXPECT_EQ(Copied(L"ro.txt"), "checked out");
    EXPECT_EQ(GetFileAttributesW((dst + L"\\ro.txt").c_str()) &
                  (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              DWORD(FILE_ATTRIBUTE_READONLY))
        << "the copy keeps the source's attributes";

    // The next copy cannot replace the one in place (it is held). Its temporary copy is
    // read-only like its source, and Wine, like Windows, refuses to delete a read-only file
    // as it is: it must still go.
    HANDLE held = CreateFileW((dst + L"\\ro.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Pass(dst, {{L"ro.txt", 3}});
    CloseHandle(held);
    EXPECT_EQ(CountFiles(dst), 1u) << "a temporary copy was left behind";
    EXPECT_EQ(Copied(L"ro.txt"), "checked out");
    EXPECT_EQ(CountLines(L"CopyFile deferred: " + src + L"\\ro.txt -> "), 1u);
}

TEST_F(CopierTest, TemporaryCopiesAreNeverMirroredAndLeftoversAreRemoved) {
    // Another process's leftover, read-only like the source it came from.
    CreateDirectoryW(dst.c_str(), nullptr);
    std::wstring leftover = dst + L"\\~vantrel-1-0.tmp";
    WriteFileBytes(leftover, "half a copy");
    SetFileAttributesW(leftover.c_str(), FILE_ATTRIBUTE_READONLY);
    PrepareMirror(mirror, src, dst);
    EXPECT_FALSE(FileExists(leftover));
    EXPECT_FALSE(mirror.destinationMayBeSource);
    // One of a process that runs may be a copy under way; once that process ends, it is not.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(self, nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                               nullptr, &startup, &child));
    wchar_t name[64];
    swprintf(name, 64, L"\\~vantrel-%lx-0.tmp", child.dwProcessId);
    WriteFileBytes(dst + name, "a copy under way");
    RemoveLeftoverCopies(dst);
    EXPECT_TRUE(FileExists(dst + name));
    TerminateProcess(child.hProcess, 1);
    WaitForSingleObject(child.hProcess, INFINITE);
    RemoveLeftoverCopies(dst);
    EXPECT_FALSE(FileExists(dst + name));
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);

    // Another pair's temporary copy in this pair's source is not copied.
    Put(L"~vantrel-2a-3.tmp", "someone's copy under way");
    Pass(dst, {{L"~vantrel-2a-3.tmp", 1}});
    EXPECT_EQ(CopyFilesChangedSince(src, dst, 0, mirror, WalkMode()).copied, 0u);
    EXPECT_EQ(CountFiles(dst), 0u);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(CopierTest, OtherProgramsTemporaryFilesAreNotCopiedButTheirFinishedFilesAre) {
    const struct {
        const wchar_t *name;
        bool skipped;
    } names[] = {
        {L"~$Report.docx", true},      {L"~$", true},
        {L".~lock.Report.odt#", true}, {L"~WRL0001.tmp", true},
        {L"~WRD.TMP", true},           {L"Film.mp4.crdownload", true},
        {L"Film.mp4.part", true},      {L"setup.exe.PARTIAL", true},
        {L"thumbs.db", true},          {L"Desktop.ini", true},
        {L"Report~$.docx", false},     {L"part.txt", false},
        {L"notes.tmp", false},         {L".~lock.Report.odt", false},
        {L"Film.mp4", false},          {L"Report.docx", false},
        {L"Thumbs.db.txt", false},     {L"desktop.ini.bak", false},
    };
    std::vector<FolderChange> changes;
    for (const auto &entry : names) {
        EXPECT_EQ(IsTransientName(entry.name), entry.skipped) << WideToUtf8(entry.name);
        Put(entry.name, "x");
        changes.push_back({entry.name, 1});
    }
    Pass(dst, changes);
    for (const auto &entry : names)
        EXPECT_EQ(FileExists(dst + L"\\" + entry.name), !entry.skipped) << WideToUtf8(entry.name);
    EXPECT_EQ(CountLinesContaining(L"another program's temporary file"), 1u) << "one line per pair";
}

TEST_F(CopierTest, OverwritesAnExistingDestinationFile) {
    CreateDirectoryW(dst.c_str(), nullptr);
    WriteFileBytes(dst + L"\\a.txt", "an older and longer copy");
    Put(L"a.txt", "new");
    Pass(dst, {{L"a.txt", 3}});
    EXPECT_EQ(Copied(L"a.txt"), "new");
}

TEST_F(CopierTest, NeverCopiesAFileOntoItself) {
    Put(L"a.txt", "precious");
    MakeFolder(L"sub");
    // The destination is the watched folder, spelt three ways.
    for (const std::wstring &self : {src, src + L"\\sub\\..", root + L"\\SRC"}) {
        PrepareMirror(mirror, src, self);
        EXPECT_TRUE(mirror.destinationMayBeSource);
        Pass(self, {{L"a.txt", 3}});
        EXPECT_EQ(ReadFileBytes(src + L"\\a.txt"), "precious");
    }
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    for (const std::wstring &line : lines)
        EXPECT_EQ(line, L"Skipping copy onto its own source: " + src + L"\\a.txt\n");
    // A file in a subfolder of such a pair is still copied up into the watched folder.
    Put(L"sub\\b.txt", "b");
    Pass(src, {{L"sub\\b.txt", 1}});
    EXPECT_EQ(ReadFileBytes(src + L"\\b.txt"), "b");
    // A destination folder inside the tree, not made yet, is known as one; one outside is not.
    PrepareMirror(mirror, src, src + L"\\sub\\backup\\2026");
    EXPECT_TRUE(mirror.destinationMayBeSource);
    PrepareMirror(mirror, src, dst);
    EXPECT_FALSE(mirror.destinationMayBeSource);
}

TEST_F(CopierTest, AFolderThatArrivesHasEveryFileInsideCopied) {
    MakeFolder(L"moved");
    MakeFolder(L"moved\\inner");
    for (const wchar_t *name : {L"moved\\1.txt", L"moved\\2.txt", L"moved\\3.txt",
                                L"moved\\inner\\4.txt", L"moved\\inner\\5.txt"})
        Put(name, WideToUtf8(name));
    Pass(dst, {{L"moved", 5}});
    EXPECT_EQ(CountFiles(dst), 5u);
    EXPECT_EQ(Copied(L"5.txt"), "moved\\inner\\5.txt");
    EXPECT_EQ(CountLines(L"CopyFile succeeded: "), 5u);
    CapturedLines().clear();

    // Renamed again inside the tree: every copy is current, nothing is copied again.
    MoveFileW((src + L"\\moved").c_str(), (src + L"\\renamed").c_str());
    Pass(dst, {{L"moved", 4}, {L"renamed", 5}});
    EXPECT_EQ(CountLines(L"CopyFile succeeded: "), 0u);

    // A changed file inside is copied again; a file with its own later record is copied there.
    Put(L"renamed\\2.txt", "changed");
    Put(L"renamed\\inner\\4.txt", "also changed");
    CapturedLines().clear();
    Pass(dst, {{L"renamed", 1}, {L"renamed\\inner\\4.txt", 3}});
    EXPECT_EQ(Copied(L"2.txt"), "changed");
    EXPECT_EQ(Copied(L"4.txt"), "also changed");
    EXPECT_EQ(CountLines(L"CopyFile succeeded: "), 2u);
    CapturedLines().clear();
}

TEST_F(CopierTest, AModifiedFolderIsNotWalked) {
    MakeFolder(L"f");
    Put(L"f\\inside.txt", "x");
    Pass(dst, {{L"f", 3}});
    EXPECT_FALSE(FileExists(dst + L"\\inside.txt"));
}

TEST_F(CopierTest, TheRecoveryWalkCopiesOnlyFilesChangedInTheWindow) {
    MakeFolder(L"a");
    MakeFolder(L"a\\b");
    Put(L"old.txt", "old");
    Put(L"a\\b\\old2.txt", "old2");
    // A window that begins now, clearly apart from the times of the files on either side.
    auto windowFromNow = [] {
        Sleep(100);
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        Sleep(100);
        return ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
    };
    ULONGLONG since = windowFromNow();
    Put(L"new.txt", "new");
    Put(L"a\\b\\new2.txt", "new2");
    EXPECT_EQ(CopyFilesChangedSince(src, dst, since, mirror, WalkMode()).copied, 2u);
    EXPECT_EQ(Copied(L"new2.txt"), "new2");
    EXPECT_EQ(Copied(L"new.txt"), "new");
    EXPECT_FALSE(FileExists(dst + L"\\old.txt"));
    EXPECT_FALSE(FileExists(dst + L"\\old2.txt"));
    // Current copies are not made again.
    EXPECT_EQ(CopyFilesChangedSince(src, dst, since, mirror, WalkMode()).copied, 0u);
    // A file moved into the tree keeps its last-write time but its change time moves.
    std::wstring outside = root + L"\\outside.txt";
    WriteFileBytes(outside, "moved in");
    since = windowFromNow();
    ASSERT_TRUE(MoveFileW(outside.c_str(), (src + L"\\a\\movedin.txt").c_str()));
    EXPECT_EQ(CopyFilesChangedSince(src, dst, since, mirror, WalkMode()).copied, 1u);
    EXPECT_EQ(Copied(L"movedin.txt"), "moved in");

    // A folder moved in keeps its files' times, and only its own change time moves.
    std::wstring album = root + L"\\album";
    CreateDirectoryW(album.c_str(), nullptr);
    CreateDirectoryW((album + L"\\day 2").c_str(), nullptr);
    WriteFileBytes(album + L"\\p1.jpg", "photo 1");
    WriteFileBytes(album + L"\\day 2\\p2.jpg", "photo 2");
    since = windowFromNow();
    ASSERT_TRUE(MoveFileW(album.c_str(), (src + L"\\a\\album").c_str()));
    EXPECT_EQ(CopyFilesChangedSince(src, dst, since, mirror, WalkMode()).copied, 2u);
    EXPECT_EQ(Copied(L"p2.jpg"), "photo 2");
    EXPECT_FALSE(FileExists(dst + L"\\old2.txt"));
}

TEST_F(CopierTest, AShortNameIsCopiedUnderItsLongName) {
    MakeFolder(L"Quarterly reports");
    Put(L"Quarterly reports\\Report 2024 final.doc", "the report");
    wchar_t shortPath[MAX_PATH];
    std::wstring longPath = src + L"\\Quarterly reports\\Report 2024 final.doc";
    DWORD n = GetShortPathNameW(longPath.c_str(), shortPath, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || longPath == shortPath)
        GTEST_SKIP() << "this volume gives no short names";
    // The last two components: the folder and the file, each by its short name.
    std::wstring shortFull = shortPath;
    size_t cut = shortFull.find_last_of(L'\\', shortFull.find_last_of(L'\\') - 1);
    std::wstring shortName = shortFull.substr(cut + 1);
    ASSERT_NE(shortName.find(L'~'), std::wstring::npos);
    // One file saved through both of its names in one batch.
    Pass(dst, {{shortName, 3}, {L"Quarterly reports\\Report 2024 final.doc", 3}, {shortName, 3}});
    EXPECT_EQ(Copied(L"Report 2024 final.doc"), "the report");
    EXPECT_EQ(CountFiles(dst), 1u);
    EXPECT_EQ(CountLines(L"CopyFile succeeded: "), 1u);
}

TEST_F(CopierTest, AFileDeeperThanMaxPathIsMirroredIntoADeepDestination) {
    std::wstring relative;
    while (src.size() + relative.size() < 300)
        relative += (relative.empty() ? L"" : L"\\") + std::wstring(40, L'd');
    ASSERT_TRUE(CreateFolderTree(src + L"\\" + relative));
    WriteFileBytes(L"\\\\?\\" + src + L"\\" + relative + L"\\deep.txt", "deep down");
    std::wstring deepDst = dst + L"\\" + std::wstring(120, L'e') + L"\\" + std::wstring(120, L'f');
    Pass(deepDst, {{relative + L"\\deep.txt", 1}});
    EXPECT_EQ(ReadFileBytes(L"\\\\?\\" + deepDst + L"\\deep.txt"), "deep down");
    // The trace names the files as the user spells them.
    EXPECT_EQ(CountLines(L"CopyFile succeeded: " + src + L"\\" + relative + L"\\deep.txt -> "), 1u);
    // Tree walks go down there too.
    EXPECT_EQ(CopyFilesChangedSince(src, root + L"\\walked", 0, mirror, WalkMode()).copied, 1u);
    EXPECT_EQ(ReadFileBytes(root + L"\\walked\\deep.txt"), "deep down");
}

TEST_F(CopierTest, OverlongTraceLinesAreCutShort) {
    std::wstring longName(700, L'n');
    Pass(dst, {{longName, 1}});
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 511u);
    EXPECT_EQ(lines[0].substr(0, 30), L"Skipping non-file or missing: ");
}

TEST_F(CopierTest, PairsInARingNeverCarryAnOlderVersionBackAndAChainCarriesEveryEdit) {
    // Each pair copies through a mirror state of its own, when the test runs its pass: a save
    // ('S'), a pass of pair `at` for a record of a change ('C') or of an arrival ('A': this
    // program's copy landing), and what a folder must hold then ('E').
    struct Step {
        char op;
        int at;
        const char *text;
    };
    const struct {
        const char *name;
        std::vector<std::pair<int, int>> pairs; // folder indexes: source, destination
        bool fatEnd;                            // the last folder is on a FAT32 stick
        std::vector<Step> steps;
    } cases[] = {
        {"two folders kept alike, a save while the copy lands",
         {{0, 1}, {1, 0}},
         false,
         {{'S', 0, "v2"},
          {'C', 0, ""},
          {'E', 1, "v2"},
          {'S', 0, "v3, saved later"},
          {'A', 1, ""},
          {'E', 0, "v3, saved later"},
          {'C', 0, ""},
          {'E', 1, "v3, saved later"},
          {'A', 1, ""},
          {'E', 0, "v3, saved later"}}},
        {"three folders in a ring",
         {{0, 1}, {1, 2}, {2, 0}},
         false,
         {{'S', 0, "v2"},
          {'C', 0, ""},
          {'S', 0, "v3, saved later"},
          {'A', 1, ""},
          {'E', 2, "v2"},
          {'A', 2, ""},
          {'E', 0, "v3, saved later"},
          {'C', 0, ""},
          {'A', 1, ""},
          {'A', 2, ""},
          {'E', 0, "v3, saved later"},
          {'E', 1, "v3, saved later"},
          {'E', 2, "v3, saved later"}}},
        {"a chain ending on a FAT stick, a fix of the same size within a second",
         {{0, 1}, {1, 2}},
         true,
         {{'S', 0, "memo 1"},
          {'C', 0, ""},
          {'A', 1, ""},
          {'E', 2, "memo 1"},
          {'S', 0, "memo 2"},
          {'C', 0, ""},
          {'A', 1, ""},
          {'E', 2, "memo 2"}}},
    };
    int run = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> folders;
        for (int k = 0; k < 3; ++k) {
            folders.push_back(root + L"\\" + std::to_wstring(run) + wchar_t(L'x' + k));
            CreateDirectoryW(folders.back().c_str(), nullptr);
        }
        ++run;
        if (c.fatEnd) {
            folders[2] = FatFileSystemFolder(false);
            if (folders[2].empty())
                continue; // no FAT32 file system in this run
        }
        std::deque<MirrorState> mirrors(c.pairs.size());
        for (size_t i = 0; i < c.pairs.size(); ++i)
            PrepareMirror(mirrors[i], folders[c.pairs[i].first], folders[c.pairs[i].second]);
        for (const Step &step : c.steps) {
            std::wstring file = folders[step.at] + L"\\memo.txt";
            if (step.op == 'S') {
                WriteFileBytes(file, step.text);
            } else if (step.op == 'E') {
                EXPECT_EQ(ReadFileBytes(file), step.text) << "in folder " << step.at;
            } else {
                const auto &[from, to] = c.pairs[step.at];
                DWORD action = step.op == 'A' ? FILE_ACTION_RENAMED_NEW_NAME : FILE_ACTION_MODIFIED;
                tick += 60000;
                CopyChangedFiles(folders[from], folders[to], {{L"memo.txt", action}},
                                 mirrors[step.at], tick, 0);
            }
        }
    }
}

TEST_F(CopierTest, AChangeOfAttributesAloneCopiesNothing) {
    // Mirrored files marked read-only: no copy, in the pass as in the walk after it.
    std::vector<FolderChange> changes;
    for (int i = 0; i < 200; ++i) {
        std::wstring name = L"f" + std::to_wstring(i) + L".txt";
        Put(name, "mirrored");
        changes.push_back({name, FILE_ACTION_ADDED});
    }
    Put(L"kept date.txt", "first");
    Pass(dst, changes);
    Pass(dst, {{L"kept date.txt", FILE_ACTION_ADDED}});
    ULONGLONG since = SystemClock();
    for (FolderChange &change : changes) {
        SetFileAttributesW((src + L"\\" + change.name).c_str(), FILE_ATTRIBUTE_READONLY);
        change.action = FILE_ACTION_MODIFIED;
    }
    Lines();
    Pass(dst, changes);
    EXPECT_EQ(CopyFilesChangedSince(src, dst, since, mirror, WalkMode()).copied, 0u);
    EXPECT_EQ(CountLines(L"CopyFile succeeded: "), 0u);
    EXPECT_EQ(CountLines(L"Not copying " + src + L"\\f0.txt: only its attributes changed"), 1u)
        << "a line per pair";
    // A same-size edit that keeps the file's date is an edit.
    SaveKeepingTime(src + L"\\kept date.txt", "FIRST");
    Pass(dst, {{L"kept date.txt", FILE_ACTION_MODIFIED}});
    EXPECT_EQ(Copied(L"kept date.txt"), "FIRST");

    // Two photos of one name: the copy holds the one written last, and the older one's change
    // of attributes leaves it there; so does freeing the older one's space, without opening it
    // (held without sharing, any read would fail).
    MakeFolder(L"2019");
    MakeFolder(L"2024");
    Put(L"2019\\IMG_0001.JPG", "a photo of 2019");
    Pass(dst, {{L"2019\\IMG_0001.JPG", FILE_ACTION_ADDED}});
    Put(L"2024\\IMG_0001.JPG", "a photo of 2024, larger");
    Pass(dst, {{L"2024\\IMG_0001.JPG", FILE_ACTION_ADDED}});
    since = SystemClock();
    SetFileAttributesW((src + L"\\2019\\IMG_0001.JPG").c_str(), FILE_ATTRIBUTE_READONLY);
    Pass(dst, {{L"2019\\IMG_0001.JPG", FILE_ACTION_MODIFIED}});
    CopyFilesChangedSince(src, dst, since, mirror, WalkMode());
    EXPECT_EQ(Copied(L"IMG_0001.JPG"), "a photo of 2024, larger");
    g_placeholder = src + L"\\2019\\IMG_0001.JPG";
    g_lookUpFacts = LookUpPlaceholderFacts;
    HANDLE held =
        CreateFileW(g_placeholder.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Lines();
    CapturedLines().clear();
    Pass(dst, {{L"2019\\IMG_0001.JPG", FILE_ACTION_MODIFIED}});
    g_lookUpFacts = LookUpFileFacts;
    CloseHandle(held);
    EXPECT_EQ(Copied(L"IMG_0001.JPG"), "a photo of 2024, larger");
    EXPECT_EQ(CountLines(L"CopyFile"), 0u) << "opened, or copied";
}
