#include "monitor/change_batch.h"

#include <cstddef>
#include <cstring>

std::vector<FolderChange> DecodeChangeBatch(const BYTE *buffer, DWORD bytes) {
    std::vector<FolderChange> changes;
    const DWORD headerSize = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    DWORD offset = 0;
    while (offset < bytes && bytes - offset >= headerSize) {
        // The header is copied out: a hand-built or damaged chain may be misaligned.
        FILE_NOTIFY_INFORMATION header;
        std::memcpy(&header, buffer + offset, headerSize);
        DWORD nameBytes = header.FileNameLength;
        if (nameBytes > bytes - offset - headerSize)
            nameBytes = bytes - offset - headerSize;
        std::wstring name(nameBytes / sizeof(wchar_t), L'\0');
        if (!name.empty())
            std::memcpy(name.data(), buffer + offset + headerSize, name.size() * sizeof(wchar_t));
        changes.push_back(FolderChange{name, header.Action});
        if (header.NextEntryOffset == 0 || header.NextEntryOffset >= bytes - offset)
            break;
        offset += header.NextEntryOffset;
    }
    return changes;
}

bool AcceptNoticeAt(ULONGLONG now, ULONGLONG &lastTick) {
    if (now == 0)
        now = 1;
    if (now - lastTick < 1000)
        return false;
    lastTick = now;
    return true;
}

const wchar_t *ActionLabel(DWORD action) {
    switch (action) {
    case FILE_ACTION_ADDED:
        return L"(追加)";
    case FILE_ACTION_REMOVED:
        return L"(削除)";
    case FILE_ACTION_MODIFIED:
        return L"(変更)";
    case FILE_ACTION_RENAMED_OLD_NAME:
        return L"(名前変更: 旧)";
    case FILE_ACTION_RENAMED_NEW_NAME:
        return L"(名前変更: 新)";
    default:
        return L"(不明)";
    }
}

std::wstring ComposeNotice(const std::wstring &path, const std::vector<FolderChange> &changes) {
    std::wstring msg;
    msg.reserve(256);
    msg += L"監視対象フォルダに変更がありました:\r\n";
    msg += path;
    msg += L"\r\n\r\n";
    for (const FolderChange &change : changes) {
        msg += change.name.empty() ? L"<不明なファイル名>" : change.name;
        msg += L" ";
        msg += ActionLabel(change.action);
        msg += L"\r\n";
    }
    return msg;
}
