// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_commands.h"

#include <algorithm>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "hiding/entries.h"
#include "hiding/runs.h"
#include "hiding/sealed_run.h"
#include "hiding/shown_name.h"
#include "imagelib/common.h"
#include "imagelib/state.h"
#include "working/working_image.h"

namespace fs = std::filesystem;

const char* const kNoSourceImageText = "You must choose a source image file";
const char* const kNoDataFileText = "You must choose a data file";
const char* const kNoDestinationText = "You must choose a destination image";
const char* const kNoInputFileText = "You must select a file to process";
const char* const kOneFileText =
    " method hides one file.\nChoose the sealed method to hide several files or a folder.";
const char* const kDataRowText = "data   : ";
const char* const kReplaceAllText = " exist already.\nReplace them all?\nNo keeps them.";
const char* const kAskPassphraseText =
    "No method found a file in this image.\nIf it holds a sealed file, enter its passphrase:";

const char* const kExtractedExistsText =
    " exists\nReplace it, or save the extracted file under another name?";
const char* const kStoppedText = "Stopped; nothing was written";
const char* const kSaveElsewhereText = "\nSave the extracted file somewhere else?";

const RunTable kEngineRuns = {EncodeRun, DetectMethod, DecodeRun};

namespace {

struct FilterEntry {
    const char* label;
    const char* patterns;  // ";"-separated, as written for a case-blind file system
};

const std::vector<FilterEntry> kBaseImageFilter = {
    {"Image Files (jpg,bmp,pcx,png,tiff)", "*.BMP;*.JPG;*.JPEG;*.PCX;*.PNG;*.TIF;*.TIFF;"},
    {"JPG Files (*.JPG)", "*.JPG;*.JPEG"},
    {"PNG Files (*.PNG)", "*.PNG"},
    {"TIFF Files (*.TIF)", "*.TIF;*.TIFF"},
    {"BMP Files (*.BMP)", "*.BMP"},
    {"PCX Files (*.PCX)", "*.PCX"},
    {"All files (*.*)", "*.*"},
};
const std::vector<FilterEntry> kDataFileFilter = {{"All Files (*.*)", "*.*"}};
const std::vector<FilterEntry> kEightBitFilter = {
    {"Image Files (bmp,pcx)", "*.BMP;*.PCX"},
    {"BMP Files (*.BMP)", "*.BMP"},
    {"PCX Files (*.PCX)", "*.PCX"},
    {"All files (*.*)", "*.*"},
};
const std::vector<FilterEntry> kOutputFilter = {
    {"Image Files (bmp,pcx,png,tif)", "*.BMP;*.PCX;*.TIF;*.TIFF;*.PNG"},
    {"BMP Files (*.BMP)", "*.BMP"},
    {"PCX Files (*.PCX)", "*.PCX"},
    {"PNG Files (*.PNG)", "*.PNG"},
    {"TIF Files (*.TIF)", "*.TIF"},
    {"All files (*.*)", "*.*"},
};
// Sealed also writes JPEG, into the picture's coefficients.
const std::vector<FilterEntry> kSealedOutputFilter = {
    {"Image Files (jpg,bmp,pcx,png,tif)", "*.JPG;*.JPEG;*.BMP;*.PCX;*.TIF;*.TIFF;*.PNG"},
    {"JPG Files (*.JPG)", "*.JPG;*.JPEG"},
    {"BMP Files (*.BMP)", "*.BMP"},
    {"PCX Files (*.PCX)", "*.PCX"},
    {"PNG Files (*.PNG)", "*.PNG"},
    {"TIF Files (*.TIF)", "*.TIF"},
    {"All files (*.*)", "*.*"},
};
// A carrier of any method, whatever the list shows: a decode finds the
// method by itself (a sealed one may be a JPEG).
const std::vector<FilterEntry> kInputFilter = {
    {"Image Files (jpg,bmp,pcx,png,tif)", "*.PNG;*.JPG;*.JPEG;*.BMP;*.PCX;*.TIF;*.TIFF;"},
    {"JPG Files (*.JPG)", "*.JPG;*.JPEG"},
    {"BMP Files (*.BMP)", "*.BMP"},
    {"PCX Files (*.PCX)", "*.PCX"},
    {"TIF Files (*.TIF)", "*.TIF;*.TIFF"},
    {"PNG Files (*.PNG)", "*.PNG"},
    {"All files (*.*)", "*.*"},
};

// What each kind of method writes, as the output name's extension says.
const std::vector<std::string> kEightBitOutputs = {".bmp", ".pcx", ".png", ".tif"};
const std::vector<std::string> kChannelOutputs = {".bmp", ".pcx", ".png", ".tif", ".tiff"};
const std::vector<std::string> kSealedOutputs = {".jpg", ".jpeg", ".bmp", ".pcx",
                                                 ".png", ".tif",  ".tiff"};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// GTK matches patterns by case, so each letter of an extension becomes a
// bracket of both cases ("*.[Pp][Nn][Gg]"), and "*.*" (which would hide
// names without a dot) is "*".
std::string CaseBlind(const std::string& pattern) {
    if (pattern == "*.*") return "*";
    std::string blind;
    for (char c : pattern) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalpha(u))
            blind += std::string("[") + static_cast<char>(std::toupper(u)) +
                     static_cast<char>(std::tolower(u)) + "]";
        else
            blind += c;
    }
    return blind;
}

