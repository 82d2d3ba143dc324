// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/jpeg.h"

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "imagelib/common.h"
#include "imagelib/jpeg_coefficients.h"

// jpeglib.h expects FILE and size_t to be declared before it.
extern "C" {
#include <jpeglib.h>
// after jpeglib.h, which it needs
#include <jerror.h>
}

// The thread's jpegReadOption and jpegWriteOption stay 0 in this system,
// which means libjpeg's default DCT method and no message boxes, so they are
// not consulted.
//
// libjpeg leaves by longjmp, so every frame below that arms a jump buffer is
// plain: no object with a destructor, and no local changed after setjmp that
// is read after the jump. What must be released lives in a struct owned by
// the caller of that frame.

namespace {

struct JpegErrors {
    jpeg_error_mgr pub;  // first: libjpeg hands back a pointer to it
    jmp_buf jump;
};

[[noreturn]] void JumpOnError(j_common_ptr info) {
    longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}

void SendMessageToDebugger(j_common_ptr info) {
    char text[JMSG_LENGTH_MAX];
    (*info->err->format_message)(info, text);
    OutputDebugStringA(text);
    OutputDebugStringA("\n");
}

jpeg_error_mgr* SetUpErrors(JpegErrors* errors) {
    jpeg_std_error(&errors->pub);
    errors->pub.error_exit = JumpOnError;
    errors->pub.output_message = SendMessageToDebugger;
    return &errors->pub;
}

// A progressive file can hold any number of scans, and libjpeg walks the
// whole image for each of them; a few hundred bytes per scan could keep a
// read busy for hours. Real files have about ten scans.
constexpr int kMaxScans = 500;

// The blocks all scans together may walk: a floor that covers any real
// picture's ten or so scans, or more for a bigger file. A Huffman file holds
// at least a bit per block, so this is 2048 scans over its every block (32
// for an arithmetic one at its floor below); a 91 kB file of 500 refinement
// scans over a big picture once took 45 s.
constexpr uint64_t kScanWorkFloor = uint64_t{1} << 24;
constexpr uint64_t kScanWorkPerFileByte = 256;

// The progress monitor, with what the read has spent on scans so far.
struct ScanWork {
    jpeg_progress_mgr pub;  // first: libjpeg hands back a pointer to it
    int scan;               // the last scan counted
    uint64_t blocks;        // blocks of every scan counted
    uint64_t allowed;
    int overrun;  // 1 when the read stopped on too much work
    int stopped;  // 1 when the thread's cancel flag stopped it
};

void CountScanWork(j_common_ptr common) {
    if (!common->is_decompressor) return;
    auto* info = reinterpret_cast<j_decompress_ptr>(common);
    auto* work = reinterpret_cast<ScanWork*>(info->progress);
    // Called through the coefficients' input too, where no row loop is.
    if (PixCancelled()) {
        work->stopped = 1;
        (*common->err->error_exit)(common);
    }
    if (info->input_scan_number == work->scan) return;
    work->scan = info->input_scan_number;
    for (int c = 0; c < info->comps_in_scan; ++c) {
        const jpeg_component_info* comp = info->cur_comp_info[c];
        work->blocks += uint64_t{comp->width_in_blocks} * comp->height_in_blocks;
    }
    if (work->scan > kMaxScans || work->blocks > work->allowed) {
        work->overrun = 1;
        (*common->err->error_exit)(common);
    }
}

void WatchScans(jpeg_decompress_struct* info, ScanWork* work, uint64_t fileBytes) {
    work->allowed = std::max(kScanWorkFloor, std::min(fileBytes, UINT64_MAX / kScanWorkPerFileByte) *
                                                 kScanWorkPerFileByte);
    work->pub.progress_monitor = CountScanWork;
    info->progress = &work->pub;
}

// Whether the file could hold data for every block the frame claims. Every
// block of a Huffman file costs at least one bit (its DC code); an
// arithmetic one can do with far less, so it must hold a byte per 4096
// blocks, which no photograph comes near. A file short of that ends long
// before its scans do and would read as a mostly grey picture, after the
// whole pixel block was allocated.
bool DataCanFill(const jpeg_decompress_struct& info, uint64_t fileBytes) {
    uint64_t blocks = 0;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& comp = info.comp_info[c];
        blocks += uint64_t{comp.width_in_blocks} * comp.height_in_blocks;
    }
    const uint64_t blocksPerByte = info.arith_code ? 4096 : 8;
    return blocks / blocksPerByte <= fileBytes;
}

