// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/sealed_run.h"

#include <sys/stat.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "hiding/carrier.h"
#include "hiding/entries.h"
#include "hiding/jpeg_carrier.h"
#include "hiding/output_file.h"
#include "hiding/runs.h"
#include "hiding/sealed_jpeg.h"
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

// Whether the data is several entries rather than one file: more than one
// path, or a folder.
bool SeveralEntries(const std::vector<std::string>& paths) {
    struct stat info;
    return paths.size() > 1 ||
           (paths.size() == 1 && ::stat(paths[0].c_str(), &info) == 0 && S_ISDIR(info.st_mode));
}

// The files and folders at `paths` as a record of entries, as ReadRecord
// makes one; *refused when a path cannot be hidden, having said why.
int ReadEntriesRecord(DialogPort& dialog, const std::vector<std::string>& paths, uint64_t limit,
                      SealedRecord* record, uint64_t* tooLarge, bool* refused) {
    std::vector<Entry> entries;
    const std::string refusal = CollectEntries(paths, &entries);
    dialog.StepProgress();
    if (!refusal.empty()) {
        dialog.ShowMessage(refusal);
        *refused = true;
        return 0;
    }
    const uint64_t rawBytes = EntriesRecordBytes(entries);
    if (limit == 0) {
        *tooLarge = rawBytes;
        return 0;
    }
    dialog.SetStatus("Reading");
    bool fits = false;
    const int code = PackEntries(entries, limit, record, &fits);
    if (code == 0 && !fits) *tooLarge = rawBytes;
    return code;
}

// The record of whatever the Data File names, one file or several
// entries, as ReadRecord makes it; *refused when the entries said why not.
int ReadDataRecord(DialogPort& dialog, uint64_t limit, SealedRecord* record, uint64_t* tooLarge,
                   bool* refused) {
    const std::vector<std::string> paths = dialog.DataFilePaths();
    *refused = false;
    return SeveralEntries(paths)
               ? ReadEntriesRecord(dialog, paths, limit, record, tooLarge, refused)
               : ReadRecord(dialog, paths.empty() ? std::string() : paths[0], limit, record,
                            tooLarge);
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

// A seal's code as the run returns it: the coder's "no way" is said, not
// taken for a library error.
int NoWaySaid(DialogPort& dialog, int code) {
    if (code != kSealedNoWay) return code;
    dialog.ShowMessage(kSealedNoWayMessage);
    return 0;
}

// Name and data take `bytes`, past the `well` bytes the picture hides well.
std::string WellHiddenWarning(uint64_t bytes, uint64_t well) {
    return "The file takes " + std::to_string(bytes) + " bytes; this picture hides up to " +
           std::to_string(well) +
           " bytes well. Past that a carrier is easier to tell from an untouched picture: a "
           "larger picture or a smaller file hides better.";
}

// The base's coefficients as they are, or its pixels compressed once.
int LoadJpegCarrier(const std::string& base, int quality, JpegCarrier* carrier) {
    if (IsJpegName(base)) return carrier->Load(base);
    CWorkingImage image;
    if (const int code = image.Load(base)) return code;
    const uint8_t* pixels = image.LockPixels();
    AtExit unlock([&] { image.ReleasePixels(); });
    if (pixels == nullptr) return kPixErrMemory;
    return carrier->Compress(pixels, image.width, image.height, quality);
}

// The fit message for a JPEG output, which has no pixel count to ask for;
// both figures count the name and data, as the capacity report does.
std::string JpegFitMessage(uint64_t recordBytes, uint64_t elements) {
    const int64_t room = SealedJpegRoom(elements);
    return "Data file will not fit in specified image!\nIts name and data take " +
           std::to_string(recordBytes > 2 ? recordBytes - 2 : 0) + " bytes; this JPEG can carry " +
           std::to_string(room > 0 ? room : 0) + " (" + std::to_string(elements) +
           " non-zero AC coefficients)";
}

// Encode into a JPEG output: the base is read (or compressed) first, since
// its coefficients, not its size, tell the room.
int EncodeSealedJpeg(DialogPort& dialog, const Passphrase& passphrase, const SealOptions& options,
                     const std::string& base, const std::string& output) {
    dialog.SetStatus("Reading");
    JpegCarrier carrier;
    if (const int code = LoadJpegCarrier(base, options.jpegQuality, &carrier)) return code;
    dialog.StepProgress();
    const int64_t room = SealedJpegRoom(carrier.size());
    SealedRecord record;
    uint64_t tooLarge = 0;
    bool refused = false;
    const int read = ReadDataRecord(dialog, room > 0 ? static_cast<uint64_t>(room) + 2 : 0,
                                    &record, &tooLarge, &refused);
    if (read != 0 || refused) return read;
    const uint64_t recordBytes = tooLarge != 0 ? tooLarge : record.bytes.size();
    if (tooLarge != 0 || room < 0 || recordBytes > static_cast<uint64_t>(room) + 2) {
        dialog.ShowMessage(JpegFitMessage(recordBytes, carrier.size()));
        return 0;
    }
    dialog.StepProgress();
    // Said, not refused, as in pixels.
    const int64_t well = SealedJpegHidesWell(carrier.size());
    if (static_cast<int64_t>(recordBytes) - 2 > well)
        dialog.Warn(WellHiddenWarning(recordBytes - 2, well > 0 ? static_cast<uint64_t>(well) : 0));
    dialog.SetStatus("Encoding");
    if (const int code = SealRecordInJpeg(carrier, passphrase, record, options))
        return NoWaySaid(dialog, code);
    dialog.StepProgress();
    return WriteOutputImage(dialog, output,
                            [&](const std::string& file) { return carrier.Write(file); });
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
    if (!EncodeMayStart(dialog, output, size, true)) return 0;
    // A JPEG never carries a signature method's payload: they write no JPEG.
    if (!IsJpegName(base) && RefuseCarrierBase(dialog, base)) return 0;
    if (IsJpegName(output)) return EncodeSealedJpeg(dialog, passphrase, options, base, output);
    SealedRecord record;
    uint64_t tooLarge = 0;
    bool refused = false;
    const int read =
        ReadDataRecord(dialog, RecordLimit(size[0], size[1]), &record, &tooLarge, &refused);
    if (read != 0 || refused) return read;
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
            return NoWaySaid(dialog, code);
        dialog.StepProgress();
    }
    return WriteOutputImage(dialog, image, output);
}

