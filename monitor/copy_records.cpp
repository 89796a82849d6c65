#include "monitor/copy_records.h"

#include "monitor/long_path.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <unordered_map>

namespace {

const size_t kRecordsKept = 65536;

struct Noted {
    CopyRecord record;
    unsigned long long order = 0; // when it was noted, to forget the oldest
};

// By PathHash of the copy, and the copies by the order they were noted: every watch thread,
// the writer of the file and the loader, under the lock.
std::mutex g_recordsLock;
std::unordered_map<unsigned long long, Noted> g_records;
unsigned long long g_noted = 0;
unsigned long long g_version = 0;

void Note(unsigned long long copy, const CopyRecord &record) {
    if (g_records.size() >= kRecordsKept) {
        unsigned long long keepFrom = g_noted - kRecordsKept / 2;
        for (auto it = g_records.begin(); it != g_records.end();)
            it = it->second.order < keepFrom ? g_records.erase(it) : std::next(it);
    }
    g_records[copy] = Noted{record, g_noted++};
    ++g_version;
}

// Six numbers separated by single spaces: two in hexadecimal, four in decimal.
bool ParseFields(const std::string &line, unsigned long long (&fields)[6]) {
    const char *at = line.c_str();
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && *at++ != ' ')
            return false;
        if (!std::isxdigit((unsigned char)*at))
            return false;
        char *end = nullptr;
        fields[i] = std::strtoull(at, &end, i < 2 ? 16 : 10);
        if (end == at || end - at > (i < 2 ? 16 : 20))
            return false;
        at = end;
    }
    return *at == '\0';
}

} // namespace

void NoteCopyMade(const std::wstring &srcFull, const std::wstring &dstFull, ULONGLONG size,
                  ULONGLONG lastWrite, ULONGLONG changeTime, ULONGLONG copyWrite) {
    unsigned long long copy = PathHash(dstFull), source = PathHash(srcFull);
    std::lock_guard<std::mutex> lock(g_recordsLock);
    Note(copy, CopyRecord{source, size, lastWrite, changeTime, copyWrite});
}

bool CopyRecordOf(const std::wstring &dstFull, CopyRecord &record) {
    unsigned long long copy = PathHash(dstFull);
    std::lock_guard<std::mutex> lock(g_recordsLock);
    auto found = g_records.find(copy);
    if (found == g_records.end())
        return false;
    record = found->second.record;
    return true;
}

bool StillAsCopied(const CopyRecord &record, ULONGLONG size, ULONGLONG lastWrite) {
    return size == record.size && lastWrite == record.copyWrite;
}

bool MadeOfThisVersion(const CopyRecord &record, const std::wstring &srcFull, ULONGLONG size,
                       ULONGLONG lastWrite, ULONGLONG changeTime) {
    return record.source == PathHash(srcFull) && record.size == size &&
           record.lastWrite == lastWrite &&
           (record.changeTime == 0 || changeTime == 0 || record.changeTime == changeTime);
}

std::string FormatCopyRecords() {
    std::lock_guard<std::mutex> lock(g_recordsLock);
    // Oldest first, so that a run that reads them back forgets the same ones first.
    std::map<unsigned long long, std::pair<unsigned long long, const CopyRecord *>> byOrder;
    for (const auto &[copy, noted] : g_records)
        byOrder[noted.order] = {copy, &noted.record};
    std::string bytes;
    bytes.reserve(byOrder.size() * 96);
    char line[128];
    for (const auto &[order, entry] : byOrder) {
        const CopyRecord &record = *entry.second;
        std::snprintf(line, sizeof line, "%016llx %016llx %llu %llu %llu %llu\r\n", entry.first,
                      record.source, (unsigned long long)record.size,
                      (unsigned long long)record.lastWrite, (unsigned long long)record.changeTime,
                      (unsigned long long)record.copyWrite);
        bytes += line;
    }
    return bytes;
}

void ParseCopyRecords(const std::string &bytes) {
    std::lock_guard<std::mutex> lock(g_recordsLock);
    g_records.clear();
    size_t at = 0;
    while (at < bytes.size()) {
        size_t end = bytes.find('\n', at);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        unsigned long long fields[6] = {};
        if (ParseFields(line, fields) && fields[0] != 0 && fields[1] != 0)
            Note(fields[0], CopyRecord{fields[1], fields[2], fields[3], fields[4], fields[5]});
    }
    ++g_version;
}

unsigned long long CopyRecordsVersion() {
    std::lock_guard<std::mutex> lock(g_recordsLock);
    return g_version;
}