// What jpeg_start_decompress takes for a file whose scans must all be read
// before the first row comes out (progressive, or components in separate
// scans): every coefficient of the picture, the way libjpeg sizes it.
uint64_t AllCoefficientBytes(const jpeg_decompress_struct& info) {
    uint64_t bytes = 0;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& comp = info.comp_info[c];
        const uint64_t h = comp.h_samp_factor, v = comp.v_samp_factor;
        const uint64_t columns = (comp.width_in_blocks + h - 1) / h * h;
        const uint64_t rows = (comp.height_in_blocks + v - 1) / v * v;
        bytes += columns * rows * DCTSIZE2 * sizeof(JCOEF);
    }
    return bytes;
}

uint64_t CoefficientBytes(const jpeg_decompress_struct& info) {
    if (!info.progressive_mode && info.comps_in_scan >= info.num_components) return 0;
    return AllCoefficientBytes(info);
}

struct JpegRead {
    jpeg_decompress_struct info;
    JpegErrors errors;
    ScanWork progress;
    HGLOBAL block;
    uint8_t* pixels;
    uint32_t width, height;  // set once the block holds the picture
};
static_assert(std::is_trivial_v<JpegRead>);

// Replaces the thread's comments read with the COM markers libjpeg saved,
// each up to its first zero byte. False when memory runs out.
bool CollectComments(j_decompress_ptr info, PixThreadState* state) {
    try {
        state->jpegCommentsRead.clear();
        for (jpeg_saved_marker_ptr m = info->marker_list; m != nullptr; m = m->next) {
            if (m->marker != JPEG_COM || m->data == nullptr) continue;
            const char* text = reinterpret_cast<const char*>(m->data);
            state->jpegCommentsRead.emplace_back(text, strnlen(text, m->data_length));
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void StoreRgbRow(const uint8_t* in, uint8_t* out, size_t width, int components) {
    if (components == 1) {
        for (size_t x = 0; x < width; ++x, out += 3) out[0] = out[1] = out[2] = in[x];
    } else if (components == 4) {
        // Adobe CMYK is stored inverted, so ink-free white reads 255, 255, 255, 255.
        for (size_t x = 0; x < width; ++x, in += 4, out += 3) {
            const unsigned k = in[3];
            out[0] = static_cast<uint8_t>((in[0] * k + 127) / 255);
            out[1] = static_cast<uint8_t>((in[1] * k + 127) / 255);
            out[2] = static_cast<uint8_t>((in[2] * k + 127) / 255);
        }
    }
    // Any other layout (a two-component file, say) stays black.
}

int ReadJpegFrame(std::FILE* file, JpegRead* r, PixThreadState* state) {
    r->info.err = SetUpErrors(&r->errors);
    if (setjmp(r->errors.jump)) {
        if (r->progress.overrun) return kPixErrJpgWork;
        if (r->progress.stopped) return kPixErrCancelled;
        return r->errors.pub.msg_code == JERR_NO_BACKING_STORE ? kPixErrMemory : kPixErrJpg;
    }
    jpeg_create_decompress(&r->info);
    const uint64_t fileBytes = FileBytes(file);
    WatchScans(&r->info, &r->progress, fileBytes);
    jpeg_stdio_src(&r->info, file);
    jpeg_save_markers(&r->info, JPEG_COM, 0xFFFF);
    jpeg_read_header(&r->info, TRUE);
    if (!CollectComments(&r->info, state)) return kPixErrMemory;
    state->jpegDensityRead = {r->info.X_density, r->info.Y_density, r->info.density_unit};

    // Refuse a huge header before libjpeg allocates for it: a progressive
    // file's coefficients are buffered whole in jpeg_start_decompress.
    size_t bytes = 0;
    if (!ImageBytes(r->info.image_width, r->info.image_height, 3, &bytes)) return kPixErrMemory;
    // Memory beyond the pixel block is capped: the coefficients are checked
    // here, and libjpeg, having no backing store, fails whatever else would
    // pass the cap.
    const uint64_t cap = WorkCap(fileBytes);
    r->info.mem->max_memory_to_use = static_cast<long>(std::min<uint64_t>(cap, LONG_MAX));
    if (CoefficientBytes(r->info) > cap) return kPixErrMemory;
    if (!DataCanFill(r->info, fileBytes)) return kPixErrJpg;
    jpeg_start_decompress(&r->info);
    const size_t width = r->info.output_width;
    const int components = r->info.output_components;
    if (!ImageBytes(width, r->info.output_height, 3, &bytes)) return kPixErrMemory;
    r->block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);  // size proven just above
    if (r->block == nullptr) return kPixErrMemory;
    r->pixels = static_cast<uint8_t*>(GlobalLock(r->block));
    if (r->pixels == nullptr) return kPixErrMemory;

    const size_t stride = width * 3;
    if (components == 3) {
        // RGB output goes straight into the block, no copy.
        while (r->info.output_scanline < r->info.output_height) {
            JSAMPROW row = r->pixels + r->info.output_scanline * stride;
            jpeg_read_scanlines(&r->info, &row, 1);
        }
    } else {
        JSAMPARRAY sample =
            (*r->info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&r->info), JPOOL_IMAGE,
                                         static_cast<JDIMENSION>(width * components), 1);
        while (r->info.output_scanline < r->info.output_height) {
            const size_t y = r->info.output_scanline;
            jpeg_read_scanlines(&r->info, sample, 1);
            StoreRgbRow(sample[0], r->pixels + y * stride, width, components);
        }
    }
    jpeg_finish_decompress(&r->info);
    r->width = r->info.output_width;
    r->height = r->info.output_height;
    return 0;
}

int SizeFrame(std::FILE* file, jpeg_decompress_struct* info, JpegErrors* errors, uint32_t* width,
              uint32_t* height) {
    info->err = SetUpErrors(errors);
    if (setjmp(errors->jump)) return kPixErrJpg;
    jpeg_create_decompress(info);
    jpeg_stdio_src(info, file);
    jpeg_read_header(info, TRUE);
    *width = info->image_width;
    *height = info->image_height;
    return 0;
}

// The write state: lives in a movable block from BeginJPGWrite to
// EndJPGWrite, so it must be trivial.
struct JpegWrite {
    jpeg_compress_struct info;
    JpegErrors errors;
    std::FILE* file;
    uint8_t* greyRow;  // scratch for one grey row; null for colour output
    int rowFailed;     // libjpeg's state after a row error is not safe to finish
};
static_assert(std::is_trivial_v<JpegWrite>);

// libjpeg limits: a COM marker holds 65533 bytes, a side 65500 pixels.
bool WriteWouldBeRefused(const PixThreadState& state, uint32_t width, uint32_t height) {
    if (width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) return true;
    for (const std::string& comment : state.jpegCommentsWrite) {
        if (comment.size() > 65533) return true;
    }
    return false;
}

int BeginFrame(JpegWrite* w, const PixThreadState* state, const char* path, uint32_t width,
               uint32_t height, int colour, int quality, int progressive) {
    w->info.err = SetUpErrors(&w->errors);
    if (setjmp(w->errors.jump)) return kPixErrJpg;
    jpeg_create_compress(&w->info);
    // Refused up front so that an existing file is not truncated for nothing.
    if (WriteWouldBeRefused(*state, width, height)) return kPixErrJpg;
    if (!colour) {
        w->greyRow = static_cast<uint8_t*>(std::malloc(width));
        if (w->greyRow == nullptr) return kPixErrMemory;
    }
    w->file = std::fopen(path, "wb");
    if (w->file == nullptr) return kPixErrOpen;
    jpeg_stdio_dest(&w->info, w->file);

    w->info.image_width = width;
    w->info.image_height = height;
    w->info.input_components = colour ? 3 : 1;
    w->info.in_color_space = colour ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&w->info);
    jpeg_set_quality(&w->info, quality, TRUE);
    if (progressive) jpeg_simple_progression(&w->info);
    w->info.density_unit = static_cast<UINT8>(state->jpegDensityWrite.unit);
    w->info.X_density = static_cast<UINT16>(state->jpegDensityWrite.x);
    w->info.Y_density = static_cast<UINT16>(state->jpegDensityWrite.y);
    jpeg_start_compress(&w->info, TRUE);
    for (const std::string& comment : state->jpegCommentsWrite) {
        if (comment.empty()) continue;
        jpeg_write_marker(&w->info, JPEG_COM, reinterpret_cast<const JOCTET*>(comment.data()),
                          static_cast<unsigned>(comment.size()));
    }
    return 0;
}

