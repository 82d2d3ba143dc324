// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/quantize.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <utility>

#include "imagelib/common.h"

namespace {

// Octree of colour counts: level d holds 8^d nodes; node k of level d is
// child k % 8 of node k / 8 of level d - 1. Level 5 nodes are the leaves,
// one per 8 x 8 x 8 cube of colours.
constexpr int kLeafLevel = 5;
constexpr uint32_t kLeafCount = 32768;
constexpr std::array<uint32_t, 6> kLevelStart = {0, 1, 9, 73, 585, 4681};
constexpr uint32_t kNodeCount = 37449;  // 1 + 8 + ... + 32768

struct Node {
    // 64-bit sums: a 24-megapixel sky in one node overflows 32 bits.
    uint64_t red;
    uint64_t green;
    uint64_t blue;
    uint64_t count;    // pixels merged in; non-zero once the node is (or was) a colour
    uint64_t weight;   // pixels anywhere in the subtree, fixed after the histogram
    uint8_t children;  // bit c: child c is a live colour or has live colours below
};

// A leaf's sums over a stretch of the picture: small enough to stay in the
// processor's cache, and a stretch of kStretch pixels cannot overflow them.
struct LeafSums {
    uint32_t red;
    uint32_t green;
    uint32_t blue;
    uint32_t count;
};
constexpr size_t kStretch = size_t{1} << 24;  // 255 * 2^24 < 2^32

struct HeapEntry {
    uint8_t level;
    uint16_t node;
};

// Leaf number: bits 7..3 of red, green and blue interleaved as octal digits
// 4r + 2g + b, most significant first; one table per channel.
constexpr std::array<uint16_t, 256> LeafBits(int shift) {
    std::array<uint16_t, 256> table{};
    for (int v = 0; v < 256; ++v) {
        int bits = 0;
        for (int d = 1; d <= 5; ++d) bits |= ((v >> (8 - d)) & 1) << (3 * (5 - d) + shift);
        table[v] = static_cast<uint16_t>(bits);
    }
    return table;
}
constexpr auto kLeafRed = LeafBits(2);
constexpr auto kLeafGreen = LeafBits(1);
constexpr auto kLeafBlue = LeafBits(0);

// Squares of -255..255, offset by 255.
constexpr std::array<int32_t, 511> kSquares = [] {
    std::array<int32_t, 511> table{};
    for (int k = -255; k <= 255; ++k) table[k + 255] = k * k;
    return table;
}();

// Errors are clamped to -20..20, so an error row slot stays small and a few
// bright pixels cannot smear across a row.
constexpr int kMaxError = 20;

constexpr int32_t kFarDistance = 200000;  // above 3 * 255^2

template <typename T>
struct ArrayDeleter {
    void operator()(T* p) const { delete[] p; }
};
template <typename T>
using Scratch = std::unique_ptr<T[], ArrayDeleter<T>>;

// Zeroed scratch array, or null when memory is short.
template <typename T>
Scratch<T> Allocate(size_t count) {
    return Scratch<T>(new (std::nothrow) T[count]());
}

struct Palette {
    uint8_t red[256] = {};
    uint8_t green[256] = {};
    uint8_t blue[256] = {};
    unsigned made = 0;
};

class Quantizer {
  public:
    Quantizer(Node* nodes, HeapEntry* heap) : nodes_(nodes), heap_(heap) {}

    // `sums` is zeroed scratch of kLeafCount entries.
    void Histogram(const uint8_t* rgb, size_t pixels, LeafSums* sums) {
        Node* leaves = nodes_ + kLevelStart[kLeafLevel];
        while (pixels > 0) {
            const size_t stretch = std::min(pixels, kStretch);
            for (size_t i = 0; i < stretch; ++i, rgb += 3) {
                LeafSums& leaf = sums[kLeafRed[rgb[0]] + kLeafGreen[rgb[1]] + kLeafBlue[rgb[2]]];
                leaf.red += rgb[0];
                leaf.green += rgb[1];
                leaf.blue += rgb[2];
                ++leaf.count;
            }
            pixels -= stretch;
            for (uint32_t i = 0; i < kLeafCount; ++i) {
                leaves[i].red += sums[i].red;
                leaves[i].green += sums[i].green;
                leaves[i].blue += sums[i].blue;
                leaves[i].count += sums[i].count;
                sums[i] = {};
            }
        }
    }

    void BuildHeap() {
        for (uint32_t i = 0; i < kLeafCount; ++i) {
            Node& leaf = At(kLeafLevel, i);
            const uint64_t a = leaf.count;
            if (a == 0) continue;
            heap_[++top_] = {kLeafLevel, static_cast<uint16_t>(i)};
            leaf.weight = a;
            uint32_t k = i;
            for (int level = kLeafLevel - 1; level >= 0; --level) {
                const uint32_t child = k % 8;
                k /= 8;
                Node& up = At(level, k);
                up.weight += a;
                up.children = static_cast<uint8_t>(up.children | 1u << child);
            }
        }
        for (uint32_t p = top_; p >= 1; --p) SiftDown(p);
    }

