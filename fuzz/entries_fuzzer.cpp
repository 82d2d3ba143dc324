// SPDX-License-Identifier: GPL-3.0-or-later
// The input is a record of entries as a decode holds it once the passphrase
// has opened it: its first byte says whether to give it as a zstd frame,
// the rest is the record. What the table check lets through must be safe
// to write: clean relative paths, none twice, sizes that add up.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

#include "hiding/entries.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "entries: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    UnsealedFile file;
    file.entries = true;
    file.data.assign(data + 1, data + size);
    // A frame only when the record compresses: packed within one byte less
    // than it takes, it comes out as one or not at all.
    if ((data[0] & 1) != 0 && file.data.size() > 1) {
        SealedRecord frame;
        bool fits = false;
        if (PackRecordFrom(file.data, 0, nullptr, file.data.size() - 1, &frame, &fits) != 0)
            Fail("could not pack");
        if (fits) {
            file.frame = std::move(frame.bytes);
            file.data.clear();
        }
    }
    std::vector<Entry> entries;
    int code = 0;
    if (ReadEntries(file, &entries, &code) != nullptr || code != 0) {
        if (!entries.empty()) Fail("refused, yet entries were left");
        return 0;
    }
    uint64_t bytes = 0;
    std::unordered_set<std::string> seen;
    for (const Entry& entry : entries) {
        if (EntryPathProblem(entry.path) != nullptr) Fail("unsafe path accepted");
        if (!seen.insert(entry.path).second) Fail("repeated path accepted");
        bytes += entry.size;
    }
    if (entries.empty() || bytes > size) Fail("sizes past the record accepted");
    return 0;
}
