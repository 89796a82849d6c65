// The folder pair store: configuration directory, pair file reading, and both writers, on
// real files in a fresh temporary folder.
#include "store/pair_table.h"
#include "store/pair_writer.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace {

const std::string kBom = "\xEF\xBB\xBF";

std::wstring SystemText(DWORD code) {
    wchar_t buf[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   buf, 512, nullptr);
    return buf;
}

std::wstring GetVariable(const wchar_t *name, bool &present) {
    wchar_t value[32768];
    DWORD n = GetEnvironmentVariableW(name, value, 32768);
    present = n > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    return std::wstring(value, n);
}

// Every test gets its own LOCALAPPDATA; the process's variables come back afterwards.
class PairStore : public testing::Test {
  protected:
    void SetUp() override {
        localAppData = GetVariable(L"LOCALAPPDATA", hadLocalAppData);
        userProfile = GetVariable(L"USERPROFILE", hadUserProfile);
        root = MakeTempDir();
        pairFile = UseConfigRoot(root);
        g_sourceFolders.clear();
        g_destFolders.clear();
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"LOCALAPPDATA", hadLocalAppData ? localAppData.c_str() : nullptr);
        SetEnvironmentVariableW(L"USERPROFILE", hadUserProfile ? userProfile.c_str() : nullptr);
        RemoveTree(root);
    }
    void WritePairFile(const std::string &bytes) {
        CreateDirectoryW((root + L"\\Vantrel").c_str(), nullptr);
        WriteFileBytes(pairFile, bytes);
    }
    void ExpectTable(const std::vector<std::wstring> &sources,
                     const std::vector<std::wstring> &dests) {
        EXPECT_EQ(g_sourceFolders, sources);
        EXPECT_EQ(g_destFolders, dests);
    }
    std::wstring root, pairFile;
    std::wstring localAppData, userProfile;
    bool hadLocalAppData = false, hadUserProfile = false;
};

// ---------------------------------------------------------------- bytes written

TEST_F(PairStore, AppendToMissingFileWritesBomAndUnescapedLine) {
    std::wstring err;
    ASSERT_TRUE(AppendFolderPair(L"C:\\Work", L"D:\\Backup", err));
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + "[PAIR],C:\\Work\\,D:\\Backup\n");
}

TEST_F(PairStore, AppendWritesBomOnlyIntoAnEmptyFile) {
    WritePairFile("");
    std::wstring err;
    ASSERT_TRUE(AppendFolderPair(L"a", L"b", err));
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + "[PAIR],a\\,b\n");

    ASSERT_TRUE(AppendFolderPair(L"c", L"d", err));
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + "[PAIR],a\\,b\n[PAIR],c\\,d\n");

    WritePairFile("[PAIR],x,y\n");
    ASSERT_TRUE(AppendFolderPair(L"c", L"d", err));
    EXPECT_EQ(ReadFileBytes(pairFile), "[PAIR],x,y\n[PAIR],c\\,d\n");
}

TEST_F(PairStore, AppendAfterALastLineWithoutLineFeedStartsANewLine) {
    // Saved by hand, as Notepad does, without a line feed after the last line.
    WritePairFile(kBom + "[PAIR],C:\\\\Work,D:\\\\Backup");
    std::wstring err;
    ASSERT_TRUE(AppendFolderPair(L"C:\\Photos", L"E:\\PhotoCopy", err));
    EXPECT_EQ(ReadFileBytes(pairFile),
              kBom + "[PAIR],C:\\\\Work,D:\\\\Backup\n[PAIR],C:\\Photos\\,E:\\PhotoCopy\n");
    LoadFolderPairs();
    ExpectTable({L"C:\\Work", L"C:\\Photos"}, {L"D:\\Backup", L"E:\\PhotoCopy"});

    // A file that is only a byte order mark (every pair deleted) has no line to end.
    WritePairFile(kBom);
    ASSERT_TRUE(AppendFolderPair(L"a", L"b", err));
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + "[PAIR],a\\,b\n");
    WritePairFile("x");
    ASSERT_TRUE(AppendFolderPair(L"c", L"d", err));
    EXPECT_EQ(ReadFileBytes(pairFile), "x\n[PAIR],c\\,d\n");
}