std::vector<std::string> Patterns(const FilterEntry& entry) {
    std::vector<std::string> patterns;
    const std::string written = entry.patterns;
    for (size_t start = 0; start <= written.size();) {
        size_t end = written.find(';', start);
        if (end == std::string::npos) end = written.size();
        if (end > start) patterns.push_back(written.substr(start, end - start));  // some end in ";"
        start = end + 1;
    }
    return patterns;
}

std::string Wildcard(const std::vector<FilterEntry>& entries) {
    std::string text;
    for (const FilterEntry& entry : entries) {
        std::string patterns;
        for (const std::string& pattern : Patterns(entry))
            patterns += (patterns.empty() ? "" : ";") + CaseBlind(pattern);
        if (!text.empty()) text += "|";
        text += std::string(entry.label) + "|" + patterns;
    }
    return text;
}

// The first pattern's extension, in lower case, for each entry; empty for
// the entries that list everything.
std::vector<std::string> Extensions(const std::vector<FilterEntry>& entries) {
    std::vector<std::string> extensions;
    for (const FilterEntry& entry : entries) {
        const std::vector<std::string> patterns = Patterns(entry);
        const std::string first = patterns.empty() ? "" : patterns.front();
        extensions.push_back(first == "*.*" || first.rfind("*.", 0) != 0 ? ""
                                                                         : Lower(first.substr(1)));
    }
    return extensions;
}

FileChoice MakeChoice(bool save, const char* title, const std::vector<FilterEntry>& entries) {
    FileChoice choice;
    choice.save = save;
    choice.title = title;
    choice.filter = Wildcard(entries);
    choice.extensions = Extensions(entries);
    return choice;
}

std::string FileNameOf(const std::string& path) {
    return fs::path(path).filename().string();
}

std::string FolderOf(const std::string& path) {
    if (path.empty()) return {};
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    return error ? std::string() : absolute.parent_path().string();
}

uint64_t FileSize(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

const char* MethodName(int method) {
    return method >= 0 && method < kMethodListCount
               ? GetMethodInfo(static_cast<HidingMethod>(method)).name
               : "?";
}

// The capacity report needs a dialog of its own when it runs away from the
// window: it gives the path and takes the text.
class CapacityPort : public QuietDialog {
  public:
    explicit CapacityPort(const std::string& path) : path_(path) {}
    std::string text;

    std::string BaseImagePath() override { return path_; }
    void SetCapacityText(const std::string& report) override { text = report; }

  private:
    std::string path_;
};

bool EightBitMethod(int method) {
    return method >= 0 && method < kMethodCount &&
           GetMethodInfo(static_cast<HidingMethod>(method)).indexed;
}

bool KnownMethod(int method) {
    return method >= 0 && method < kMethodCount;
}

// A passphrase longer than a Passphrase holds is cut to its length.
Passphrase ToPassphrase(const std::string& text) {
    Passphrase passphrase;
    passphrase.Assign(text.data(), std::min(text.size(), Passphrase::kMaxBytes));
    return passphrase;
}

}  // namespace

