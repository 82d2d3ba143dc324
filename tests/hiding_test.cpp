// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "hiding/channel.h"
#include "hiding/palette.h"
#include "hiding/payload.h"
#include "tests/test_util.h"

namespace {

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

using Embedder = void (*)(uint8_t*, uint64_t, const uint8_t*, uint64_t);
using Extractor = bool (*)(const uint8_t*, uint8_t*, size_t, size_t, size_t*);

struct ChannelMethod {
    HidingMethod method;
    Embedder embed;
    Extractor extract;
};
const ChannelMethod kChannelMethods[] = {
    {Method666, Embed666, ExtractPairs},
    {Method777, Embed777, ExtractBits},
    {Method886, Embed886, ExtractBluePairs},
};

// Builds a payload in memory the way BuildPayload lays it out.
Bytes MakePayload(HidingMethod method, const std::string& name, const Bytes& data) {
    Bytes payload(16);
    std::memcpy(payload.data(), GetMethodInfo(method).signature, 5);
    const uint32_t n = static_cast<uint32_t>(name.size() + 1);
    const uint32_t d = static_cast<uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) {
        payload[8 + i] = static_cast<uint8_t>(n >> (8 * i));
        payload[12 + i] = static_cast<uint8_t>(d >> (8 * i));
    }
    payload.insert(payload.end(), name.begin(), name.end());
    payload.push_back(0);
    payload.insert(payload.end(), data.begin(), data.end());
    return payload;
}

}  // namespace

TEST(Channel, WorkedExamples) {
    Bytes black(12, 0);
    const uint8_t ff = 0xFF;
    Embed666(black.data(), 4, &ff, 1);
    EXPECT_EQ(black, (Bytes{3, 3, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0}));

    Bytes grey(12, 0x80);
    const uint8_t value = 0x4F;
    Embed777(grey.data(), 4, &value, 1);
    EXPECT_EQ(grey,
              (Bytes{0x81, 0x81, 0x81, 0x81, 0x80, 0x80, 0x81, 0x80, 0x80, 0x80, 0x80, 0x80}));
}

TEST(Channel, ExtractorBoundaries) {
    const Bytes carrier = RandomBytes(64, 7);
    uint8_t out[16] = {};
    size_t consumed = 99;
    EXPECT_FALSE(ExtractPairs(carrier.data(), out, 16, 63, &consumed));
    EXPECT_EQ(consumed, 99u);
    EXPECT_TRUE(ExtractPairs(carrier.data(), out, 16, 64, &consumed));
    EXPECT_EQ(consumed, 64u);
    EXPECT_FALSE(ExtractBits(carrier.data(), out, 8, 63, &consumed));
    EXPECT_TRUE(ExtractBits(carrier.data(), out, 0, 0, &consumed));
    EXPECT_EQ(consumed, 0u);

    // Only the blue bytes, at offsets 2, 5, 8 and 11, count.
    const Bytes pixels = {0xFF, 0xFF, 0x01, 0xFF, 0xFF, 0x02, 0xFF, 0xFF, 0x03, 0xFF, 0xFF, 0x00};
    EXPECT_FALSE(ExtractBluePairs(pixels.data(), out, 1, 11, &consumed));
    ASSERT_TRUE(ExtractBluePairs(pixels.data(), out, 1, 12, &consumed));
    EXPECT_EQ(out[0], 0x01 | 0x02 << 2 | 0x03 << 4);
    EXPECT_EQ(consumed, 12u);
}

// Fills each method's capacity of an odd-sized image with every byte value:
// the extractor gives the payload back, the bits above the carrying ones and
// every byte past the last whole group are untouched, and 886 never changes
// red or green.
TEST(Channel, RoundTripAtCapacityOnOddSizes) {
    for (const ChannelMethod& m : kChannelMethods) {
        for (auto [width, height] : {std::pair{1u, 1u}, {3u, 5u}, {7u, 3u}, {101u, 37u}}) {
            SCOPED_TRACE(std::string(GetMethodInfo(m.method).name) + " " + std::to_string(width) +
                         "x" + std::to_string(height));
            const uint64_t n = uint64_t{width} * height;
            const Bytes original = RandomBytes(n * 3, width * 31 + height);
            const uint64_t capacity = MethodCapacity(m.method, width, height);
            Bytes payload = RandomBytes(capacity, 5);
            for (size_t i = 0; i < payload.size(); ++i) payload[i] ^= static_cast<uint8_t>(i);

            Bytes image = original;
            m.embed(image.data(), n, payload.data(), payload.size());
            Bytes out(capacity);
            size_t consumed = 0;
            ASSERT_TRUE(m.extract(image.data(), out.data(), capacity, image.size(), &consumed));
            EXPECT_EQ(out, payload);

            const int carryBits = m.method == Method777 ? 1 : 2;
            const uint8_t keep = static_cast<uint8_t>(0xFF << carryBits);
            for (size_t j = 0; j < image.size(); ++j) {
                const bool carrier = m.method != Method886 || j % 3 == 2;
                if (!carrier || j >= consumed) {
                    ASSERT_EQ(image[j], original[j]) << "byte " << j;
                } else {
                    ASSERT_EQ(image[j] & keep, original[j] & keep) << "byte " << j;
                }
            }
        }
    }
}