TEST_F(PairStore, AppendKeepsCommasAndJapaneseUnescaped) {
    std::wstring err;
    ASSERT_TRUE(AppendFolderPair(L"C:\\a,b", L"D:\\写真", err));
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + "[PAIR],C:\\a,b\\,D:\\\xE5\x86\x99\xE7\x9C\x9F\n");
}

TEST_F(PairStore, RewriteEscapesBackslashesAndCommas) {
    g_sourceFolders = {L"C:\\Work", L"C:\\a,b", L"C:\\データ"};
    g_destFolders = {L"D:\\Backup", L"E:\\x", L"E:\\日本"};
    std::wstring err;
    ASSERT_TRUE(SaveAllFolderPairs(err)) << WideToUtf8(err);
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + "[PAIR],C:\\\\Work,D:\\\\Backup\n"
                                              "[PAIR],C:\\\\a\\,b,E:\\\\x\n"
                                              "[PAIR],C:\\\\\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF,"
                                              "E:\\\\\xE6\x97\xA5\xE6\x9C\xAC\n");
    EXPECT_FALSE(FileExists(pairFile + L".tmp"));
}

TEST_F(PairStore, RewriteOfEmptyTableIsTheBomAlone) {
    WritePairFile(kBom + "[PAIR],a,b\n");
    std::wstring err;
    ASSERT_TRUE(SaveAllFolderPairs(err));
    EXPECT_EQ(ReadFileBytes(pairFile), kBom);
    // What the loader could not read is not the table's to drop: it stays where it stood.
    WritePairFile("# notes\r\n[PAIR],a,b\n[PAIR] c,d\n");
    ASSERT_TRUE(SaveAllFolderPairs(err));
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + "# notes\n[PAIR] c,d\n");
}

TEST_F(PairStore, RewriteWritesMissingDestinationsAsEmptyHalves) {
    g_sourceFolders = {L"C:\\a", L"C:\\b", L"C:\\c"};
    g_destFolders = {L"D:\\a"};
    std::wstring err;
    ASSERT_TRUE(SaveAllFolderPairs(err));
    EXPECT_EQ(ReadFileBytes(pairFile),
              kBom + "[PAIR],C:\\\\a,D:\\\\a\n[PAIR],C:\\\\b,\n[PAIR],C:\\\\c,\n");
}

TEST_F(PairStore, RewriteIgnoresDestinationsBeyondTheSources) {
    g_sourceFolders = {L"s"};
    g_destFolders = {L"d", L"extra"};
    std::wstring err;
    ASSERT_TRUE(SaveAllFolderPairs(err));
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + "[PAIR],s,d\n");
}

// ---------------------------------------------------------------- reading

TEST_F(PairStore, FileReadsAlikeWithAndWithoutBom) {
    const std::string body = "[PAIR],C:\\\\a,D:\\\\b\n[PAIR],x\\,y\n";
    WritePairFile(body);
    EXPECT_TRUE(LoadFolderPairs());
    ExpectTable({L"C:\\a", L"x\\"}, {L"D:\\b", L"y"});
    WritePairFile(kBom + body);
    LoadFolderPairs();
    ExpectTable({L"C:\\a", L"x\\"}, {L"D:\\b", L"y"});
}

