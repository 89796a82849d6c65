#include "tools/process_counts.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace {

// The handles of a process as the system's handle table lists them (SystemExtendedHandleInformation
// of NtQuerySystemInformation), or -1.
long long HandlesInSystemTable(DWORD processId) {
    struct HandleEntry {
        PVOID object;
        ULONG_PTR processId;
        ULONG_PTR handle;
        ULONG grantedAccess;
        USHORT creatorBackTraceIndex;
        USHORT objectTypeIndex;
        ULONG attributes;
        ULONG reserved;
    };
    struct HandleTable {
        ULONG_PTR count;
        ULONG_PTR reserved;
        HandleEntry entries[1];
    };
    typedef LONG(WINAPI * QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
    const ULONG kSystemExtendedHandleInformation = 64;
    const LONG kInfoLengthMismatch = (LONG)0xC0000004;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    QuerySystemInformation query =
        ntdll ? (QuerySystemInformation)(void *)GetProcAddress(ntdll, "NtQuerySystemInformation")
              : nullptr;
    if (!query)
        return -1;
    std::vector<ULONG_PTR> buffer(1 << 17); // 1 MiB, grown up to 64 MiB
    LONG status;
    for (;;) {
        ULONG bytes = (ULONG)(buffer.size() * sizeof(ULONG_PTR)), needed = 0;
        status = query(kSystemExtendedHandleInformation, buffer.data(), bytes, &needed);
        if (status != kInfoLengthMismatch || buffer.size() >= (size_t(64) << 17))
            break;
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0)
        return -1;
    const HandleTable *table = (const HandleTable *)buffer.data();
    size_t room =
        (buffer.size() * sizeof(ULONG_PTR) - offsetof(HandleTable, entries)) / sizeof(HandleEntry);
    long long count = 0;
    for (size_t k = 0; k < std::min<size_t>(table->count, room); ++k)
        if (table->entries[k].processId == processId)
            ++count;
    return count > 0 ? count : -1;
}

} // namespace

long long ThreadsOfProcess(DWORD processId) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    long long count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == processId)
            ++count;
    CloseHandle(snapshot);
    return count > 0 ? count : -1;
}

long long HandlesOfProcess(HANDLE process, DWORD processId, bool *fromTable) {
    DWORD handles = 0;
    // Every process holds some handles: none means the count is not known.
    bool counted = GetProcessHandleCount(process, &handles) && handles > 0;
    if (fromTable)
        *fromTable = !counted;
    return counted ? (long long)handles : HandlesInSystemTable(processId);
}
