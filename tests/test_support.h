// Helpers shared by the test programs: temporary folders, file bytes, the configuration
// directory, captured debug output and message pumping.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// A new empty folder under %TEMP%, unique to this call.
std::wstring MakeTempDir();
// Removes a folder and everything below it (read-only files included).
void RemoveTree(const std::wstring &path);

std::string ReadFileBytes(const std::wstring &path);
void WriteFileBytes(const std::wstring &path, const std::string &bytes);
bool FileExists(const std::wstring &path);

std::wstring Utf8ToWide(const std::string &text);
std::string WideToUtf8(const std::wstring &text);

// Points LOCALAPPDATA at root inside this process, so the configuration directory is
// root\Vantrel (created), and the pair file root\Vantrel\folders.txt.
std::wstring UseConfigRoot(const std::wstring &root);

// Debug output written by this process (OutputDebugStringW), captured in-process with a
// vectored exception handler. StartDebugCapture clears what was captured so far.
void StartDebugCapture();
std::vector<std::wstring> TakeDebugOutput();

// Pumps this thread's messages until pred() holds or timeoutMs has passed; returns pred().
bool PumpUntil(const std::function<bool()> &pred, DWORD timeoutMs);
// Pumps this thread's messages for ms milliseconds.
void PumpFor(DWORD ms);

// True when running under Wine.
bool RunningUnderWine();

// A new folder on the test run's small file system (8 MiB, where writes fail with a full
// disk), or empty when the run has none.
std::wstring SmallFileSystemFolder();
// A new folder on the test run's FAT32 (fat) or exFAT file system, or empty when the run has
// none (they need root and FUSE).
std::wstring FatFileSystemFolder(bool exfat);
// Writes a file into `folder` until the disk is full; FreeDisk removes it again.
void FillDisk(const std::wstring &folder);
void FreeDisk(const std::wstring &folder);