// As Windows' own tools write it: PowerShell 5.1 in UTF-16 with a byte order mark (either
// order, CR LF), cmd's "echo ... >>" a line in the ANSI code page.
TEST_F(PairStore, FileInUtf16AndLinesInTheAnsiCodePageAreRead) {
    const std::wstring text = L"[PAIR],C:\\\\写真,D:\\\\b\r\n[PAIR],x\\,y\r\n";
    for (bool bigEndian : {false, true}) {
        std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (wchar_t c : text) {
            bytes += (char)(bigEndian ? c >> 8 : c & 0xFF);
            bytes += (char)(bigEndian ? c & 0xFF : c >> 8);
        }
        WritePairFile(bytes);
        EXPECT_TRUE(LoadFolderPairs()) << bigEndian;
        ExpectTable({L"C:\\写真", L"x\\"}, {L"D:\\b", L"y"});
        // A pair registered now does not garble it: the file becomes UTF-8, every pair kept.
        std::wstring err;
        ASSERT_TRUE(AppendFolderPair(L"C:\\new", L"D:\\new", err)) << WideToUtf8(err);
        EXPECT_EQ(ReadFileBytes(pairFile).compare(0, 3, kBom), 0);
        LoadFolderPairs();
        ExpectTable({L"C:\\写真", L"x\\", L"C:\\new"}, {L"D:\\b", L"y", L"D:\\new"});
    }
    if (GetACP() != 932)
        GTEST_SKIP() << "the ANSI code page holds no Japanese";
    char ansi[64] = {};
    WideCharToMultiByte(932, 0, L"[PAIR],C:\\写真\\,D:\\複製\r\n", -1, ansi, 64, nullptr, nullptr);
    WritePairFile(kBom + "[PAIR],C:\\\\a,D:\\\\b\n" + ansi);
    EXPECT_TRUE(LoadFolderPairs());
    ExpectTable({L"C:\\a", L"C:\\写真"}, {L"D:\\b", L"D:\\複製"});
}

TEST_F(PairStore, BomCountsOnlyAtTheStartOfTheFile) {
    WritePairFile(kBom + "\n[PAIR],a,b\n" + kBom + "[PAIR],c,d\n");
    LoadFolderPairs();
    ExpectTable({L"a"}, {L"b"});
}

TEST_F(PairStore, BothLineFormsMixInOneFile) {
    WritePairFile(kBom + "[PAIR],C:\\\\Work,D:\\\\Backup\n[PAIR],E:\\In\\,F:\\Out\n"
                         "[PAIR],C:\\a\\,b,D:\\c\n");
    LoadFolderPairs();
    ExpectTable({L"C:\\Work", L"E:\\In", L"C:\\a,b"}, {L"D:\\Backup", L"F:\\Out", L"D:\\c"});
}

TEST_F(PairStore, AppendedPairsReadBackAsWritten) {
    std::wstring err;
    ASSERT_TRUE(AppendFolderPair(L"C:\\Work", L"D:\\Backup", err));
    ASSERT_TRUE(AppendFolderPair(L"C:\\", L"D:\\Root copy", err));
    ASSERT_TRUE(AppendFolderPair(L"C:\\ends\\", L"D:\\x", err));
    LoadFolderPairs();
    ExpectTable({L"C:\\Work", L"C:\\", L"C:\\ends"}, {L"D:\\Backup", L"D:\\Root copy", L"D:\\x"});
}

TEST_F(PairStore, ShortAppendedSourceKeepsItsTrailingBackslash) {
    std::wstring err;
    ASSERT_TRUE(AppendFolderPair(L"C:", L"D:\\x", err));
    LoadFolderPairs();
    ExpectTable({L"C:\\"}, {L"D:\\x"});
}

TEST_F(PairStore, CrLfFileYieldsTheSameTableAsLf) {
    WritePairFile(kBom + "[PAIR],C:\\\\a,D:\\\\b\r\n[PAIR],C:\\\\c,D:\\\\d\\\\\r\n[PAIR],e,f");
    LoadFolderPairs();
    ExpectTable({L"C:\\a", L"C:\\c", L"e"}, {L"D:\\b", L"D:\\d", L"f"});
}

TEST_F(PairStore, LinesThatAreNotPairLinesAreIgnored) {
    WritePairFile("\n [PAIR],a,b\n[pair],a,b\n[PAIR]a,b\n[PAIR],no comma here\nPAIR,a,b\n"
                  "# [PAIR],a,b\n[PAIR],kept,one\n");
    EXPECT_FALSE(LoadFolderPairs()) << "a line that may be a pair was not read";
    ExpectTable({L"kept"}, {L"one"});
}

