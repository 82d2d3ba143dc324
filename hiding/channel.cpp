// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/channel.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

// A payload byte spread over a group of carrier bytes, in the order the
// group lies in memory, so one masked word write lays a whole byte.
template <typename Word, int kBitsPerCarrier>
constexpr std::array<Word, 256> MakeSpreadTable() {
    constexpr int kCarriers = 8 / kBitsPerCarrier;
    constexpr unsigned kMask = (1u << kBitsPerCarrier) - 1;
    std::array<Word, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        std::array<uint8_t, sizeof(Word)> bytes{};
        for (int m = 0; m < kCarriers; ++m)
            bytes[m] = static_cast<uint8_t>((value >> (kBitsPerCarrier * m)) & kMask);
        table[value] = std::bit_cast<Word>(bytes);
    }
    return table;
}
constexpr auto kSpreadPairs = MakeSpreadTable<uint32_t, 2>();
constexpr auto kSpreadBits = MakeSpreadTable<uint64_t, 1>();

template <typename Word>
Word RepeatByte(uint8_t byte) {
    std::array<uint8_t, sizeof(Word)> bytes;
    bytes.fill(byte);
    return std::bit_cast<Word>(bytes);
}

template <typename Word>
Word Load(const uint8_t* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

template <typename Word>
void Store(uint8_t* p, Word w) {
    std::memcpy(p, &w, sizeof w);
}

// Gathers the low bits of each byte of a group into one payload byte, the
// group's first byte lowest: a word load and a few shifts, not a loop.
static_assert(std::endian::native == std::endian::little, "word layouts assume little-endian");

inline uint8_t GatherPairs(const uint8_t* group) {
    uint32_t x = Load<uint32_t>(group) & 0x03030303u;
    x = (x | x >> 6) & 0x000F000Fu;
    return static_cast<uint8_t>(x | x >> 12);
}

inline uint8_t GatherBits(const uint8_t* group) {
    // Bit 8m of the masked word lands at bit 56 + m of the product, and no
    // other partial product reaches bits 56..63.
    const uint64_t x = Load<uint64_t>(group) & 0x0101010101010101ull;
    return static_cast<uint8_t>((x * 0x0102040810204080ull) >> 56);
}

uint64_t Groups(uint64_t carrierBytes, uint64_t groupBytes, uint64_t wanted) {
    return std::min(carrierBytes / groupBytes, wanted);
}

}  // namespace

void Embed666(uint8_t* pixels, uint64_t pixelCount, const uint8_t* payload, uint64_t size) {
    const uint32_t keep = RepeatByte<uint32_t>(0xFC);
    const uint64_t groups = Groups(pixelCount * 3, 4, size);
    for (uint64_t k = 0; k < groups; ++k) {
        uint8_t* group = pixels + 4 * k;
        Store(group, (Load<uint32_t>(group) & keep) | kSpreadPairs[payload[k]]);
    }
}

void Embed777(uint8_t* pixels, uint64_t pixelCount, const uint8_t* payload, uint64_t size) {
    const uint64_t keep = RepeatByte<uint64_t>(0xFE);
    const uint64_t groups = Groups(pixelCount * 3, 8, size);
    for (uint64_t k = 0; k < groups; ++k) {
        uint8_t* group = pixels + 8 * k;
        Store(group, (Load<uint64_t>(group) & keep) | kSpreadBits[payload[k]]);
    }
}

void Embed886(uint8_t* pixels, uint64_t pixelCount, const uint8_t* payload, uint64_t size) {
    const uint64_t groups = Groups(pixelCount, 4, size);
    for (uint64_t k = 0; k < groups; ++k) {
        uint8_t* blue = pixels + 12 * k + 2;
        const unsigned value = payload[k];
        blue[0] = static_cast<uint8_t>((blue[0] & 0xFC) | (value & 3));
        blue[3] = static_cast<uint8_t>((blue[3] & 0xFC) | ((value >> 2) & 3));
        blue[6] = static_cast<uint8_t>((blue[6] & 0xFC) | ((value >> 4) & 3));
        blue[9] = static_cast<uint8_t>((blue[9] & 0xFC) | (value >> 6));
    }
}

bool ExtractPairs(const uint8_t* carrier, uint8_t* out, size_t count, size_t left,
                  size_t* consumed) {
    if (left / 4 < count) return false;
    size_t i = 0;
    for (; i + 2 <= count; i += 2) {  // two groups per 64-bit word
        uint64_t x = Load<uint64_t>(carrier + 4 * i) & 0x0303030303030303ull;
        x = (x | x >> 6) & 0x000F000F000F000Full;
        x = x | x >> 12;
        out[i] = static_cast<uint8_t>(x);
        out[i + 1] = static_cast<uint8_t>(x >> 32);
    }
    if (i < count) out[i] = GatherPairs(carrier + 4 * i);
    *consumed = 4 * count;
    return true;
}

bool ExtractBits(const uint8_t* carrier, uint8_t* out, size_t count, size_t left,
                 size_t* consumed) {
    if (left / 8 < count) return false;
    for (size_t i = 0; i < count; ++i) out[i] = GatherBits(carrier + 8 * i);
    *consumed = 8 * count;
    return true;
}

bool ExtractBluePairs(const uint8_t* carrier, uint8_t* out, size_t count, size_t left,
                      size_t* consumed) {
    if (left / 12 < count) return false;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* blue = carrier + 12 * i + 2;
        out[i] = static_cast<uint8_t>((blue[0] & 3) | (blue[3] & 3) << 2 | (blue[6] & 3) << 4 |
                                      (blue[9] & 3) << 6);
    }
    *consumed = 12 * count;
    return true;
}