int WriteRowFrame(JpegWrite* w, const uint8_t* row) {
    if (setjmp(w->errors.jump)) {
        w->rowFailed = 1;
        return kPixErrWrite;
    }
    JSAMPROW rows[1];
    if (w->greyRow != nullptr) {
        for (JDIMENSION x = 0; x < w->info.image_width; ++x) {
            const uint8_t* p = row + size_t{x} * 3;
            w->greyRow[x] = static_cast<uint8_t>(0.587 * p[1] + 0.114 * p[2] + 0.299 * p[0]);
        }
        rows[0] = w->greyRow;
    } else {
        rows[0] = const_cast<JSAMPROW>(row);  // libjpeg only reads input rows
    }
    jpeg_write_scanlines(&w->info, rows, 1);
    return 0;
}

int FinishFrame(JpegWrite* w) {
    if (setjmp(w->errors.jump)) return kPixErrJpg;
    jpeg_finish_compress(&w->info);
    return 0;
}

// Releases everything the write state holds; `code` is the result so far,
// turned into a write error if closing the file loses data.
int ReleaseWrite(JpegWrite* w, int code) {
    jpeg_destroy_compress(&w->info);
    if (w->file != nullptr && std::fclose(w->file) != 0 && code == 0) code = kPixErrWrite;
    w->file = nullptr;
    std::free(w->greyRow);
    w->greyRow = nullptr;
    return code;
}

}  // namespace