    // Folds the colour with the lightest subtree into its parent until at
    // most n colours are left.
    void Reduce(uint32_t n) {
        while (top_ > n) {
            const HeapEntry first = heap_[1];
            const Node& node = At(first.level, first.node);
            const uint8_t parentLevel = first.level > 0 ? static_cast<uint8_t>(first.level - 1) : 0;
            const uint16_t parentNumber = static_cast<uint16_t>(first.node / 8);
            Node& parent = At(parentLevel, parentNumber);
            if (parent.count != 0) {
                heap_[1] = heap_[top_--];
            } else {
                heap_[1] = {parentLevel, parentNumber};
            }
            parent.red += node.red;
            parent.green += node.green;
            parent.blue += node.blue;
            parent.count += node.count;
            parent.children = static_cast<uint8_t>(parent.children & ~(1u << (first.node % 8)));
            SiftDown(1);
        }
    }

    // Depth first from child 7 down to child 0, a node after its children.
    void BuildPalette(Palette* palette, int level = 0, uint32_t k = 0) const {
        const Node& node = At(level, k);
        if (level < kLeafLevel) {
            for (int c = 7; c >= 0; --c) {
                if (node.children & (1u << c))
                    BuildPalette(palette, level + 1, k * 8 + static_cast<uint32_t>(c));
            }
        }
        const uint64_t c = node.count;
        if (c == 0 || palette->made == 256) return;
        const unsigned j = palette->made++;
        palette->red[j] = static_cast<uint8_t>((node.red + c / 2) / c);
        palette->green[j] = static_cast<uint8_t>((node.green + c / 2) / c);
        palette->blue[j] = static_cast<uint8_t>((node.blue + c / 2) / c);
    }

  private:
    Node& At(int level, uint32_t k) const { return nodes_[kLevelStart[level] + k]; }
    uint64_t Weight(const HeapEntry& e) const { return At(e.level, e.node).weight; }

    void SiftDown(uint32_t p) {
        const HeapEntry item = heap_[p];
        const uint64_t weight = Weight(item);
        while (p <= top_ / 2) {
            uint32_t child = 2 * p;
            if (child < top_ && Weight(heap_[child + 1]) < Weight(heap_[child])) ++child;
            if (weight <= Weight(heap_[child])) break;
            heap_[p] = heap_[child];
            p = child;
        }
        heap_[p] = item;
    }

    Node* nodes_;
    HeapEntry* heap_;  // positions 1..top_
    uint32_t top_ = 0;
};

// Index of the palette entry nearest the centre of the 8 x 8 x 8 cell that
// holds (r, g, b); the first of equally near entries wins.
int Nearest(const Palette& palette, int r, int g, int b) {
    const int cr = (r & ~7) + 4 - 255, cg = (g & ~7) + 4 - 255, cb = (b & ~7) + 4 - 255;
    int32_t best = kFarDistance;
    int found = 0;
    for (unsigned j = 0; j < palette.made; ++j) {
        const int32_t d = kSquares[palette.red[j] - cr] + kSquares[palette.blue[j] - cb] +
                          kSquares[palette.green[j] - cg];
        if (d < best) {
            best = d;
            found = static_cast<int>(j);
        }
    }
    return found;
}

// A cache cell: the entry's index in bits 0-7 and its red, green and blue
// in the bytes above, so that one load gives both the index and the colour
// the error is taken against.
uint32_t Cell(const Palette& palette, unsigned j) {
    return j | uint32_t{palette.red[j]} << 8 | uint32_t{palette.green[j]} << 16 |
           uint32_t{palette.blue[j]} << 24;
}

struct Mapper {
    const Palette& palette;
    uint32_t* cache;  // nearest entry per 8 x 8 x 8 cell, `unset` until asked
    uint32_t unset;

