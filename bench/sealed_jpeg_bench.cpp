// SPDX-License-Identifier: GPL-3.0-or-later
// Sealed in a JPEG on the 6000 x 4000 bench picture compressed at quality
// 90, at 0.2 bits per non-zero AC coefficient: the encode and decode runs
// against jpegtran rewriting the same coefficients losslessly with
// optimised tables (`-copy all -optimize`, the same read and write the
// encode does), and the in-process read and write alone. Counters: the
// file-size change and whether every APPn, COM, frame and restart segment
// came through byte for byte.
//
// With OMBREL_JPEG_PHOTOS set to a folder of JPEG photographs,
// BM_SizeChangeOnPhotos reports the same two figures over each of them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "hiding/jpeg_carrier.h"
#include "hiding/sealed_jpeg.h"
#include "hiding/sealed_run.h"
#include "imagelib/jpeg.h"
#include "working/working_image.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The segments a coefficient write keeps as they were.
std::vector<Bytes> KeptSegments(const Bytes& f) {
    std::vector<Bytes> out;
    size_t i = 2;
    while (i + 4 <= f.size() && f[i] == 0xFF) {
        const uint8_t m = f[i + 1];
        if (m == 0xD9) break;
        const size_t length = size_t{f[i + 2]} << 8 | f[i + 3];
        const bool frame = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
        if (frame || (m >= 0xE0 && m <= 0xEF) || m == 0xFE || m == 0xDD)
            out.emplace_back(f.begin() + i, f.begin() + std::min(f.size(), i + 2 + length));
        i += 2 + length;
        if (m != 0xDA) continue;
        while (i + 1 < f.size() && !(f[i] == 0xFF && f[i + 1] != 0 && (f[i + 1] & 0xF8) != 0xD0))
            ++i;
    }
    return out;
}

Passphrase BenchPassphrase() {
    Passphrase p;
    p.Assign("correct horse battery staple", 28);
    return p;
}

// A data file of random bytes (zstd cannot shrink it) that, with its name,
// fills `elements` coefficients to 0.2 bits each.
std::string PayloadFor(uint64_t elements, const std::string& name) {
    const int64_t room = SealedJpegHidesWell(elements);
    const std::string path = BenchTempPath(name);
    const int64_t size = room - static_cast<int64_t>(name.size());
    Bytes data(size > 0 ? static_cast<size_t>(size) : 1);
    std::mt19937 random(7);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    WriteAll(path, data);
    return path;
}

struct Setup {
    std::string base, data, output, folder;
    uint64_t elements = 0;
};

// The bench picture at quality 90 with an EXIF-like and an ICC-like segment
// and a comment, and its payload.
const Setup& Fixture() {
    static const Setup setup = [] {
        Setup s;
        s.base = BenchTempPath("base.jpg");
        PixClearJPGComments();
        PixAddJPGComment("bench comment");
        if (!PixWriteJPG(s.base.c_str(), BenchPhoto().data(), kBenchWidth, kBenchHeight, 90, 1,
                         0))
            std::abort();
        PixClearJPGComments();
        Bytes file = ReadAll(s.base);
        Bytes segments;
        for (uint8_t marker : {0xE1, 0xE2}) {
            const size_t body = marker == 0xE1 ? 6000 : 3000;
            segments.insert(segments.end(), {0xFF, marker, static_cast<uint8_t>((body + 2) >> 8),
                                             static_cast<uint8_t>(body + 2)});
            for (size_t i = 0; i < body; ++i) segments.push_back(static_cast<uint8_t>(i * 31));
        }
        file.insert(file.begin() + 20, segments.begin(), segments.end());  // after JFIF's APP0
        WriteAll(s.base, file);
        JpegCarrier carrier;
        if (carrier.Load(s.base) != 0) std::abort();
        s.elements = carrier.size();
        s.data = PayloadFor(s.elements, "payload.bin");
        s.output = BenchTempPath("sealed.jpg");
        s.folder = BenchTempPath("out");
        std::filesystem::create_directory(s.folder);
        return s;
    }();
    return setup;
}

BenchDialog DialogFor(const Setup& s) {
    BenchDialog dialog;
    dialog.base = s.base;
    dialog.data = s.data;
    dialog.output = s.output;
    dialog.directory = s.folder;
    return dialog;
}

void ReportOutput(benchmark::State& state, const std::string& base, const std::string& output) {
    const Bytes before = ReadAll(base), after = ReadAll(output);
    state.counters["size_change_pct"] =
        100.0 * (static_cast<double>(after.size()) - static_cast<double>(before.size())) /
        static_cast<double>(before.size());
    state.counters["segments_kept"] = KeptSegments(before) == KeptSegments(after);
}

