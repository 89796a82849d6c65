#include "monitor/known_folders.h"

#include "monitor/clock.h"

#include <cstring>

namespace {

const size_t kKeyBytes = sizeof(ULONGLONG) + sizeof(FileIdentity::id);
const char kHex[] = "0123456789abcdef";

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

std::string IdentityKey(const FileIdentity &identity) {
    if (!IdentityKnown(identity))
        return std::string();
    std::string key(kKeyBytes, '\0');
    std::memcpy(key.data(), &identity.volume, sizeof identity.volume);
    std::memcpy(key.data() + sizeof identity.volume, identity.id, sizeof identity.id);
    return key;
}

std::string IdentityKeyText(const std::string &key) {
    std::string text;
    text.reserve(2 * key.size());
    for (unsigned char c : key) {
        text += kHex[c >> 4];
        text += kHex[c & 15];
    }
    return text;
}

bool ParseIdentityKeyText(const std::string &text, std::string &key) {
    if (text.size() != 2 * kKeyBytes)
        return false;
    key.assign(kKeyBytes, '\0');
    for (size_t i = 0; i < kKeyBytes; ++i) {
        int high = HexValue(text[2 * i]), low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        key[i] = char(high * 16 + low);
    }
    return true;
}

bool KnownAtGap(const std::shared_ptr<const KnownFolders> &folders, ULONGLONG since) {
    return folders && folders->takenAt != 0 && folders->takenAt <= since;
}

std::string FormatKnownFolders(const KnownFolders &folders) {
    std::string text = std::to_string(folders.takenAt);
    text.reserve(text.size() + folders.ids.size() * (2 * kKeyBytes + 1));
    for (const std::string &key : folders.ids)
        text += ' ' + IdentityKeyText(key);
    return text;
}

bool ParseKnownFolders(const std::string &text, KnownFolders &folders) {
    folders = KnownFolders();
    size_t at = text.find(' ');
    if (!ParseDecimalTime(text.substr(0, at), folders.takenAt))
        return false;
    while (at != std::string::npos) {
        size_t next = text.find(' ', at + 1);
        std::string key;
        if (!ParseIdentityKeyText(
                text.substr(at + 1, next == std::string::npos ? next : next - at - 1), key))
            return false;
        folders.ids.insert(key);
        at = next;
    }
    return true;
}
