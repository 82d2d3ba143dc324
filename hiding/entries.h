// SPDX-License-Identifier: GPL-3.0-or-later
// Several files and folders in one sealed record. One file alone keeps the
// plain record of hiding/sealed.h; a record of entries has the entries flag
// set in its header and reads, before compression:
//
//   0    4  E: entries (LE), 1..kMaxEntries
//   4    4  T: bytes of the table that follows (LE)
//   8    T  the table, an entry after another:
//             1  kind: 0 a file, 1 a folder
//             4  the file's size (LE); 0 for a folder
//             2  P: the path's length (LE), 1..kMaxEntryPathBytes
//             P  the path, relative: names joined by '/'
//   8+T     the files' bytes, one after another in the table's order
//
// The table comes first so that a decode checks all of it (paths, repeats,
// sizes against the record's) before it writes a byte, even while the rest
// still streams out of a zstd frame. A folder's entry comes before the
// entries under it; a folder need not have one unless it is empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hiding/dialog_port.h"
#include "hiding/sealed.h"

constexpr size_t kMaxEntries = 10000;
constexpr size_t kMaxEntryPathBytes = 1024;
constexpr size_t kMaxEntryDepth = 8;        // names in a path
constexpr size_t kMaxEntryNameBytes = 255;  // each, as Linux allows

struct Entry {
    std::string path;  // relative, names joined by '/'
    bool folder = false;
    uint64_t size = 0;   // a file's bytes
    std::string source;  // an encode's: where the bytes are read from
};

// Why `path` cannot be an entry's path (empty, absolute, a "." or ".."
// name, a control character or backslash, too long or too deep), or null.
const char* EntryPathProblem(const std::string& path);

// The entries for the files and folders at `paths`: a file under its own
// name, a folder under its name with everything in it, in name order.
// Links inside a folder are left out, never followed. An empty string, or
// the message that says which path cannot be hidden and why (a special
// file, a name a decode would refuse, too many entries).
std::string CollectEntries(const std::vector<std::string>& paths, std::vector<Entry>* entries);

// The bytes the files hold, and the record's size before compression.
uint64_t EntriesDataBytes(const std::vector<Entry>& entries);
uint64_t EntriesRecordBytes(const std::vector<Entry>& entries);

// The record of `entries`, read from their sources, as PackRecordFrom makes
// one within `limit`. Returns 0, kPixErrRead when a file cannot be opened
// or gives fewer bytes than it had, or kPixErrMemory.
int PackEntries(const std::vector<Entry>& entries, uint64_t limit, SealedRecord* record,
                bool* fits);

// The table of an entries record that UnsealFile gave (whole, or as its
// kept frame), checked whole: null, or kInvalidFileMessage when a path is
// unsafe or repeated, a file stands where another entry puts a folder, or
// the sizes do not add up to the record's. `code` gets kPixErrMemory when
// memory ran out.
const char* ReadEntries(const UnsealedFile& file, std::vector<Entry>* entries, int* code);

// Writes the entries of `file` (read by ReadEntries) under the dialog's
// output folder, or, when the dialog wants it and there is more than one
// entry at the top, in a folder named after `image` there. Folders are
// created and never followed through a link; an existing file is replaced
// only by the user's word (asked before anything is written). A decode
// that fails or is stopped half-way removes the files and folders it made.
int WriteEntries(DialogPort& dialog, const std::string& image, const UnsealedFile& file,
                 const std::vector<Entry>& entries);
