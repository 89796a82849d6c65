// Paths and file identities as the engine hands them to the system.
#include "monitor/file_identity.h"
#include "monitor/file_system_traits.h"
#include "monitor/long_path.h"
#include "monitor/system_behaviour.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

TEST(LongPaths, ShortPathsStayAsTheUserSpeltThem) {
    EXPECT_EQ(FileSystemPath(L"C:\\Work\\a.txt"), L"C:\\Work\\a.txt");
    EXPECT_EQ(FileSystemPath(L"C:/Work//a.txt"), L"C:/Work//a.txt");
    std::wstring longest = L"C:\\" + std::wstring(244, L'x');
    EXPECT_EQ(FileSystemPath(longest), longest);
    EXPECT_EQ(FileSystemPath(longest + L"y"), L"\\\\?\\" + longest + L"y");
}

TEST(LongPaths, LongPathsTakeTheExtendedFormOfTheirFullPath) {
    const std::wstring deep = std::wstring(150, L'a') + L"\\" + std::wstring(150, L'b');
    // Drive paths, also with forward slashes, doubled separators, "." and "..".
    EXPECT_EQ(FileSystemPath(L"C:\\" + deep), L"\\\\?\\C:\\" + deep);
    EXPECT_EQ(
        FileSystemPath(L"C:/" + std::wstring(150, L'a') + L"//./x/../" + std::wstring(150, L'b')),
        L"\\\\?\\C:\\" + deep);
    // Shares.
    EXPECT_EQ(FileSystemPath(L"\\\\server\\share\\" + deep), L"\\\\?\\UNC\\server\\share\\" + deep);
    // Already extended, or a device: as they are.
    EXPECT_EQ(FileSystemPath(L"\\\\?\\C:\\" + deep), L"\\\\?\\C:\\" + deep);
    EXPECT_EQ(FileSystemPath(L"\\\\?\\UNC\\s\\sh\\" + deep), L"\\\\?\\UNC\\s\\sh\\" + deep);
    EXPECT_EQ(ExtendedLengthPath(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
    // Relative and drive-relative spellings resolve against the current folder.
    wchar_t current[MAX_PATH];
    DWORD n = GetCurrentDirectoryW(MAX_PATH, current);
    ASSERT_GT(n, 3u);
    std::wstring here = current;
    if (here.back() != L'\\')
        here += L'\\';
    EXPECT_EQ(FileSystemPath(deep), L"\\\\?\\" + here + deep);
    EXPECT_EQ(FileSystemPath(here.substr(0, 2) + deep), L"\\\\?\\" + here + deep);
    EXPECT_EQ(FileSystemPath(L"\\" + deep), L"\\\\?\\" + here.substr(0, 3) + deep);
}

TEST(LongPaths, RootsEndWhereNothingCanBeCreated) {
    EXPECT_EQ(RootLength(L"D:\\Backup\\2026"), 3u);
    EXPECT_EQ(RootLength(L"D:"), 2u);
    EXPECT_EQ(RootLength(L"\\\\server\\share\\docs"), 14u);
    EXPECT_EQ(RootLength(L"\\\\server\\share"), 14u);
    EXPECT_EQ(RootLength(L"\\\\?\\D:\\Backup"), 7u);
    EXPECT_EQ(RootLength(L"\\\\?\\UNC\\server\\share\\docs"), 20u);
    EXPECT_EQ(RootLength(L"\\Backup"), 1u);
    EXPECT_EQ(RootLength(L"Backup\\2026"), 0u);
}

TEST(FileIdentities, OnlyKnownAndEqualIdentitiesAreOneFile) {
    FileIdentity a, b;
    a.volume = b.volume = 0x1234;
    a.id[0] = b.id[0] = 7;
    EXPECT_TRUE(SameFileIdentity(a, b));
    // ReFS: IDs that differ only past the 64-bit index are different files.
    b.id[12] = 1;
    EXPECT_FALSE(SameFileIdentity(a, b));
    b.id[12] = 0;
    b.volume = 0x1235;
    EXPECT_FALSE(SameFileIdentity(a, b));
    // An index of 0 (some network redirectors) tells nothing.
    FileIdentity zero1, zero2;
    zero1.volume = zero2.volume = 0x1234;
    EXPECT_FALSE(SameFileIdentity(zero1, zero2));
    EXPECT_FALSE(IdentityKnown(zero1));

    // Real files: two names of one file, and two files.
    std::wstring root = MakeTempDir();
    WriteFileBytes(root + L"\\one.txt", "1");
    WriteFileBytes(root + L"\\two.txt", "2");
    FileIdentity one, again, two;
    ASSERT_TRUE(ReadPathIdentity(root + L"\\one.txt", one));
    ASSERT_TRUE(ReadPathIdentity(root + L"\\.\\ONE.TXT", again));
    ASSERT_TRUE(ReadPathIdentity(root + L"\\two.txt", two));
    EXPECT_TRUE(SameFileIdentity(one, again));
    EXPECT_FALSE(SameFileIdentity(one, two));
    EXPECT_FALSE(IsSameFile(root + L"\\one.txt", root + L"\\two.txt"));
    RemoveTree(root);
}

TEST(FileSystemTraits, TimesInWholeSecondsTellFatOnlyWhereEveryFileSystemIsNamedNtfs) {
    // Wine names this FAT32 file system NTFS, and its folders' times come in whole seconds.
    std::wstring stick = FatFileSystemFolder(false);
    if (stick.empty())
        GTEST_SKIP() << "no FAT32 file system in this run";
    SystemBehaviour behaviour = NativeSystemBehaviour();
    behaviour.fileSystemsAllNamedNtfs = false; // as on Windows: the name decides
    SetSystemBehaviour(behaviour);
    FileSystemTraits named = TraitsOfFileSystemAt(stick);
    behaviour.fileSystemsAllNamedNtfs = true;
    SetSystemBehaviour(behaviour);
    FileSystemTraits guessed = TraitsOfFileSystemAt(stick);
    SetSystemBehaviour(NativeSystemBehaviour());
    RemoveTree(stick);
    EXPECT_TRUE(named.keepsChangeTime);
    EXPECT_LT(named.timeStep, 10000000u) << "an NTFS folder taken for FAT by its times";
    EXPECT_FALSE(guessed.keepsChangeTime);
    EXPECT_EQ(guessed.timeStep, 20000000u);
}