    // One row in direction Step (+1 or -1). `read` holds the errors the row
    // above left for this one; `write` receives this row's for the next.
    template <int Step>
    void Row(const uint8_t* src, uint8_t* dst, uint32_t width, const int8_t* read, int8_t* write) {
        // The error a pixel passes to the next one in the row: kept here
        // rather than added into `read`, so each pixel waits on registers
        // only.
        int er = 0, eg = 0, eb = 0;
        uint32_t x = Step > 0 ? 0 : width - 1;
        for (uint32_t n = 0; n < width; ++n, x += Step) {
            const int8_t* in = read + 3 * x;
            const uint8_t* p = src + 3 * x;
            int r = p[0] + ((in[0] + er) >> 1);
            int g = p[1] + ((in[1] + eg) >> 1);
            int b = p[2] + ((in[2] + eb) >> 1);
            // Clamping is rare: a predicted branch keeps it off the chain
            // from one pixel to the next, where a conditional move would not.
            if (static_cast<unsigned>(r | g | b) > 255) [[unlikely]] {
                r = std::clamp(r, 0, 255);
                g = std::clamp(g, 0, 255);
                b = std::clamp(b, 0, 255);
            }
            uint32_t& slot = cache[(r >> 3) << 10 | (g >> 3) << 5 | (b >> 3)];
            if (slot == unset)
                slot = Cell(palette, static_cast<unsigned>(Nearest(palette, r, g, b)));
            const uint32_t cell = slot;
            dst[x] = static_cast<uint8_t>(cell);
            er = r - static_cast<int>(cell >> 8 & 255);
            eg = g - static_cast<int>(cell >> 16 & 255);
            eb = b - static_cast<int>(cell >> 24);
            er = std::clamp(er, -kMaxError, kMaxError);
            eg = std::clamp(eg, -kMaxError, kMaxError);
            eb = std::clamp(eb, -kMaxError, kMaxError);
            int8_t* below = write + 3 * x;
            below[0] = static_cast<int8_t>(er);
            below[1] = static_cast<int8_t>(eg);
            below[2] = static_cast<int8_t>(eb);
        }
    }
};

BOOL Fail(int code) {
    PixSetLastError(code);
    return 0;
}

}  // namespace

BOOL PixQuantize(const uint8_t* rgb, uint8_t* indices, uint32_t width, uint32_t height,
                 unsigned colours, RGBQUAD* palette) {
    PixSetLastError(0);
    if (rgb == nullptr || indices == nullptr || palette == nullptr) return Fail(kPixErrParam);
    const unsigned n = colours > 256 ? 256 : colours == 0 ? 1 : colours;

    size_t pixels = 0, bytes = 0, rowSlots = 0, errorSlots = 0;
    if (!MulSize(width, height, &pixels) || !MulSize(pixels, 3, &bytes)) return Fail(kPixErrParam);
    if (!MulSize(width, 3, &rowSlots) || !MulSize(rowSlots, 2, &errorSlots))
        return Fail(kPixErrMemory);

    // Everything is taken before any output is written, so a lack of memory
    // leaves the caller's buffers as they were.
    Scratch<Node> nodes = Allocate<Node>(kNodeCount);
    Scratch<LeafSums> sums = Allocate<LeafSums>(kLeafCount);
    Scratch<HeapEntry> heap = Allocate<HeapEntry>(kLeafCount + 1);
    Scratch<uint32_t> cache = Allocate<uint32_t>(kLeafCount);
    Scratch<int8_t> errors = Allocate<int8_t>(errorSlots);
    auto built = std::unique_ptr<Palette>(new (std::nothrow) Palette());
    if (!nodes || !sums || !heap || !cache || !errors || !built) return Fail(kPixErrMemory);

    Quantizer tree(nodes.get(), heap.get());
    tree.Histogram(rgb, pixels, sums.get());
    tree.BuildHeap();
    tree.Reduce(n);
    tree.BuildPalette(built.get());

    // Entry 255 with a colour it does not have: no cell holds that.
    const uint32_t unset = Cell(*built, 255) ^ 1u << 8;
    std::fill_n(cache.get(), kLeafCount, unset);
    Mapper mapper{*built, cache.get(), unset};
    int8_t* read = errors.get();
    int8_t* write = read + rowSlots;
    for (uint32_t y = 0; y < height; ++y) {
        // A stop leaves the indices part written: the caller drops them.
        if (PixCancelled()) return Fail(kPixErrCancelled);
        const uint8_t* src = rgb + size_t{y} * width * 3;
        uint8_t* dst = indices + size_t{y} * width;
        if (y % 2 == 0) {
            mapper.Row<1>(src, dst, width, read, write);
        } else {
            mapper.Row<-1>(src, dst, width, read, write);
        }
        std::swap(read, write);
    }

    for (unsigned i = 0; i < n; ++i) {
        palette[i].rgbBlue = built->blue[i];
        palette[i].rgbGreen = built->green[i];
        palette[i].rgbRed = built->red[i];
    }
    return 1;
}

BOOL PixRGBToGray(const uint8_t* rgb, uint32_t width, uint32_t height, uint8_t* indices) {
    if (rgb == nullptr || indices == nullptr) return Fail(kPixErrParam);
    size_t pixels = 0, bytes = 0;
    if (!MulSize(width, height, &pixels) || !MulSize(pixels, 3, &bytes)) return Fail(kPixErrParam);
    // Double precision in this order, built without fused multiply-add, so
    // that (128, 128, 128) gives 127 on every machine.
    for (size_t i = 0; i < pixels; ++i, rgb += 3) {
        const double grey = rgb[1] * 0.587 + rgb[0] * 0.299 + rgb[2] * 0.114;
        indices[i] = static_cast<uint8_t>(static_cast<int>(grey));
    }
    PixSetLastError(0);
    return 1;
}