HGLOBAL PixReadJPG(const char* path, uint32_t* width, uint32_t* height) {
    if (path == nullptr || width == nullptr || height == nullptr) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    PixThreadState& state = PixState();
    FilePtr file = OpenFile(path, "rb");
    if (!file) {
        PixSetLastError(kPixErrOpen);
        return nullptr;
    }
    state.jpegCommentsRead.clear();
    *width = *height = 0;

    JpegRead r{};
    const int code = ReadJpegFrame(file.get(), &r, &state);
    jpeg_destroy_decompress(&r.info);
    if (r.pixels != nullptr) GlobalUnlock(r.block);
    if (code != 0) {
        GlobalFree(r.block);
        PixSetLastError(code);
        return nullptr;
    }
    *width = r.width;
    *height = r.height;
    PixSetLastError(kPixOk);
    return r.block;
}

BOOL PixGetJPGSize(const char* path, uint32_t* width, uint32_t* height) {
    if (path == nullptr || width == nullptr || height == nullptr) {
        PixSetLastError(kPixErrParam);
        return 0;
    }
    *width = *height = 0;
    FilePtr file = OpenFile(path, "rb");
    if (!file) return PixSetLastError(kPixErrOpen), 0;

    jpeg_decompress_struct info{};
    JpegErrors errors{};
    uint32_t w = 0, h = 0;
    const int code = SizeFrame(file.get(), &info, &errors, &w, &h);
    jpeg_destroy_decompress(&info);
    if (code != 0) return PixSetLastError(code), 0;
    *width = w;
    *height = h;
    PixSetLastError(kPixOk);
    return 1;
}

HGLOBAL BeginJPGWrite(const char* path, uint32_t width, uint32_t height, int colour, int quality,
                      int progressive) {
    if (path == nullptr || width == 0 || height == 0) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    const PixThreadState& state = PixState();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(JpegWrite));
    auto* w = static_cast<JpegWrite*>(GlobalLock(block));
    if (w == nullptr) {
        GlobalFree(block);
        PixSetLastError(kPixErrMemory);
        return nullptr;
    }
    const int code = BeginFrame(w, &state, path, width, height, colour, quality, progressive);
    if (code != 0) {
        ReleaseWrite(w, code);
        GlobalUnlock(block);
        GlobalFree(block);
        PixSetLastError(code);
        return nullptr;
    }
    GlobalUnlock(block);
    PixSetLastError(kPixOk);
    return block;
}

