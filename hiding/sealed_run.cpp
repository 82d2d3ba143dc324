// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/sealed_run.h"

#include <sys/stat.h>

#include <cstdio>
#include <new>

#include "hiding/carrier.h"
#include "hiding/output_file.h"
#include "hiding/runs.h"
#include "imagelib/common.h"
#include "imagelib/state.h"
#include "working/working_image.h"

const char* const kNoPassphraseMessage = "A sealed file needs a passphrase";
const char* const kPassphraseMismatchMessage = "The passphrases do not match";

namespace {

// Runs `release` when the scope ends, whichever way it ends.
template <typename Release>
class AtExit {
  public:
    explicit AtExit(Release release) : release_(release) {}
    ~AtExit() { release_(); }
    AtExit(const AtExit&) = delete;
    AtExit& operator=(const AtExit&) = delete;

  private:
    Release release_;
};

uint64_t PixelCount(const CWorkingImage& image) {
    return uint64_t{image.width} * image.height;
}

// The data file's name and bytes as a record, compressed when that helps,
// in at most `limit` bytes. Codes as BuildPayload's: 3 size or short read,
// 2 open, 1 memory. A record that cannot fit is left empty, with the size
// it would take uncompressed in *tooLarge; reading stops once that is
// clear, so a huge file costs neither its size in memory nor a whole read.
int ReadRecord(DialogPort& dialog, const std::string& path, uint64_t limit, SealedRecord* record,
               uint64_t* tooLarge) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return kPixErrRead;
    dialog.StepProgress();
    const std::string name = FileNamePart(path);
    if (name.empty() || name.size() >= kMaxNameBytes) return kPixErrParam;  // not on Linux
    const uint64_t rawBytes = 2 + name.size() + uint64_t(info.st_size);     // length, name, data
    if (uint64_t(info.st_size) > UINT32_MAX || limit == 0) {
        *tooLarge = rawBytes;
        return 0;
    }
    FilePtr file = OpenFile(path.c_str(), "rb");
    if (!file) return kPixErrOpen;
    dialog.SetStatus("Reading");
    bool fits = false;
    const int code =
        PackRecordFromFile(name, file.get(), uint64_t(info.st_size), limit, record, &fits);
    if (code == 0 && !fits) *tooLarge = rawBytes;
    return code;
}

// Record bytes an image of width x height can carry, 0 when none.
uint64_t RecordLimit(uint32_t width, uint32_t height) {
    const uint64_t capacity = MethodCapacity(MethodSealed, width, height);
    return capacity > SealedBytes(0) ? capacity - SealedBytes(0) : 0;
}

// The fit message when the record does not fit width x height.
bool Fits(DialogPort& dialog, const SealedRecord& record, uint64_t tooLarge, uint32_t width,
          uint32_t height) {
    const uint64_t bytes = SealedBytes(tooLarge != 0 ? tooLarge : record.bytes.size());
    if (tooLarge == 0 && bytes <= MethodCapacity(MethodSealed, width, height)) return true;
    dialog.ShowMessage(FitMessage(MethodSealed, bytes, width, height));
    return false;
}

// A base that already carries a file of a signature method would keep it,
// in clear, beside the sealed one, and a decode would find it first: the
// changes of +-1 at scattered samples do not reliably break a signature.
bool RefuseCarrierBase(DialogPort& dialog, const std::string& base) {
    const int method = DetectMethod(dialog, base);
    if (method != Method886 && method != Method777 && method != Method666) return false;
    dialog.ShowMessage(std::string("The base image already carries a file hidden with the ") +
                       GetMethodInfo(static_cast<HidingMethod>(method)).name +
                       " method, which would stay readable; use the original picture");
    return true;
}

// The fit message of a grey picture, which carries a bit a pixel:
// `bytes` do not fit in the `room` it has.
std::string GreyFitMessage(uint64_t bytes, uint64_t room) {
    return "Data file will not fit in specified image!\nAn image containing at least " +
           std::to_string(8 * bytes) +
           " pixels is required to hide this file\nThe sealed method can carry " +
           std::to_string(room > kSealedOverhead ? room - kSealedOverhead : 0) +
           " bytes in this grey image; this file needs " + std::to_string(bytes - kSealedOverhead) +
           " bytes";
}

// Name and data take `bytes`, past the `well` bytes the picture hides well.
std::string WellHiddenWarning(uint64_t bytes, uint64_t well) {
    return "The file takes " + std::to_string(bytes) + " bytes; this picture hides up to " +
           std::to_string(well) +
           " bytes well. Past that a carrier is easier to tell from an untouched picture: a "
           "larger picture or a smaller file hides better.";
}

class DecodeSteps : public UnsealSteps {
  public:
    explicit DecodeSteps(DialogPort& dialog) : dialog_(dialog) {}
    void HeaderOpened() override { dialog_.StepProgress(); }
    void Decoding() override {
        dialog_.SetStatus("Decoding");
        dialog_.StepProgress();
    }

