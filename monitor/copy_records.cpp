#include "monitor/copy_records.h"

#include <map>
#include <mutex>
#include <unordered_map>

namespace {

const size_t kRecordsKept = 65536;

struct Noted {
    CopyRecord record;
    unsigned long long order = 0; // when it was noted, to forget the oldest
};

// By PathHash of the copy: every watch thread, the writer of the file and the loader, under
// the lock.
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

} // namespace

void NoteCopyMade(unsigned long long copy, const CopyRecord &record) {
    std::lock_guard<std::mutex> lock(g_recordsLock);
    Note(copy, record);
}

bool CopyRecordOf(unsigned long long copy, CopyRecord &record) {
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

bool MadeOfThisVersion(const CopyRecord &record, unsigned long long source, ULONGLONG size,
                       ULONGLONG lastWrite, ULONGLONG changeTime) {
    return record.source == source && record.size == size && record.lastWrite == lastWrite &&
           (record.changeTime == 0 || changeTime == 0 || record.changeTime == changeTime);
}

std::vector<NotedCopy> NotedCopies() {
    std::lock_guard<std::mutex> lock(g_recordsLock);
    std::map<unsigned long long, NotedCopy> byOrder;
    for (const auto &[copy, noted] : g_records)
        byOrder[noted.order] = NotedCopy{copy, noted.record};
    std::vector<NotedCopy> copies;
    copies.reserve(byOrder.size());
    for (const auto &[order, copy] : byOrder)
        copies.push_back(copy);
    return copies;
}

void ReplaceNotedCopies(const std::vector<NotedCopy> &copies) {
    std::lock_guard<std::mutex> lock(g_recordsLock);
    g_records.clear();
    for (const NotedCopy &copy : copies)
        Note(copy.copy, copy.record);
    ++g_version;
}

unsigned long long CopyRecordsVersion() {
    std::lock_guard<std::mutex> lock(g_recordsLock);
    return g_version;
}
