// SPDX-License-Identifier: GPL-3.0-or-later
// The payload every hiding method carries, the five methods, and the checks
// a decode applies to what it reads back.
//
//   offset  size  field
//   0       8     signature: five ASCII characters, a zero byte, two zero bytes
//   8       4     N: name length, its terminating zero included (LE)
//   12      4     D: data size in bytes (LE)
//   16      N     stored name and its zero byte
//   16+N    D     the data file's bytes
//
// Nothing follows: no checksum, no end marker, no padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum HidingMethod : int {
    Method78 = 0,
    Method68 = 1,
    Method886 = 2,
    Method777 = 3,
    Method666 = 4,
    MethodSealed = 5,  // passphrase-sealed, no signature (hiding/sealed.h)
};
constexpr int kMethodCount = 5;      // the methods a decode can detect by signature
constexpr int kMethodListCount = 6;  // the method list: those five, then sealed

struct PayloadHeader {
    char signature[8];
    uint32_t nameLength;
    uint32_t dataSize;
};
constexpr size_t kPayloadHeaderSize = 16;
// The decode side keeps the name in 260 bytes: 259 characters and the zero.
constexpr uint32_t kMaxNameBytes = 260;
// What sealed adds to its name and data: salt 16, the header's region 128
// (a bit a sample, as the content), name length 2, the content's tag 16.
constexpr uint64_t kSealedOverhead = 162;

struct MethodInfo {
    const char* name;       // "7/8"
    const char* signature;  // "Omb78"
    const char* listEntry;  // the method list's text
    bool indexed;           // carries its bits in 8-bit palette indices
};
const MethodInfo& GetMethodInfo(HidingMethod method);

// The order in which a decode tries the methods on an unknown image.
constexpr HidingMethod kDetectionOrder[kMethodCount] = {Method68, Method78, Method666, Method886,
                                                        Method777};

// Bytes the method can carry in a width x height image: whole carrier groups
// (for sealed, whole bytes of one bit a colour sample).
uint64_t MethodCapacity(HidingMethod method, uint32_t width, uint32_t height);

// What the capacity report deducts: the header, or sealed's overhead.
uint64_t MethodOverhead(HidingMethod method);

// Sealed hides well up to one bit in this many colour samples: past it, a
// modern detector trained on photographs starts to tell carriers from
// untouched pictures (measured with bench/detect).
constexpr uint64_t kSealedWellHiddenSamples = 10;

// Bytes of name and data sealed hides well in width x height, 0 when none.
uint64_t SealedHidesWell(uint32_t width, uint32_t height);

// The fewest pixels whose capacity holds `payloadBytes`.
uint64_t RequiredPixels(HidingMethod method, uint64_t payloadBytes);

// The text after the last backslash, else after the last slash, else all.
std::string FileNamePart(const std::string& path);

// Hooks for the encode run's status and progress while a payload is built.
class PayloadSteps {
  public:
    virtual ~PayloadSteps() = default;
    virtual void SizeKnown() {}  // the data file's size is known
    virtual void Reading() {}    // the data file is open, about to be read
};

struct PayloadBuild {
    int code = 0;                // image library code; 0 also after a refusal
    std::string message;         // the fit message when the payload does not fit
    std::vector<uint8_t> bytes;  // the payload; empty unless code and message are clear
};

// Builds the payload of the data file at `dataPath` for an image of
// width x height (0 x 0 when its size is unknown). Codes: 3 when the size
// cannot be read or fewer bytes arrive, 2 when the file cannot be opened,
// 1 when memory runs out. A payload that does not fit leaves code 0 and the
// fit message, before any buffer is taken or the file is opened.
PayloadBuild BuildPayload(HidingMethod method, const std::string& dataPath, uint32_t width,
                          uint32_t height, PayloadSteps* steps = nullptr);

// The fit message for a payload of `payloadBytes` that does not fit an
// image of width x height: the pixels it would need, then the bytes the
// method carries there and the bytes the file needs, counted as the
// capacity report counts them.
std::string FitMessage(HidingMethod method, uint64_t payloadBytes, uint32_t width,
                       uint32_t height);

// The message a decode shows when the signature is not the method's.
std::string WrongSignatureMessage(HidingMethod method);
extern const char* const kInvalidFileMessage;
extern const char* const kDataTooBigMessage;

// Reads a payload back from a carrier (colour bytes for the 24-bit methods,
// indices for the 8-bit ones) in the decode's order. Each step returns null
// when it passes, or the message the decode shows; a step is only called
// after the ones before it passed.
class PayloadReader {
  public:
    PayloadReader(HidingMethod method, const uint8_t* carrier, size_t carrierBytes, uint32_t width,
                  uint32_t height);

    const char* ReadHeader();  // 16 header bytes
    bool SignatureMatches() const;
    const char* ReadName();       // N name bytes, cleaned to a bare file name
    const char* CheckDataSize();  // D against the whole image's capacity
    bool AllocateData();          // false when D bytes cannot be had
    const char* ReadData();       // D data bytes

    const PayloadHeader& header() const { return header_; }
    const std::string& name() const { return name_; }
    const std::vector<uint8_t>& data() const { return data_; }

  private:
    bool Extract(uint8_t* out, size_t count);

    HidingMethod method_;
    const uint8_t* position_;
    size_t left_;
    uint32_t width_, height_;
    PayloadHeader header_{};
    std::string name_;
    std::vector<uint8_t> data_;
};

// The name as a bare file name: what follows the last separator of either
// kind. False when `bytes` holds no zero or the name is empty, "." or "..".
bool CleanStoredName(const uint8_t* bytes, size_t length, std::string* name);

// Signature test alone, as the probes run it: 16 bytes from the carrier's
// start and the method's signature.
bool CarriesSignature(HidingMethod method, const uint8_t* carrier, size_t carrierBytes);
