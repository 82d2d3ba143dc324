// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/jpeg_coefficients.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "imagelib/jpeg.h"
#include "tests/test_util.h"

namespace {

using namespace std::string_literals;

struct Plane {
    PixJpegComponent info;
    std::vector<int16_t> coefficients;
};

std::vector<Plane> Planes(const PixJpegCoefficients* jpeg) {
    std::vector<Plane> planes(PixGetJPGComponentCount(jpeg));
    for (int c = 0; c < static_cast<int>(planes.size()); ++c) {
        Plane& p = planes[c];
        EXPECT_TRUE(PixGetJPGComponent(jpeg, c, &p.info));
        for (uint32_t r = 0; r < p.info.heightInBlocks; ++r) {
            const int16_t* row = PixGetJPGBlockRow(jpeg, c, r);
            p.coefficients.insert(p.coefficients.end(), row, row + p.info.widthInBlocks * 64);
        }
    }
    return planes;
}

void ExpectSamePlanes(const std::vector<Plane>& a, const std::vector<Plane>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t c = 0; c < a.size(); ++c) {
        EXPECT_EQ(a[c].info.widthInBlocks, b[c].info.widthInBlocks) << c;
        EXPECT_EQ(a[c].info.heightInBlocks, b[c].info.heightInBlocks) << c;
        EXPECT_EQ(a[c].info.hSampling, b[c].info.hSampling) << c;
        EXPECT_EQ(a[c].info.vSampling, b[c].info.vSampling) << c;
        EXPECT_TRUE(std::equal(a[c].info.quant, a[c].info.quant + 64, b[c].info.quant)) << c;
        EXPECT_TRUE(a[c].coefficients == b[c].coefficients) << "component " << c;
    }
}

// A segment with `marker` and `body`, as a file holds it.
Bytes SegmentBytes(uint8_t marker, const std::string& body) {
    Bytes out(body.size() + 4);
    out[0] = 0xFF;
    out[1] = marker;
    out[2] = static_cast<uint8_t>((body.size() + 2) >> 8);
    out[3] = static_cast<uint8_t>(body.size() + 2);
    std::copy(body.begin(), body.end(), out.begin() + 4);
    return out;
}

// testorig.jpg with EXIF, ICC, XMP, Photoshop and comment segments after its
// JFIF header, as a camera or an editor leaves them.
Bytes WithMetadata() {
    const Bytes plain = ReadFileBytes(CorpusDir() + "/jpeg/libjpeg-turbo/testorig.jpg");
    const size_t afterApp0 = Markers(plain).at(1).offset;
    const std::string icc = "ICC_PROFILE\0\x01\x01"s + std::string(3000, '\x5a');
    const std::string exif = "Exif\0\0MM\0\x2a\0\0\0\x08"s + std::string(200, '\xff');
    const std::vector<Bytes> segments = {
        SegmentBytes(0xE1, exif),
        SegmentBytes(0xE2, icc),
        SegmentBytes(0xE1, "http://ns.adobe.com/xap/1.0/\0<x:xmpmeta>\xff\xd9</x:xmpmeta>"s),
        SegmentBytes(0xED, "Photoshop 3.0\08BIM"s),
        SegmentBytes(0xFE, "two\0parts"s),
        SegmentBytes(0xE2, std::string(65533, '\x01')),  // the largest a segment holds
    };
    Bytes out(plain.begin(), plain.begin() + static_cast<ptrdiff_t>(afterApp0));
    for (const Bytes& s : segments) out.insert(out.end(), s.begin(), s.end());
    out.insert(out.end(), plain.begin() + static_cast<ptrdiff_t>(afterApp0), plain.end());
    return out;
}

struct RoundTrip {
    const char* name;
    const char* corpusFile;  // null: WithMetadata()
};

void PrintTo(const RoundTrip& c, std::ostream* out) { *out << c.name; }

class CoefficientRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(CoefficientRoundTrip, KeepsEveryCoefficientAndSegment) {
    TempDir dir;
    const std::string in = dir.File("in.jpg"), out = dir.File("out.jpg");
    const RoundTrip& c = GetParam();
    WriteFileBytes(in, c.corpusFile != nullptr
                           ? ReadFileBytes(CorpusDir() + "/jpeg/" + c.corpusFile)
                           : WithMetadata());

