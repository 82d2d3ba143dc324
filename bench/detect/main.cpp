// SPDX-License-Identifier: GPL-3.0-or-later
// ombrel-detect: the steganalysis bench's one program (see
// scripts/bench_detect.sh for how the pieces fit).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "detect.h"
#include "hiding/costs.h"
// UERD costs come with the JPEG carrier; without them its simulator is
// left out (the build says which).
#ifdef DETECT_HAVE_UERD
#include "hiding/uerd.h"
#endif
#include "imagelib/jpeg.h"
#include "imagelib/png.h"
#include "simulate.h"

namespace {

using namespace detect;

int Usage() {
    std::fputs(
        "usage: ombrel-detect COMMAND ...\n"
        "  crops [--size N] [--max N] OUTDIR TAG PHOTO\n"
        "      colour crops of PHOTO, downscaled, as OUTDIR/png/TAG-k.png and\n"
        "      OUTDIR/q75, OUTDIR/q95/TAG-k.jpg; prints 'TAG-k PHOTO' per crop\n"
        "  spam [--concat] [--colour] OUT LIST\n"
        "      SPAM features of the pictures in LIST (channels averaged or side\n"
        "      by side), with the channels' joint residuals when asked\n"
        "  jfeat OUT LIST                JPEG coefficient features of the files in LIST\n"
        "  simulate plain|hill RATE SEED IN OUT\n"
        "      ±1 changes at RATE bits per colour sample, as a PNG\n"
        "  jsimulate plain|uerd RATE SEED IN.jpg OUT.jpg\n"
        "      ±1 changes at RATE bits per non-zero AC coefficient\n"
        "  nzac FILE.jpg                 its number of non-zero AC coefficients\n"
        "  classify [--splits N] [--learners N] [--subspace N] [--seed N] [--null 1]\n"
        "           COVER STEGO\n"
        "      P_E of an FLD ensemble over splits by source photograph; --null 1\n"
        "      pits each cover against another crop of its photograph instead\n",
        stderr);
    return 2;
}

std::string Stem(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return name.substr(0, name.find_last_of('.'));
}

uint64_t NameSeed(const std::string& path, uint64_t seed) {
    uint64_t h = 1469598103934665603ull ^ seed;
    for (unsigned char c : Stem(path)) h = (h ^ c) * 1099511628211ull;
    return h;
}

std::vector<std::string> ReadList(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// Crops -----------------------------------------------------------------

int Crops(std::vector<std::string> args) {
    unsigned size = 256, most = 30;
    while (args.size() > 3 && args[0].rfind("--", 0) == 0) {
        if (args[0] == "--size")
            size = unsigned(std::atoi(args[1].c_str()));
        else if (args[0] == "--max")
            most = unsigned(std::atoi(args[1].c_str()));
        else
            return Usage();
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() != 3 || size < 16) return Usage();
    const std::string& outDir = args[0];
    const std::string& tag = args[1];
    Picture photo;
    if (!ReadPicture(args[2], &photo)) return 1;
    // An integer downscale by box averaging wipes out demosaicing and the
    // photo's own JPEG blocks; at least 2 when the photo allows a crop.
    const uint32_t shorter = std::min(photo.width, photo.height);
    uint32_t f = std::max(1u, shorter / 1024);
    if (f == 1 && shorter >= 2 * size) f = 2;
    const uint32_t w = photo.width / f, h = photo.height / f;
    std::vector<uint8_t> small(size_t(w) * h * 3);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                uint32_t sum = 0;
                for (uint32_t dy = 0; dy < f; ++dy)
                    for (uint32_t dx = 0; dx < f; ++dx)
                        sum += photo.rgb[((size_t(y) * f + dy) * photo.width + x * f + dx) * 3 +
                                         size_t(c)];
                small[(size_t(y) * w + x) * 3 + size_t(c)] = uint8_t((sum + f * f / 2) / (f * f));
            }
    const uint32_t across = w / size, down = h / size;
    std::vector<std::pair<uint32_t, uint32_t>> kept;
    std::vector<uint8_t> crop(size_t(size) * size * 3);
    for (uint32_t ty = 0; ty < down; ++ty)
        for (uint32_t tx = 0; tx < across; ++tx) {
            const uint32_t x0 = (w - across * size) / 2 + tx * size,
                           y0 = (h - down * size) / 2 + ty * size;
            size_t grey = 0, clipped = 0;
            for (uint32_t y = 0; y < size; ++y) {
                const uint8_t* p = &small[((size_t(y0) + y) * w + x0) * 3];
                for (uint32_t x = 0; x < size; ++x, p += 3) {
                    grey += p[0] == p[1] && p[1] == p[2];
                    for (int c = 0; c < 3; ++c) clipped += p[c] == 0 || p[c] == 255;
                }
            }
            // Grey or blown-out crops say little about colour embedding.
            const size_t pixels = size_t(size) * size;
            if (grey * 20 > pixels || clipped * 10 > 3 * pixels) continue;
            kept.emplace_back(x0, y0);
        }
    // Evenly spaced when a photo offers more than its share.
    std::vector<std::pair<uint32_t, uint32_t>> chosen;
    for (size_t k = 0; k < std::min<size_t>(most, kept.size()); ++k)
        chosen.push_back(kept[k * kept.size() / std::min<size_t>(most, kept.size())]);
    unsigned index = 0;
    for (const auto& [x0, y0] : chosen) {
        for (uint32_t y = 0; y < size; ++y)
            std::memcpy(&crop[size_t(y) * size * 3], &small[((size_t(y0) + y) * w + x0) * 3],
                        size_t(size) * 3);
        const std::string name = tag + "-" + std::to_string(index++);
        if (!PixWritePNG((outDir + "/png/" + name + ".png").c_str(), crop.data(), size, size, 0) ||
            !PixWriteJPG((outDir + "/q75/" + name + ".jpg").c_str(), crop.data(), size, size, 75,
                         1, 0) ||
            !PixWriteJPG((outDir + "/q95/" + name + ".jpg").c_str(), crop.data(), size, size, 95,
                         1, 0)) {
            std::fprintf(stderr, "%s: cannot write (%s)\n", name.c_str(),
                         PixErrorText(PixGetLastError()));
            return 1;
        }
        std::printf("%s %s\n", name.c_str(), args[2].c_str());
    }
    return 0;
}

// Features --------------------------------------------------------------

int WriteFeatures(const std::string& out, const std::vector<std::string>& files,
                  const std::function<bool(const std::string&, std::vector<float>*)>& compute) {
    std::FILE* file = std::fopen(out.c_str(), "w");
    if (!file) return 1;
    std::vector<float> f;
    for (const std::string& path : files) {
        if (!compute(path, &f)) {
            std::fprintf(stderr, "%s: no features\n", path.c_str());
            std::fclose(file);
            return 1;
        }
        std::fprintf(file, "%s", Stem(path).c_str());
        for (float v : f) std::fprintf(file, " %.7g", double(v));
        std::fputc('\n', file);
    }
    return std::fclose(file) == 0 ? 0 : 1;
}

int Spam(std::vector<std::string> args) {
    bool concatenate = false, colour = false;
    for (; !args.empty() && args[0].rfind("--", 0) == 0; args.erase(args.begin())) {
        if (args[0] == "--concat")
            concatenate = true;
        else if (args[0] == "--colour")
            colour = true;
        else
            return Usage();
    }
    if (args.size() != 2) return Usage();
    return WriteFeatures(args[0], ReadList(args[1]),
                         [&](const std::string& path, std::vector<float>* f) {
                             Picture p;
                             if (!ReadPicture(path, &p)) return false;
                             *f = SpamFeatures(p, concatenate);
                             if (colour) {
                                 const std::vector<float> c = ColourFeatures(p);
                                 f->insert(f->end(), c.begin(), c.end());
                             }
                             return true;
                         });
}

int JFeat(const std::vector<std::string>& args) {
    if (args.size() != 2) return Usage();
    return WriteFeatures(args[0], ReadList(args[1]), JpegFeatures);
}

// Simulators ------------------------------------------------------------

int Simulate(const std::vector<std::string>& args) {
    if (args.size() != 5) return Usage();
    const double rate = std::atof(args[1].c_str());
    std::mt19937_64 random(NameSeed(args[3], std::strtoull(args[2].c_str(), nullptr, 10)));
    Picture p;
    if (!ReadPicture(args[3], &p)) return 1;
    const size_t n = p.rgb.size();
    std::vector<int8_t> changes;
    if (args[0] == "plain") {
        std::vector<uint8_t> allowed(n);
        for (size_t i = 0; i < n; ++i) allowed[i] = (p.rgb[i] < 255 ? 1 : 0) | (p.rgb[i] > 0 ? 2 : 0);
        PlainChanges(allowed, size_t(std::llround(rate * double(n))), random, &changes);
    } else if (args[0] == "hill") {
        std::vector<float> cost(n), up(n), down(n);
        if (!HillCosts(p.rgb.data(), p.width, p.height, 3, cost.data())) return 1;
        const float wet = std::numeric_limits<float>::infinity();
        for (size_t i = 0; i < n; ++i) {
            up[i] = p.rgb[i] < 255 ? cost[i] : wet;
            down[i] = p.rgb[i] > 0 ? cost[i] : wet;
        }
        GibbsChanges(up, down, rate * double(n), random, &changes);
    } else {
        return Usage();
    }
    for (size_t i = 0; i < n; ++i) p.rgb[i] = uint8_t(int(p.rgb[i]) + changes[i]);
    if (!PixWritePNG(args[4].c_str(), p.rgb.data(), p.width, p.height, 0)) {
        std::fprintf(stderr, "%s: cannot write\n", args[4].c_str());
        return 1;
    }
    return 0;
}

int JSimulate(const std::vector<std::string>& args) {
    if (args.size() != 5) return Usage();
    const double rate = std::atof(args[1].c_str());
    std::mt19937_64 random(NameSeed(args[3], std::strtoull(args[2].c_str(), nullptr, 10)));
    Coefficients coefficients;
    if (!ReadCoefficients(args[3], &coefficients)) {
        std::fprintf(stderr, "%s: cannot read\n", args[3].c_str());
        return 1;
    }
    // The non-zero AC coefficients carry the payload; a change never makes
    // one zero, so the receiver would find the same set.
    std::vector<int16_t*> carriers;
    for (auto& c : coefficients.components)
        for (size_t i = 0; i < c.blocks.size(); ++i)
            if (i % 64 != 0 && c.blocks[i] != 0) carriers.push_back(&c.blocks[i]);
    std::vector<uint8_t> allowed(carriers.size());
    for (size_t i = 0; i < carriers.size(); ++i) {
        const int v = *carriers[i];
        allowed[i] = (v != -1 && v < 1023 ? 1 : 0) | (v != 1 && v > -1023 ? 2 : 0);
    }
    std::vector<int8_t> changes;
    if (args[0] == "plain") {
        PlainChanges(allowed, size_t(std::llround(rate * double(carriers.size()))), random,
                     &changes);
    } else if (args[0] == "uerd") {
#ifdef DETECT_HAVE_UERD
        const float wet = std::numeric_limits<float>::infinity();
        std::vector<float> up, down, denominators;
        for (auto& c : coefficients.components) {
            const CoefficientPlane plane{c.blocks.data(), c.widthBlocks, c.heightBlocks, c.quant};
            if (!UerdDenominators(plane, &denominators)) return 1;
            for (size_t i = 0; i < c.blocks.size(); ++i) {
                if (i % 64 == 0 || c.blocks[i] == 0) continue;
                const float cost = UerdCost(c.quant, int(i % 64), denominators[i / 64]);
                up.push_back(allowed[up.size()] & 1 ? cost : wet);
                down.push_back(allowed[down.size()] & 2 ? cost : wet);
            }
        }
        GibbsChanges(up, down, rate * double(carriers.size()), random, &changes);
#else
        std::fputs("UERD costs are not built in\n", stderr);
        return 1;
#endif
    } else {
        std::fprintf(stderr, "unknown JPEG method %s\n", args[0].c_str());
        return 1;
    }
    for (size_t i = 0; i < carriers.size(); ++i) *carriers[i] = int16_t(*carriers[i] + changes[i]);
    if (!WriteCoefficients(args[3], coefficients, args[4])) {
        std::fprintf(stderr, "%s: cannot write\n", args[4].c_str());
        return 1;
    }
    return 0;
}

// How many non-zero AC coefficients a JPEG has: what its relative payload
// is measured against.
int NonZeroAc(const std::vector<std::string>& args) {
    if (args.size() != 1) return Usage();
    Coefficients coefficients;
    if (!ReadCoefficients(args[0], &coefficients)) {
        std::fprintf(stderr, "%s: cannot read\n", args[0].c_str());
        return 1;
    }
    size_t count = 0;
    for (const auto& c : coefficients.components)
        for (size_t i = 0; i < c.blocks.size(); ++i) count += i % 64 != 0 && c.blocks[i] != 0;
    std::printf("%zu\n", count);
    return 0;
}

// Classification ----------------------------------------------------------

bool LoadFeatures(const std::string& path, std::map<std::string, std::vector<float>>* rows) {
    std::ifstream in(path);
    if (!in) return false;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string name;
        fields >> name;
        std::vector<float>& row = (*rows)[name];
        for (float v; fields >> v;) row.push_back(v);
    }
    return true;
}

