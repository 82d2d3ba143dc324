// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/runs.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <new>

#include "hiding/carrier.h"
#include "hiding/channel.h"
#include "hiding/jpeg_carrier.h"
#include "hiding/output_file.h"
#include "hiding/palette.h"
#include "hiding/sealed.h"
#include "hiding/sealed_run.h"
#include "hiding/shown_name.h"
#include "imagelib/common.h"
#include "imagelib/pix.h"
#include "platform/win32.h"
#include "working/working_image.h"

const char* const kNotAnImageText = "The image you have selected is not a valid image file";
const char* const kNotEncodedText = "This file was not encoded by Ombrel";
const char* const kHiddenFileNote = " (hidden file)";

namespace {

constexpr unsigned kRunPause = 750;

class WaitCursor {
  public:
    explicit WaitCursor(DialogPort& dialog) : dialog_(dialog) { dialog_.BeginWaitCursor(); }
    ~WaitCursor() { dialog_.EndWaitCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

  private:
    DialogPort& dialog_;
};

// Holds a working image's pixels locked until it goes.
class PixelLock {
  public:
    explicit PixelLock(CWorkingImage& image) : image_(image), pixels(image.LockPixels()) {}
    ~PixelLock() { image_.ReleasePixels(); }
    PixelLock(const PixelLock&) = delete;
    PixelLock& operator=(const PixelLock&) = delete;

  private:
    CWorkingImage& image_;

  public:
    uint8_t* const pixels;
};

uint64_t PixelCount(uint32_t width, uint32_t height) {
    return uint64_t{width} * height;
}

// An entry at the name, a dangling link included.
bool EntryExists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

// What became of a write through an OutputFile.
struct Written {
    int code = 0;         // the writer's library code, or 4 for a full disk
    bool exists = false;  // Replace::kNever met an entry at the name
    std::string message;  // the file system refused the name: which and why
    std::string reason;   // the refusal's reason alone
    bool denied = false;  // the name was refused for want of permission
};

// Writes through a temporary file and renames it into place only once every
// byte is on disk, so a failed write never harms a file that was there.
template <typename Write>
Written WriteOutput(const std::string& target, Replace replace, Write write) {
    Written result;
    OutputFile file(target, replace);
    const bool opened = file.error() == 0;
    if (opened) {
        result.code = write(file);
        if (result.code != 0 || file.Publish()) return result;
    }
    const int error = file.error();
    if (error == EEXIST && replace == Replace::kNever) {
        result.exists = true;
    } else if (IsFullDisk(error)) {
        result.code = kPixErrWrite;
    } else {
        char reason[256];
        result.reason = strerror_r(error, reason, sizeof reason);
        result.message =
            std::string(PixErrorText(kPixErrOpen)) + " " + ShownName(target) + ": " + result.reason;
        // Only before any byte went out, so that trying elsewhere writes anew.
        result.denied = !opened && (error == EACCES || error == EPERM || error == EROFS);
    }
    return result;
}

// The writer's code, or 0 once the message about the name has been shown.
int Report(DialogPort& dialog, const Written& written) {
    if (!written.message.empty()) dialog.ShowMessage(written.message);
    return written.code;
}

struct OutputChoice {
    std::string path;  // empty: the user cancelled
    Replace replace = Replace::kNever;
};

// The user's answer for a path where a file exists: replace the entry
// itself (a link there is not followed, the name came from an image), or
// another file the user picked, whose dialog asked about replacing it.
OutputChoice AskOverwrite(DialogPort& dialog, const std::string& path) {
    switch (dialog.AskExisting(ShownName(path))) {
        case DialogPort::ExistsAnswer::Replace:
            return {path, Replace::kEntry};
        case DialogPort::ExistsAnswer::SaveAs:
            return {dialog.AskOutputFile(path), Replace::kLinkTarget};
        case DialogPort::ExistsAnswer::Cancel:
            break;
    }
    return {};
}

OutputChoice ChooseOutput(DialogPort& dialog, const std::string& path) {
    if (!EntryExists(path)) return {path, Replace::kNever};
    return AskOverwrite(dialog, path);
}

std::string ExtractedText(const std::string& path) {
    return "Extracted " + ShownName(path) + (IsHiddenName(path) ? kHiddenFileNote : "");
}

class EncodeSteps : public PayloadSteps {
  public:
    explicit EncodeSteps(DialogPort& dialog) : dialog_(dialog) {}
    void SizeKnown() override { dialog_.StepProgress(); }
    void Reading() override { dialog_.SetStatus("Reading"); }