BOOL WriteJPGRow(HGLOBAL state, const uint8_t* row) {
    if (state == nullptr || row == nullptr) return PixSetLastError(kPixErrParam), 0;
    auto* w = static_cast<JpegWrite*>(GlobalLock(state));
    if (w == nullptr) return PixSetLastError(kPixErrMemory), 0;
    int code = kPixErrParam;  // every row already written
    if (w->rowFailed) {
        code = kPixErrWrite;
    } else if (w->info.next_scanline < w->info.image_height) {
        code = WriteRowFrame(w, row);
    }
    GlobalUnlock(state);
    PixSetLastError(code);
    return code == 0;
}

BOOL EndJPGWrite(HGLOBAL state) {
    if (state == nullptr) return PixSetLastError(kPixErrParam), 0;
    auto* w = static_cast<JpegWrite*>(GlobalLock(state));
    if (w == nullptr) return PixSetLastError(kPixErrMemory), 0;
    int code = w->rowFailed ? kPixErrWrite : FinishFrame(w);
    code = ReleaseWrite(w, code);
    GlobalUnlock(state);
    GlobalFree(state);
    PixSetLastError(code);
    return code == 0;
}

BOOL PixWriteJPG(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                 int quality, int colour, int progressive) {
    if (pixels == nullptr) return PixSetLastError(kPixErrParam), 0;
    HGLOBAL state = BeginJPGWrite(path, width, height, colour, quality, progressive);
    if (state == nullptr) return 0;
    const size_t stride = size_t{width} * 3;  // width <= 65500, checked by BeginJPGWrite
    for (uint32_t y = 0; y < height; ++y) {
        if (PixCancelled() || !WriteJPGRow(state, pixels + y * stride)) {
            const int code = PixCancelled() ? int{kPixErrCancelled} : PixGetLastError();
            EndJPGWrite(state);
            return PixSetLastError(code), 0;
        }
    }
    return EndJPGWrite(state);
}

BOOL PixAddJPGComment(const char* text) {
    if (text == nullptr) return PixSetLastError(kPixErrParam), 0;
    try {
        PixState().jpegCommentsWrite.emplace_back(text);
    } catch (const std::bad_alloc&) {
        return PixSetLastError(kPixErrMemory), 0;
    }
    PixSetLastError(kPixOk);
    return 1;
}

void PixClearJPGComments() {
    PixState().jpegCommentsWrite.clear();
    PixSetLastError(kPixOk);
}

int PixGetJPGCommentCount() {
    PixSetLastError(kPixOk);
    return static_cast<int>(PixState().jpegCommentsRead.size());
}

HGLOBAL PixGetJPGComment(int index) {
    const auto& comments = PixState().jpegCommentsRead;
    if (index < 0 || static_cast<size_t>(index) >= comments.size()) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    HGLOBAL block = PixNewTextBlock(comments[index]);
    PixSetLastError(block != nullptr ? kPixOk : kPixErrMemory);
    return block;
}

// Coefficient reads and writes. The read's libjpeg object stays alive until
// the write, which copies its parameters and coefficient arrays.

struct PixJpegCoefficients {
    jpeg_decompress_struct info;
    JpegErrors errors;
    ScanWork progress;
    jvirt_barray_ptr* arrays;
    JBLOCKROW* rows[MAX_COMPONENTS];  // every block row, found once
    unsigned char* memory;            // the compressed file of a non-JPEG base
    unsigned long memoryBytes;
};
static_assert(std::is_trivial_v<PixJpegCoefficients>);

