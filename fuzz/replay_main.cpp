// SPDX-License-Identifier: GPL-3.0-or-later
// Without libFuzzer, each target is a program that runs the files (or every
// file under the directories) named on its command line through its
// LLVMFuzzerTestOneInput, each copied into a buffer of its exact size so the
// sanitizers see any read past the end.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Under AddressSanitizer a single allocation over 512 MB aborts: no replayed
// file is big enough to need one, and a reader that takes it on the word of
// a header would otherwise pass unnoticed.
extern "C" const char* __asan_default_options() {
    return "max_allocation_size_mb=512";
}

namespace {

bool Replay(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    const auto exact = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), exact.get());
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);  // names the file should the run abort
    LLVMFuzzerTestOneInput(exact.get(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE|DIR...\n", argv[0]);
        return 2;
    }
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i]))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(argv[i]);
        }
        for (const auto& file : files) {
            if (!Replay(file)) {
                std::fprintf(stderr, "cannot read %s\n", file.c_str());
                return 1;
            }
            ++replayed;
        }
    }
    std::printf("%d files replayed\n", replayed);
    return 0;
}
