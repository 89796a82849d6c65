#include "monitor/copy_records.h"

#include "monitor/long_path.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace {

const size_t kNotesPerPair = 65536;
// The file is written anew once it holds this many lines more than twice the notes.
const size_t kRewriteSlack = 256;

struct NoteKey {
    unsigned long long copy = 0, source = 0;
    bool operator==(const NoteKey &other) const {
        return copy == other.copy && source == other.source;
    }
};
struct NoteKeyHash {
    size_t operator()(const NoteKey &key) const {
        return size_t(key.copy ^ (key.source * 0x9E3779B97F4A7C15ULL));
    }
};

struct Kept {
    CopyNote note;
    unsigned long long touched = 0; // when it was last made or changed, counted up
};

// One pair's notes, the least recently touched first. An entry whose count differs from its
// note's is stale (the note was touched again since) and is passed over.
struct PairNotes {
    size_t count = 0;
    std::deque<std::pair<unsigned long long, NoteKey>> byTouch;
};

// Every watch thread, the loader and the writer of the file, under the lock.
std::mutex g_notesLock;
std::unordered_map<NoteKey, Kept, NoteKeyHash> g_notes;
std::unordered_map<unsigned long long, unsigned long long> g_lastMade; // copy -> its source
std::unordered_map<unsigned long long, PairNotes> g_pairs;
unsigned long long g_touches = 0;
unsigned long long g_made = 0;
std::vector<CopyNote> g_unwritten; // made or changed since the file was last written
size_t g_linesInFile = 0;
bool g_rewriteWanted = false;

bool IsLastMade(const CopyNote &note) {
    auto last = g_lastMade.find(note.copy);
    return last != g_lastMade.end() && last->second == note.source;
}

void Forget(const NoteKey &key) {
    auto found = g_notes.find(key);
    if (found == g_notes.end())
        return;
    if (IsLastMade(found->second.note))
        g_lastMade.erase(key.copy);
    g_notes.erase(found);
}