void BM_JpegtranCopyAll(benchmark::State& state) {
    const Setup& s = Fixture();
    const std::string out = BenchTempPath("jpegtran.jpg");
    const std::string command =
        "jpegtran -copy all -optimize -outfile '" + out + "' '" + s.base + "'";
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove(out);
        state.ResumeTiming();
        if (std::system(command.c_str()) != 0) state.SkipWithError("jpegtran failed");
    }
    ReportOutput(state, s.base, out);
}

void BM_CoefficientRewrite(benchmark::State& state) {
    const Setup& s = Fixture();
    const std::string out = BenchTempPath("rewrite.jpg");
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove(out);
        state.ResumeTiming();
        JpegCarrier carrier;
        if (carrier.Load(s.base) != 0 || carrier.Write(out) != 0) state.SkipWithError("failed");
    }
    ReportOutput(state, s.base, out);
}

void BM_SealedJpegEncode(benchmark::State& state) {
    const Setup& s = Fixture();
    const Passphrase passphrase = BenchPassphrase();
    BenchDialog dialog = DialogFor(s);
    for (auto _ : state) {
        // A replaced file is synced first; jpegtran writes a new one.
        state.PauseTiming();
        std::filesystem::remove(s.output);
        state.ResumeTiming();
        if (EncodeSealedRun(dialog, passphrase) != 0) state.SkipWithError("encode failed");
    }
    ReportOutput(state, s.base, s.output);
    state.counters["bits_per_nzac"] =
        8.0 * static_cast<double>(std::filesystem::file_size(s.data)) / s.elements;
}

void BM_SealedJpegDecode(benchmark::State& state) {
    const Setup& s = Fixture();
    const Passphrase passphrase = BenchPassphrase();
    BenchDialog dialog = DialogFor(s);
    if (!std::filesystem::exists(s.output) && EncodeSealedRun(dialog, passphrase) != 0)
        state.SkipWithError("encode failed");
    const std::string back = s.folder + "/" + std::filesystem::path(s.data).filename().string();
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove(back);
        state.ResumeTiming();
        if (DecodeSealedRun(dialog, s.output, passphrase) != 0) state.SkipWithError("failed");
    }
    if (ReadAll(back) != ReadAll(s.data)) state.SkipWithError("decoded file differs");
}

// Each photograph as base, at 0.2 bits per non-zero AC coefficient.
void BM_SizeChangeOnPhotos(benchmark::State& state) {
    const char* folder = std::getenv("OMBREL_JPEG_PHOTOS");
    if (folder == nullptr) {
        state.SkipWithError("set OMBREL_JPEG_PHOTOS to a folder of JPEG photographs");
        return;
    }
    std::vector<std::string> photos;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (IsJpegName(entry.path().string())) photos.push_back(entry.path().string());
    std::sort(photos.begin(), photos.end());
    const Passphrase passphrase = BenchPassphrase();
    double largest = -1e9, sum = 0;
    int kept = 0, done = 0;
    for (auto _ : state) {
        for (const std::string& photo : photos) {
            JpegCarrier carrier;
            if (carrier.Load(photo) != 0) continue;
            BenchDialog dialog;
            dialog.base = photo;
            dialog.data = PayloadFor(carrier.size(), "photo-payload.bin");
            dialog.output = BenchTempPath("photo.jpg");
            if (EncodeSealedRun(dialog, passphrase) != 0) continue;
            const Bytes before = ReadAll(photo), after = ReadAll(dialog.output);
            const double change = 100.0 *
                                  (static_cast<double>(after.size()) - before.size()) /
                                  static_cast<double>(before.size());
            std::fprintf(stderr, "%s: %.2f %% (%zu -> %zu bytes)\n",
                         std::filesystem::path(photo).filename().c_str(), change, before.size(),
                         after.size());
            largest = std::max(largest, change);
            sum += change;
            kept += KeptSegments(before) == KeptSegments(after);
            ++done;
        }
    }
    state.counters["photos"] = done;
    state.counters["size_change_pct_max"] = largest;
    state.counters["size_change_pct_mean"] = done ? sum / done : 0;
    state.counters["segments_kept"] = kept;
}

}  // namespace

BENCHMARK(BM_JpegtranCopyAll)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CoefficientRewrite)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SealedJpegEncode)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SealedJpegDecode)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SizeChangeOnPhotos)->Unit(benchmark::kMillisecond)->Iterations(1);
