// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/payload.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "hiding/channel.h"
#include "imagelib/common.h"
#include "imagelib/state.h"

namespace {

const MethodInfo kMethods[kMethodListCount] = {
    {"7/8", "Omb78", "Ombrel 7/8   (8-bit PCX, BMP) ", true},
    {"6/8", "Omb68", "Ombrel 6/8   (8-bit PCX, BMP)", true},
    {"886", "Om886", "Ombrel 886   (24-bit BMP, PCX, TIF, PNG)", false},
    {"777", "Om777", "Ombrel 777   (24-bit BMP, PCX, TIF, PNG)", false},
    {"666", "Om666", "Ombrel 666   (24-bit BMP, PCX, TIF, PNG)", false},
    {"sealed", "", "Ombrel sealed (24-bit BMP, PCX, TIF, PNG)", false},
};

using Extractor = bool (*)(const uint8_t*, uint8_t*, size_t, size_t, size_t*);

Extractor ExtractorOf(HidingMethod method) {
    switch (method) {
        case Method78:
        case Method777:
        case MethodSealed:  // never asked: sealed has its own reader
            return ExtractBits;
        case Method68:
        case Method666:
            return ExtractPairs;
        case Method886:
            return ExtractBluePairs;
    }
    return ExtractBits;
}

bool SignatureMatches(HidingMethod method, const PayloadHeader& header) {
    // Offsets 0 to 5: the five characters and the zero; 6 and 7 are free.
    return std::memcmp(header.signature, GetMethodInfo(method).signature, 6) == 0;
}

PayloadHeader DecodeHeader(const uint8_t* bytes) {
    PayloadHeader header;
    std::memcpy(header.signature, bytes, 8);
    header.nameLength = GetLE32(bytes + 8);
    header.dataSize = GetLE32(bytes + 12);
    return header;
}

}  // namespace

// A crafted payload cannot name a place outside the chosen folder.
bool CleanStoredName(const uint8_t* bytes, size_t length, std::string* name) {
    const void* end = std::memchr(bytes, 0, length);
    if (end == nullptr) return false;
    const std::string full(reinterpret_cast<const char*>(bytes),
                           static_cast<const uint8_t*>(end) - bytes);
    const size_t cut = full.find_last_of("/\\");
    *name = cut == std::string::npos ? full : full.substr(cut + 1);
    return !name->empty() && *name != "." && *name != "..";
}

const char* const kInvalidFileMessage = "This is not a valid Ombrel file";
const char* const kDataTooBigMessage = "Invalid Ombrel file (datasize too big for file)";

const MethodInfo& GetMethodInfo(HidingMethod method) {
    return kMethods[method];
}

uint64_t MethodCapacity(HidingMethod method, uint32_t width, uint32_t height) {
    const uint64_t n = uint64_t{width} * height;
    switch (method) {
        case Method78:
            return n / 8;
        case Method68:
        case Method886:
            return n / 4;
        case Method777:  // 3n / 8 without forming 3n, which can exceed 64 bits
        case MethodSealed:
            return 3 * (n / 8) + 3 * (n % 8) / 8;
        case Method666:
            return 3 * (n / 4) + 3 * (n % 4) / 4;
    }
    return 0;
}

uint64_t MethodOverhead(HidingMethod method) {
    return method == MethodSealed ? kSealedOverhead : kPayloadHeaderSize;
}

uint64_t SealedHidesWell(uint32_t width, uint32_t height) {
    // 3n / (8 k) without forming 3n, as MethodCapacity does.
    const uint64_t n = uint64_t{width} * height, k = 8 * kSealedWellHiddenSamples;
    const uint64_t bytes = 3 * (n / k) + 3 * (n % k) / k;
    return bytes > kSealedOverhead ? bytes - kSealedOverhead : 0;
}

uint64_t RequiredPixels(HidingMethod method, uint64_t payloadBytes) {
    // Saturates rather than wraps for sizes no file system holds.
    constexpr uint64_t kMax = UINT64_MAX;
    switch (method) {
        case Method78:
            return payloadBytes > kMax / 8 ? kMax : 8 * payloadBytes;
        case Method68:
        case Method886:
            return payloadBytes > kMax / 4 ? kMax : 4 * payloadBytes;
        case Method777:
        case MethodSealed:
            return payloadBytes > kMax / 8 ? kMax : (8 * payloadBytes + 2) / 3;
        case Method666:
            return payloadBytes > kMax / 4 ? kMax : (4 * payloadBytes + 2) / 3;
    }
    return kMax;
}