  private:
    DialogPort& dialog_;
};

}  // namespace

int EncodeSealedRun(DialogPort& dialog, const Passphrase& passphrase, const SealOptions& options) {
    dialog.SetProgressPosition(0);
    const std::string output = dialog.OutputImagePath();
    if (output.empty()) return kPixErrParam;
    if (passphrase.empty()) {
        dialog.ShowMessage(kNoPassphraseMessage);
        return 0;
    }
    dialog.BeginWaitCursor();
    AtExit endWait([&] { dialog.EndWaitCursor(); });

    // Unlike the five methods the fit is known only once the file is
    // compressed, which stops as soon as the image's room is passed; the
    // data file is read before the image is loaded.
    const std::string base = dialog.BaseImagePath();
    uint32_t size[2] = {0, 0};
    if (!EncodeMayStart(dialog, output, size)) return 0;
    if (RefuseCarrierBase(dialog, base)) return 0;
    SealedRecord record;
    uint64_t tooLarge = 0;
    if (const int code = ReadRecord(dialog, dialog.DataFilePath(), RecordLimit(size[0], size[1]),
                                    &record, &tooLarge))
        return code;
    if (!Fits(dialog, record, tooLarge, size[0], size[1])) return 0;
    dialog.StepProgress();

    CWorkingImage image;
    if (const int code = image.Load(base)) return code;
    dialog.StepProgress();
    if (!Fits(dialog, record, 0, image.width, image.height)) return 0;

    dialog.SetStatus("Set up");
    {
        uint8_t* pixels = image.LockPixels();
        AtExit unlock([&] { image.ReleasePixels(); });
        if (pixels == nullptr) return kPixErrMemory;
        // A grey picture carries a third as much, in its grey levels.
        const uint64_t bytes = SealedBytes(record.bytes.size());
        const uint64_t room = SealedRoom(pixels, PixelCount(image));
        if (bytes > room) {
            dialog.ShowMessage(GreyFitMessage(bytes, room));
            return 0;
        }
        // Said, not refused: the user may know the risk and take it.
        const uint64_t well = room / kSealedWellHiddenSamples;
        if (bytes > well)
            dialog.Warn(WellHiddenWarning(bytes - SealedBytes(0) - 2,
                                                 well > kSealedOverhead ? well - kSealedOverhead : 0));
        dialog.SetStatus("Encoding");
        if (const int code =
                SealRecord(pixels, image.width, image.height, passphrase, record, options))
            return code;
        dialog.StepProgress();
    }
    return WriteOutputImage(dialog, image, output);
}

int DecodeSealedRun(DialogPort& dialog, const std::string& path, const Passphrase& passphrase) {
    dialog.SetStatus("Reading");
    dialog.SetProgressPosition(0);
    struct stat before {
    }, after{};
    const bool known = ::stat(path.c_str(), &before) == 0;
    CWorkingImage image;
    if (const int code = image.Load(path)) return code;
    if (!known || ::stat(path.c_str(), &after) != 0 || !SameFileState(after, before)) {
        dialog.ShowMessage(kCarrierChangedText);
        return 0;
    }
    UnsealedFile file;
    {
        const uint8_t* pixels = image.LockPixels();
        AtExit unlock([&] { image.ReleasePixels(); });
        if (pixels == nullptr) return kPixErrMemory;
        dialog.StepProgress();
        DecodeSteps steps(dialog);
        file = UnsealFile(pixels, PixelCount(image), passphrase, &steps, false, true);
    }
    image.Clear();  // only the file is needed from here on
    if (file.code != 0) return file.code;
    if (file.message != nullptr) {
        dialog.ShowMessage(file.message);
        return 0;
    }
    dialog.StepProgress();
    if (file.frame.empty()) return WriteExtractedFile(dialog, file.name, file.data);
    // Inflated straight into the output's temporary file; a frame that
    // proves damaged half-way leaves nothing.
    return WriteExtractedFile(dialog, file.name, [&](OutputFile& out) {
        const bool whole = InflateData(
            file, [&](const uint8_t* bytes, size_t size) { return out.Write(bytes, size); });
        return whole ? 0 : static_cast<int>(kPixErrRead);
    });
}

bool ProbeSealed(DialogPort& dialog, const std::string& path, const Passphrase& passphrase) {
    dialog.SetStatus("Reading");
    CWorkingImage image;
    if (image.Load(path) != 0) return false;
    const uint8_t* pixels = image.LockPixels();
    AtExit unlock([&] { image.ReleasePixels(); });
    if (pixels == nullptr) return false;
    const UnsealedFile file = UnsealFile(pixels, PixelCount(image), passphrase, nullptr, true);
    return file.code == 0 && file.message == nullptr;
}