TEST_F(PairStore, EmptyHalvesAndDuplicatesAreKept) {
    WritePairFile("[PAIR],,\n[PAIR],src,\n[PAIR],,dst\n[PAIR],same,twin\n[PAIR],same,twin\n");
    LoadFolderPairs();
    ExpectTable({L"", L"src", L"", L"same", L"same"}, {L"", L"", L"dst", L"twin", L"twin"});
}

TEST_F(PairStore, LastCommaSeparatesTheHalves) {
    WritePairFile("[PAIR],C:\\a,b,c\n[PAIR],x\\,y,z\n");
    LoadFolderPairs();
    ExpectTable({L"C:\\a,b", L"x,y"}, {L"c", L"z"});
}

TEST_F(PairStore, EscapesAreUndoneOnlyBeforeBackslashOrComma) {
    WritePairFile("[PAIR],a\\b\\\\c\\,d,e\\\n");
    LoadFolderPairs();
    ExpectTable({L"a\\b\\c,d"}, {L"e\\"});
}

TEST_F(PairStore, TrailingSeparatorsGoFromPathsLongerThanThree) {
    WritePairFile("[PAIR],C:\\\\Data\\\\\\\\\\\\,D:/Backup/\n[PAIR],C:/,C:\\\\\n"
                  "[PAIR],D:\\\\x/\\\\/,ab\\\\\n");
    LoadFolderPairs();
    ExpectTable({L"C:\\Data", L"C:/", L"D:\\x"}, {L"D:/Backup", L"C:\\", L"ab\\"});
}

TEST_F(PairStore, HalfEndsAtAZeroByte) {
    WritePairFile(std::string("[PAIR],abc\0def,gh\0ij\n", 21));
    LoadFolderPairs();
    ExpectTable({L"abc"}, {L"gh"});
}

TEST_F(PairStore, ReloadReplacesTheWholeTable) {
    WritePairFile("[PAIR],a,b\n");
    LoadFolderPairs();
    LoadFolderPairs();
    ExpectTable({L"a"}, {L"b"});
    DeleteFileW(pairFile.c_str());
    LoadFolderPairs();
    ExpectTable({}, {});
}

TEST_F(PairStore, ReadingAPairLineDecodesBothForms) {
    std::wstring source, dest;
    EXPECT_TRUE(DecodePairLine("[PAIR],C:\\\\x,D:\\\\y", source, dest));
    EXPECT_EQ(source, L"C:\\x");
    EXPECT_EQ(dest, L"D:\\y");
    EXPECT_FALSE(DecodePairLine("[PAIR]", source, dest));
    EXPECT_FALSE(DecodePairLine("", source, dest));
}

// ---------------------------------------------------------------- round trip

std::wstring RandomPath(std::mt19937 &rng, bool allowComma) {
    static const std::vector<std::wstring> pieces = {
        L"a",
        L"Z",
        L"0",
        L" ",
        L".",
        L"\\",
        L"/",
        L"\\\\",
        L"写真",
        L"データ",
        L"é",
        L"ß",
        L"Ω",
        L"\U0001F4C1",
        L"-",
        L"_",
        L"(1)",
        L"C:\\",
        L"\\\\nas\\share\\",
        L"~",
        L"#",
    };
    std::uniform_int_distribution<int> count(0, 8);
    std::uniform_int_distribution<size_t> pick(0, pieces.size());
    std::wstring path;
    for (int n = count(rng); n > 0; --n) {
        size_t i = pick(rng);
        if (i == pieces.size())
            path += allowComma ? L"," : L"x";
        else
            path += pieces[i];
    }
    // Stored paths never end in a separator unless they are three characters or shorter.
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    return path;
}

