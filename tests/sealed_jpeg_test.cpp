// SPDX-License-Identifier: GPL-3.0-or-later
// Sealed in a JPEG's coefficients: round trips through the runs for every
// kind of JPEG base and for pictures compressed once, what the output keeps
// of its base, and the refusals. Every run derives a key (a fraction of a
// second), so the cases share runs where they can.
#include "hiding/sealed_jpeg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>

#include "hiding/payload.h"
#include "hiding/runs.h"
#include "hiding/sealed_run.h"
#include "imagelib/pix.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

class JpegDialog : public QuietDialog {
  public:
    std::string base, data, output, directory;
    std::vector<std::string> messages, warnings;
    std::string BaseImagePath() override { return base; }
    void Warn(const std::string& text) override { warnings.push_back(text); }
    std::string DataFilePath() override { return data; }
    std::string OutputImagePath() override { return output; }
    int MethodIndex() override { return MethodSealed; }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    bool AskYesNo(const std::string&) override { return true; }
    std::string OutputDirectory() override { return directory; }
};

class SealedJpeg : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(dir.path() / "out");
        dialog.directory = dir.File("out");
        dialog.data = dir.File("secret.dat");
        passphrase.Assign("correct horse battery staple", 28);
    }
    // Encodes `data` into `base`, giving `output`; the run's code.
    int Encode(const std::string& base, const Bytes& data, const std::string& output,
               const SealOptions& options = {}) {
        dialog.base = base;
        dialog.output = output;
        WriteFileBytes(dialog.data, data);
        return EncodeSealedRun(dialog, passphrase, options);
    }
    // Decodes `path`; the extracted bytes, or nothing with the message kept.
    bool Decode(const std::string& path, Bytes* data, const Passphrase& with) {
        fs::remove_all(dir.path() / "out");
        fs::create_directory(dir.path() / "out");
        EXPECT_EQ(DecodeSealedRun(dialog, path, with), 0);
        const std::string extracted = dir.File("out/secret.dat");
        if (!fs::exists(extracted)) return false;
        *data = ReadFileBytes(extracted);
        return true;
    }
    bool OutEmpty() const { return fs::is_empty(dir.path() / "out"); }

    TempDir dir;
    JpegDialog dialog;
    Passphrase passphrase;
};

struct Base {
    const char* name;
    const char* corpusFile;
};

void PrintTo(const Base& base, std::ostream* out) { *out << base.name; }

class SealedJpegBases : public SealedJpeg, public ::testing::WithParamInterface<Base> {};

