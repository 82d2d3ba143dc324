// SPDX-License-Identifier: GPL-3.0-or-later
// Ternary embedding with double-layered syndrome-trellis codes.
//
// The sender changes each element by -1, 0 or +1 so that the receiver,
// who knows only the key and the message length, reads the message back
// as syndromes of the elements' two lowest bit planes, while the total
// cost of the changes stays near the least any code can reach. Elements
// come in the order both sides walk (the caller's keyed order); the
// parity-check matrices come from the key, so neither side stores them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace stc {

constexpr unsigned kKeyBytes = 32;

// A cost that forbids changing an element ("wet").
constexpr float kWetCost = std::numeric_limits<float>::infinity();

struct Cover {
    int16_t* values = nullptr;     // changed in place by Embed
    const float* costs = nullptr;  // cost of a +-1 change; kWetCost forbids one
    size_t count = 0;
    int16_t lowest = 0;            // no change leaves [lowest, highest]
    int16_t highest = 255;
};

// The most message bytes `count` elements can carry.
size_t CapacityBytes(size_t count);

// Embeds `messageBytes` bytes, using up to `threads` threads (0: the
// machine's). False when the message is longer than CapacityBytes or no
// solution avoids the wet elements; the values may then be changed.
bool Embed(const Cover& cover, const uint8_t* message, size_t messageBytes,
           const uint8_t (&key)[kKeyBytes], unsigned threads = 0);

// Reads `messageBytes` bytes back from elements an Embed with the same key
// and length changed. False only when the length cannot fit `count`.
bool Extract(const int16_t* values, size_t count, uint8_t* message, size_t messageBytes,
             const uint8_t (&key)[kKeyBytes]);

}  // namespace stc
