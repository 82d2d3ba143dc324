// SPDX-License-Identifier: GPL-3.0-or-later
// The sealed method: its permutation, its runs into every 24-bit format,
// what it refuses, and what it leaves for a pairs-of-values analysis to find.
// Every key derivation costs a fraction of a second, so each test derives
// as few keys as it can.
#include "hiding/sealed.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>

#include "hiding/channel.h"
#include "hiding/runs.h"
#include "hiding/sealed_run.h"
#include "hiding/stc.h"
#include "imagelib/pix.h"
#include "tests/test_util.h"
#include "working/working_image.h"

namespace fs = std::filesystem;

namespace {

Passphrase MakePassphrase(const std::string& text) {
    Passphrase passphrase;
    EXPECT_TRUE(passphrase.Assign(text.data(), text.size()));
    return passphrase;
}

// Keeps what a run shows; answers Yes to replacing a file.
class SealedDialog : public DialogPort {
  public:
    std::string base, data, output, directory;
    std::vector<std::string> messages, warnings;
    std::string status;
    int progress = 0;

    std::string BaseImagePath() override { return base; }
    std::string DataFilePath() override { return data; }
    std::string OutputImagePath() override { return output; }
    int MethodIndex() override { return MethodSealed; }
    void SetStatus(const std::string& text) override { status = text; }
    void SetProgressPosition(int position) override { progress = position; }
    void StepProgress() override { ++progress; }
    void SetCapacityText(const std::string&) override {}
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void Warn(const std::string& text) override { warnings.push_back(text); }
    bool AskYesNo(const std::string&) override { return true; }
    std::string AskOutputFile(const std::string& /*existing*/) override { return {}; }
    void Pause(unsigned) override {}
    std::string OutputDirectory() override { return directory; }
};

// RGB samples of an image file, as a decode loads them.
Bytes Samples(const std::string& path) {
    CWorkingImage image;
    EXPECT_EQ(image.Load(path), 0) << path;
    const uint8_t* pixels = image.LockPixels();
    Bytes samples(pixels, pixels + size_t{3} * image.width * image.height);
    image.ReleasePixels();
    return samples;
}

class Sealed : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(dir.path() / "out");
        dialog.base = dir.File("base.bmp");
        dialog.data = dir.File("secret.dat");
        dialog.directory = dir.File("out");
        cover = MakePhoto(kWidth, kHeight);
        ASSERT_TRUE(PixWriteBMP(dialog.base.c_str(), cover.data(), kWidth, kHeight));
        secret = RandomBytes(150, 9);
        WriteFileBytes(dialog.data, secret);
    }

    int Encode(const std::string& outputName, const SealOptions& options = {}) {
        dialog.output = dir.File(outputName);
        return EncodeSealedRun(dialog, passphrase, options);
    }
    int Decode(const std::string& path, const Passphrase& with) {
        return DecodeSealedRun(dialog, path, with);
    }
    bool OutEmpty() const { return fs::is_empty(dir.path() / "out"); }

    static constexpr uint32_t kWidth = 67, kHeight = 45;
    TempDir dir;
    SealedDialog dialog;
    Passphrase passphrase = MakePassphrase("correct horse battery staple");
    Bytes cover, secret;
};

}  // namespace

TEST(SamplePermutationTest, IsABijectionOfEveryDomain) {
    const uint64_t keys[8] = {1, 2, 3, 4, 5, 6, 7, 0xdeadbeefcafef00d};
    for (uint64_t size : {1, 2, 3, 4, 5, 7, 8, 9, 100, 127, 128, 129, 1000, 4096, 4097, 30000}) {
        const SamplePermutation permutation(size, keys);
        std::vector<bool> seen(size);
        for (uint64_t i = 0; i < size; ++i) {
            const uint64_t p = permutation(i);
            ASSERT_LT(p, size) << size;
            ASSERT_FALSE(seen[p]) << size << " " << i;
            seen[p] = true;
        }
    }
    // Another key, another order.
    const uint64_t other[8] = {9, 2, 3, 4, 5, 6, 7, 8};
    const SamplePermutation a(30000, keys), b(30000, other);
    int same = 0;
    for (uint64_t i = 0; i < 30000; ++i) same += a(i) == b(i);
    EXPECT_LT(same, 20);
}