  private:
    DialogPort& dialog_;
};

void (*const kChannelEmbedders[])(uint8_t*, uint64_t, const uint8_t*, uint64_t) = {
    nullptr, nullptr, Embed886, Embed777, Embed666};

bool IsMethod(HidingMethod method) {
    return method >= 0 && method < kMethodCount;
}

// A write's outcome as one code: 0 only when the file is in place.
int Outcome(const Written& written) {
    return written.message.empty() ? written.code : static_cast<int>(kPixErrOpen);
}

// The last stage: writes the output and reports it, whatever the writer
// returned; a run that stops before the write leaves its status and skips
// the pause. A stop asked for while the writer works discards its file.
int WriteAndFinish(DialogPort& dialog, const std::string& output,
                   const std::function<int(const std::string& file)>& write) {
    if (dialog.StopRequested()) return kRunStopped;
    dialog.SetStatus("Writing");
    const Written written = WriteOutput(output, Replace::kLinkTarget, [&](OutputFile& file) {
        const int code = write(file.WritePath());
        // Stopped, even inside the writer, the file goes whatever it holds.
        return dialog.StopRequested() ? kRunStopped : code;
    });
    if (written.code == kRunStopped) return kRunStopped;
    dialog.OutputWritten(output, Outcome(written));
    const int code = Report(dialog, written);
    dialog.StepProgress();
    dialog.SetStatus("");
    dialog.Pause(kRunPause);
    return code;
}

// Embeds in 24-bit pixels and saves them (steps "Set up" to "Writing").
int EncodeChannel(DialogPort& dialog, HidingMethod method, CWorkingImage& image,
                  const std::vector<uint8_t>& payload, const std::string& output) {
    dialog.SetStatus("Set up");
    {
        PixelLock lock(image);
        if (lock.pixels == nullptr) return kPixErrMemory;
        dialog.SetStatus("Encoding");
        kChannelEmbedders[method](lock.pixels, PixelCount(image.width, image.height),
                                  payload.data(), payload.size());
        dialog.StepProgress();
    }
    return WriteOutputImage(dialog, image, output);
}

// Reduces, embeds in the indices and writes an 8-bit image.
int EncodePalette(DialogPort& dialog, HidingMethod method, CWorkingImage& image,
                  const std::vector<uint8_t>& payload, const std::string& output) {
    dialog.SetStatus("Set up");
    const uint32_t width = image.width, height = image.height;
    const uint64_t n = PixelCount(width, height);
    std::unique_ptr<uint8_t[]> indices;
    RGBQUAD reduced[kPixPaletteEntries] = {};
    {
        PixelLock lock(image);
        if (lock.pixels == nullptr) return kPixErrMemory;
        indices.reset(new (std::nothrow) uint8_t[n]);
        if (!indices) return kPixErrMemory;
        if (!PixQuantize(lock.pixels, indices.get(), width, height, ReducedColours(method),
                         reduced))
            return PixGetLastError();
    }
    image.Clear();  // only the indices are needed from here on
    RGBQUAD spread[kPixPaletteEntries] = {};
    BuildSpreadPalette(method, reduced, spread);
    dialog.SetStatus("Encoding");
    dialog.StepProgress();
    (method == Method78 ? Embed78 : Embed68)(indices.get(), n, payload.data(), payload.size());
    return WriteAndFinish(dialog, output, [&](const std::string& file) {
        return WriteIndexedByExtension(file, indices.get(), width, height, spread, output);
    });
}

// Runs the decode checks in order, stepping progress between them; null
// when all passed, else the message to show.
std::string CheckPayload(DialogPort& dialog, HidingMethod method, PayloadReader& reader,
                         int* code) {
    if (const char* message = reader.ReadHeader()) return message;
    dialog.StepProgress();
    if (!reader.SignatureMatches()) return WrongSignatureMessage(method);
    if (const char* message = reader.ReadName()) return message;
    dialog.StepProgress();
    if (const char* message = reader.CheckDataSize()) return message;
    if (!reader.AllocateData()) {
        *code = kPixErrMemory;
        return {};
    }
    dialog.SetStatus("Decoding");
    if (const char* message = reader.ReadData()) return message;
    dialog.StepProgress();
    return {};
}

// What the last DetectMethod on this thread read for the method it found,
// for the DecodeRun that follows it, so the decode reads nothing again.
thread_local std::unique_ptr<Carrier> detected;

// The carrier bytes the probes of one depth need, so that they share a read.
uint64_t ProbeBytes(bool indexed) {
    uint64_t bytes = 0;
    for (HidingMethod method : kDetectionOrder) {
        if (GetMethodInfo(method).indexed == indexed)
            bytes = std::max(bytes, CarrierBytesFor(method, kPayloadHeaderSize));
    }
    return bytes;
}

bool ProbeCarrier(DialogPort& dialog, HidingMethod method, Carrier& carrier) {
    dialog.SetStatus("Reading");
    const int code = carrier.Reach(CarrierBytesFor(method, kPayloadHeaderSize));
    if (code == Carrier::kLockFailed)
        dialog.ShowMessage(carrier.indexed() ? "Out of memory?" : "Out of memory ?");
    return code == 0 && CarriesSignature(method, carrier.bytes(), carrier.held());
}

// Holds the rows with the payload header, then those with the name and the
// data it states, when the signature is the method's and the data size
// within what the picture can carry; the checks that follow then find
// exactly what a read of the whole picture would give them. Reads again
// should the header read differ, as when the file changed in between.
int ReachPayload(HidingMethod method, Carrier& carrier) {
    uint64_t need = CarrierBytesFor(method, kPayloadHeaderSize);
    for (;;) {
        if (const int code = carrier.Reach(need)) return code;
        PayloadReader reader(method, carrier.bytes(), carrier.held(), carrier.width(),
                             carrier.height());
        if (reader.ReadHeader() != nullptr || !reader.SignatureMatches()) return 0;
        const PayloadHeader& header = reader.header();
        const uint64_t name = header.nameLength <= kMaxNameBytes ? header.nameLength : 0;
        const uint64_t data = reader.CheckDataSize() == nullptr ? header.dataSize : 0;
        const uint64_t more = CarrierBytesFor(method, kPayloadHeaderSize + name + data);
        if (more <= need) return 0;
        need = more;
    }
}

int ExtractFromCarrier(DialogPort& dialog, HidingMethod method, const uint8_t* carrier,
                       size_t carrierBytes, uint32_t width, uint32_t height) {
    dialog.StepProgress();
    PayloadReader reader(method, carrier, carrierBytes, width, height);
    int code = 0;
    const std::string message = CheckPayload(dialog, method, reader, &code);
    if (code != 0) return code;
    if (!message.empty()) {
        dialog.ShowMessage(message);
        return 0;
    }

    return WriteExtractedFile(dialog, reader.name(), reader.data());
}

}  // namespace

int WriteOutputImage(DialogPort& dialog, CWorkingImage& image, const std::string& output) {
    return WriteAndFinish(dialog, output, [&](const std::string& file) {
        return SaveByExtension(file, image, output);
    });
}

int WriteOutputImage(DialogPort& dialog, const std::string& output,
                     const std::function<int(const std::string& file)>& write) {
    return WriteAndFinish(dialog, output, write);
}

int WriteExtractedFile(DialogPort& dialog, const std::string& name,
                       const std::vector<uint8_t>& data) {
    return WriteExtractedFile(dialog, name, [&](OutputFile& file) {
        return file.Write(data.data(), data.size()) ? 0 : static_cast<int>(kPixErrWrite);
    });
}

int WriteExtractedFile(DialogPort& dialog, const std::string& name,
                       const std::function<int(OutputFile& file)>& write) {
    const std::string directory = dialog.OutputDirectory();
    if (dialog.StopRequested()) return kRunStopped;
    OutputChoice choice = ChooseOutput(dialog, directory.empty() ? name : directory + "/" + name);
    while (!choice.path.empty()) {
        if (dialog.StopRequested()) return kRunStopped;
        const Written written = WriteOutput(choice.path, choice.replace, write);
        // A file that appeared since the look is kept: ask again, now knowing.
        if (written.exists) {
            choice = AskOverwrite(dialog, choice.path);
            continue;
        }
        // A folder the user may not write to, such as a carrier's on a CD:
        // somewhere else, if the port can ask where.
        std::string elsewhere;
        if (written.denied && dialog.OfferElsewhere(choice.path, written.reason, &elsewhere)) {
            choice = {elsewhere, Replace::kLinkTarget};
            continue;
        }
        dialog.OutputWritten(choice.path, Outcome(written));
        if (written.code != 0 || !written.message.empty()) return Report(dialog, written);
        dialog.SetStatus(ExtractedText(choice.path));
        break;
    }
    dialog.StepProgress();
    dialog.Pause(kRunPause);
    return 0;
}

std::string ProgramDirectory() {
    char path[PATH_MAX + 1] = {};
    if (GetModuleFileNameA(nullptr, path, sizeof path) == 0) return {};
    std::string directory = path;
    size_t cut = directory.rfind('\\');
    if (cut == std::string::npos) cut = directory.rfind('/');
    directory = cut == std::string::npos ? std::string() : directory.substr(0, cut);
    if (!directory.empty() && (directory.back() == '/' || directory.back() == '\\'))
        directory.pop_back();
    return directory;
}

namespace {

// Whether the two names lead to one file: through links, hard or symbolic.
bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Why an input file cannot be read, as the system words it; empty when it
// can. Opened without waiting, so a named pipe does not hold the run.
std::string UnreadableReason(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    if (!S_ISREG(info.st_mode)) return "Not a regular file";
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    return {};
}

}  // namespace

bool EncodeMayStart(DialogPort& dialog, const std::string& output, uint32_t size[2],
                    bool folders) {
    const std::string base = dialog.BaseImagePath();
    // Without a size the fit would be figured for an empty picture and the
    // message would blame the data file.
    std::string reason = UnreadableReason(base);
    if (const int code = reason.empty() ? GetImageSizeByExtension(base, size) : 0)
        reason = PixErrorMessage(code);
    if (!reason.empty()) {
        dialog.ShowMessage("Unable to read the base image " + ShownName(base) + ":\n" + reason);
        return false;
    }
    for (const std::string& data : dialog.DataFilePaths()) {
        struct stat info;
        // A folder's entries are checked as they are read.
        if (folders && ::stat(data.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
        if (reason = UnreadableReason(data); !reason.empty()) {
            dialog.ShowMessage(std::string(PixErrorText(kPixErrRead)) + " " + ShownName(data) +
                               ":\n" + reason);
            return false;
        }
    }
    // Writing over an input would destroy it, whatever the user said.
    std::vector<std::pair<std::string, const char*>> inputs = {{base, "base image"}};
    for (const std::string& data : dialog.DataFilePaths()) inputs.emplace_back(data, "data file");
    for (const auto& [input, what] : inputs) {
        if (SameFile(output, input)) {
            dialog.ShowMessage("The output image " + ShownName(output) + " is the " + what +
                               " itself; choose another name for the output");
            return false;
        }
    }
    return !EntryExists(output) || dialog.AskYesNo(ShownName(output) + kReplaceQuestion);
}

int EncodeRun(DialogPort& dialog, HidingMethod method) {
    dialog.SetProgressPosition(0);
    const std::string output = dialog.OutputImagePath();
    if (output.empty() || !IsMethod(method)) return kPixErrParam;
    WaitCursor wait(dialog);

    const std::string base = dialog.BaseImagePath();
    uint32_t size[2] = {0, 0};
    if (!EncodeMayStart(dialog, output, size)) return 0;
    EncodeSteps steps(dialog);
    const PayloadBuild build =
        BuildPayload(method, dialog.DataFilePath(), size[0], size[1], &steps);
    if (build.code != 0) return build.code;
    if (!build.message.empty()) {
        dialog.ShowMessage(build.message);
        return 0;
    }
    dialog.StepProgress();
    if (dialog.StopRequested()) return kRunStopped;

    CWorkingImage image;
    if (const int code = image.Load(base)) return code;
    dialog.StepProgress();
    if (dialog.StopRequested()) return kRunStopped;
    // The header may have claimed more pixels than the file delivered.
    if (build.bytes.size() > MethodCapacity(method, image.width, image.height)) {
        dialog.ShowMessage(FitMessage(method, build.bytes.size(), image.width, image.height));
        return 0;
    }

    return GetMethodInfo(method).indexed
               ? EncodePalette(dialog, method, image, build.bytes, output)
               : EncodeChannel(dialog, method, image, build.bytes, output);
}

bool ProbeMethod(DialogPort& dialog, HidingMethod method, const std::string& path) {
    if (!IsMethod(method)) return false;
    Carrier carrier(path, GetMethodInfo(method).indexed);
    return ProbeCarrier(dialog, method, carrier);
}

int DetectMethod(DialogPort& dialog, const std::string& path) {
    detected.reset();
    auto eightBit = std::make_unique<Carrier>(path, true, ProbeBytes(true));
    auto channel = std::make_unique<Carrier>(path, false, ProbeBytes(false));
    for (HidingMethod method : kDetectionOrder) {
        if (dialog.StopRequested()) return -1;
        std::unique_ptr<Carrier>& carrier = GetMethodInfo(method).indexed ? eightBit : channel;
        if (ProbeCarrier(dialog, method, *carrier)) {
            detected = std::move(carrier);
            return method;
        }
    }
    return -1;
}

int DecodeRun(DialogPort& dialog, HidingMethod method, const std::string& path) {
    if (!IsMethod(method)) return kPixErrParam;
    dialog.SetStatus("Reading");
    dialog.SetProgressPosition(0);
    const bool indexed = GetMethodInfo(method).indexed;
    std::unique_ptr<Carrier> carrier = std::move(detected);
    if (!carrier || carrier->indexed() != indexed || !carrier->StillMatches(path))
        carrier = std::make_unique<Carrier>(path, indexed);
    if (const int code = ReachPayload(method, *carrier))
        return code == Carrier::kLockFailed ? kPixErrMemory : code;
    if (carrier->Changed()) {
        dialog.ShowMessage(kCarrierChangedText);
        return 0;
    }
    return ExtractFromCarrier(dialog, method, carrier->bytes(), carrier->held(), carrier->width(),
                              carrier->height());
}

const char* const kCarrierChangedText =
    "The image changed while it was being read; nothing was written";

std::string ChooseOutputPath(DialogPort& dialog, const std::string& path) {
    return ChooseOutput(dialog, path).path;
}

std::string CapacityText(uint32_t width, uint32_t height) {
    static const char* const kRows[kMethodListCount] = {
        "7/8    : ", "6/8    : ", "886    : ", "777    : ", "666    : ", "sealed : "};
    std::string text = "Method : Bytes";
    for (int m = 0; m < kMethodListCount; ++m) {
        // Less the header, signed; 666 on a header of 2^32 - 1 squared pixels
        // is above the largest signed 64-bit number, so no signed type is used.
        const auto method = static_cast<HidingMethod>(m);
        const uint64_t capacity = MethodCapacity(method, width, height);
        const uint64_t overhead = MethodOverhead(method);
        text += "\n";
        text += kRows[m];
        if (capacity < overhead) text += '-';
        text += std::to_string(capacity >= overhead ? capacity - overhead : overhead - capacity);
    }
    // Sealed's row ends with what it hides well: past that a detector
    // starts to tell. Short, so the box stays narrow at large text sizes.
    return text + " (well: " + std::to_string(SealedHidesWell(width, height)) + ")";
}

std::string GreyCapacityText(uint32_t width, uint32_t height) {
    const uint64_t room = uint64_t{width} * height / 8;
    const uint64_t well = room / kSealedWellHiddenSamples;
    auto less = [](uint64_t bytes) {
        return bytes >= kSealedOverhead ? std::to_string(bytes - kSealedOverhead)
                                        : "-" + std::to_string(kSealedOverhead - bytes);
    };
    return "\ngrey   : " + less(room) + " (well: " + (well > kSealedOverhead ? less(well) : "0") +
           ")";
}

void CapacityReport(DialogPort& dialog) {
    const std::string base = dialog.BaseImagePath();
    uint32_t size[2] = {0, 0};
    if (GetImageSizeByExtension(base, size) != 0) {
        dialog.SetCapacityText(kNotAnImageText);
        return;
    }
    std::string text = CapacityText(size[0], size[1]);
    // A JPEG output's room: from a JPEG base's coefficients, else estimated
    // from the pixels read here.
    const bool jpegBase = IsJpegName(base);
    JpegElements jpeg;
    if (jpegBase) jpeg = JpegElementsOf(base, kDefaultJpegQuality);
    jpeg.estimated = !jpegBase;
    // Whether the picture is grey takes its every pixel; one that cannot be
    // read whole is reported as its header says.
    CWorkingImage image;
    if (image.Load(base) == 0) {
        const uint8_t* pixels = image.LockPixels();
        const uint64_t count = uint64_t{image.width} * image.height;
        if (pixels != nullptr && count > 0 && SealedRoom(pixels, count) < 3 * count / 8)
            text += GreyCapacityText(image.width, image.height);
        if (pixels != nullptr && !jpegBase)
            jpeg.count =
                EstimateJpegElements(pixels, image.width, image.height, kDefaultJpegQuality);
        image.ReleasePixels();
    }
    dialog.SetCapacityText(text + "\n" +
                           JpegCapacityText(jpeg.count, jpeg.estimated, kDefaultJpegQuality));
}