std::string FileNamePart(const std::string& path) {
    size_t cut = path.rfind('\\');
    if (cut == std::string::npos) cut = path.rfind('/');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string FitMessage(HidingMethod method, uint64_t payloadBytes, uint32_t width,
                       uint32_t height) {
    const uint64_t capacity = MethodCapacity(method, width, height);
    const uint64_t overhead = MethodOverhead(method);
    return "Data file will not fit in specified image!\nAn image containing at least " +
           std::to_string(RequiredPixels(method, payloadBytes)) +
           " pixels is required to hide this file\nThe " + GetMethodInfo(method).name +
           " method can carry " + std::to_string(capacity > overhead ? capacity - overhead : 0) +
           " bytes in this image; this file needs " +
           std::to_string(payloadBytes > overhead ? payloadBytes - overhead : 0) + " bytes";
}

std::string WrongSignatureMessage(HidingMethod method) {
    return std::string("This is not a Ombrel ") + GetMethodInfo(method).name + " file";
}

PayloadBuild BuildPayload(HidingMethod method, const std::string& dataPath, uint32_t width,
                          uint32_t height, PayloadSteps* steps) {
    PayloadBuild build;
    struct stat info;
    if (::stat(dataPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        build.code = kPixErrRead;
        return build;
    }
    const uint64_t dataSize = static_cast<uint64_t>(info.st_size);
    const std::string name = FileNamePart(dataPath);
    const uint64_t nameLength = name.size() + 1;
    const uint64_t total = kPayloadHeaderSize + nameLength + dataSize;
    if (steps) steps->SizeKnown();

    // The header's 32-bit fields cannot describe a larger name or file; such
    // a payload is refused as one that does not fit.
    if (total > MethodCapacity(method, width, height) || dataSize > UINT32_MAX ||
        nameLength > UINT32_MAX) {
        build.message = FitMessage(method, total, width, height);
        return build;
    }

    std::vector<uint8_t> bytes;
    try {
        bytes.resize(static_cast<size_t>(total));
    } catch (const std::bad_alloc&) {
        build.code = kPixErrMemory;
        return build;
    }
    // Offsets 6 and 7 stay 0, so equal inputs give equal images.
    std::memcpy(bytes.data(), GetMethodInfo(method).signature, 5);
    PutLE32(bytes.data() + 8, static_cast<uint32_t>(nameLength));
    PutLE32(bytes.data() + 12, static_cast<uint32_t>(dataSize));
    std::memcpy(bytes.data() + kPayloadHeaderSize, name.c_str(), nameLength);

    FilePtr file = OpenFile(dataPath.c_str(), "rb");
    if (!file) {
        build.code = kPixErrOpen;
        return build;
    }
    if (steps) steps->Reading();
    uint8_t* data = bytes.data() + kPayloadHeaderSize + nameLength;
    if (std::fread(data, 1, static_cast<size_t>(dataSize), file.get()) != dataSize) {
        build.code = kPixErrRead;
        return build;
    }
    build.bytes = std::move(bytes);
    return build;
}

PayloadReader::PayloadReader(HidingMethod method, const uint8_t* carrier, size_t carrierBytes,
                             uint32_t width, uint32_t height)
    : method_(method), position_(carrier), left_(carrierBytes), width_(width), height_(height) {}

bool PayloadReader::Extract(uint8_t* out, size_t count) {
    size_t consumed = 0;
    if (!ExtractorOf(method_)(position_, out, count, left_, &consumed)) return false;
    position_ += consumed;
    left_ -= consumed;
    return true;
}

const char* PayloadReader::ReadHeader() {
    uint8_t bytes[kPayloadHeaderSize];
    if (!Extract(bytes, sizeof bytes)) return kInvalidFileMessage;
    header_ = DecodeHeader(bytes);
    return nullptr;
}

bool PayloadReader::SignatureMatches() const {
    return ::SignatureMatches(method_, header_);
}

const char* PayloadReader::ReadName() {
    const uint32_t length = header_.nameLength;
    if (length == 0 || length > kMaxNameBytes) return kInvalidFileMessage;
    uint8_t bytes[kMaxNameBytes];
    if (!Extract(bytes, length)) return kInvalidFileMessage;
    if (!CleanStoredName(bytes, length, &name_)) return kInvalidFileMessage;
    return nullptr;
}

const char* PayloadReader::CheckDataSize() {
    return header_.dataSize > MethodCapacity(method_, width_, height_) ? kDataTooBigMessage
                                                                       : nullptr;
}

bool PayloadReader::AllocateData() {
    try {
        data_.resize(header_.dataSize);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

const char* PayloadReader::ReadData() {
    if (data_.empty()) return nullptr;
    return Extract(data_.data(), data_.size()) ? nullptr : kInvalidFileMessage;
}

bool CarriesSignature(HidingMethod method, const uint8_t* carrier, size_t carrierBytes) {
    PayloadReader reader(method, carrier, carrierBytes, 0, 0);
    return reader.ReadHeader() == nullptr && reader.SignatureMatches();
}
