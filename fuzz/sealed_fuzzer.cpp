// SPDX-License-Identifier: GPL-3.0-or-later
// The input is a sealed record as a decode sees it once the passphrase has
// opened it: its first byte says whether it is a zstd frame, the rest is
// the record. It is sealed into a carrier under a fixed passphrase and salt
// and read back, so every record reaches the name and size checks and the
// decompression behind the authentication a random carrier never passes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <vector>

#include "hiding/sealed.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "sealed: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const Passphrase passphrase = [] {
        Passphrase p;
        if (!p.Assign("fuzz", 4)) Fail("no guarded memory");
        return p;
    }();
    static const uint8_t kSalt[kSaltBytes] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

    SealedRecord record;
    record.compressed = (data[0] & 1) != 0;
    record.bytes.assign(data + 1, data + size);
    // Room for the record and as much again, so a size claim past the
    // record still lies within the carrier.
    const uint64_t pixels = std::max<uint64_t>(64, SealedBytes(record.bytes.size()) * 16 / 3 + 1);
    std::vector<uint8_t> carrier(pixels * 3);
    for (size_t i = 0; i < carrier.size(); ++i) carrier[i] = static_cast<uint8_t>(0x80 + i % 3);
    SealOptions options;
    options.salt = kSalt;
    if (SealRecord(carrier.data(), uint32_t(pixels), 1, passphrase, record, options) != 0)
        Fail("could not seal");

    const UnsealedFile file = UnsealFile(carrier.data(), pixels, passphrase);
    if (file.message == nullptr && file.code == 0) {
        // A name that opened must be a bare file name.
        if (file.name.empty() || file.name.find('/') != std::string::npos || file.name == "." ||
            file.name == "..")
            Fail("unsafe name accepted");
    }
    return 0;
}