    PixJpegCoefficientsPtr source(PixReadJPGCoefficients(in.c_str()));
    ASSERT_NE(source, nullptr) << PixGetLastError();
    ASSERT_TRUE(PixWriteJPGCoefficients(source.get(), out.c_str())) << PixGetLastError();
    PixJpegCoefficientsPtr copy(PixReadJPGCoefficients(out.c_str()));
    ASSERT_NE(copy, nullptr);
    ExpectSamePlanes(Planes(source.get()), Planes(copy.get()));
    EXPECT_EQ(PixIsJPGProgressive(copy.get()), PixIsJPGProgressive(source.get()));

    const Bytes before = ReadFileBytes(in), after = ReadFileBytes(out);
    EXPECT_TRUE(KeptJpegSegments(before) == KeptJpegSegments(after));

    uint32_t w1 = 0, h1 = 0, w2 = 0, h2 = 0;
    HGLOBAL a = PixReadJPG(in.c_str(), &w1, &h1), b = PixReadJPG(out.c_str(), &w2, &h2);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(w1, w2);
    EXPECT_EQ(h1, h2);
    EXPECT_TRUE(TakeBlock(a) == TakeBlock(b)) << "the same coefficients decode alike";
}

INSTANTIATE_TEST_SUITE_P(
    Files, CoefficientRoundTrip,
    ::testing::Values(RoundTrip{"baseline_420_odd_size", "libjpeg-turbo/testorig.jpg"},
                      RoundTrip{"progressive", "synth/progressive.jpg"},
                      RoundTrip{"progressive_from_baseline", "synth/testorig_to_progressive.jpg"},
                      RoundTrip{"s444", "synth/s444.jpg"}, RoundTrip{"s422", "synth/s422.jpg"},
                      RoundTrip{"s411", "synth/s411.jpg"},
                      RoundTrip{"grey", "pillow/hopper_gray.jpg"},
                      RoundTrip{"restart_markers", "synth/restart.jpg"},
                      RoundTrip{"adobe_444_restart", "pillow/pil_sample_rgb.jpg"},
                      RoundTrip{"ycck", "pillow/pil_sample_cmyk.jpg"},
                      RoundTrip{"exif_orientation", "pillow/hopper_orientation_6.jpg"},
                      RoundTrip{"arithmetic", "synth/arithmetic.jpg"},
                      RoundTrip{"rgb_components", "synth/rgb_components.jpg"},
                      RoundTrip{"extended_16bit_tables", "pillow/hopper_16bit_qtables.jpg"},
                      RoundTrip{"exif_icc_xmp_comments", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JpegCoefficients, ChangesAreWrittenAndNothingElse) {
    TempDir dir;
    const std::string in = CorpusDir() + "/jpeg/synth/progressive.jpg", out = dir.File("out.jpg");
    PixJpegCoefficientsPtr jpeg(PixReadJPGCoefficients(in.c_str()));
    ASSERT_NE(jpeg, nullptr);
    std::vector<Plane> expected = Planes(jpeg.get());
    // The last coefficient of each component's last block, pushed to the
    // edge of what a Huffman code holds.
    for (int c = 0; c < PixGetJPGComponentCount(jpeg.get()); ++c) {
        const PixJpegComponent& info = expected[c].info;
        int16_t* row = PixGetJPGBlockRow(jpeg.get(), c, info.heightInBlocks - 1);
        ASSERT_NE(row, nullptr);
        const int16_t value = c == 0 ? 1023 : -1023;
        row[info.widthInBlocks * 64 - 1] = value;
        expected[c].coefficients.back() = value;
        EXPECT_EQ(PixGetJPGBlockRow(jpeg.get(), c, info.heightInBlocks), nullptr);
    }
    ASSERT_TRUE(PixWriteJPGCoefficients(jpeg.get(), out.c_str()));
    PixJpegCoefficientsPtr back(PixReadJPGCoefficients(out.c_str()));
    ASSERT_NE(back, nullptr);
    ExpectSamePlanes(expected, Planes(back.get()));

}

TEST(JpegCoefficients, ACoefficientPastElevenBitsIsRefused) {
    TempDir dir;
    const std::string in = CorpusDir() + "/jpeg/libjpeg-turbo/testorig.jpg";
    PixJpegCoefficientsPtr jpeg(PixReadJPGCoefficients(in.c_str()));
    ASSERT_NE(jpeg, nullptr);
    PixGetJPGBlockRow(jpeg.get(), 0, 0)[1] = 1024;
    EXPECT_FALSE(PixWriteJPGCoefficients(jpeg.get(), dir.File("out.jpg").c_str()));
    EXPECT_EQ(PixGetLastError(), kPixErrJpg);
}

TEST(JpegCoefficients, PixelsCompressedOnceAtTheQualityAsked) {
    TempDir dir;
    const uint32_t w = 61, h = 43;
    const Bytes rgb = MakePhoto(w, h);
    std::vector<uint16_t> luminanceSteps;
    std::vector<double> errors;  // mean per sample, by quality
    for (int quality : {50, 75, 95, 100}) {
        PixJpegCoefficientsPtr jpeg(PixCompressJPGCoefficients(rgb.data(), w, h, quality));
        ASSERT_NE(jpeg, nullptr) << quality;
        EXPECT_EQ(PixGetJPGWidth(jpeg.get()), w);
        EXPECT_EQ(PixGetJPGHeight(jpeg.get()), h);
        ASSERT_EQ(PixGetJPGComponentCount(jpeg.get()), 3);
        PixJpegComponent luma;
        ASSERT_TRUE(PixGetJPGComponent(jpeg.get(), 0, &luma));
        EXPECT_EQ(luma.hSampling, 2);
        EXPECT_EQ(luma.vSampling, 2);
        luminanceSteps.push_back(luma.quant[0]);

        const std::string out = dir.File("q" + std::to_string(quality) + ".jpg");
        ASSERT_TRUE(PixWriteJPGCoefficients(jpeg.get(), out.c_str()));
        const Bytes file = ReadFileBytes(out);
        int app0 = 0;
        for (const Segment& s : Markers(file)) app0 += s.marker == 0xE0;
        EXPECT_EQ(app0, 1) << "one JFIF header, not libjpeg's beside the copied one";
        uint32_t dw = 0, dh = 0;
        const Bytes decoded = TakeBlock(PixReadJPG(out.c_str(), &dw, &dh));
        ASSERT_EQ(decoded.size(), rgb.size());
        long error = 0;
        for (size_t i = 0; i < rgb.size(); ++i) error += std::abs(decoded[i] - rgb[i]);
        errors.push_back(static_cast<double>(error) / static_cast<double>(rgb.size()));
    }
    // The standard luminance table's first step, scaled by quality.
    EXPECT_EQ(luminanceSteps, (std::vector<uint16_t>{16, 8, 2, 1}));
    EXPECT_TRUE(std::is_sorted(errors.rbegin(), errors.rend()));
    EXPECT_LT(errors.back(), errors.front() * 0.7);
}

TEST(JpegCoefficients, Failures) {
    TempDir dir;
    const std::string png = dir.File("not.jpg"), empty = dir.File("empty.jpg");
    WriteFileBytes(png, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13});
    WriteFileBytes(empty, {});
    const std::string twelveBit = CorpusDir() + "/jpeg/libjpeg-turbo/monkey12.jpg";
    const struct {
        const char* path;
        int code;
    } reads[] = {{nullptr, kPixErrParam},
                 {"/nonexistent/a.jpg", kPixErrOpen},
                 {png.c_str(), kPixErrJpg},
                 {empty.c_str(), kPixErrJpg},
                 {twelveBit.c_str(), kPixErrJpg}};
    for (const auto& r : reads) {
        EXPECT_EQ(PixReadJPGCoefficients(r.path), nullptr) << (r.path ? r.path : "null");
        EXPECT_EQ(PixGetLastError(), r.code) << (r.path ? r.path : "null");
    }

    const Bytes rgb = MakePhoto(8, 8);
    EXPECT_EQ(PixCompressJPGCoefficients(rgb.data(), 8, 8, 0), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
    EXPECT_EQ(PixCompressJPGCoefficients(rgb.data(), 0, 8, 90), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrParam);

    PixJpegCoefficientsPtr jpeg(PixCompressJPGCoefficients(rgb.data(), 8, 8, 90));
    ASSERT_NE(jpeg, nullptr);
    EXPECT_FALSE(PixWriteJPGCoefficients(jpeg.get(), dir.File("missing/out.jpg").c_str()));
    EXPECT_EQ(PixGetLastError(), kPixErrOpen);
    EXPECT_FALSE(PixWriteJPGCoefficients(jpeg.get(), "/dev/full"));
    EXPECT_EQ(PixGetLastError(), kPixErrWrite);
}

}  // namespace