namespace {

// The sealed file in the image at `path`, as a decode keeps it (a frame
// stays one). False when the run ends here: *code is set, or a message
// was shown.
bool OpenSealed(DialogPort& dialog, const std::string& path, const Passphrase& passphrase,
                UnsealedFile* file, int* code) {
    dialog.SetStatus("Reading");
    dialog.SetProgressPosition(0);
    struct stat before {
    }, after{};
    const bool known = ::stat(path.c_str(), &before) == 0;
    const auto changed = [&] {
        return !known || ::stat(path.c_str(), &after) != 0 || !SameFileState(after, before);
    };
    DecodeSteps steps(dialog);
    if (IsJpegName(path)) {
        JpegCarrier carrier;
        if ((*code = carrier.Load(path)) != 0) return false;
        if (changed()) {
            dialog.ShowMessage(kCarrierChangedText);
            return false;
        }
        dialog.StepProgress();
        *file = UnsealFileFromJpeg(carrier, passphrase, &steps, false, true);
    } else {
        CWorkingImage image;
        if ((*code = image.Load(path)) != 0) return false;
        if (changed()) {
            dialog.ShowMessage(kCarrierChangedText);
            return false;
        }
        const uint8_t* pixels = image.LockPixels();
        AtExit unlock([&] { image.ReleasePixels(); });
        if (pixels == nullptr) {
            *code = kPixErrMemory;
            return false;
        }
        dialog.StepProgress();
        *file = UnsealFile(pixels, PixelCount(image), passphrase, &steps, false, true);
    }
    if ((*code = file->code) != 0) return false;
    if (file->message != nullptr) {
        dialog.ShowMessage(file->message);
        return false;
    }
    dialog.StepProgress();
    return true;
}

// The entries of an opened record that holds several; false when the run
// ends here, as OpenSealed.
bool SealedEntries(DialogPort& dialog, const UnsealedFile& file, std::vector<Entry>* entries,
                   int* code) {
    if (const char* message = ReadEntries(file, entries, code)) {
        dialog.ShowMessage(message);
        return false;
    }
    return *code == 0;
}

}  // namespace