// The walk permutes kLanes cells at once, in vectors where the processor
// has them: each cell must come out as it does alone, across row ends too.
TEST(SamplePermutationTest, BatchesAgreeWithOneAtATime) {
    constexpr size_t kLanes = SamplePermutation::kLanes;
    const uint64_t keys[8] = {0x9e3779b97f4a7c15u, 2, 3, 4, 5, 6, 7, ~uint64_t{0}};
    for (uint64_t size : {uint64_t{1000}, uint64_t{4097}, uint64_t{6000} * 4000 * 3,
                          uint64_t{UINT32_MAX}}) {
        const SamplePermutation permutation(size, keys);
        const uint64_t columns = permutation.columns();
        ASSERT_GE(columns, kLanes);
        int walked = 0;
        for (uint64_t start = 0; start + kLanes <= size; start += 7 * columns / 3 + 5) {
            uint32_t out[kLanes];
            const uint32_t past = permutation.Batch(start / columns, start % columns, out);
            uint64_t high[kLanes], low[kLanes];
            for (size_t j = 0; j < kLanes; ++j)
                high[j] = (start + j) / columns, low[j] = (start + j) % columns;
            permutation.Rounds(high, low);
            for (size_t j = 0; j < kLanes; ++j) {
                const bool over = high[j] * columns + low[j] >= size;
                ASSERT_EQ((past >> j & 1) != 0, over) << size << " " << start + j;
                walked += over;
                if (!over) {
                    ASSERT_EQ(out[j], permutation(start + j)) << size << " " << start + j;
                    ASSERT_EQ(high[j] * columns + low[j], permutation(start + j));
                }
            }
        }
        EXPECT_LT(walked, 50) << size;
    }
}

TEST_F(Sealed, RoundTripIntoEveryFormat) {
    for (const char* name : {"c.bmp", "c.pcx", "c.png", "c.tif"}) {
        SCOPED_TRACE(name);
        fs::remove_all(dir.path() / "out");
        fs::create_directory(dir.path() / "out");
        ASSERT_EQ(Encode(name), 0);
        ASSERT_TRUE(dialog.messages.empty()) << dialog.messages[0];
        EXPECT_EQ(dialog.status, "");

        // Every change is +-1, and the few changes spread over the image.
        const Bytes carrier = Samples(dialog.output);
        ASSERT_EQ(carrier.size(), cover.size());
        size_t first = carrier.size(), last = 0;
        for (size_t i = 0; i < carrier.size(); ++i) {
            ASSERT_LE(std::abs(carrier[i] - cover[i]), 1) << i;
            if (carrier[i] != cover[i]) first = std::min(first, i), last = i;
        }
        EXPECT_LT(first, carrier.size() / 10);
        EXPECT_GT(last, carrier.size() * 9 / 10);

        // Nothing a five-method probe recognises.
        EXPECT_EQ(DetectMethod(dialog, dialog.output), -1);
        ASSERT_EQ(Decode(dialog.output, passphrase), 0);
        EXPECT_EQ(ReadFileBytes(dir.File("out/secret.dat")), secret);
        EXPECT_EQ(dialog.status, "Extracted " + dir.File("out/secret.dat"));
        EXPECT_EQ(dialog.progress, 5);
    }
}

