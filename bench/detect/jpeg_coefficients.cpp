// SPDX-License-Identifier: GPL-3.0-or-later
// libjpeg reports errors by longjmp: the frames that call it hold nothing
// with a destructor.
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

#include "detect.h"

namespace detect {
namespace {

struct ErrorJump {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void JumpOnError(j_common_ptr common) {
    std::longjmp(reinterpret_cast<ErrorJump*>(common->err)->jump, 1);
}

void Quiet(j_common_ptr) {}

void SetUpErrors(ErrorJump* errors) {
    jpeg_std_error(&errors->pub);
    errors->pub.error_exit = JumpOnError;
    errors->pub.output_message = Quiet;
}

void CopyOut(jpeg_decompress_struct* in, jvirt_barray_ptr* arrays, Coefficients* out) {
    out->components.resize(size_t(in->num_components));
    for (int c = 0; c < in->num_components; ++c) {
        const jpeg_component_info& info = in->comp_info[c];
        Coefficients::Component& comp = out->components[size_t(c)];
        comp.widthBlocks = info.width_in_blocks;
        comp.heightBlocks = info.height_in_blocks;
        for (int i = 0; i < 64; ++i) comp.quant[i] = info.quant_table ? info.quant_table->quantval[i] : 0;
        comp.blocks.resize(size_t(comp.widthBlocks) * comp.heightBlocks * 64);
        for (JDIMENSION y = 0; y < info.height_in_blocks; ++y) {
            JBLOCKARRAY row = in->mem->access_virt_barray(reinterpret_cast<j_common_ptr>(in),
                                                          arrays[c], y, 1, FALSE);
            std::memcpy(&comp.blocks[size_t(y) * comp.widthBlocks * 64], row[0],
                        size_t(comp.widthBlocks) * 64 * sizeof(JCOEF));
        }
    }
}

bool CopyIn(jpeg_decompress_struct* in, jvirt_barray_ptr* arrays, const Coefficients& from) {
    if (from.components.size() != size_t(in->num_components)) return false;
    for (int c = 0; c < in->num_components; ++c) {
        const jpeg_component_info& info = in->comp_info[c];
        const Coefficients::Component& comp = from.components[size_t(c)];
        if (comp.widthBlocks != info.width_in_blocks || comp.heightBlocks != info.height_in_blocks)
            return false;
        for (JDIMENSION y = 0; y < info.height_in_blocks; ++y) {
            JBLOCKARRAY row = in->mem->access_virt_barray(reinterpret_cast<j_common_ptr>(in),
                                                          arrays[c], y, 1, TRUE);
            std::memcpy(row[0], &comp.blocks[size_t(y) * comp.widthBlocks * 64],
                        size_t(comp.widthBlocks) * 64 * sizeof(JCOEF));
        }
    }
    return true;
}

bool Read(std::FILE* file, Coefficients* out) {
    jpeg_decompress_struct in;
    ErrorJump errors;
    in.err = &errors.pub;
    SetUpErrors(&errors);
    jpeg_create_decompress(&in);
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&in);
        return false;
    }
    jpeg_stdio_src(&in, file);
    jpeg_read_header(&in, TRUE);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&in);
    CopyOut(&in, arrays, out);
    jpeg_finish_decompress(&in);
    jpeg_destroy_decompress(&in);
    return true;
}

bool Rewrite(std::FILE* base, const Coefficients* from, std::FILE* file) {
    jpeg_decompress_struct in;
    jpeg_compress_struct out;
    ErrorJump errors;
    in.err = &errors.pub;
    out.err = &errors.pub;
    SetUpErrors(&errors);
    jpeg_create_decompress(&in);
    jpeg_create_compress(&out);
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&out);
        jpeg_destroy_decompress(&in);
        return false;
    }
    jpeg_stdio_src(&in, base);
    jpeg_read_header(&in, TRUE);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&in);
    const bool fits = CopyIn(&in, arrays, *from);
    if (fits) {
        jpeg_copy_critical_parameters(&in, &out);
        out.optimize_coding = TRUE;
        jpeg_stdio_dest(&out, file);
        jpeg_write_coefficients(&out, arrays);
        jpeg_finish_compress(&out);
    }
    jpeg_destroy_compress(&out);
    jpeg_finish_decompress(&in);
    jpeg_destroy_decompress(&in);
    return fits;
}

}  // namespace

bool ReadCoefficients(const std::string& path, Coefficients* coefficients) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    const bool ok = Read(file, coefficients);
    std::fclose(file);
    return ok;
}

bool WriteCoefficients(const std::string& base, const Coefficients& coefficients,
                       const std::string& path) {
    std::FILE* in = std::fopen(base.c_str(), "rb");
    if (!in) return false;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        std::fclose(in);
        return false;
    }
    bool ok = Rewrite(in, &coefficients, out);
    ok = std::fclose(out) == 0 && ok;
    std::fclose(in);
    return ok;
}

}  // namespace detect