int DecodeSealedRun(DialogPort& dialog, const std::string& path, const Passphrase& passphrase) {
    UnsealedFile file;
    int code = 0;
    if (!OpenSealed(dialog, path, passphrase, &file, &code)) return code;
    if (file.entries) {
        std::vector<Entry> entries;
        if (!SealedEntries(dialog, file, &entries, &code)) return code;
        return WriteEntries(dialog, path, file, entries);
    }
    if (file.frame.empty()) return WriteExtractedFile(dialog, file.name, file.data);
    // Inflated straight into the output's temporary file; a frame that
    // proves damaged half-way leaves nothing.
    return WriteExtractedFile(dialog, file.name, [&](OutputFile& out) {
        const bool whole = InflateData(
            file, [&](const uint8_t* bytes, size_t size) { return out.Write(bytes, size); });
        return whole ? 0 : static_cast<int>(kPixErrRead);
    });
}

int ListSealedRun(DialogPort& dialog, const std::string& path, const Passphrase& passphrase,
                  std::vector<Entry>* entries) {
    entries->clear();
    UnsealedFile file;
    int code = 0;
    if (!OpenSealed(dialog, path, passphrase, &file, &code)) return code;
    if (file.entries) {
        if (!SealedEntries(dialog, file, entries, &code)) return code;
    } else {
        uint64_t size = file.data.size();
        if (!file.frame.empty())  // checked by the decode: known and bounded
            size = ZSTD_getFrameContentSize(file.frame.data(), file.frame.size()) - file.skip;
        entries->push_back({file.name, false, size, {}});
    }
    dialog.StepProgress();
    return 0;
}

bool ProbeSealed(DialogPort& dialog, const std::string& path, const Passphrase& passphrase) {
    dialog.SetStatus("Reading");
    if (IsJpegName(path)) {
        JpegCarrier carrier;
        if (carrier.Load(path) != 0) return false;
        const UnsealedFile file = UnsealFileFromJpeg(carrier, passphrase, nullptr, true);
        return file.code == 0 && file.message == nullptr;
    }
    CWorkingImage image;
    if (image.Load(path) != 0) return false;
    const uint8_t* pixels = image.LockPixels();
    AtExit unlock([&] { image.ReleasePixels(); });
    if (pixels == nullptr) return false;
    const UnsealedFile file = UnsealFile(pixels, PixelCount(image), passphrase, nullptr, true);
    return file.code == 0 && file.message == nullptr;
}

std::string JpegCapacityText(uint64_t elements, bool estimated, int quality) {
    const std::string about = estimated ? "~" : "";  // an estimate: about
    std::string name = estimated ? "JPEG" + std::to_string(quality) : std::string("JPEG");
    name.resize(std::max<size_t>(name.size(), 7), ' ');
    return name + ": " + about + std::to_string(SealedJpegRoom(elements)) + " (well: " +
           std::to_string(SealedJpegHidesWell(elements)) + ")";
}

namespace {

// Rows of each band the estimate compresses, and one band in how many: a
// multiple of the 16-row MCU, so the bands compress as the whole would.
constexpr uint32_t kBandRows = 16;
constexpr uint32_t kBandEvery = 4;

// The base's pixels, for an estimate; 0 when they cannot be read.
uint64_t EstimateElements(const std::string& base, int quality) {
    CWorkingImage image;
    if (image.Load(base) != 0 || image.width == 0) return 0;
    const uint8_t* pixels = image.LockPixels();
    AtExit unlock([&] { image.ReleasePixels(); });
    if (pixels == nullptr) return 0;
    return EstimateJpegElements(pixels, image.width, image.height, quality);
}

}  // namespace

uint64_t EstimateJpegElements(const uint8_t* pixels, uint32_t width, uint32_t height,
                              int quality) {
    if (width == 0 || height == 0) return 0;
    const size_t stride = size_t{width} * 3;
    std::vector<uint8_t> bands;
    uint32_t rows = 0;
    try {
        for (uint32_t y = 0; y < height; y += kBandRows * kBandEvery) {
            const uint32_t n = std::min(kBandRows, height - y);
            bands.insert(bands.end(), pixels + y * stride, pixels + (y + n) * stride);
            rows += n;
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    JpegCarrier carrier;
    if (carrier.Compress(bands.data(), width, rows, quality) != 0) return 0;
    return static_cast<uint64_t>(static_cast<double>(carrier.size()) * height / rows);
}

JpegElements JpegElementsOf(const std::string& base, int quality) {
    if (!IsJpegName(base)) return {EstimateElements(base, quality), true};
    JpegCarrier carrier;
    return {carrier.Load(base) == 0 ? carrier.size() : 0, false};
}

std::string JpegCapacityRow(const std::string& base, int quality) {
    const JpegElements elements = JpegElementsOf(base, quality);
    return JpegCapacityText(elements.count, elements.estimated, quality);
}
