#include "hiding/runs.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <new>

#include "working/working_image.h"
#include "hiding/channel.h"
#include "hiding/output_file.h"
#include "hiding/palette.h"
#include "hiding/shown_name.h"
#include "imagelib/common.h"
#include "imagelib/pix.h"
#include "platform/win32.h"

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

// An 8-bit image read for a decode or probe: locked while held, freed after.
class IndexedImage {
  public:
    explicit IndexedImage(const std::string& path)
        : block_(ReadIndexedByExtension(path, &width, &height, palette)) {}
    ~IndexedImage() {
        if (indices != nullptr) GlobalUnlock(block_);
        GlobalFree(block_);
    }
    IndexedImage(const IndexedImage&) = delete;
    IndexedImage& operator=(const IndexedImage&) = delete;

    bool Read() const { return block_ != nullptr; }
    bool Lock() {
        indices = static_cast<uint8_t*>(GlobalLock(block_));
        return indices != nullptr;
    }

    uint32_t width = 0, height = 0;
    RGBQUAD palette[kPixPaletteEntries] = {};
    uint8_t* indices = nullptr;

  private:
    HGLOBAL block_;
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

bool IsFullDisk(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO;
}

// What became of a write through an OutputFile.
struct Written {
    int code = 0;         // the writer's library code, or 4 for a full disk
    bool exists = false;  // Replace::kNever met an entry at the name
    std::string message;  // the file system refused the name: which and why
};

// Writes through a temporary file and renames it into place only once every
// byte is on disk, so a failed write never harms a file that was there.
template <typename Write>
Written WriteOutput(const std::string& target, Replace replace, Write write) {
    Written result;
    OutputFile file(target, replace);
    if (file.error() == 0) {
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
        result.message = std::string(PixErrorText(kPixErrOpen)) + " " + ShownName(target) + ": " +
                         strerror_r(error, reason, sizeof reason);
    }
    return result;
}

// The writer's code, or 0 once the message about the name has been shown.
int Report(DialogPort& dialog, const Written& written) {
    if (!written.message.empty()) dialog.ShowMessage(written.message);
    return written.code;
}

int WriteImage(DialogPort& dialog, const std::string& output,
               const std::function<int(const std::string& file)>& write) {
    return Report(dialog, WriteOutput(output, Replace::kLinkTarget,
                                      [&](OutputFile& file) { return write(file.WritePath()); }));
}

struct OutputChoice {
    std::string path;  // empty: the user cancelled
    Replace replace = Replace::kNever;
};

// The user's answer for a path where a file exists: replace the entry
// itself (a link there is not followed, the name came from an image), or
// another file the user picked, whose dialog asked about replacing it.
OutputChoice AskOverwrite(DialogPort& dialog, const std::string& path) {
    if (dialog.AskYesNo(ShownName(path) + " exists\nOverwrite?\nNo to Rename"))
        return {path, Replace::kEntry};
    return {dialog.AskOutputFile(), Replace::kLinkTarget};
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

// The last stage, reached once the writer has run, whatever it returned; a
// run that stops before the write leaves its status and skips the pause.
int FinishEncode(DialogPort& dialog, int writerCode) {
    dialog.StepProgress();
    dialog.SetStatus("");
    dialog.Pause(kRunPause);
    return writerCode;
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
    dialog.SetStatus("Writing");
    return FinishEncode(dialog, WriteImage(dialog, output, [&](const std::string& file) {
                            return SaveByExtension(file, image, output);
                        }));
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
    dialog.SetStatus("Writing");
    return FinishEncode(dialog, WriteImage(dialog, output, [&](const std::string& file) {
                            return WriteIndexedByExtension(file, indices.get(), width, height,
                                                           spread, output);
                        }));
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

    const std::string directory = dialog.OutputDirectory();
    OutputChoice choice =
        ChooseOutput(dialog, directory.empty() ? reader.name() : directory + "/" + reader.name());
    while (!choice.path.empty()) {
        const std::vector<uint8_t>& data = reader.data();
        const Written written = WriteOutput(choice.path, choice.replace, [&](OutputFile& file) {
            return file.Write(data.data(), data.size()) ? 0 : static_cast<int>(kPixErrWrite);
        });
        // A file that appeared since the look is kept: ask again, now knowing.
        if (written.exists) {
            choice = AskOverwrite(dialog, choice.path);
            continue;
        }
        if (written.code != 0 || !written.message.empty()) return Report(dialog, written);
        dialog.SetStatus(ExtractedText(choice.path));
        break;
    }
    dialog.StepProgress();
    dialog.Pause(kRunPause);
    return 0;
}

}  // namespace

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

int EncodeRun(DialogPort& dialog, HidingMethod method) {
    dialog.SetProgressPosition(0);
    const std::string output = dialog.OutputImagePath();
    if (output.empty() || !IsMethod(method)) return kPixErrParam;
    WaitCursor wait(dialog);

    const std::string base = dialog.BaseImagePath();
    uint32_t size[2] = {0, 0};
    GetImageSizeByExtension(base, size);
    EncodeSteps steps(dialog);
    const PayloadBuild build =
        BuildPayload(method, dialog.DataFilePath(), size[0], size[1], &steps);
    if (build.code != 0) return build.code;
    if (!build.message.empty()) {
        dialog.ShowMessage(build.message);
        return 0;
    }
    dialog.StepProgress();

    CWorkingImage image;
    if (const int code = image.Load(base)) return code;
    dialog.StepProgress();
    // The header may have claimed more pixels than the file delivered.
    if (build.bytes.size() > MethodCapacity(method, image.width, image.height)) {
        dialog.ShowMessage(FitMessage(method, build.bytes.size()));
        return 0;
    }

    return GetMethodInfo(method).indexed
               ? EncodePalette(dialog, method, image, build.bytes, output)
               : EncodeChannel(dialog, method, image, build.bytes, output);
}

bool ProbeMethod(DialogPort& dialog, HidingMethod method, const std::string& path) {
    if (!IsMethod(method)) return false;
    dialog.SetStatus("Reading");
    if (GetMethodInfo(method).indexed) {
        IndexedImage image(path);
        if (!image.Read()) return false;
        if (!image.Lock()) {
            dialog.ShowMessage("Out of memory?");
            return false;
        }
        return CarriesSignature(method, image.indices, PixelCount(image.width, image.height));
    }
    CWorkingImage image;
    if (image.Load(path) != 0) return false;
    PixelLock lock(image);
    if (lock.pixels == nullptr) {
        dialog.ShowMessage("Out of memory ?");
        return false;
    }
    return CarriesSignature(method, lock.pixels, 3 * PixelCount(image.width, image.height));
}

int DetectMethod(DialogPort& dialog, const std::string& path) {
    for (HidingMethod method : kDetectionOrder)
        if (ProbeMethod(dialog, method, path)) return method;
    return -1;
}

int DecodeRun(DialogPort& dialog, HidingMethod method, const std::string& path) {
    if (!IsMethod(method)) return kPixErrParam;
    dialog.SetStatus("Reading");
    dialog.SetProgressPosition(0);
    if (GetMethodInfo(method).indexed) {
        IndexedImage image(path);
        if (!image.Read()) {
            const int code = PixGetLastError();
            return code != 0 ? code : kPixErrNotImage;
        }
        if (!image.Lock()) return kPixErrMemory;
        return ExtractFromCarrier(dialog, method, image.indices,
                                  PixelCount(image.width, image.height), image.width, image.height);
    }
    CWorkingImage image;
    if (const int code = image.Load(path)) return code;
    PixelLock lock(image);
    if (lock.pixels == nullptr) return kPixErrMemory;
    return ExtractFromCarrier(dialog, method, lock.pixels,
                              3 * PixelCount(image.width, image.height), image.width, image.height);
}

std::string ChooseOutputPath(DialogPort& dialog, const std::string& path) {
    return ChooseOutput(dialog, path).path;
}

std::string CapacityText(uint32_t width, uint32_t height) {
    static const char* const kRows[kMethodCount] = {
        "7/8    : ", "6/8    : ", "886    : ", "777    : ", "666    : "};
    std::string text = "Method : Bytes";
    for (int m = 0; m < kMethodCount; ++m) {
        // Less the header, signed; 666 on a header of 2^32 - 1 squared pixels
        // is above the largest signed 64-bit number, so no signed type is used.
        const uint64_t capacity = MethodCapacity(static_cast<HidingMethod>(m), width, height);
        text += "\n";
        text += kRows[m];
        if (capacity < kPayloadHeaderSize) text += '-';
        text += std::to_string(capacity >= kPayloadHeaderSize ? capacity - kPayloadHeaderSize
                                                              : kPayloadHeaderSize - capacity);
    }
    return text;
}

void CapacityReport(DialogPort& dialog) {
    uint32_t size[2] = {0, 0};
    const int code = GetImageSizeByExtension(dialog.BaseImagePath(), size);
    dialog.SetCapacityText(code != 0 ? kNotAnImageText : CapacityText(size[0], size[1]));
}