TEST_P(SealedJpegBases, RoundTripKeepsEverySegmentAndTheMode) {
    const std::string base = CorpusDir() + "/jpeg/" + GetParam().corpusFile;
    const std::string output = dir.File("sealed.JPG");
    JpegCarrier original;
    ASSERT_EQ(original.Load(base), 0);
    const int64_t room = SealedJpegRoom(original.size());
    ASSERT_GT(room, 64) << original.size();
    const Bytes secret = RandomBytes(static_cast<size_t>(room) / 2, 3);
    ASSERT_EQ(Encode(base, secret, output), 0);
    ASSERT_TRUE(dialog.messages.empty()) << dialog.messages.front();

    Bytes back;
    ASSERT_TRUE(Decode(output, &back, passphrase)) << dialog.messages.back();
    EXPECT_EQ(back, secret);
    const Bytes before = ReadFileBytes(base), after = ReadFileBytes(output);
    EXPECT_TRUE(KeptJpegSegments(before) == KeptJpegSegments(after));

    // Only non-zero AC coefficients moved, by one, and none became 0.
    JpegCarrier sealed;
    ASSERT_EQ(sealed.Load(output), 0);
    ASSERT_EQ(sealed.size(), original.size());
    size_t changed = 0;
    for (size_t i = 0; i < sealed.size(); ++i) {
        const int step = sealed.value(i) - original.value(i);
        ASSERT_LE(std::abs(step), 1) << i;
        changed += step != 0;
    }
    EXPECT_GT(changed, 0u);
    uint32_t w1 = 0, h1 = 0, w2 = 0, h2 = 0;
    const Bytes a = TakeBlock(PixReadJPG(base.c_str(), &w1, &h1));
    const Bytes b = TakeBlock(PixReadJPG(output.c_str(), &w2, &h2));
    EXPECT_EQ(w1, w2);
    EXPECT_EQ(h1, h2);
    EXPECT_EQ(a.size(), b.size());
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, SealedJpegBases,
    ::testing::Values(Base{"baseline_420_odd_size", "libjpeg-turbo/testorig.jpg"},
                      Base{"progressive", "synth/testorig_to_progressive.jpg"},
                      Base{"s444", "synth/s444.jpg"}, Base{"s422", "synth/s422.jpg"},
                      Base{"grey", "pillow/hopper_gray.jpg"},
                      Base{"restart_markers", "synth/restart.jpg"},
                      Base{"adobe_444_restart_exif_icc_xmp", "pillow/pil_sample_rgb.jpg"},
                      Base{"exif", "pillow/hopper_orientation_6.jpg"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SealedJpeg, PictureBaseCompressedOnceAtTheQualityAsked) {
    const std::string png = dir.File("photo.png");
    const uint32_t w = 203, h = 141;
    const Bytes rgb = MakePhoto(w, h, 5);
    ASSERT_TRUE(PixWritePNG(png.c_str(), rgb.data(), w, h, 0.0));
    const Bytes secret = RandomBytes(200, 4);
    for (const auto& [quality, lumaStep] : {std::pair{75, 8}, std::pair{95, 2}}) {
        SCOPED_TRACE(quality);
        SealOptions options;
        options.jpegQuality = quality;
        const std::string output = dir.File("q" + std::to_string(quality) + ".jpeg");
        ASSERT_EQ(Encode(png, secret, output, options), 0);
        ASSERT_TRUE(dialog.messages.empty()) << dialog.messages.front();
        JpegCarrier carrier;
        ASSERT_EQ(carrier.Load(output), 0);
        EXPECT_EQ(carrier.width(), w);
        PixJpegCoefficientsPtr jpeg(PixReadJPGCoefficients(output.c_str()));
        PixJpegComponent luma;
        ASSERT_TRUE(PixGetJPGComponent(jpeg.get(), 0, &luma));
        EXPECT_EQ(luma.quant[0], lumaStep);
        Bytes back;
        ASSERT_TRUE(Decode(output, &back, passphrase));
        EXPECT_EQ(back, secret);
    }
}

TEST_F(SealedJpeg, EmptyFileExactRoomAndOneByteOver) {
    const std::string base = CorpusDir() + "/jpeg/libjpeg-turbo/testorig.jpg";
    JpegCarrier carrier;
    ASSERT_EQ(carrier.Load(base), 0);
    const int64_t room = SealedJpegRoom(carrier.size());
    ASSERT_GT(room, 20);
    // Room counts the name and data; this data file's name is 10 bytes.
    const size_t most = static_cast<size_t>(room) - 10;
    for (const size_t size : {size_t{0}, most, most + 1}) {
        SCOPED_TRACE(size);
        dialog.messages.clear();
        const std::string output = dir.File("o" + std::to_string(size) + ".jpg");
        const Bytes secret = RandomBytes(size, 6);
        ASSERT_EQ(Encode(base, secret, output), 0);
        if (size > most) {
            ASSERT_EQ(dialog.messages.size(), 1u);
            EXPECT_NE(dialog.messages[0].find("will not fit"), std::string::npos);
            EXPECT_NE(dialog.messages[0].find("take " + std::to_string(room + 1) +
                                              " bytes; this JPEG can carry " +
                                              std::to_string(room)),
                      std::string::npos)
                << dialog.messages[0];
            EXPECT_FALSE(fs::exists(output));
            continue;
        }
        ASSERT_TRUE(dialog.messages.empty()) << dialog.messages.front();
        Bytes back;
        ASSERT_TRUE(Decode(output, &back, passphrase));
        EXPECT_EQ(back, secret);
    }
}

TEST_F(SealedJpeg, WrongPassphraseChangedCoefficientsAndReSavingWriteNothing) {
    const std::string base = CorpusDir() + "/jpeg/synth/s444.jpg";
    const std::string output = dir.File("sealed.jpg");
    ASSERT_EQ(Encode(base, RandomBytes(100, 8), output), 0);

    Passphrase wrong;
    wrong.Assign("correct horse battery stapler", 29);
    Bytes back;
    EXPECT_FALSE(Decode(output, &back, wrong));

    // Coefficients changed the way a change may go, so the same elements
    // are read back in the same order.
    JpegCarrier carrier;
    ASSERT_EQ(carrier.Load(output), 0);
    for (size_t i = 0; i < carrier.size(); i += carrier.size() / 5) {
        const int16_t v = carrier.value(i);
        carrier.set(i, static_cast<int16_t>(v == 1 ? 2 : v == -1 ? -2 : v > 0 ? v - 1 : v + 1));
    }
    const std::string tampered = dir.File("tampered.jpg");
    ASSERT_EQ(carrier.Write(tampered), 0);
    EXPECT_FALSE(Decode(tampered, &back, passphrase));

    // What a messenger does: decode and compress again.
    uint32_t w = 0, h = 0;
    const Bytes pixels = TakeBlock(PixReadJPG(output.c_str(), &w, &h));
    const std::string resaved = dir.File("resaved.jpg");
    ASSERT_TRUE(PixWriteJPG(resaved.c_str(), pixels.data(), w, h, 90, 1, 0));
    EXPECT_FALSE(Decode(resaved, &back, passphrase));

    EXPECT_EQ(dialog.messages, std::vector<std::string>(3, kSealedFailedMessage));
    EXPECT_TRUE(OutEmpty());

    // A probe sees the same.
    EXPECT_TRUE(ProbeSealed(dialog, output, passphrase));
    EXPECT_FALSE(ProbeSealed(dialog, output, wrong));
    EXPECT_FALSE(ProbeSealed(dialog, resaved, passphrase));
}

TEST(SealedJpegFormats, TheFiveMethodsStillRefuseAJpegOutput) {
    TempDir dir;
    const std::string base = dir.File("b.bmp"), data = dir.File("d.txt");
    const Bytes rgb = MakePhoto(64, 64);
    ASSERT_TRUE(PixWriteBMP(base.c_str(), rgb.data(), 64, 64));
    WriteFileBytes(data, {'h', 'i'});
    for (int m = 0; m < kMethodCount; ++m) {
        for (const char* name : {"o.jpg", "o.JPEG"}) {
            SCOPED_TRACE(name);
            JpegDialog dialog;
            dialog.base = base;
            dialog.data = data;
            dialog.output = dir.File(name);
            EXPECT_EQ(EncodeRun(dialog, static_cast<HidingMethod>(m)), kPixErrParam) << m;
            EXPECT_FALSE(fs::exists(dialog.output)) << m;
        }
    }
}

// A JPEG has few elements, so its salt and header are coded where changes
// cost least, as its content is: with a small file nearly every change is
// among the cheapest. In a tiny JPEG they take an element a bit.
TEST(SealedJpegRecord, EveryPartGoesWhereChangesCostLeast) {
    Passphrase passphrase;
    ASSERT_TRUE(passphrase.Assign("salt and header", 15));
    for (const auto& [w, h] : {std::pair<uint32_t, uint32_t>{320, 240}, {40, 32}}) {
        SCOPED_TRACE(w);
        const Bytes rgb = MakePhoto(w, h, 5);
        JpegCarrier carrier;
        ASSERT_EQ(carrier.Compress(rgb.data(), w, h, 90), 0);
        std::vector<float> costs(carrier.size());
        ASSERT_TRUE(carrier.Costs(costs.data()));
        std::vector<int16_t> before(carrier.size());
        for (size_t i = 0; i < before.size(); ++i) before[i] = carrier.value(i);
        const Bytes data = RandomBytes(20, 3);
        SealedRecord record;
        ASSERT_TRUE(PackRecord("a", data.data(), data.size(), &record));
        ASSERT_EQ(SealRecordInJpeg(carrier, passphrase, record), 0);

        std::vector<float> sorted = costs;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 10, sorted.end());
        const float tenth = sorted[sorted.size() / 10];
        size_t changed = 0, cheap = 0;
        for (size_t i = 0; i < before.size(); ++i)
            if (carrier.value(i) != before[i]) ++changed, cheap += costs[i] <= tenth;
        EXPECT_GT(changed, 10u);
        if (w == 320) {
            EXPECT_GT(cheap, changed * 9 / 10) << cheap << " of " << changed;
        }

        const UnsealedFile file = UnsealFileFromJpeg(carrier, passphrase);
        ASSERT_EQ(file.message, nullptr);
        EXPECT_EQ(file.name, "a");
        EXPECT_EQ(file.data, data);
    }
}

// The front's spread follows the file's size, from 16 elements a bit for
// a small file to 1 at the capacity; a decoder finds each.
TEST(SealedJpegRecord, EverySizeOfFileReadsBack) {
    Passphrase passphrase;
    ASSERT_TRUE(passphrase.Assign("front", 5));
    const uint32_t w = 320, h = 240;
    const Bytes rgb = MakePhoto(w, h, 7);
    JpegCarrier base;
    ASSERT_EQ(base.Compress(rgb.data(), w, h, 90), 0);
    const int64_t room = SealedJpegRoom(base.size());
    ASSERT_GT(room, 1000);
    for (const int64_t percent : {0, 2, 5, 10, 20, 35, 60, 100}) {
        const auto size = static_cast<size_t>(std::max<int64_t>(0, room * percent / 100 - 1));
        SCOPED_TRACE(size);
        JpegCarrier carrier;
        ASSERT_EQ(carrier.Compress(rgb.data(), w, h, 90), 0);
        const Bytes data = RandomBytes(size, static_cast<uint32_t>(percent));
        SealedRecord record;
        ASSERT_TRUE(PackRecord("a", data.data(), data.size(), &record));
        ASSERT_EQ(SealRecordInJpeg(carrier, passphrase, record), 0);
        const UnsealedFile file = UnsealFileFromJpeg(carrier, passphrase);
        ASSERT_EQ(file.message, nullptr);
        EXPECT_EQ(file.data, data);
    }
}

// Past two million coefficients a JPEG's content goes in polar blocks; the
// last version's trellis (version 3) still decodes. The coefficients stand
// in for a large JPEG's: none may become 0.
TEST(SealedJpegRecord, ManyCoefficientsRoundTrip) {
    class Coefficients : public SealedCarrier {
      public:
        explicit Coefficients(size_t n) : values(n) {
            std::mt19937 random(11);
            for (auto& v : values)
                v = static_cast<int16_t>((1 + random() % 12) * (random() & 1 ? 1 : -1));
        }
        uint64_t size() const override { return values.size(); }
        uint8_t Low(uint64_t i) const override { return JpegElementLow(values[i]); }
        void Change(uint64_t i, int delta) override { values[i] = int16_t(values[i] + delta); }
        bool Costs(float* costs) const override {
            for (size_t i = 0; i < values.size(); ++i)
                costs[i] = 0.5f + float(std::abs(values[i])) + float(i % 5);
            return true;
        }
        std::vector<int16_t> values;
    };
    Passphrase passphrase;
    ASSERT_TRUE(passphrase.Assign("large", 5));
    const Bytes data = RandomBytes(40000, 9);
    SealedRecord record;
    ASSERT_TRUE(PackRecord("j.bin", data.data(), data.size(), &record));
    for (const uint8_t version : {kSealedJpegVersion, uint8_t{3}}) {
        SCOPED_TRACE(testing::Message() << "version " << int(version));
        Coefficients carrier(2300000);
        ASSERT_EQ(SealInto(carrier, version, passphrase, record), 0);
        EXPECT_EQ(std::count(carrier.values.begin(), carrier.values.end(), 0), 0);
        const UnsealedFile file = UnsealFrom(carrier, kSealedJpegVersion, passphrase);
        ASSERT_EQ(file.message, nullptr);
        EXPECT_EQ(file.name, "j.bin");
        EXPECT_EQ(file.data, data);
    }
}

TEST(SealedJpegCapacity, CountedForAJpegEstimatedForAPicture) {
    TempDir dir;
    const std::string jpeg = CorpusDir() + "/jpeg/libjpeg-turbo/testorig.jpg";
    JpegCarrier carrier;
    ASSERT_EQ(carrier.Load(jpeg), 0);
    EXPECT_EQ(JpegCapacityRow(jpeg, 90), JpegCapacityText(carrier.size(), false, 90));
    EXPECT_EQ(JpegCapacityText(40000, false, 90), "JPEG   : 3700 (well: 940)");
    EXPECT_EQ(JpegCapacityText(0, true, 75), "JPEG75 : ~-60 (well: 0)");

    // The estimate from bands of the picture lands near the whole's count.
    const uint32_t w = 320, h = 480;
    const Bytes rgb = MakePhoto(w, h, 2);
    const std::string png = dir.File("p.png");
    ASSERT_TRUE(PixWritePNG(png.c_str(), rgb.data(), w, h, 0.0));
    JpegCarrier whole;
    ASSERT_EQ(whole.Compress(rgb.data(), w, h, 90), 0);
    const std::string row = JpegCapacityRow(png, 90);
    ASSERT_EQ(row.rfind("JPEG90 : ~", 0), 0u) << row;
    const double estimate = std::stod(row.substr(std::string("JPEG90 : ~").size()));
    const double exact = static_cast<double>(SealedJpegRoom(whole.size()));
    EXPECT_NEAR(estimate, exact, exact * 0.1) << row;
}

}  // namespace
