// SPDX-License-Identifier: GPL-3.0-or-later
// Binary embedding with polar codes, for long sequences.
//
// A block of 2^log elements is the codeword y = u G of G = F^(x log),
// F = [1 0; 1 1]; G is its own inverse, so the receiver gets u = y G back
// with a butterfly pass and reads the message in fixed positions of u.
// The sender fixes those to the message and decides the others one by one
// by successive cancellation from the cover bits and the costs, which
// makes y near the cover in cost. On a long block it loses less against
// the bound than a trellis of height 8, in about a third of its time.
// The positions that carry the message are those whose bits the cover
// tells least about; which those are depends on the rate, so both sides
// rank them from the block's length and the layer's rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace polar {

// Blocks hold at most 2^kMostLog elements: longer ones lose little less
// and cost memory.
constexpr int kMostLog = 22;

// Where a layer's bits go in blocks of 2^log elements: the positions whose
// bits the cover tells least about, ranked; a block carrying b bits puts
// them at the positions ranked below b, in increasing order of position.
struct Carriers {
    std::vector<uint32_t> position;  // increasing
    std::vector<uint32_t> rank;      // each position's
};

// The carriers of a layer whose bits are `rate` of its elements, for blocks
// carrying from `least` to `most` bits (the first `least` share rank 0).
// False when memory runs out.
bool Rank(int log, double rate, uint64_t least, uint64_t most, Carriers* carriers);

// The bits y (one a byte) near in cost to the cover bits x, where changing
// bit i costs w[i] (infinity forbids it), that carry msg (a bit a byte,
// `bits` of them, from `least` to `most` of the carriers'). False when the
// way found makes a forbidden change, or memory runs out.
bool EmbedLayer(const uint8_t* x, const float* w, int log, const Carriers& carriers,
                const uint8_t* msg, uint64_t bits, uint8_t* y);

// A thread's working memory is kept from one block to the next, as new
// memory costs its page faults each time; this lets the calling thread's
// go (a worker's goes when it ends).
void ReleaseWorkspace();

// The message carried by bit `plane` of y (2^log bytes). False when memory
// runs out or fewer than `bits` carriers rank below it.
bool ExtractLayer(const uint8_t* y, int plane, int log, const Carriers& carriers, uint64_t bits,
                  uint8_t* msg);

}  // namespace polar