TEST(Channel, EmbedderNeverWritesPastTheLastGroup) {
    // 3 pixels hold 9 colour bytes: two 666 groups and a one-byte tail.
    Bytes image(9, 0);
    const Bytes payload = {0xFF, 0xFF, 0xFF};
    Embed666(image.data(), 3, payload.data(), payload.size());
    EXPECT_EQ(image, (Bytes{3, 3, 3, 3, 3, 3, 3, 3, 0}));
}

TEST(PaletteMethods, IndicesCarryTheLowBitsAndShowTheReducedColour) {
    // 7/8: 0x4F is bits 1,1,1,1,0,0,1,0 from bit 0; 0x80 sets only the eighth
    // pixel of its group; the three pixels past the last group carry 0.
    Bytes indices78 = {0, 1, 2, 3, 4, 5, 6, 7, 127, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    const Bytes payload78 = {0x4F, 0x80};
    Embed78(indices78.data(), indices78.size(), payload78.data(), payload78.size());
    EXPECT_EQ(indices78,
              (Bytes{1, 3, 5, 7, 8, 10, 13, 14, 254, 20, 22, 24, 26, 28, 30, 33, 34, 36, 38}));

    // 6/8: 0xE4 is the pairs 0, 1, 2, 3 from bit 0; a payload shorter than
    // the image leaves the rest on the first entry of each run.
    Bytes indices68 = {0, 1, 2, 63, 5, 6, 7};
    const uint8_t payload68 = 0xE4;
    Embed68(indices68.data(), indices68.size(), &payload68, 1);
    EXPECT_EQ(indices68, (Bytes{0, 5, 10, 255, 20, 24, 28}));
    EXPECT_EQ(ReducedColours(Method78), 128u);
    EXPECT_EQ(ReducedColours(Method68), 64u);

    RGBQUAD reduced[256];
    for (int c = 0; c < 256; ++c)
        reduced[c] = {static_cast<uint8_t>(c), static_cast<uint8_t>(c + 1),
                      static_cast<uint8_t>(c + 2), 0};
    for (HidingMethod method : {Method78, Method68}) {
        const int copies = method == Method78 ? 2 : 4;
        RGBQUAD spread[256];
        std::memset(spread, 0xEE, sizeof spread);
        BuildSpreadPalette(method, reduced, spread);
        for (int i = 0; i < 256; ++i) {
            ASSERT_EQ(spread[i].rgbBlue, i / copies) << copies << " " << i;
            ASSERT_EQ(spread[i].rgbGreen, i / copies + 1) << copies << " " << i;
            ASSERT_EQ(spread[i].rgbRed, i / copies + 2) << copies << " " << i;
            ASSERT_EQ(spread[i].rgbReserved, 0xEE) << copies << " " << i;
        }
    }
}

TEST(MethodTable, CapacitiesAndRequiredPixels) {
    EXPECT_EQ(MethodCapacity(Method78, 8 * 5 + 7, 1), 5u);
    EXPECT_EQ(MethodCapacity(Method666, 1, 1), 0u);
    EXPECT_EQ(MethodCapacity(Method666, 2, 2), 3u);
    const uint64_t want100[kMethodCount] = {1250, 2500, 2500, 3750, 7500};
    const uint64_t pixelsFor100[kMethodCount] = {800, 400, 400, 267, 134};
    for (int m = 0; m < kMethodCount; ++m) {
        const auto method = static_cast<HidingMethod>(m);
        EXPECT_EQ(MethodCapacity(method, 100, 100), want100[m]) << m;
        EXPECT_EQ(RequiredPixels(method, 100), pixelsFor100[m]) << m;
        // RequiredPixels is the least n that holds the payload.
        for (uint64_t t : {1u, 2u, 3u, 17u, 100u}) {
            const uint64_t n = RequiredPixels(method, t);
            EXPECT_GE(MethodCapacity(method, static_cast<uint32_t>(n), 1), t);
            EXPECT_LT(MethodCapacity(method, static_cast<uint32_t>(n - 1), 1), t);
        }
    }
    // No wrap at the largest sizes the 32-bit fields allow.
    EXPECT_EQ(MethodCapacity(Method666, UINT32_MAX, UINT32_MAX),
              3 * ((uint64_t{UINT32_MAX} * UINT32_MAX) / 4) + 3 * 1 / 4);
    EXPECT_EQ(FitMessage(Method78, uint64_t{1} << 33, 64, 48),
              "Data file will not fit in specified image!\nAn image containing at least "
              "68719476736 pixels is required to hide this file\nThe 7/8 method can carry 368 "
              "bytes in this image; this file needs 8589934576 bytes");
    // An image too small for the header carries nothing, not a wrapped count.
    EXPECT_EQ(FitMessage(Method666, 20, 1, 1).substr(FitMessage(Method666, 20, 1, 1).rfind('\n')),
              "\nThe 666 method can carry 0 bytes in this image; this file needs 4 bytes");
}

TEST(MethodTable, ListEntriesAndDetectionOrder) {
    EXPECT_STREQ(GetMethodInfo(Method78).listEntry, "Ombrel 7/8   (8-bit PCX, BMP) ");
    EXPECT_STREQ(GetMethodInfo(Method666).listEntry, "Ombrel 666   (24-bit BMP, PCX, TIF, PNG)");
    EXPECT_EQ(kDetectionOrder[0], Method68);
    EXPECT_EQ(kDetectionOrder[4], Method777);
    EXPECT_EQ(WrongSignatureMessage(Method886), "This is not a Ombrel 886 file");
    EXPECT_EQ(FileNamePart("C:\\dir/x\\name.txt"), "name.txt");
    EXPECT_EQ(FileNamePart("dir/sub/name.txt"), "name.txt");
    EXPECT_EQ(FileNamePart("name"), "name");
}

class BuildPayloadTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string data = dir.File("secret.bin");
};