TEST_F(PairStore, RewrittenTablesLoadBackUnchanged) {
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<int> pairs(0, 6);
    for (int round = 0; round < 1200; ++round) {
        std::vector<std::wstring> sources, dests;
        for (int n = pairs(rng); n > 0; --n) {
            sources.push_back(RandomPath(rng, true));
            dests.push_back(RandomPath(rng, false));
        }
        g_sourceFolders = sources;
        g_destFolders = dests;
        std::wstring err;
        ASSERT_TRUE(SaveAllFolderPairs(err)) << WideToUtf8(err);
        LoadFolderPairs();
        ASSERT_EQ(g_sourceFolders, sources) << "round " << round;
        ASSERT_EQ(g_destFolders, dests) << "round " << round;
    }
}

// ---------------------------------------------------------------- configuration directory

TEST_F(PairStore, LocalAppDataOf259CharactersIsUsed) {
    std::wstring value = L"C:\\" + std::wstring(256, L'a');
    ASSERT_EQ(value.size(), 259u);
    SetEnvironmentVariableW(L"LOCALAPPDATA", value.c_str());
    EXPECT_EQ(GetConfigDirectory(), value + L"\\Vantrel");
    EXPECT_EQ(GetConfigFilePath(), value + L"\\Vantrel\\folders.txt");
}

TEST_F(PairStore, LocalAppDataOf260CharactersFallsBackToUserProfile) {
    std::wstring value = L"C:\\" + std::wstring(257, L'a');
    SetEnvironmentVariableW(L"LOCALAPPDATA", value.c_str());
    SetEnvironmentVariableW(L"USERPROFILE", root.c_str());
    EXPECT_EQ(GetConfigDirectory(), root + L"\\Vantrel");
    DWORD attributes = GetFileAttributesW((root + L"\\Vantrel").c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);

    SetEnvironmentVariableW(L"LOCALAPPDATA", L"");
    EXPECT_EQ(GetConfigDirectory(), root + L"\\Vantrel");
}

TEST_F(PairStore, WithoutUsableVariablesTheExecutablesFolderIsUsed) {
    SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
    SetEnvironmentVariableW(L"USERPROFILE", (L"C:\\" + std::wstring(300, L'b')).c_str());
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring folder = module;
    folder.resize(folder.find_last_of(L"\\/"));
    bool existedBefore = FileExists(folder + L"\\Vantrel");

    EXPECT_EQ(GetConfigDirectory(), folder);
    EXPECT_EQ(GetConfigFilePath(), folder + L"\\folders.txt");
    EXPECT_EQ(FileExists(folder + L"\\Vantrel"), existedBefore);
}

// ---------------------------------------------------------------- failures