namespace {

// The component's quantization table, null when the file has none for it.
const JQUANT_TBL* QuantTable(const jpeg_decompress_struct& info, const jpeg_component_info& comp) {
    if (comp.quant_table != nullptr) return comp.quant_table;
    if (comp.quant_tbl_no < 0 || comp.quant_tbl_no >= NUM_QUANT_TBLS) return nullptr;
    return info.quant_tbl_ptrs[comp.quant_tbl_no];
}

// With `file` null, reads jpeg->memory.
int ReadCoefficientsFrame(PixJpegCoefficients* c, std::FILE* file) {
    c->info.err = SetUpErrors(&c->errors);
    if (setjmp(c->errors.jump)) {
        if (c->progress.stopped) return kPixErrCancelled;
        if (c->progress.overrun) return kPixErrJpgWork;
        return c->errors.pub.msg_code == JERR_NO_BACKING_STORE ? kPixErrMemory : kPixErrJpg;
    }
    jpeg_create_decompress(&c->info);
    const uint64_t fileBytes = file != nullptr ? FileBytes(file) : c->memoryBytes;
    WatchScans(&c->info, &c->progress, fileBytes);
    if (file != nullptr) {
        jpeg_stdio_src(&c->info, file);
    } else {
        jpeg_mem_src(&c->info, c->memory, c->memoryBytes);
    }
    for (int m = 0; m < 16; ++m) jpeg_save_markers(&c->info, JPEG_APP0 + m, 0xFFFF);
    jpeg_save_markers(&c->info, JPEG_COM, 0xFFFF);
    jpeg_read_header(&c->info, TRUE);

    size_t bytes = 0;
    if (!ImageBytes(c->info.image_width, c->info.image_height, 3, &bytes)) return kPixErrMemory;
    // Every coefficient is held, whatever the file's mode.
    const uint64_t cap = WorkCap(fileBytes);
    c->info.mem->max_memory_to_use = static_cast<long>(std::min<uint64_t>(cap, LONG_MAX));
    if (AllCoefficientBytes(c->info) > cap) return kPixErrMemory;
    if (!DataCanFill(c->info, fileBytes)) return kPixErrJpg;
    c->arrays = jpeg_read_coefficients(&c->info);
    for (int i = 0; i < c->info.num_components; ++i) {
        const jpeg_component_info& comp = c->info.comp_info[i];
        // A component that no scan reached may name a table that was never
        // defined; such a file could not be written back.
        if (QuantTable(c->info, comp) == nullptr) return kPixErrJpg;
        c->rows[i] = static_cast<JBLOCKROW*>(
            std::malloc(size_t{comp.height_in_blocks} * sizeof(JBLOCKROW)));
        if (c->rows[i] == nullptr) return kPixErrMemory;
        // Without a backing store the arrays are whole in memory, so a row
        // found now stays where it is.
        for (JDIMENSION r = 0; r < comp.height_in_blocks; ++r) {
            c->rows[i][r] = (*c->info.mem->access_virt_barray)(
                reinterpret_cast<j_common_ptr>(&c->info), c->arrays[i], r, 1, TRUE)[0];
        }
    }
    return 0;
}

struct CompressToMemory {
    jpeg_compress_struct info;
    JpegErrors errors;
    jpeg_destination_mgr destination;
    PixJpegCoefficients* into;  // gets the file in memory and memoryBytes
};
static_assert(std::is_trivial_v<CompressToMemory>);

// A destination that grows c->memory, which always holds the one live
// buffer (libjpeg's own memory destination forgets it on an error).
constexpr size_t kFirstBufferBytes = 1 << 16;

void StartBuffer(j_compress_ptr info) {
    auto* w = reinterpret_cast<CompressToMemory*>(info);
    w->into->memory = static_cast<unsigned char*>(std::malloc(kFirstBufferBytes));
    if (w->into->memory == nullptr) ERREXIT(info, JERR_OUT_OF_MEMORY);
    w->into->memoryBytes = kFirstBufferBytes;
    w->destination.next_output_byte = w->into->memory;
    w->destination.free_in_buffer = kFirstBufferBytes;
}

boolean GrowBuffer(j_compress_ptr info) {
    auto* w = reinterpret_cast<CompressToMemory*>(info);
    const size_t used = w->into->memoryBytes;
    if (used > SIZE_MAX / 2) ERREXIT(info, JERR_OUT_OF_MEMORY);
    auto* grown = static_cast<unsigned char*>(std::realloc(w->into->memory, used * 2));
    if (grown == nullptr) ERREXIT(info, JERR_OUT_OF_MEMORY);
    w->into->memory = grown;
    w->into->memoryBytes = used * 2;
    w->destination.next_output_byte = grown + used;
    w->destination.free_in_buffer = used;
    return TRUE;
}

void EndBuffer(j_compress_ptr info) {
    auto* w = reinterpret_cast<CompressToMemory*>(info);
    w->into->memoryBytes -= w->destination.free_in_buffer;
}

int CompressFrame(CompressToMemory* w, PixJpegCoefficients* c, const uint8_t* pixels,
                  uint32_t width, uint32_t height, int quality) {
    w->info.err = SetUpErrors(&w->errors);
    if (setjmp(w->errors.jump))
        return w->errors.pub.msg_code == JERR_OUT_OF_MEMORY ? kPixErrMemory : kPixErrJpg;
    jpeg_create_compress(&w->info);
    w->into = c;
    w->destination.init_destination = StartBuffer;
    w->destination.empty_output_buffer = GrowBuffer;
    w->destination.term_destination = EndBuffer;
    w->info.dest = &w->destination;
    w->info.image_width = width;
    w->info.image_height = height;
    w->info.input_components = 3;
    w->info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&w->info);
    jpeg_set_quality(&w->info, quality, TRUE);
    jpeg_start_compress(&w->info, TRUE);
    const size_t stride = size_t{width} * 3;
    while (w->info.next_scanline < height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + w->info.next_scanline * stride);
        jpeg_write_scanlines(&w->info, &row, 1);
    }
    jpeg_finish_compress(&w->info);
    return 0;
}

