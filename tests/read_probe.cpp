// SPDX-License-Identifier: GPL-3.0-or-later
// Reads one file with one reader and reports how much address space the read
// took at its peak, beyond what the process held before, and the processor
// time it took:
//
//     read_probe MODE PATH   ->   "<result code> <peak bytes> <cpu ms>"
//
// MODE is jpg, png or tif for a whole read, jpg-coef for a JPEG's
// coefficients; png-size for the size query and
// png-rows for a top-rows read of 16 rows, what capacity and detect run.
//
// A fresh process, so the kernel's peak (VmPeak) belongs to this read alone.
// Address space rather than resident memory: an allocation counts whether or
// not its pages are ever touched. Whatever would pass the largest pixel
// block plus the read's working-memory cap fails here instead of taking the
// machine.
#include <sys/resource.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "imagelib/common.h"
#include "imagelib/jpeg_coefficients.h"
#include "imagelib/pix.h"

namespace {

HGLOBAL ReadSize(const char* path, uint32_t* width, uint32_t* height) {
    PixGetPNGSize(path, width, height);
    return nullptr;
}

// Coefficients only, as a sealed JPEG encode or decode reads them.
HGLOBAL ReadCoefficients(const char* path, uint32_t*, uint32_t*) {
    PixFreeJPGCoefficients(PixReadJPGCoefficients(path));
    return nullptr;
}

HGLOBAL ReadTopRows(const char* path, uint32_t* width, uint32_t* height) {
    uint32_t taken = 0;
    return PixReadPNGRows(path, width, height, 16, &taken);
}

uint64_t CpuMilliseconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_usec) / 1000;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// A field of /proc/self/status in bytes, 0 when missing.
uint64_t StatusBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::stoull(line.substr(length + 1)) * 1024;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: read_probe jpg|jpg-coef|png|tif|png-size|png-rows PATH\n");
        return 2;
    }
    const std::string format = argv[1];
    const char* path = argv[2];
    HGLOBAL (*read)
    (const char*, uint32_t*, uint32_t*) = format == "jpg"   ? PixReadJPG
                                          : format == "jpg-coef" ? ReadCoefficients
                                          : format == "png" ? PixReadPNG
                                          : format == "tif" ? PixReadTIFF
                                          : format == "png-size" ? ReadSize
                                          : format == "png-rows" ? ReadTopRows
                                                                 : nullptr;
    if (read == nullptr) return 2;
    PixGetLastError();  // the thread record exists before the measure starts

    std::FILE* file = std::fopen(path, "rb");
    const uint64_t fileBytes = file != nullptr ? FileBytes(file) : 0;
    if (file != nullptr) std::fclose(file);
    const uint64_t before = StatusBytes("VmSize");
    const uint64_t guard = before + kPixMaxPixels * 4 + WorkCap(fileBytes);
    const rlimit limit = {guard, guard};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 2;

    uint32_t width = 0, height = 0;
    const uint64_t cpuBefore = CpuMilliseconds();
    HGLOBAL block = read(path, &width, &height);
    const uint64_t cpu = CpuMilliseconds() - cpuBefore;
    const int code = PixGetLastError();
    const uint64_t peak = StatusBytes("VmPeak");
    GlobalFree(block);
    std::printf("%d %llu %llu\n", code,
                static_cast<unsigned long long>(peak > before ? peak - before : 0),
                static_cast<unsigned long long>(cpu));
    return 0;
}
