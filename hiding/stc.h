// SPDX-License-Identifier: GPL-3.0-or-later
// Ternary (+-1) embedding with syndrome-trellis codes (or, for long
// sequences, polar codes: hiding/polar.h).
//
// The sender changes elements by +-1 so that the syndromes of two bit
// planes of the changed values spell the message, choosing, among all the
// ways to do so, one of nearly the least total cost. The receiver needs no
// costs: it reads the bit planes and multiplies by the same matrices.
//
// The message's bits are split between the planes as the payload-limited
// sender would split them: the second plane carries a share of them (the
// sender's choice, in 1/65535ths, which the receiver must be told), the
// lowest plane the rest. The sequence is cut into code blocks that are
// coded on their own, on as many threads as there are, each carrying its
// share of both parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace stc {

// What an element allows, beside the two lowest bits of its value (two's
// complement for negative values) in bits 0 and 1.
constexpr uint8_t kNoUp = 4;    // +1 would leave the range
constexpr uint8_t kNoDown = 8;  // -1 would

// Height of the trellis: 2^height states. Larger codes lose less against
// the bound and cost twice the time per step. kHeight asks for the height
// HeightFor gives for the number of elements, which sender and receiver
// both know; other values, 1 to 16, are taken as they are.
constexpr int kHeight = 0;

// The height kHeight stands for with `count` elements: taller for fewer
// elements, where it costs little time.
int HeightFor(size_t count);

// A sequence of elements in the order they are coded.
struct Elements {
    uint8_t* low;        // value & 3, plus kNoUp / kNoDown; the stego's own after embedding
    const float* cost;   // cost of a change either way (> 0, finite)
    size_t count;
};

// Elements a code block holds: kBlock asks for the length that keeps a
// block's path within a thread's share of memory, as the height gives it;
// a longer one is traced a stretch at a time (twice the forward work) and
// loses less at its ends.
constexpr size_t kBlock = 0;

// Bits of `bits` the second plane carries at `share`.
uint64_t UpperBits(uint64_t bits, uint16_t share);

// Changes elements.low so that Extract gives `message` (`bits` bits, least
// significant bit of each byte first) back; *share gets the split. False, with the elements unchanged,
// when the message cannot be carried (more bits than the elements hold, or
// no way around forbidden changes, or no memory). `threads` 0 means as
// many as the machine has. With `polarLog` (12 to polar::kMostLog), the
// planes are coded in polar blocks of up to 2^polarLog elements instead
// (hiding/polar.h), the last few thousand by a trellis.
bool Embed(const Elements& elements, const uint8_t* message, uint64_t bits, uint16_t* share,
           int height = kHeight, unsigned threads = 0, size_t block = kBlock, int polarLog = 0);

// As Embed, at a split both sides know beforehand: for a part whose
// receiver cannot be told the split. One thread.
bool EmbedAtShare(const Elements& elements, const uint8_t* message, uint64_t bits, uint16_t share,
                  int height = kHeight);

// The message carried by the elements' two low bits (`low`, one a byte;
// other bits are ignored). `message` holds (bits + 7) / 8 bytes.
void Extract(const uint8_t* low, size_t count, uint64_t bits, uint16_t share, uint8_t* message,
             int height = kHeight, size_t block = kBlock, int polarLog = 0);

// One binary layer: the bits y (one a byte) nearest in cost to the cover
// bits x, where changing bit i costs w[i] (infinity forbids it), whose
// syndrome is msg (a bit a byte). False when no way avoids a forbidden
// change.
bool EmbedBits(const uint8_t* x, const float* w, size_t count, const uint8_t* msg, uint64_t bits,
               int height, uint8_t* y);

// Submatrix `draw` of those the chosen ones are picked from, for a layer
// of `count` columns and `bits` rows, and EmbedBits with a given one in
// place of the chosen one: for the search that picks them.
std::vector<uint32_t> DrawnSubmatrix(int height, size_t count, uint64_t bits, uint32_t draw);
bool EmbedBitsWith(const uint32_t* columns, const uint8_t* x, const float* w, size_t count,
                   const uint8_t* msg, uint64_t bits, int height, uint8_t* y);

// The trellis kernels: the widest the processor has, or the AVX2 one
// where it has wider, so that a check can run both.
enum class Kernel { kWidest, kAvx2 };

// EmbedBits with the path traced `most` columns at a time (where rows
// allow), costs taken as nats when `nats` (8 or 16 bits a cost where the
// processor allows): for the checks that stretches find what one piece
// does and that the kernels agree.
bool EmbedBitsInStretches(const uint8_t* x, const float* w, size_t count, const uint8_t* msg,
                          uint64_t bits, int height, size_t most, uint8_t* y, bool nats,
                          Kernel kernel = Kernel::kWidest);

// Entry (row, column) of that layer's parity-check matrix, so a check can
// multiply it out plainly.
bool MatrixEntry(int height, size_t count, uint64_t bits, uint64_t row, size_t column);

// Most bits `count` elements can carry.
uint64_t MaxBits(size_t count);

// The payload-limited sender's bound for the same costs: the expected cost
// of carrying `bits` with changes drawn from the optimal (Gibbs)
// distribution. For measurements.
double BoundCost(const Elements& elements, uint64_t bits);

}  // namespace stc