struct CoefficientWrite {
    jpeg_compress_struct info;  // first: the monitor finds the rest from it
    JpegErrors errors;
    std::FILE* file;
    jpeg_progress_mgr progress;
    int stopped;  // 1 when the thread's cancel flag stopped it
};
static_assert(std::is_trivial_v<CoefficientWrite>);

// libjpeg calls it between rows of blocks while it writes them.
void PollCancelWhileWriting(j_common_ptr common) {
    if (!PixCancelled()) return;
    reinterpret_cast<CoefficientWrite*>(common)->stopped = 1;
    (*common->err->error_exit)(common);
}

int WriteCoefficientsFrame(CoefficientWrite* w, const PixJpegCoefficients* c, const char* path) {
    w->info.err = SetUpErrors(&w->errors);
    if (setjmp(w->errors.jump)) {
        if (w->stopped) return kPixErrCancelled;
        return w->errors.pub.msg_code == JERR_FILE_WRITE ? kPixErrWrite : kPixErrJpg;
    }
    jpeg_create_compress(&w->info);
    w->progress.progress_monitor = PollCancelWhileWriting;
    w->info.progress = &w->progress;
    w->file = std::fopen(path, "wb");
    if (w->file == nullptr) return kPixErrOpen;
    jpeg_stdio_dest(&w->info, w->file);
    // libjpeg only reads the source here.
    auto* source = const_cast<jpeg_decompress_struct*>(&c->info);
    jpeg_copy_critical_parameters(source, &w->info);
    // The source's own JFIF and Adobe segments are copied below instead.
    w->info.write_JFIF_header = FALSE;
    w->info.write_Adobe_marker = FALSE;
    w->info.restart_interval = c->info.restart_interval;
    w->info.arith_code = c->info.arith_code;
    w->info.optimize_coding = !c->info.arith_code;
    if (c->info.progressive_mode) jpeg_simple_progression(&w->info);
    jpeg_write_coefficients(&w->info, c->arrays);
    for (jpeg_saved_marker_ptr m = c->info.marker_list; m != nullptr; m = m->next) {
        jpeg_write_marker(&w->info, m->marker, m->data, m->data_length);
    }
    jpeg_finish_compress(&w->info);
    return 0;
}

PixJpegCoefficients* NewCoefficients() {
    auto* c = static_cast<PixJpegCoefficients*>(std::calloc(1, sizeof(PixJpegCoefficients)));
    if (c == nullptr) PixSetLastError(kPixErrMemory);
    return c;
}

// Ends a read: the coefficients on success, else null with the code.
PixJpegCoefficients* FinishRead(PixJpegCoefficients* c, int code) {
    if (code != 0) {
        PixFreeJPGCoefficients(c);
        PixSetLastError(code);
        return nullptr;
    }
    PixSetLastError(kPixOk);
    return c;
}

}  // namespace