TEST_F(Sealed, EmptyFileExactCapacityAndOneByteOver) {
    // The report's figure is what the name and data may take together.
    const uint64_t report = MethodCapacity(MethodSealed, kWidth, kHeight) - kSealedOverhead;
    const std::string name = "secret.dat";
    struct Case {
        const char* label;
        Bytes data;
        bool fits;
    };
    const Case cases[] = {
        {"Empty", {}, true},
        {"Exact", RandomBytes(report - name.size(), 4), true},
        {"OneOver", RandomBytes(report - name.size() + 1, 4), false},
        // Compressed, a file larger than the report still fits.
        {"Compressible", Bytes(report * 4, 'a'), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        dialog.messages.clear();
        fs::remove_all(dir.path() / "out");
        fs::create_directory(dir.path() / "out");
        WriteFileBytes(dialog.data, c.data);
        fs::remove(dir.File("c.png"));
        ASSERT_EQ(Encode("c.png"), 0);
        if (!c.fits) {
            // 162 + 10 + D bytes, 8 bits each, 3 samples a pixel.
            const uint64_t bytes = kSealedOverhead + name.size() + c.data.size();
            EXPECT_EQ(
                dialog.messages,
                std::vector<std::string>{
                    "Data file will not fit in specified image!\nAn image containing at "
                    "least " +
                    std::to_string((8 * bytes + 2) / 3) +
                    " pixels is required to hide this file\nThe sealed method can carry " +
                    std::to_string(report) + " bytes in this image; this file needs " +
                    std::to_string(report + 1) + " bytes"});
            EXPECT_FALSE(fs::exists(dialog.output));
            continue;
        }
        ASSERT_TRUE(dialog.messages.empty()) << dialog.messages[0];
        ASSERT_EQ(Decode(dialog.output, passphrase), 0);
        EXPECT_EQ(ReadFileBytes(dir.File("out/secret.dat")), c.data);
    }
}

TEST_F(Sealed, WrongPassphraseOrAnyChangedSampleWritesNothing) {
    ASSERT_EQ(Encode("c.bmp"), 0);
    EXPECT_EQ(Decode(dialog.output, MakePassphrase("Correct horse battery staple")), 0);
    EXPECT_EQ(dialog.messages, std::vector<std::string>{kSealedFailedMessage});
    EXPECT_TRUE(OutEmpty());

    // One sample of the salt, and changed samples early, midway and last
    // (header and content), each flipped alone.
    const Bytes carrier = Samples(dialog.output);
    std::vector<size_t> changed;
    for (size_t i = 0; i < carrier.size(); ++i)
        if (carrier[i] != cover[i]) changed.push_back(i);
    ASSERT_GT(changed.size(), 100u);
    const size_t salt = SaltPositions(carrier.size())[77];
    for (size_t at : {salt, changed.front(), changed[changed.size() / 2], changed.back()}) {
        SCOPED_TRACE(at);
        Bytes flipped = carrier;
        flipped[at] ^= 1;
        const std::string path = dir.File("flipped.bmp");
        ASSERT_TRUE(PixWriteBMP(path.c_str(), flipped.data(), kWidth, kHeight));
        dialog.messages.clear();
        EXPECT_EQ(Decode(path, passphrase), 0);
        EXPECT_EQ(dialog.messages, std::vector<std::string>{kSealedFailedMessage});
        EXPECT_TRUE(OutEmpty());
    }
}

TEST_F(Sealed, SamplesAtZeroAnd255GoTheOnlyWayTheyCan) {
    // Left half magenta, right half green: every change is forced.
    Bytes picture(cover.size());
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = ((i / 3) % kWidth < kWidth / 2) == (i % 3 == 1) ? 0 : 255;
    ASSERT_TRUE(PixWriteBMP(dialog.base.c_str(), picture.data(), kWidth, kHeight));
    WriteFileBytes(dialog.data, RandomBytes(700, 5));
    ASSERT_EQ(Encode("c.png"), 0);
    const Bytes carrier = Samples(dialog.output);
    for (size_t i = 0; i < carrier.size(); ++i)
        ASSERT_LE(std::abs(carrier[i] - picture[i]), 1) << i;
    ASSERT_EQ(Decode(dialog.output, passphrase), 0);
    EXPECT_EQ(ReadFileBytes(dir.File("out/secret.dat")), RandomBytes(700, 5));
}

// A grey picture gives a grey carrier: unequal channels would show
// without any detector. It carries a third as much, in its grey levels.
TEST_F(Sealed, GreyBaseGivesAGreyCarrier) {
    Bytes grey = cover;
    for (size_t i = 0; i < grey.size(); i += 3) std::fill_n(grey.begin() + i, 3, cover[i + 1]);
    ASSERT_TRUE(PixWriteBMP(dialog.base.c_str(), grey.data(), kWidth, kHeight));
    ASSERT_EQ(Encode("c.png"), 0);
    ASSERT_TRUE(dialog.messages.empty()) << dialog.messages[0];
    const Bytes carrier = Samples(dialog.output);
    size_t changed = 0;
    for (size_t i = 0; i < carrier.size(); i += 3) {
        ASSERT_TRUE(carrier[i] == carrier[i + 1] && carrier[i + 1] == carrier[i + 2]) << i / 3;
        ASSERT_LE(std::abs(carrier[i] - grey[i]), 1);
        changed += carrier[i] != grey[i];
    }
    EXPECT_GT(changed, 50u);
    ASSERT_EQ(Decode(dialog.output, passphrase), 0);
    EXPECT_EQ(ReadFileBytes(dir.File("out/secret.dat")), secret);

    // What fits the colour samples but not the grey levels.
    const uint64_t room = kWidth * kHeight / 8 - kSealedOverhead - 10;
    WriteFileBytes(dialog.data, RandomBytes(room + 1, 2));
    fs::remove(dialog.output);
    ASSERT_EQ(Encode("c.png"), 0);
    EXPECT_EQ(dialog.messages,
              std::vector<std::string>{"Data file will not fit in specified image!\nAn image "
                                       "containing at least " +
                                       std::to_string(8 * (room + 1 + 10 + kSealedOverhead)) +
                                       " pixels is required to hide this file\nThe sealed method "
                                       "can carry " + std::to_string(room + 10) +
                                       " bytes in this grey image; this file needs " +
                                       std::to_string(room + 11) + " bytes"});
    EXPECT_FALSE(fs::exists(dialog.output));
}

// The changes go where the picture is busy: with a small payload in a
// picture half flat and half noise, nearly all of them fall in the noise
// (the salt's few, at public positions, aside).
TEST_F(Sealed, ChangesGoWhereThePictureIsBusy) {
    constexpr uint32_t kW = 128, kH = 64;
    std::mt19937 random(4);
    Bytes picture(size_t{3} * kW * kH);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = (i / 3) % kW < kW / 2 ? static_cast<uint8_t>(90 + 20 * (i % 3))
                                           : static_cast<uint8_t>(40 + random() % 170);
    ASSERT_TRUE(PixWriteBMP(dialog.base.c_str(), picture.data(), kW, kH));
    WriteFileBytes(dialog.data, RandomBytes(300, 8));
    ASSERT_EQ(Encode("c.png"), 0);
    ASSERT_TRUE(dialog.messages.empty()) << dialog.messages[0];
    Bytes carrier = Samples(dialog.output);
    for (uint64_t at : SaltPositions(carrier.size())) carrier[at] = picture[at];
    size_t flat = 0, busy = 0;
    for (size_t i = 0; i < carrier.size(); ++i)
        if (carrier[i] != picture[i]) ++((i / 3) % kW < kW / 2 ? flat : busy);
    EXPECT_GT(busy, 200u);
    EXPECT_LT(flat, busy / 50);
    ASSERT_EQ(Decode(dialog.output, passphrase), 0);
    EXPECT_EQ(ReadFileBytes(dir.File("out/secret.dat")), RandomBytes(300, 8));
}

// Past a million samples the keyed walk and the code run in pieces side
// by side; the pieces must join into the one order a decode walks. Past
// two million the content goes in polar blocks; the last version's
// trellis still decodes.
TEST(SealedRecord, LargePictureRoundTrip) {
    constexpr uint32_t kW = 1100, kH = 700;
    const Bytes photo = MakePhoto(kW, kH, 5);
    const Bytes data = RandomBytes(60000, 6);
    SealedRecord record;
    ASSERT_TRUE(PackRecord("big.bin", data.data(), data.size(), &record));
    const Passphrase passphrase = MakePassphrase("many pieces");
    for (const uint8_t version : {0, kSealedPictureVersion - 1}) {
        SCOPED_TRACE(testing::Message() << "version " << int(version));
        Bytes pixels = photo;
        SealOptions options;
        options.pictureVersion = version;
        ASSERT_EQ(SealRecord(pixels.data(), kW, kH, passphrase, record, options), 0);
        const UnsealedFile file = UnsealFile(pixels.data(), uint64_t{kW} * kH, passphrase);
        ASSERT_EQ(file.message, nullptr);
        EXPECT_EQ(file.name, "big.bin");
        EXPECT_EQ(file.data, data);
    }
    Bytes pixels = photo;
    SealOptions older;
    older.pictureVersion = 3;
    EXPECT_EQ(SealRecord(pixels.data(), kW, kH, passphrase, record, older), kPixErrParam);
}

// A carrier whose values may not change at all: the coder finds no way,
// and says so rather than claim that memory ran out.
TEST(SealedRecord, NoWayThroughIsItsOwnFailure) {
    class Frozen : public SealedCarrier {
      public:
        uint64_t size() const override { return 40000; }
        uint8_t Low(uint64_t i) const override {
            return static_cast<uint8_t>((i * 7 % 4) | stc::kNoUp | stc::kNoDown);
        }
        void Change(uint64_t, int) override { ++changes; }
        bool Costs(float* costs) const override {
            std::fill(costs, costs + size(), 1.0f);
            return true;
        }
        int changes = 0;
    } frozen;
    SealedRecord record;
    const Bytes data = RandomBytes(200, 3);
    ASSERT_TRUE(PackRecord("f", data.data(), data.size(), &record));
    EXPECT_EQ(SealInto(frozen, kSealedPictureVersion, MakePassphrase("x"), record), kSealedNoWay);
    EXPECT_EQ(frozen.changes, 0);
}

// Carriers earlier sealed formats wrote: the first (a bit a sample, no
// coding) and the second (the content in a shorter code than a small
// picture's now).
TEST_F(Sealed, EarlierFormatCarriersStillDecode) {
    const std::string golden = OMBREL_GOLDEN_DIR;
    struct Case {
        const char* picture;
        const char* stored;
        const char* expected;
    };
    for (const Case& c : {Case{"sealed-v1.png", "note.txt", "sealed-v1.txt"},
                          Case{"sealed-v2.png", "note.txt", "sealed-v2.txt"}}) {
        SCOPED_TRACE(c.picture);
        dialog.messages.clear();
        ASSERT_EQ(Decode(golden + "/" + c.picture, MakePassphrase("golden")), 0);
        ASSERT_TRUE(dialog.messages.empty()) << dialog.messages[0];
        EXPECT_EQ(ReadFileBytes(dir.File(std::string("out/") + c.stored)),
                  ReadFileBytes(golden + "/" + c.expected));
        EXPECT_EQ(Decode(golden + "/" + c.picture, MakePassphrase("golden!")), 0);
        EXPECT_EQ(dialog.messages, std::vector<std::string>{kSealedFailedMessage});
    }
}

// A carrier written before the walk, the gathering and the costs were made
// faster: the same keyed order, positions and codes read it still (its
// content is coded in several blocks).
TEST_F(Sealed, StrongerDerivationNamedInTheHeaderIsUsed) {
    SealOptions options;
    options.passes = 3;
    ASSERT_EQ(Encode("c.bmp", options), 0);
    ASSERT_EQ(Decode(dialog.output, passphrase), 0);
    EXPECT_EQ(ReadFileBytes(dir.File("out/secret.dat")), secret);

    // Settings no decoder would accept are never written.
    options.memoryLog2MiB = 11;
    EXPECT_EQ(Encode("d.bmp", options), kPixErrParam);
    EXPECT_FALSE(fs::exists(dialog.output));
}

TEST_F(Sealed, RefusalsBeforeAnyKeyIsDerived) {
    // A 1-pixel image carries nothing, and a decode of one derives nothing.
    const uint8_t pixel[3] = {10, 20, 30};
    ASSERT_TRUE(PixWriteBMP(dialog.base.c_str(), pixel, 1, 1));
    WriteFileBytes(dialog.data, {});
    EXPECT_EQ(Encode("c.bmp"), 0);
    EXPECT_EQ(dialog.messages, std::vector<std::string>{
                                   "Data file will not fit in specified image!\nAn image "
                                   "containing at least 459 pixels is required to hide this file"
                                   "\nThe sealed method can carry 0 bytes in this image; this "
                                   "file needs 10 bytes"});
    EXPECT_FALSE(fs::exists(dialog.output));
    dialog.messages.clear();
    EXPECT_EQ(Decode(dialog.base, passphrase), 0);
    EXPECT_EQ(dialog.messages, std::vector<std::string>{kSealedFailedMessage});

    dialog.messages.clear();
    EXPECT_EQ(EncodeSealedRun(dialog, Passphrase()), 0);
    EXPECT_EQ(dialog.messages, std::vector<std::string>{kNoPassphraseMessage});
    dialog.output.clear();
    EXPECT_EQ(EncodeSealedRun(dialog, passphrase), kPixErrParam);
    EXPECT_EQ(Decode(dir.File("none.png"), passphrase), kPixErrOpen);
}

// Files the five methods wrote before sealed existed decode as they did, and
// the same inputs give the same bytes.
TEST(FiveMethods, FilesAndOutputsAsBefore) {
    const std::string golden = OMBREL_GOLDEN_DIR;
    const Bytes expected = ReadFileBytes(golden + "/golden.txt");
    TempDir dir;
    SealedDialog dialog;
    dialog.directory = dir.path();
    dialog.base = golden + "/base.bmp";
    dialog.data = golden + "/golden.txt";
    const struct {
        HidingMethod method;
        const char* file;
    } kFiles[] = {{Method78, "g78.bmp"},
                  {Method68, "g68.pcx"},
                  {Method886, "g886.png"},
                  {Method777, "g777.tif"},
                  {Method666, "g666.pcx"}};
    for (const auto& f : kFiles) {
        SCOPED_TRACE(f.file);
        const std::string path = golden + "/" + f.file;
        ASSERT_EQ(DetectMethod(dialog, path), f.method);
        ASSERT_EQ(DecodeRun(dialog, f.method, path), 0);
        EXPECT_EQ(ReadFileBytes(dir.File("golden.txt")), expected);
        dialog.output = dir.File(f.file);
        ASSERT_EQ(EncodeRun(dialog, f.method), 0);
        if (GetExtension(path) == ".png")  // its tIME chunk holds the time of writing
            EXPECT_EQ(Samples(dialog.output), Samples(path));
        else
            EXPECT_EQ(ReadFileBytes(dialog.output), ReadFileBytes(path));
    }
    EXPECT_TRUE(dialog.messages.empty());
}

namespace {

// Westfeld and Pfitzmann's pairs-of-values test over the lowest bits of all
// samples: the probability that the histogram's pairs (2k, 2k + 1) are as
// even as replacing lowest bits makes them. Near 1 flags an embedding.
double PairsOfValuesP(const Bytes& samples) {
    double histogram[256] = {};
    for (uint8_t s : samples) ++histogram[s];
    double chi = 0;
    int pairs = 0;
    for (int k = 0; k < 128; ++k) {
        const double expected = (histogram[2 * k] + histogram[2 * k + 1]) / 2;
        if (expected < 5) continue;  // too few to count
        chi += (histogram[2 * k] - expected) * (histogram[2 * k] - expected) / expected;
        ++pairs;
    }
    // Chi-square with pairs - 1 degrees of freedom, by Wilson and Hilferty.
    const double df = pairs - 1;
    const double z = (std::cbrt(chi / df) - (1 - 2 / (9 * df))) / std::sqrt(2 / (9 * df));
    return 0.5 * std::erfc(z / std::sqrt(2.0));
}

}  // namespace

TEST_F(Sealed, PairsOfValuesFlag777ButNotSealedAtFullCapacity) {
    // A photo whose levels were stretched, as most edited photos are: its
    // histogram is uneven from one level to the next.
    constexpr uint32_t kW = 160, kH = 120;
    Bytes photo = MakePhoto(kW, kH, 3);
    for (uint8_t& s : photo) s = static_cast<uint8_t>(std::min(255.0, s * 1.37));
    ASSERT_TRUE(PixWriteBMP(dialog.base.c_str(), photo.data(), kW, kH));
    const uint64_t report = MethodCapacity(MethodSealed, kW, kH) - kSealedOverhead;
    const Bytes data = RandomBytes(report - std::string("secret.dat").size(), 11);
    WriteFileBytes(dialog.data, data);

    const uint8_t salt[kSaltBytes] = {1, 2, 3};  // the same figures every run
    SealOptions options;
    options.salt = salt;
    ASSERT_EQ(Encode("sealed.bmp", options), 0);
    ASSERT_TRUE(dialog.messages.empty()) << dialog.messages[0];
    dialog.output = dir.File("777.bmp");
    ASSERT_EQ(EncodeRun(dialog, Method777), 0);  // the same data, 42 bytes less overhead
    ASSERT_TRUE(dialog.messages.empty()) << dialog.messages[0];

    const double coverP = PairsOfValuesP(photo);
    const double sealedP = PairsOfValuesP(Samples(dir.File("sealed.bmp")));
    const double replacedP = PairsOfValuesP(Samples(dir.File("777.bmp")));
    EXPECT_LT(coverP, 0.01);
    EXPECT_LT(sealedP, 0.01);
    EXPECT_GT(replacedP, 0.99);
}

namespace {

// Writes sealed images as a peer who knows the passphrase could, with any
// header and record: a writer of the format apart from the engine's.
class PeerWriter {
  public:
    explicit PeerWriter(const std::string& passphrase) {
        EXPECT_GE(sodium_init(), 0);
        EXPECT_EQ(crypto_pwhash(master_, sizeof master_, passphrase.data(), passphrase.size(),
                                salt_, 2, size_t{64} << 20, crypto_pwhash_ALG_ARGON2ID13),
                  0);
    }

    Bytes Write(Bytes pixels, const uint8_t (&header)[8], const Bytes& record) const {
        uint8_t rounds[64], headerKey[32], contentKey[32];
        crypto_kdf_derive_from_key(rounds, 64, 1, "OmbSeal1", master_);
        crypto_kdf_derive_from_key(headerKey, 32, 2, "OmbSeal1", master_);
        crypto_kdf_derive_from_key(contentKey, 32, 3, "OmbSeal1", master_);
        uint64_t keys[8];
        for (int r = 0; r < 8; ++r) std::memcpy(&keys[r], rounds + 8 * r, 8);  // little-endian
        const uint8_t nonce[24] = {};
        Bytes sealed(24 + record.size() + 16);
        crypto_aead_xchacha20poly1305_ietf_encrypt(sealed.data(), nullptr, header, 8, nullptr, 0,
                                                   nullptr, nonce, headerKey);
        crypto_aead_xchacha20poly1305_ietf_encrypt(sealed.data() + 24, nullptr, record.data(),
                                                   record.size(), header, 8, nullptr, nonce,
                                                   contentKey);
        const std::vector<uint64_t> salt = SaltPositions(pixels.size());
        for (size_t b = 0; b < 128; ++b) Put(pixels, salt[b], salt_[b / 8] >> (b % 8) & 1);
        const SamplePermutation permutation(pixels.size(), keys);
        uint64_t index = 0;
        for (size_t b = 0; b < 8 * sealed.size(); ++b) {
            uint64_t p;
            do p = permutation(index++);
            while (std::find(salt.begin(), salt.end(), p) != salt.end());
            Put(pixels, p, sealed[b / 8] >> (b % 8) & 1);
        }
        return pixels;
    }

  private:
    static void Put(Bytes& pixels, uint64_t at, unsigned bit) {
        pixels[at] = static_cast<uint8_t>((pixels[at] & 0xFE) | bit);
    }
    uint8_t salt_[16] = {7, 7, 7};
    uint8_t master_[32];
};

// Kept frames give their data in pieces; an authentic frame that breaks off,
// or claims more or less than it makes, is refused before or while it
// inflates, never taken as whole.
TEST(SealedRecord, KeptFramesInflateWholeOrNotAtAll) {
    Passphrase passphrase;
    ASSERT_TRUE(passphrase.Assign("pw", 2));
    const uint8_t salt[kSaltBytes] = {9};
    SealOptions options;
    options.salt = salt;
    Bytes data(3 << 20, 0);
    for (size_t i = 0; i < data.size(); i += 4099) data[i] = static_cast<uint8_t>(i);
    SealedRecord good;
    ASSERT_TRUE(PackRecord("z.bin", data.data(), data.size(), &good));
    ASSERT_TRUE(good.compressed);
    SealedRecord cut = good;
    cut.bytes.resize(cut.bytes.size() - 5);
    SealedRecord claims = good;
    // The content size's low byte: after the descriptor, the window byte
    // unless single-segment, and the dictionary id.
    const uint8_t descriptor = claims.bytes[4];
    const size_t idBytes[] = {0, 1, 2, 4};
    claims.bytes[5 + ((descriptor & 0x20) ? 0 : 1) + idBytes[descriptor & 3]] ^= 0x01;
    for (const SealedRecord* record : {&good, &cut, &claims}) {
        const uint64_t pixels = 16384;
        Bytes carrier(pixels * 3, 0x80);
        ASSERT_EQ(SealRecord(carrier.data(), uint32_t(pixels), 1, passphrase, *record, options), 0);
        const UnsealedFile file =
            UnsealFile(carrier.data(), pixels, passphrase, nullptr, false, true);
        ASSERT_EQ(file.code, 0);
        Bytes made;
        const bool whole =
            file.message == nullptr && InflateData(file, [&](const uint8_t* bytes, size_t size) {
                made.insert(made.end(), bytes, bytes + size);
                return true;
            });
        if (record == &good) {
            EXPECT_EQ(file.name, "z.bin");
            EXPECT_TRUE(whole);
            EXPECT_EQ(made, data);
        } else {
            EXPECT_FALSE(whole) << (record == &cut ? "cut" : "claims");
        }
    }
}

}  // namespace

TEST_F(Sealed, HeadersFromAPeerWhoKnowsThePassphrase) {
    const PeerWriter peer("correct horse battery staple");
    const Bytes record = {4, 0, '.', '.', '/', 'x', 'h', 'i'};  // "../x" holding "hi"
    const uint8_t length = static_cast<uint8_t>(record.size() + 16);
    struct Case {
        const char* label;
        uint8_t header[8];
        const char* message;  // null: decodes
    };
    const Case cases[] = {
        {"Plain", {1, 2, 6, 0, length, 0, 0, 0}, nullptr},
        {"NewerVersion", {2, 2, 6, 0, length, 0, 0, 0}, kSealedNewerMessage},
        {"LengthPastTheImage", {1, 2, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF}, kInvalidFileMessage},
        {"LengthBelowATag", {1, 2, 6, 0, 16, 0, 0, 0}, kInvalidFileMessage},
        {"TooManyPasses", {1, 200, 6, 0, length, 0, 0, 0}, kInvalidFileMessage},
        {"TooMuchMemory", {1, 2, 40, 0, length, 0, 0, 0}, kInvalidFileMessage},
        {"UnknownFlag", {1, 2, 6, 2, length, 0, 0, 0}, kInvalidFileMessage},
        // Sealed as zstd though it is none.
        {"NotAFrame", {1, 2, 6, 1, length, 0, 0, 0}, kInvalidFileMessage},
    };
    const std::string path = dir.File("peer.bmp");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Bytes pixels = peer.Write(cover, c.header, record);
        ASSERT_TRUE(PixWriteBMP(path.c_str(), pixels.data(), kWidth, kHeight));
        dialog.messages.clear();
        EXPECT_EQ(Decode(path, passphrase), 0);
        if (c.message == nullptr) {
            EXPECT_TRUE(dialog.messages.empty()) << dialog.messages[0];
            // Cleaned as for the five methods: inside the chosen folder.
            EXPECT_EQ(ReadFileBytes(dir.File("out/x")), (Bytes{'h', 'i'}));
            fs::remove(dir.File("out/x"));
        } else {
            EXPECT_EQ(dialog.messages, std::vector<std::string>{c.message});
            EXPECT_TRUE(OutEmpty());
        }
    }
}

