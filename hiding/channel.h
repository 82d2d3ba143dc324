// SPDX-License-Identifier: GPL-3.0-or-later
// Where the 24-bit methods put their bits, and the extractors that the
// 8-bit methods share. Payload bits are taken from the least significant
// end of each payload byte.
//
// 666: payload byte k in colour bytes 4k..4k+3, two bits each:
//        byte 4k: bits 1..0   4k+1: bits 3..2   4k+2: bits 5..4   4k+3: bits 7..6
// 777: payload byte k in colour bytes 8k..8k+7, bit m in bit 0 of byte 8k+m
// 886: payload byte k in the blue bytes of pixels 4k..4k+3, two bits each,
//      as 666; red and green never change.
#pragma once

#include <cstddef>
#include <cstdint>

// Each embedder changes `pixels` (pixelCount RGB pixels) in place. Payload
// bytes that would fall past the image's last whole group are not written;
// the caller checks the fit beforehand.
void Embed666(uint8_t* pixels, uint64_t pixelCount, const uint8_t* payload, uint64_t size);
void Embed777(uint8_t* pixels, uint64_t pixelCount, const uint8_t* payload, uint64_t size);
void Embed886(uint8_t* pixels, uint64_t pixelCount, const uint8_t* payload, uint64_t size);

// Each extractor reads `count` payload bytes from the carrier at `carrier`,
// of which `left` bytes remain, and reports the carrier bytes it consumed.
// With fewer than `count` whole groups left it fails and touches nothing.
bool ExtractPairs(const uint8_t* carrier, uint8_t* out, size_t count, size_t left,
                  size_t* consumed);  // 2 bits of each byte: 4 bytes a payload byte
bool ExtractBits(const uint8_t* carrier, uint8_t* out, size_t count, size_t left,
                 size_t* consumed);  // bit 0 of each byte: 8 bytes a payload byte
bool ExtractBluePairs(const uint8_t* carrier, uint8_t* out, size_t count, size_t left,
                      size_t* consumed);  // 2 bits of each blue byte: 12 colour bytes