TEST_F(PairStore, PairFileThatIsAFolderFailsBothWriters) {
    CreateDirectoryW((root + L"\\Vantrel").c_str(), nullptr);
    ASSERT_TRUE(CreateDirectoryW(pairFile.c_str(), nullptr));
    std::wstring err = L"old text";
    EXPECT_FALSE(AppendFolderPair(L"a", L"b", err));
    EXPECT_EQ(err, L"CreateFileW failed: " + SystemText(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SystemText(ERROR_ACCESS_DENIED).empty());

    g_sourceFolders = {L"a"};
    g_destFolders = {L"b"};
    err = L"old text";
    EXPECT_FALSE(SaveAllFolderPairs(err));
    EXPECT_EQ(err, L"CreateFileW failed: " + SystemText(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(GetFileAttributesW(pairFile.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(PairStore, ReadOnlyPairFileIsLeftAlone) {
    const std::string before = kBom + "[PAIR],a,b\n";
    WritePairFile(before);
    ASSERT_TRUE(SetFileAttributesW(pairFile.c_str(), FILE_ATTRIBUTE_READONLY));
    // Wine keeps the read-only attribute as Unix permissions, which do not stop root.
    HANDLE probe = CreateFileW(pairFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        SetFileAttributesW(pairFile.c_str(), FILE_ATTRIBUTE_NORMAL);
        GTEST_SKIP() << "this platform lets the read-only pair file be opened for writing";
    }
    std::wstring err;
    EXPECT_FALSE(AppendFolderPair(L"c", L"d", err));
    EXPECT_EQ(err, L"CreateFileW failed: " + SystemText(ERROR_ACCESS_DENIED));
    g_sourceFolders = {L"x"};
    g_destFolders = {L"y"};
    EXPECT_FALSE(SaveAllFolderPairs(err));
    EXPECT_EQ(err, L"CreateFileW failed: " + SystemText(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadFileBytes(pairFile), before);
    SetFileAttributesW(pairFile.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(PairStore, MissingConfigurationDirectoryFailsWithPathNotFound) {
    SetEnvironmentVariableW(L"LOCALAPPDATA", (root + L"\\missing\\deeper").c_str());
    std::wstring err;
    EXPECT_FALSE(AppendFolderPair(L"a", L"b", err));
    EXPECT_EQ(err, L"CreateFileW failed: " + SystemText(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(SaveAllFolderPairs(err));
    EXPECT_EQ(err, L"CreateFileW failed: " + SystemText(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(FileExists(root + L"\\missing"));
}

TEST_F(PairStore, UnconvertiblePathsFailTheAppendOnly) {
    std::wstring lone(1, wchar_t(0xD800));
    std::wstring err;
    // WideCharToMultiByte with flags 0 replaces a lone surrogate rather than failing, so a
    // conversion failure cannot be provoked here; an unpaired half is stored replaced.
    ASSERT_TRUE(AppendFolderPair(L"C:\\a" + lone, L"D:\\b", err));
    LoadFolderPairs();
    ASSERT_EQ(g_sourceFolders.size(), 1u);
    EXPECT_EQ(g_sourceFolders[0], L"C:\\a\uFFFD");
}

// The test holds the pair file open, as a backup or indexing program might while it reads it:
// the pair file can be opened for writing, but it cannot be replaced while it is held. A hold
// of a moment is waited out; one that lasts fails the rewrite and leaves the file as it was.
TEST_F(PairStore, ReplacementWaitsOutAMomentaryHoldAndLeavesTheFileAsItWasUnderALastingOne) {
    const std::string before = kBom + "[PAIR],C:\\\\keep,D:\\\\me\n";
    WritePairFile(before);
    auto hold = [&] {
        return CreateFileW(pairFile.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    };
    HANDLE holder = hold();
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::thread letGo([&] {
        Sleep(200);
        CloseHandle(holder);
    });
    g_sourceFolders = {L"C:\\moment"};
    g_destFolders = {L"D:\\moment"};
    std::wstring err;
    EXPECT_TRUE(SaveAllFolderPairs(err)) << WideToUtf8(err);
    letGo.join();
    EXPECT_EQ(ReadFileBytes(pairFile), kBom + "[PAIR],C:\\\\moment,D:\\\\moment\n");
    WritePairFile(before);

    holder = hold();
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    g_sourceFolders = {L"C:\\new"};
    g_destFolders = {L"D:\\new"};
    bool saved = SaveAllFolderPairs(err);
    CloseHandle(holder);

    EXPECT_FALSE(saved);
    EXPECT_EQ(err.rfind(L"MoveFileExW failed: ", 0), 0u) << WideToUtf8(err);
    EXPECT_GT(err.size(), wcslen(L"MoveFileExW failed: "));
    EXPECT_EQ(ReadFileBytes(pairFile), before);
    EXPECT_FALSE(FileExists(pairFile + L".tmp"));
}

TEST_F(PairStore, HeldPairFileWithoutWriteSharingFailsToOpen) {
    const std::string before = kBom + "[PAIR],a,b\n";
    WritePairFile(before);
    HANDLE holder = CreateFileW(pairFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    std::wstring err;
    EXPECT_FALSE(AppendFolderPair(L"c", L"d", err));
    EXPECT_EQ(err, L"CreateFileW failed: " + SystemText(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(SaveAllFolderPairs(err));
    EXPECT_EQ(err, L"CreateFileW failed: " + SystemText(ERROR_SHARING_VIOLATION));
    CloseHandle(holder);
    EXPECT_EQ(ReadFileBytes(pairFile), before);
}

// ---------------------------------------------------------------- a full disk
//
// The test run mounts an 8 MiB tmpfs (VANTREL_SMALL_FS, a Linux path reached through Wine's
// Z: drive). Filling it makes writes fail for real: a write that does not fit at all fails
// with ERROR_DISK_FULL, and one that partly fits (into the pair file's last, partly used page)
// reports success with fewer bytes written.
class FullDisk : public PairStore {
  protected:
    void SetUp() override {
        PairStore::SetUp();
        smallRoot = SmallFileSystemFolder();
        if (smallRoot.empty())
            GTEST_SKIP() << "no small file system in this run (VANTREL_SMALL_FS)";
        pairFile = UseConfigRoot(smallRoot);
    }
    void TearDown() override {
        if (!smallRoot.empty())
            RemoveTree(smallRoot);
        PairStore::TearDown();
    }
    void FillDisk() { ::FillDisk(smallRoot); }
    void FreeDisk() { ::FreeDisk(smallRoot); }
    std::wstring smallRoot;
};

TEST_F(FullDisk, FailedAppendCutsTheFileBackToItsOldSize) {
    std::wstring err;
    ASSERT_TRUE(AppendFolderPair(L"C:\\first", L"D:\\first", err)) << WideToUtf8(err);
    const std::string before = ReadFileBytes(pairFile);
    FillDisk();

    std::wstring longSource = L"C:\\" + std::wstring(6000, L's');
    EXPECT_FALSE(AppendFolderPair(longSource, L"D:\\x", err));
    EXPECT_EQ(err, L"WriteFile(content) failed: " + SystemText(ERROR_DISK_FULL));
    EXPECT_EQ(ReadFileBytes(pairFile), before);

    FreeDisk();
    ASSERT_TRUE(AppendFolderPair(L"C:\\next", L"D:\\next", err)) << WideToUtf8(err);
    EXPECT_EQ(ReadFileBytes(pairFile), before + "[PAIR],C:\\next\\,D:\\next\n");
}

TEST_F(FullDisk, FailedAppendAfterAnUnendedLastLineLeavesItAsItWas) {
    const std::string before = kBom + "[PAIR],C:\\\\first,D:\\\\first";
    CreateDirectoryW((smallRoot + L"\\Vantrel").c_str(), nullptr);
    WriteFileBytes(pairFile, before);
    FillDisk();
    std::wstring err;
    EXPECT_FALSE(AppendFolderPair(L"C:\\" + std::wstring(6000, L's'), L"D:\\x", err));
    EXPECT_EQ(ReadFileBytes(pairFile), before);
}

TEST_F(FullDisk, FailedBomWriteLeavesAnEmptyFile) {
    WritePairFile("");
    FillDisk();
    std::wstring err;
    EXPECT_FALSE(AppendFolderPair(L"a", L"b", err));
    EXPECT_EQ(err, L"WriteFile(BOM) failed: " + SystemText(ERROR_DISK_FULL));
    EXPECT_EQ(ReadFileBytes(pairFile), "");
}

TEST_F(FullDisk, FailedRewriteKeepsTheOldFileByteForByte) {
    std::wstring err;
    ASSERT_TRUE(AppendFolderPair(L"C:\\keep", L"D:\\keep", err));
    const std::string before = ReadFileBytes(pairFile);
    FillDisk();

    g_sourceFolders = {L"C:\\" + std::wstring(3000, L'n'), L"C:\\other"};
    g_destFolders = {L"D:\\n", L"D:\\other"};
    EXPECT_FALSE(SaveAllFolderPairs(err));
    EXPECT_EQ(err.rfind(L"WriteFile(", 0), 0u) << WideToUtf8(err);
    EXPECT_NE(err.find(L" failed: " + SystemText(ERROR_DISK_FULL)), std::wstring::npos)
        << WideToUtf8(err);
    EXPECT_EQ(ReadFileBytes(pairFile), before);
    EXPECT_FALSE(FileExists(pairFile + L".tmp"));

    FreeDisk();
    ASSERT_TRUE(SaveAllFolderPairs(err)) << WideToUtf8(err);
    LoadFolderPairs();
    EXPECT_EQ(g_sourceFolders.size(), 2u);
}

} // namespace