FileChoice BrowseChoice(BrowseTarget target, int method) {
    // No initial name: the first filter entry already lists the matching
    // files, and a wildcard such as "*.BMP;*.PCX" in GTK's name box would be
    // taken as a file name.
    switch (target) {
        case BrowseTarget::BaseImage:
            return MakeChoice(false, "Base image", kBaseImageFilter);
        case BrowseTarget::DataFile:
            return MakeChoice(false, "Data file", kDataFileFilter);
        case BrowseTarget::OutputImage:
            return MakeChoice(true, "Output image",
                              EightBitMethod(method)    ? kEightBitFilter
                              : method == MethodSealed ? kSealedOutputFilter
                                                       : kOutputFilter);
        case BrowseTarget::InputFile:
            return MakeChoice(false,
                              EightBitMethod(method) ? "7/8 or 6/8 input file"
                                                     : "886, 777 or 666 input file",
                              kInputFilter);
    }
    return {};
}

FileChoice OutputFileChoice(const std::string& existing) {
    FileChoice choice = MakeChoice(true, "Output file", kDataFileFilter);
    if (!existing.empty()) {
        choice.directory = FolderOf(existing);
        choice.name = FileNameOf(existing);
    }
    return choice;
}

std::string WithFilterExtension(const std::string& path, const FileChoice& choice,
                                int filterIndex) {
    if (filterIndex < 0 || static_cast<size_t>(filterIndex) >= choice.extensions.size())
        return path;
    const std::string name = FileNameOf(path);
    // A leading dot names a hidden file, not an extension.
    if (name.empty() || name.find('.', 1) != std::string::npos) return path;
    return path + choice.extensions[filterIndex];
}

