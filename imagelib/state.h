// SPDX-License-Identifier: GPL-3.0-or-later
// Image library conventions: result codes, the per-thread state record that
// holds the last error and the per-format settings, and the exception raised
// when that record cannot be reached.
//
// Pixel buffers: 24-bit buffers are width x height x 3 bytes, red, green,
// blue, top row first, no row padding; 8-bit buffers hold one palette index
// per pixel. Palettes are 256 RGBQUAD entries (blue, green, red, reserved).
// Buffers the library returns are GMEM_MOVEABLE | GMEM_ZEROINIT blocks,
// unlocked, owned by the caller, who frees them with GlobalFree.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

enum PixError : int {
#define PIX_ERROR(name, value, text) name = value,
#include "imagelib/errors.def"
#undef PIX_ERROR
};

// The user-facing text of a result code, or null for a code without one
// (shown as "Error #n").
const char* PixErrorText(int code);

// The text the application shows for a code: its own text, or "Error #n".
std::string PixErrorMessage(int code);

struct RGBQUAD {
    uint8_t rgbBlue;
    uint8_t rgbGreen;
    uint8_t rgbRed;
    uint8_t rgbReserved;
};
static_assert(sizeof(RGBQUAD) == 4);
constexpr int kPixPaletteEntries = 256;

// Largest image any reader accepts, in pixels: larger headers are refused
// with kPixErrMemory before anything is allocated.
constexpr uint64_t kPixMaxPixels = uint64_t{1} << 30;

struct PixDensity {
    int32_t x, y, unit;
};
struct PixResolution {
    int32_t unit, x, y;
};
struct PixBackground {
    uint8_t index;
    uint16_t red, green, blue, grey;
};
struct PixText {
    std::string key;
    std::string text;
    int32_t compressed;
    // As libpng's png_text.compression: -1 tEXt, 0 zTXt, 1 iTXt, 2 compressed
    // iTXt; lets a write put a text back as the chunk it came from.
    int32_t kind = -1;
};

// One per calling thread, created on its first library call, alive until
// the process ends.
struct PixThreadState {
    PixDensity pngDensityRead{1, 1, 0};
    PixDensity pngDensityWrite{1, 1, 0};
    double screenGamma = 2.9;
    PixBackground background{};
    std::vector<PixText> pngTextsRead;
    std::vector<PixText> pngTextsWrite;
    PixResolution tiffResolutionRead{1, 1, 1};
    PixResolution tiffResolutionWrite{1, 1, 1};
    int32_t jpegWriteOption = 0;
    PixDensity jpegDensityRead{1, 1, 0};
    PixDensity jpegDensityWrite{1, 1, 0};
    std::vector<std::string> jpegCommentsRead;
    std::vector<std::string> jpegCommentsWrite;
    uint8_t jpegReadOption = 0;
    int32_t lastError = 0;
};

// Thrown, and never caught by the library, when the thread-local slot cannot
// be allocated or set; `code` is GetLastError() at that moment.
class TlsException {
  public:
    explicit TlsException(int32_t code) : code(code) {}
    int32_t code;
};

// A stop for the calling thread's reads and writes: once `flag` holds true
// they end between rows, leaving nothing allocated, with kPixErrCancelled.
// Null, as at first: they run to the end.
void PixSetCancelFlag(const std::atomic<bool>* flag);
const std::atomic<bool>* PixCancelFlag();
// Whether the calling thread's reads and writes are to stop now.
bool PixCancelled();

// The calling thread's record, created on first use.
PixThreadState& PixState();

// Stores `code` as the calling thread's last error and returns it, so a
// failing path reads `return PixSetLastError(kPixErrBmp);`.
int PixSetLastError(int code);

// The last error of the calling thread; 0 before its first call.
int PixGetLastError();

// A fresh movable, zero-initialised block holding `text` and its zero byte,
// for the text queries; null when it cannot be allocated.
HGLOBAL PixNewTextBlock(const std::string& text);