TEST_F(BuildPayloadTest, LaysOutHeaderNameAndData) {
    WriteFileBytes(data, {1, 2, 3});
    struct Steps : PayloadSteps {
        std::string seen;
        void SizeKnown() override { seen += "size;"; }
        void Reading() override { seen += "reading;"; }
    } steps;
    const PayloadBuild build = BuildPayload(Method777, data, 100, 100, &steps);
    ASSERT_EQ(build.code, 0);
    EXPECT_EQ(build.message, "");
    EXPECT_EQ(build.bytes, MakePayload(Method777, "secret.bin", {1, 2, 3}));
    EXPECT_EQ(steps.seen, "size;reading;");
}

TEST_F(BuildPayloadTest, ExactFitAndOneByteOver) {
    // 16 + 11 ("secret.bin" and its zero) + 5 = 32 bytes; 7/8 needs 256 pixels.
    WriteFileBytes(data, Bytes(5, 9));
    EXPECT_EQ(BuildPayload(Method78, data, 16, 16).bytes.size(), 32u);
    const PayloadBuild over = BuildPayload(Method78, data, 255, 1);
    EXPECT_EQ(over.code, 0);
    EXPECT_TRUE(over.bytes.empty());
    EXPECT_EQ(over.message,
              "Data file will not fit in specified image!\nAn image containing at least 256 "
              "pixels is required to hide this file\nThe 7/8 method can carry 15 bytes in this "
              "image; this file needs 16 bytes");
    // An image whose size is unknown (0 x 0) fits nothing.
    EXPECT_NE(BuildPayload(Method666, data, 0, 0).message, "");
}

TEST_F(BuildPayloadTest, EmptyDataFileAndFileErrors) {
    WriteFileBytes(data, {});
    EXPECT_EQ(BuildPayload(Method666, data, 10, 10).bytes,
              MakePayload(Method666, "secret.bin", {}));
    EXPECT_EQ(BuildPayload(Method666, dir.File("missing"), 10, 10).code, kPixErrRead);
    if (geteuid() != 0) {  // root opens anything
        WriteFileBytes(data, {1});
        chmod(data.c_str(), 0);
        EXPECT_EQ(BuildPayload(Method666, data, 10, 10).code, kPixErrOpen);
    }
}