// Takes the stale entries out of a pair's order: it holds each note once again.
void RebuildOrder(unsigned long long pairId, PairNotes &pair) {
    std::vector<std::pair<unsigned long long, NoteKey>> order;
    order.reserve(pair.count);
    for (const auto &[key, kept] : g_notes)
        if (kept.note.pair == pairId)
            order.push_back({kept.touched, key});
    std::sort(order.begin(), order.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    pair.byTouch.assign(order.begin(), order.end());
}

// Forgets the pair's least recently touched notes while it holds more than it keeps.
void KeepPairWithinBounds(unsigned long long pairId, PairNotes &pair) {
    while (pair.count > kNotesPerPair && !pair.byTouch.empty()) {
        auto [touched, key] = pair.byTouch.front();
        pair.byTouch.pop_front();
        auto found = g_notes.find(key);
        if (found == g_notes.end() || found->second.touched != touched)
            continue;
        Forget(key);
        --pair.count;
    }
    if (pair.byTouch.size() > 2 * pair.count + 64)
        RebuildOrder(pairId, pair);
}

void Touch(const CopyNote &note) {
    NoteKey key{note.copy, note.source};
    Kept &kept = g_notes[key];
    bool fresh = kept.touched == 0;
    if (!fresh && kept.note.pair != note.pair)
        --g_pairs[kept.note.pair].count; // its old pair's entry is stale from now on
    kept.note = note;
    kept.touched = ++g_touches;
    PairNotes &pair = g_pairs[note.pair];
    pair.byTouch.push_back({kept.touched, key});
    if (fresh)
        ++pair.count;
    // Of the notes of one copy, the one put in place last says what it holds.
    auto last = g_lastMade.find(note.copy);
    if (note.made != 0 && last != g_lastMade.end() && last->second != note.source) {
        auto current = g_notes.find(NoteKey{note.copy, last->second});
        if (current == g_notes.end() || current->second.note.made < note.made)
            last->second = note.source;
    } else if (note.made != 0 && last == g_lastMade.end()) {
        g_lastMade[note.copy] = note.source;
    }
    KeepPairWithinBounds(note.pair, pair);
}

// Queues the note for the file; past as many lines as there are notes, the file is better
// written anew (a file that cannot be written for long must not cost memory without bound).
void Unwritten(const CopyNote &note) {
    if (g_rewriteWanted)
        return;
    g_unwritten.push_back(note);
    if (g_unwritten.size() > g_notes.size() + kRewriteSlack) {
        g_unwritten.clear();
        g_rewriteWanted = true;
    }
}

// Reads one field of `digits` in `base`, at most `longest` digits; false for anything else.
bool ReadField(const std::string &digits, int base, size_t longest, unsigned long long &value) {
    if (digits.empty() || digits.size() > longest)
        return false;
    for (char c : digits)
        if (base == 16 ? !std::isxdigit((unsigned char)c) : !std::isdigit((unsigned char)c))
            return false;
    value = std::strtoull(digits.c_str(), nullptr, base);
    return true;
}

// One line: ten fields separated by single spaces (copy, source and pair as 16 hexadecimal
// digits, size, the three times and the count in decimal, the attributes as 8 hexadecimal
// digits), or the six of the form before them (copy and source in hexadecimal, then size,
// last-write and change time and the copy's last-write time in decimal).
bool ParseNoteLine(const std::string &line, CopyNote &note) {
    static const int kBases[10] = {16, 16, 16, 10, 10, 10, 16, 10, 10, 10};
    static const int kOldBases[6] = {16, 16, 10, 10, 10, 10};
    std::vector<std::string> parts;
    for (size_t at = 0;;) {
        size_t space = line.find(' ', at);
        parts.push_back(
            line.substr(at, space == std::string::npos ? std::string::npos : space - at));
        if (space == std::string::npos)
            break;
        at = space + 1;
    }
    if (parts.size() != 6 && parts.size() != 10)
        return false;
    const int *bases = parts.size() == 6 ? kOldBases : kBases;
    unsigned long long fields[10] = {};
    for (size_t i = 0; i < parts.size(); ++i)
        if (!ReadField(parts[i], bases[i], bases[i] == 16 ? (i == 6 ? 8 : 16) : 20, fields[i]))
            return false;
    note = CopyNote();
    note.copy = fields[0];
    note.source = fields[1];
    if (parts.size() == 6) {
        note.size = fields[2];
        note.lastWrite = fields[3];
        note.changeTime = fields[4];
        note.copyWrite = fields[5];
    } else {
        note.pair = fields[2];
        note.size = fields[3];
        note.lastWrite = fields[4];
        note.changeTime = fields[5];
        note.attributes = DWORD(fields[6]);
        note.copyWrite = fields[7];
        note.copiedAt = fields[8];
        note.made = fields[9];
    }
    return note.copy != 0 && note.source != 0;
}

} // namespace

unsigned long long NotesPairOf(const std::wstring &source, const std::wstring &dest) {
    unsigned long long first = PathHash(source), second = PathHash(dest);
    unsigned long long pair =
        first ^ (second + 0x9E3779B97F4A7C15ULL + (first << 6) + (first >> 2));
    return pair == 0 ? 1 : pair;
}

void NoteCopyMade(CopyNote note) {
    std::lock_guard<std::mutex> lock(g_notesLock);
    note.made = ++g_made;
    Touch(note);
    Unwritten(note);
}

void NoteAttributesChanged(unsigned long long copy, unsigned long long source, DWORD attributes,
                           ULONGLONG changeTime) {
    std::lock_guard<std::mutex> lock(g_notesLock);
    auto found = g_notes.find(NoteKey{copy, source});
    if (found == g_notes.end())
        return;
    CopyNote note = found->second.note;
    note.attributes = attributes;
    note.changeTime = changeTime;
    Touch(note);
    Unwritten(note);
}

void NoteCopyChanged(unsigned long long copy) {
    std::lock_guard<std::mutex> lock(g_notesLock);
    auto last = g_lastMade.find(copy);
    if (last == g_lastMade.end())
        return;
    auto found = g_notes.find(NoteKey{copy, last->second});
    if (found == g_notes.end() || found->second.note.copyWrite == 0)
        return;
    CopyNote note = found->second.note;
    note.copyWrite = 0; // no file is ever as a copy written at time 0
    Touch(note);
    Unwritten(note);
}

bool NoteOfCopy(unsigned long long copy, CopyNote &note) {
    std::lock_guard<std::mutex> lock(g_notesLock);
    auto last = g_lastMade.find(copy);
    if (last == g_lastMade.end())
        return false;
    auto found = g_notes.find(NoteKey{copy, last->second});
    if (found == g_notes.end())
        return false;
    note = found->second.note;
    return true;
}