int Classify(std::vector<std::string> args) {
    EnsembleOptions options;
    bool nullPairs = false;
    while (args.size() > 2 && args[0].rfind("--", 0) == 0) {
        const unsigned long v = std::strtoul(args[1].c_str(), nullptr, 10);
        if (args[0] == "--splits")
            options.splits = unsigned(v);
        else if (args[0] == "--learners")
            options.learners = unsigned(v);
        else if (args[0] == "--subspace")
            options.subspace = unsigned(v);
        else if (args[0] == "--seed")
            options.seed = v;
        else if (args[0] == "--null")
            nullPairs = v != 0;
        else
            return Usage();
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() != 2) return Usage();
    std::map<std::string, std::vector<float>> covers, stegos;
    if (!LoadFeatures(args[0], &covers) || !LoadFeatures(args[1], &stegos)) {
        std::fputs("cannot read the features\n", stderr);
        return 1;
    }
    std::vector<std::vector<float>> cover, stego;
    std::vector<std::string> group;
    const size_t width = covers.empty() ? 0 : covers.begin()->second.size();
    for (auto& [name, row] : covers) {
        // Rows of another length (a file cut short) would index past the others.
        auto s = stegos.find(name);
        if (s == stegos.end() || row.size() != width || s->second.size() != width || width == 0)
            continue;
        cover.push_back(row);
        stego.push_back(s->second);
        group.push_back(name.substr(0, name.find('-')));  // crops are named SOURCE-k
    }
    std::vector<std::string> sources(group);
    std::sort(sources.begin(), sources.end());
    sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
    if (sources.size() < 4) {
        std::fputs("too few source photographs paired\n", stderr);
        return 1;
    }
    // The check that the bench finds nothing where there is nothing: the
    // crops of each photograph in pairs, one playing the cover and the other
    // the stego.
    if (nullPairs) {
        std::mt19937_64 random(options.seed);
        std::vector<std::vector<float>> first, second;
        std::vector<std::string> pairGroup;
        for (const std::string& source : sources) {
            std::vector<size_t> members;
            for (size_t i = 0; i < group.size(); ++i)
                if (group[i] == source) members.push_back(i);
            std::shuffle(members.begin(), members.end(), random);
            for (size_t k = 0; k + 1 < members.size(); k += 2) {
                first.push_back(cover[members[k]]);
                second.push_back(cover[members[k + 1]]);
                pairGroup.push_back(source);
            }
        }
        cover = std::move(first);
        stego = std::move(second);
        group = std::move(pairGroup);
    }
    const std::vector<SplitResult> results = Evaluate(cover, stego, group, options);
    const auto stats = [&](double SplitResult::*field, double* mean, double* sd) {
        double s = 0, s2 = 0;
        for (const auto& r : results) s += r.*field, s2 += r.*field * (r.*field);
        *mean = s / double(results.size());
        *sd = results.size() > 1 ? std::sqrt(std::max(0.0, (s2 - s * *mean) /
                                                                 double(results.size() - 1)))
                                 : 0.0;
    };
    double minMean, minSd, voteMean, voteSd;
    stats(&SplitResult::minError, &minMean, &minSd);
    stats(&SplitResult::voteError, &voteMean, &voteSd);
    // One line: P_E (min over thresholds) mean sd, P_E at the vote, pairs,
    // photographs, splits, subspace, features.
    std::printf("%.3f %.3f %.3f %.3f %zu %zu %zu %u %zu\n", minMean, minSd, voteMean, voteSd,
                cover.size(), sources.size(), results.size(), results.front().subspace,
                cover.front().size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "crops") return Crops(args);
    if (command == "spam") return Spam(args);
    if (command == "jfeat") return JFeat(args);
    if (command == "simulate") return Simulate(args);
    if (command == "jsimulate") return JSimulate(args);
    if (command == "nzac") return NonZeroAc(args);
    if (command == "classify") return Classify(args);
    return Usage();
}