bool WildcardMatches(const std::string& wildcard, int entry, const std::string& fileName) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t bar = wildcard.find('|', start);
        parts.push_back(wildcard.substr(start, bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    const size_t index = 2 * static_cast<size_t>(entry) + 1;
    if (entry < 0 || index >= parts.size()) return false;
    for (const std::string& pattern : Patterns({"", parts[index].c_str()}))
        if (::fnmatch(pattern.c_str(), fileName.c_str(), FNM_PERIOD) == 0) return true;
    return false;
}

std::string StartFolder(const std::string& fieldPath, const std::string& remembered) {
    const std::string folder = FolderOf(fieldPath);
    std::error_code error;
    if (!folder.empty() && fs::is_directory(folder, error)) return folder;
    return remembered;
}

std::string OutputRefusal(int method, const std::string& outputPath) {
    if (!KnownMethod(method) && method != MethodSealed) return {};
    const bool eightBit = EightBitMethod(method);
    const std::vector<std::string>& writable = eightBit                 ? kEightBitOutputs
                                               : method == MethodSealed ? kSealedOutputs
                                                                        : kChannelOutputs;
    const std::string extension = Lower(GetExtension(FileNameOf(outputPath)));
    for (const std::string& known : writable)
        if (extension == known) return {};
    std::string names;
    for (size_t i = 0; i < writable.size(); ++i)
        names += (i == 0 ? "" : i + 1 == writable.size() ? " or " : ", ") + writable[i];
    return std::string("The ") + MethodName(method) + " method writes " +
           (method == MethodSealed ? "JPEG, " : "") +
           "BMP, PCX, PNG and TIFF images.\nGive the output image a name "
           "ending in " +
           names + ".";
}

std::string WriteFailureReason(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    std::string folder = FolderOf(path);
    if (folder.empty()) folder = ".";
    std::string probe = folder + "/.ombrel-probe-XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    ::unlink(probe.c_str());
    struct statvfs space;
    if (::statvfs(folder.c_str(), &space) == 0 && space.f_bavail == 0)
        return std::strerror(ENOSPC);
    return {};
}

namespace {

bool IsFolder(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Several paths, or a folder: only the sealed method takes them.
bool SeveralData(const std::vector<std::string>& paths) {
    return paths.size() > 1 || (paths.size() == 1 && IsFolder(paths[0]));
}

// "1.2 MB", in the powers of 1000 the desktop's file manager counts in.
std::string ShortSize(uint64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    const char* const units[] = {"kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1000;
    size_t unit = 0;
    while (value >= 999.95 && unit + 1 < std::size(units)) value /= 1000, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace

std::string CapacityTextFor(const std::string& path, const std::vector<std::string>& data) {
    CapacityPort port(path);
    CapacityReport(port);
    std::vector<Entry> entries;
    if (port.text == kNotAnImageText || data.empty() || data[0].empty() ||
        !CollectEntries(data, &entries).empty())
        return port.text;
    return port.text + "\n" + kDataRowText + std::to_string(EntriesDataBytes(entries));
}

namespace {

std::string SummaryOf(const std::vector<Entry>& entries) {
    size_t files = 0;
    for (const Entry& entry : entries) files += !entry.folder;
    return std::to_string(files) + (files == 1 ? " file, " : " files, ") +
           ShortSize(EntriesDataBytes(entries));
}

}  // namespace

std::string DataSummary(const std::vector<std::string>& paths) {
    std::vector<Entry> entries;
    return CollectEntries(paths, &entries).empty() ? SummaryOf(entries) : std::string();
}

namespace {

// The second line of a result: where the file went, in full.
std::string FolderLine(const std::string& path) {
    return "\nFolder: " + ShownName(FolderOf(path));
}

}  // namespace

std::string EncodeResultText(const std::string& dataFile, uint64_t dataBytes,
                             const std::string& output, int method) {
    return "Hid " + ShownName(FileNameOf(dataFile)) + " (" + std::to_string(dataBytes) +
           " bytes, method " + MethodName(method) + ") in " + ShownName(FileNameOf(output)) +
           FolderLine(output);
}

std::string DecodeResultText(const std::string& extracted, uint64_t bytes, int method) {
    // The name came from the image: shown escaped, and said when hidden.
    return "Extracted " + ShownName(FileNameOf(extracted)) +
           (IsHiddenName(extracted) ? kHiddenFileNote : "") + " (" + std::to_string(bytes) +
           " bytes, method " + MethodName(method) + ")" + FolderLine(extracted);
}

std::string WrapForWidth(const std::string& text, int width,
                         const std::function<int(const std::string&)>& measure) {
    std::string wrapped;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        while (measure(line) > width) {
            // The longest head that fits, cut after a slash or space when
            // there is one, never inside a UTF-8 character.
            size_t fit = 0;
            for (size_t n = 1; n <= line.size(); ++n) {
                if (n < line.size() && (static_cast<unsigned char>(line[n]) & 0xC0) == 0x80)
                    continue;
                if (measure(line.substr(0, n)) > width) break;
                fit = n;
            }
            if (fit == 0) break;  // not even one character fits: leave it
            const size_t soft = line.find_last_of("/ ", fit - 1);
            const size_t cut = soft != std::string::npos && soft > 0 ? soft + 1 : fit;
            wrapped += line.substr(0, cut) + "\n";
            line.erase(0, cut);
        }
        wrapped += line;
        if (end == text.size()) break;
        wrapped += "\n";
        start = end + 1;
    }
    return wrapped;
}

std::string EntriesResultText(const std::string& folder, size_t files, uint64_t bytes) {
    return "Extracted " + std::to_string(files) + (files == 1 ? " file" : " files") + " (" +
           std::to_string(bytes) + " bytes, method sealed) into " +
           ShownName(FileNameOf(folder)) + FolderLine(folder);
}

std::string ErrorText(int code) {
    return PixErrorMessage(code);
}

void MainView::SetStatus(const std::string& text) {
    fields.status = text;
    ShowFields();
}

void MainView::SetCapacityText(const std::string& text) {
    fields.capacity = text;
    ShowFields();
}

std::string MainView::AskOutputFile(const std::string& existing) {
    ReadControls();
    return ChooseFile(OutputFileChoice(existing));
}

std::string MainView::OutputDirectory() {
    return FolderOf(fields.inputFile);
}

void MainView::OutputWritten(const std::string& path, int code) {
    written.reported = true;
    written.path = path;
    written.code = code;
}

void MainView::EntriesWritten(const std::string& folder, size_t files, uint64_t bytes) {
    written.reported = true;
    written.path = folder;
    written.code = 0;
    written.entries = true;
    written.files = files;
    written.bytes = bytes;
}

int MainView::ReplaceAll(const std::vector<std::string>& paths) {
    // Counted, not listed: the first names where they are.
    return AskYesNo(std::to_string(paths.size()) + " files like " + ShownName(paths.front()) +
                    kReplaceAllText)
               ? 1
               : 0;
}

std::vector<std::string> MainView::DataFilePaths() {
    if (!fields.dataFiles.empty() && fields.dataFile == fields.dataSummary) return fields.dataFiles;
    return {fields.dataFile};
}

namespace {

// Clears the last result line, and turns inputs off until the run ends.
void BeginRun(MainView& view) {
    view.stopRequested = false;
    view.written = {};
    view.fields.status.clear();
    view.ShowFields();
    view.SetRunning(true);
    view.BeginWaitCursor();
    view.SetProgressRange(kProgressStages);
}

void EndRun(MainView& view) {
    view.EndWaitCursor();
    view.SetRunning(false);
    // A stop is for the run it was asked of; the window asks and says
    // again afterwards.
    view.stopRequested = false;
}

// Looks into a failed write while still away from the window.
void NoteWriteFailure(MainView& view) {
    if (view.written.reported && view.written.code != 0)
        view.written.reason = WriteFailureReason(view.written.path);
}

// The message for a failed run: the code's text, and the file it could not
// write with the reason, when a write failed.
std::string FailureText(const MainView& view, int result) {
    std::string text = ErrorText(result);
    const MainView::Written& w = view.written;
    if (w.reported && w.code == result && !w.path.empty())
        text += "\n" + w.path + (w.reason.empty() ? "" : ": " + w.reason);
    return text;
}

// While a run works on this thread, the image library's reads and writes
// stop with it, between rows.
class StopWithTheView {
  public:
    explicit StopWithTheView(MainView& view) { PixSetCancelFlag(&view.stopRequested); }
    ~StopWithTheView() { PixSetCancelFlag(nullptr); }
    StopWithTheView(const StopWithTheView&) = delete;
    StopWithTheView& operator=(const StopWithTheView&) = delete;
};

// A read or write that the stop cut short ends the run as any stop does.
int Stopped(const MainView& view, int result) {
    return result == kPixErrCancelled && view.stopRequested ? kRunStopped : result;
}

bool Wrote(const MainView& view, int result) {
    return result == 0 && view.written.reported && view.written.code == 0;
}

}  // namespace

void EncodeCommand(MainView& view, const RunTable& runs) {
    view.ReadControls();
    const MainFields f = view.fields;
    const char* missing = f.baseImage.empty()     ? kNoSourceImageText
                          : f.dataFile.empty()    ? kNoDataFileText
                          : f.outputImage.empty() ? kNoDestinationText
                                                  : nullptr;
    if (missing != nullptr) {
        view.ShowMessage(missing);
        return;
    }
    if (!KnownMethod(f.method) && f.method != MethodSealed) return;
    const std::vector<std::string> data = view.DataFilePaths();
    const bool several = SeveralData(data);
    if (several && f.method != MethodSealed) {
        view.ShowMessage(std::string("The ") + MethodName(f.method) + kOneFileText);
        return;
    }
    // Refused before the run: it would read and reduce the whole image first.
    if (const std::string refusal = OutputRefusal(f.method, f.outputImage); !refusal.empty()) {
        view.ShowMessage(refusal);
        return;
    }
    // Refused before the run: the fields can still be corrected.
    if (f.method == MethodSealed && f.passphrase.empty()) {
        view.ShowMessage(kNoPassphraseMessage);
        return;
    }
    if (f.method == MethodSealed && f.passphrase != f.passphraseConfirm) {
        view.ShowMessage(kPassphraseMismatchMessage);
        return;
    }
    const auto method = static_cast<HidingMethod>(f.method);
    auto passphrase = std::make_shared<Passphrase>(ToPassphrase(f.passphrase));
    BeginRun(view);
    view.RunInBackground(
        [&view, runs, method, passphrase] {
            StopWithTheView stoppable(view);
            const int result = method != MethodSealed ? runs.encode(view, method)
                               : runs.encodeSealed ? runs.encodeSealed(view, *passphrase)
                                                   : EncodeSealedRun(view, *passphrase);
            if (Stopped(view, result) == kRunStopped) return kRunStopped;
            NoteWriteFailure(view);
            return result;
        },
        [&view, f, several, data](int result) {
            EndRun(view);
            if (Wrote(view, result)) {
                view.SetProgressPosition(kProgressStages);
                view.fields.status =
                    several ? "Hid " + DataSummary(data) + " (method sealed) in " +
                                  ShownName(FileNameOf(view.written.path)) +
                                  FolderLine(view.written.path)
                            : EncodeResultText(f.dataFile, FileSize(f.dataFile),
                                               view.written.path, f.method);
                view.ShowFields();
                return;
            }
            view.SetProgressPosition(0);
            if (result != 0 && result != kRunStopped) view.ShowMessage(FailureText(view, result));
            if (result == kRunStopped) {
                view.fields.status = kStoppedText;
                view.ShowFields();
            }
        });
}

void DecodeCommand(MainView& view, const RunTable& runs) {
    view.ReadControls();
    const std::string path = view.fields.inputFile;
    if (path.empty()) {
        view.ShowMessage(kNoInputFileText);
        return;
    }
    BeginRun(view);
    auto found = std::make_shared<int>(-1);
    view.RunInBackground(
        [&view, runs, path, found] {
            StopWithTheView stoppable(view);
            *found = runs.detect(view, path);
            if (view.StopRequested()) return kRunStopped;
            int result = 0;
            if (KnownMethod(*found)) {
                result = runs.decode(view, static_cast<HidingMethod>(*found), path);
            } else {
                // Perhaps sealed: the field's passphrase when that method is
                // chosen, else one asked for now.
                std::string typed = view.fields.method == MethodSealed ? view.fields.passphrase : "";
                if (typed.empty()) typed = view.AskPassphrase();
                if (typed.empty()) {
                    view.ShowMessage(kNotEncodedText);
                } else {
                    *found = MethodSealed;
                    result = DecodeSealedRun(view, path, ToPassphrase(typed));
                }
                std::fill(typed.begin(), typed.end(), '\0');
            }
            if (Stopped(view, result) == kRunStopped) return kRunStopped;
            NoteWriteFailure(view);
            view.Pause(kDecodePause);
            return result;
        },
        [&view, found](int result) {
            EndRun(view);
            if (Wrote(view, result)) {
                view.SetProgressPosition(kProgressStages);
                const MainView::Written& w = view.written;
                view.fields.status = w.entries ? EntriesResultText(w.path, w.files, w.bytes)
                                               : DecodeResultText(w.path, FileSize(w.path), *found);
                view.ShowFields();
                return;
            }
            view.SetProgressPosition(0);
            if (result != 0 && result != kRunStopped) view.ShowMessage(FailureText(view, result));
            view.fields.status = result == kRunStopped ? kStoppedText : "";
            view.ShowFields();
        });
}

void BrowseCommand(MainView& view, BrowseTarget target) {
    view.ReadControls();
    MainFields& f = view.fields;
    std::string* const paths[kBrowseTargets] = {&f.baseImage, &f.dataFile, &f.outputImage,
                                                &f.inputFile};
    const int index = static_cast<int>(target);
    FileChoice choice = BrowseChoice(target, f.method);
    // A summary of several is no path: the first of them tells the folder.
    const std::string field =
        target == BrowseTarget::DataFile ? view.DataFilePaths().front() : *paths[index];
    choice.directory = StartFolder(field, view.folders[index]);
    if (target == BrowseTarget::DataFile && f.method == MethodSealed) {
        const DataKind kind = view.AskDataKind();
        if (kind == DataKind::kNone) return;
        choice.multiple = kind == DataKind::kFiles;
        choice.folder = kind == DataKind::kFolder;
        if (choice.folder) choice.title = "Data folder";
        const std::vector<std::string> chosen = view.ChooseFiles(choice);
        if (chosen.empty()) return;
        view.folders[index] = FolderOf(chosen[0]);
        SetDataFiles(view, chosen);
        return;
    }
    const std::string path = view.ChooseFile(choice);
    if (path.empty()) return;
    *paths[index] = path;
    view.folders[index] = FolderOf(path);
    view.ShowFields();
    if (target == BrowseTarget::BaseImage) view.ReportCapacity(path);
}

void BaseImageEdited(MainView& view) {
    view.ReadControls();
    view.ReportCapacity(view.fields.baseImage);
}

void SetDataFiles(MainView& view, const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    view.ReadControls();
    MainFields& f = view.fields;
    std::string summary;
    if (paths.size() > 1) {
        // Said now, not at the encode: the field could not show what is wrong.
        std::vector<Entry> entries;
        if (const std::string refusal = CollectEntries(paths, &entries); !refusal.empty()) {
            view.ShowMessage(refusal);
            return;
        }
        summary = SummaryOf(entries);
    }
    f.dataFiles.clear();
    f.dataSummary.clear();
    f.dataFile = paths[0];
    if (!summary.empty()) {
        f.dataFiles = paths;
        f.dataSummary = f.dataFile = summary;
    }
    view.ShowFields();
    if (!f.baseImage.empty()) view.ReportCapacity(f.baseImage);
}

void DataFileEdited(MainView& view) {
    view.ReadControls();
    if (!view.fields.baseImage.empty()) view.ReportCapacity(view.fields.baseImage);
}