bool NoteOfSourceAt(unsigned long long source, unsigned long long copy, CopyNote &note) {
    std::lock_guard<std::mutex> lock(g_notesLock);
    auto found = g_notes.find(NoteKey{copy, source});
    if (found == g_notes.end())
        return false;
    note = found->second.note;
    return true;
}

bool StillAsCopied(const CopyNote &note, ULONGLONG size, ULONGLONG lastWrite) {
    return size == note.size && lastWrite == note.copyWrite;
}

std::string FormatNoteLine(const CopyNote &note) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "%016llx %016llx %016llx %llu %llu %llu %08lx %llu %llu %llu\r\n", note.copy,
                  note.source, note.pair, (unsigned long long)note.size,
                  (unsigned long long)note.lastWrite, (unsigned long long)note.changeTime,
                  (unsigned long)note.attributes, (unsigned long long)note.copyWrite,
                  (unsigned long long)note.copiedAt, note.made);
    return line;
}

std::vector<CopyNote> ParseNoteLines(const std::string &bytes, size_t &skipped, size_t *goodEnd) {
    std::vector<CopyNote> notes;
    skipped = 0;
    if (goodEnd)
        *goodEnd = 0;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t end = bytes.find('\n', at);
        bool ended = end != std::string::npos;
        if (!ended)
            end = bytes.size();
        std::string line = bytes.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        // A last line without its line feed is a write cut short.
        CopyNote note;
        if (ended && ParseNoteLine(line, note)) {
            notes.push_back(note);
            if (goodEnd)
                *goodEnd = at;
        } else {
            ++skipped;
        }
    }
    return notes;
}

void ReplaceNotes(const std::vector<CopyNote> &lines, size_t linesInFile, bool rewrite) {
    std::lock_guard<std::mutex> lock(g_notesLock);
    g_notes.clear();
    g_lastMade.clear();
    g_pairs.clear();
    g_unwritten.clear();
    g_rewriteWanted = false;
    g_touches = 0;
    g_made = 0;
    for (const CopyNote &line : lines)
        g_made = std::max(g_made, line.made);
    // Lines of the form before the count: each was a copy put in place, in the file's order.
    unsigned long long older = 0;
    for (CopyNote note : lines) {
        if (note.made == 0)
            note.made = ++older;
        Touch(note);
    }
    g_made = std::max(g_made, older);
    g_linesInFile = linesInFile;
    g_rewriteWanted = rewrite;
}

bool TakeNotesToWrite(NotesToWrite &write) {
    std::lock_guard<std::mutex> lock(g_notesLock);
    write = NotesToWrite();
    if (!g_rewriteWanted && g_unwritten.empty())
        return false;
    write.rewrite =
        g_rewriteWanted || g_linesInFile + g_unwritten.size() > 2 * g_notes.size() + kRewriteSlack;
    if (write.rewrite) {
        // The least recently touched first, as a later line stands for an earlier one.
        std::vector<const Kept *> order;
        order.reserve(g_notes.size());
        for (const auto &[key, kept] : g_notes)
            order.push_back(&kept);
        std::sort(order.begin(), order.end(),
                  [](const Kept *a, const Kept *b) { return a->touched < b->touched; });
        write.bytes.reserve(order.size() * 160);
        for (const Kept *kept : order)
            write.bytes += FormatNoteLine(kept->note);
        write.lines = order.size();
        write.notes.clear();
    } else {
        for (const CopyNote &note : g_unwritten)
            write.bytes += FormatNoteLine(note);
        write.lines = g_unwritten.size();
        write.notes = std::move(g_unwritten);
    }
    g_unwritten.clear();
    g_rewriteWanted = false;
    return true;
}

void NotesWritten(const NotesToWrite &write, bool written) {
    std::lock_guard<std::mutex> lock(g_notesLock);
    if (written) {
        g_linesInFile = write.rewrite ? write.lines : g_linesInFile + write.lines;
        return;
    }
    if (write.rewrite) {
        g_rewriteWanted = true;
        return;
    }
    // Before what was noted meanwhile, in the order they were noted.
    g_unwritten.insert(g_unwritten.begin(), write.notes.begin(), write.notes.end());
}