PixJpegCoefficients* PixReadJPGCoefficients(const char* path) {
    if (path == nullptr) return PixSetLastError(kPixErrParam), nullptr;
    FilePtr file = OpenFile(path, "rb");
    if (!file) return PixSetLastError(kPixErrOpen), nullptr;
    PixJpegCoefficients* c = NewCoefficients();
    if (c == nullptr) return nullptr;
    return FinishRead(c, ReadCoefficientsFrame(c, file.get()));
}

PixJpegCoefficients* PixCompressJPGCoefficients(const uint8_t* pixels, uint32_t width,
                                                uint32_t height, int quality) {
    size_t bytes = 0;
    if (pixels == nullptr || width == 0 || height == 0 || width > JPEG_MAX_DIMENSION ||
        height > JPEG_MAX_DIMENSION || quality < 1 || quality > 100) {
        return PixSetLastError(kPixErrParam), nullptr;
    }
    if (!ImageBytes(width, height, 3, &bytes)) return PixSetLastError(kPixErrMemory), nullptr;
    PixJpegCoefficients* c = NewCoefficients();
    if (c == nullptr) return nullptr;
    CompressToMemory w{};
    int code = CompressFrame(&w, c, pixels, width, height, quality);
    jpeg_destroy_compress(&w.info);
    if (code == 0) code = ReadCoefficientsFrame(c, nullptr);
    return FinishRead(c, code);
}

void PixFreeJPGCoefficients(PixJpegCoefficients* jpeg) {
    if (jpeg == nullptr) return;
    jpeg_destroy_decompress(&jpeg->info);
    for (JBLOCKROW* rows : jpeg->rows) std::free(rows);
    std::free(jpeg->memory);
    std::free(jpeg);
}

uint32_t PixGetJPGWidth(const PixJpegCoefficients* jpeg) { return jpeg->info.image_width; }
uint32_t PixGetJPGHeight(const PixJpegCoefficients* jpeg) { return jpeg->info.image_height; }
bool PixIsJPGProgressive(const PixJpegCoefficients* jpeg) { return jpeg->info.progressive_mode; }
int PixGetJPGComponentCount(const PixJpegCoefficients* jpeg) { return jpeg->info.num_components; }

bool PixGetJPGComponent(const PixJpegCoefficients* jpeg, int index, PixJpegComponent* out) {
    if (index < 0 || index >= jpeg->info.num_components) return false;
    const jpeg_component_info& comp = jpeg->info.comp_info[index];
    out->widthInBlocks = comp.width_in_blocks;
    out->heightInBlocks = comp.height_in_blocks;
    out->hSampling = comp.h_samp_factor;
    out->vSampling = comp.v_samp_factor;
    const JQUANT_TBL* table = QuantTable(jpeg->info, comp);  // never null after a read
    for (int k = 0; k < DCTSIZE2; ++k) out->quant[k] = table->quantval[k];
    return true;
}

int16_t* PixGetJPGBlockRow(PixJpegCoefficients* jpeg, int index, uint32_t row) {
    if (index < 0 || index >= jpeg->info.num_components) return nullptr;
    if (row >= jpeg->info.comp_info[index].height_in_blocks) return nullptr;
    static_assert(sizeof(JCOEF) == sizeof(int16_t));
    return reinterpret_cast<int16_t*>(jpeg->rows[index][row][0]);
}

const int16_t* PixGetJPGBlockRow(const PixJpegCoefficients* jpeg, int index, uint32_t row) {
    return PixGetJPGBlockRow(const_cast<PixJpegCoefficients*>(jpeg), index, row);
}

BOOL PixWriteJPGCoefficients(const PixJpegCoefficients* jpeg, const char* path) {
    if (jpeg == nullptr || path == nullptr) return PixSetLastError(kPixErrParam), 0;
    CoefficientWrite w{};
    int code = WriteCoefficientsFrame(&w, jpeg, path);
    jpeg_destroy_compress(&w.info);
    if (w.file != nullptr && std::fclose(w.file) != 0 && code == 0) code = kPixErrWrite;
    PixSetLastError(code);
    return code == 0;
}
