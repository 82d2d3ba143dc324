// Reads one file with one reader and reports how much address space the read
// took at its peak, beyond what the process held before:
//
//     read_probe jpg|png|tif PATH   ->   "<result code> <peak bytes>"
//
// A fresh process, so the kernel's peak (VmPeak) belongs to this read alone.
// Address space rather than resident memory: an allocation counts whether or
// not its pages are ever touched. Whatever would pass the largest pixel
// block plus the read's working-memory cap fails here instead of taking the
// machine.
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "imagelib/common.h"
#include "imagelib/pix.h"

namespace {

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
        std::fprintf(stderr, "usage: read_probe jpg|png|tif PATH\n");
        return 2;
    }
    const std::string format = argv[1];
    const char* path = argv[2];
    HGLOBAL (*read)
    (const char*, uint32_t*, uint32_t*) = format == "jpg"   ? PixReadJPG
                                          : format == "png" ? PixReadPNG
                                          : format == "tif" ? PixReadTIFF
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
    HGLOBAL block = read(path, &width, &height);
    const int code = PixGetLastError();
    const uint64_t peak = StatusBytes("VmPeak");
    GlobalFree(block);
    std::printf("%d %llu\n", code,
                static_cast<unsigned long long>(peak > before ? peak - before : 0));
    return 0;
}