TEST_F(BuildPayloadTest, FourGigabyteFileGetsTheFitMessageNotAWrappedSize) {
    const uint64_t size = uint64_t{1} << 32;
    {
        FILE* f = fopen(data.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fclose(f);
    }
    if (truncate(data.c_str(), static_cast<off_t>(size)) != 0) GTEST_SKIP() << "no sparse files";
    const PayloadBuild build = BuildPayload(Method666, data, UINT32_MAX, UINT32_MAX);
    EXPECT_EQ(build.code, 0);
    EXPECT_TRUE(build.bytes.empty());
    EXPECT_EQ(build.message, FitMessage(Method666, 16 + 11 + size, UINT32_MAX, UINT32_MAX));
    EXPECT_NE(build.message.find("5726623098"), std::string::npos) << build.message;
}

// A 24-bit image carrying `payload` under `method`.
Bytes Carrier(const ChannelMethod& m, const Bytes& payload, uint32_t width, uint32_t height) {
    Bytes image = RandomBytes(size_t{width} * height * 3, 3);
    m.embed(image.data(), uint64_t{width} * height, payload.data(), payload.size());
    return image;
}

struct DecodeOutcome {
    std::string message;  // empty when every check passed
    std::string name;
    Bytes data;
};

DecodeOutcome Decode(HidingMethod method, const Bytes& image, uint32_t width, uint32_t height) {
    PayloadReader reader(method, image.data(), image.size(), width, height);
    DecodeOutcome out;
    const char* message = reader.ReadHeader();
    if (!message && !reader.SignatureMatches()) {
        out.message = WrongSignatureMessage(method);
        return out;
    }
    if (!message) message = reader.ReadName();
    if (!message) message = reader.CheckDataSize();
    if (!message && !reader.AllocateData()) message = "no memory";
    if (!message) message = reader.ReadData();
    if (message) out.message = message;
    out.name = reader.name();
    out.data = reader.data();
    return out;
}

TEST(DecodeChecks, EachFailureWithItsText) {
    const ChannelMethod& m666 = kChannelMethods[0];
    const Bytes data = {10, 20, 30};
    auto patched = [&](void (*patch)(Bytes&)) {
        Bytes payload = MakePayload(Method666, "a.txt", data);
        patch(payload);
        return payload;
    };
    struct Case {
        const char* name;
        Bytes payload;
        uint32_t width, height;
        HidingMethod method;
        std::string want;
    };
    const std::string invalid = kInvalidFileMessage;
    const Case cases[] = {
        {"Passes", MakePayload(Method666, "a.txt", data), 20, 20, Method666, ""},
        {"EmptyData", MakePayload(Method666, "a.txt", {}), 20, 20, Method666, ""},
        {"FreeSignatureBytes", patched([](Bytes& p) { p[6] = 0xAA, p[7] = 0x55; }), 20, 20,
         Method666, ""},
        {"TooSmallForHeader", MakePayload(Method666, "a.txt", data), 5, 4, Method666, invalid},
        {"OtherMethodsPayload", MakePayload(Method777, "a.txt", data), 20, 20, Method666,
         "This is not a Ombrel 666 file"},
        {"NameCutOff", MakePayload(Method666, "a.txt", data), 7, 3, Method666, invalid},
        {"NameLengthZero", patched([](Bytes& p) { p[8] = 0; }), 20, 20, Method666, invalid},
        {"NameLength261", patched([](Bytes& p) { p[8] = 5, p[9] = 1; }), 40, 40, Method666,
         invalid},
        {"NameWithoutZero", patched([](Bytes& p) { p[16 + 5] = 'x'; }), 20, 20, Method666, invalid},
        {"NameDotDot", MakePayload(Method666, "..", data), 20, 20, Method666, invalid},
        {"NameEndsInSeparator", MakePayload(Method666, "dir/", data), 20, 20, Method666, invalid},
        {"DataOverCapacity", patched([](Bytes& p) { p[12] = 0x2D, p[13] = 1; }), 20, 20, Method666,
         kDataTooBigMessage},
        {"DataCutOff", patched([](Bytes& p) { p[12] = 100; }), 12, 12, Method666, invalid},
    };
    for (const Case& c : cases) {
        const Bytes image = Carrier(m666, c.payload, c.width, c.height);
        EXPECT_EQ(Decode(c.method, image, c.width, c.height).message, c.want) << c.name;
    }
    const DecodeOutcome ok = Decode(Method666, Carrier(m666, cases[0].payload, 20, 20), 20, 20);
    EXPECT_EQ(ok.name, "a.txt");
    EXPECT_EQ(ok.data, data);
}

TEST(DecodeChecks, StoredNameIsReducedToItsLastComponent) {
    for (auto [stored, want] : {std::pair{"../../etc/passwd", "passwd"},
                                {"C:\\Windows\\x.dll", "x.dll"},
                                {"a/b\\c", "c"}}) {
        const Bytes image =
            Carrier(kChannelMethods[0], MakePayload(Method666, stored, {1}), 30, 30);
        const DecodeOutcome out = Decode(Method666, image, 30, 30);
        EXPECT_EQ(out.message, "") << stored;
        EXPECT_EQ(out.name, want) << stored;
    }
}

TEST(DecodeChecks, ProbeSeesOnlyItsOwnSignature) {
    for (const ChannelMethod& m : kChannelMethods) {
        const Bytes image = Carrier(m, MakePayload(m.method, "x", {1, 2}), 16, 16);
        for (const ChannelMethod& other : kChannelMethods)
            EXPECT_EQ(CarriesSignature(other.method, image.data(), image.size()),
                      other.method == m.method)
                << GetMethodInfo(m.method).name << " probed as "
                << GetMethodInfo(other.method).name;
    }
    EXPECT_FALSE(CarriesSignature(Method666, nullptr, 0));
}