// A zstd frame's content size is only a claim: one RLE block cannot make
// 4 GiB, while a real frame at zstd's best ratio still opens.
TEST(SealedRecord, FrameClaimsBeyondItsBlocksAreRefused) {
    Passphrase passphrase;
    ASSERT_TRUE(passphrase.Assign("pw", 2));
    const uint8_t salt[kSaltBytes] = {7};
    SealOptions options;
    options.salt = salt;

    SealedRecord zeros;
    const Bytes data(4 << 20, 0);
    ASSERT_TRUE(PackRecord("z", data.data(), data.size(), &zeros));
    ASSERT_TRUE(zeros.compressed);
    // Magic, single segment with an 8-byte content size of 2^32, one RLE
    // block of one byte.
    SealedRecord claim{{0x28, 0xB5, 0x2F, 0xFD, 0xE0, 0, 0, 0, 0, 1, 0, 0, 0, 0x0B, 0, 0, 'a'},
                       true};
    for (const SealedRecord* record : {&zeros, &claim}) {
        const uint64_t pixels = 4096;
        Bytes carrier(pixels * 3, 0x80);
        ASSERT_EQ(SealRecord(carrier.data(), uint32_t(pixels), 1, passphrase, *record, options), 0);
        const UnsealedFile file = UnsealFile(carrier.data(), pixels, passphrase);
        EXPECT_EQ(file.code, 0);
        // The process's peak resident memory: a claim taken at its word shows.
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        EXPECT_LT(usage.ru_maxrss, 1L << 20) << "KiB at the peak";
        if (record == &zeros) {
            EXPECT_EQ(file.message, nullptr);
            EXPECT_EQ(file.data, data);
        } else {
            EXPECT_NE(file.message, nullptr);
            EXPECT_TRUE(file.data.empty());
        }
    }
}
