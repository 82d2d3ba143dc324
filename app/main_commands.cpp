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
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

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
// A carrier of any method, whatever the list shows: a decode finds the
// method by itself.
const std::vector<FilterEntry> kInputFilter = {
    {"Image Files (bmp,pcx,png,tif)", "*.PNG;*.BMP;*.PCX;*.TIF;*.TIFF;"},
    {"BMP Files (*.BMP)", "*.BMP"},
    {"PCX Files (*.PCX)", "*.PCX"},
    {"TIF Files (*.TIF)", "*.TIF;*.TIFF"},
    {"PNG Files (*.PNG)", "*.PNG"},
    {"All files (*.*)", "*.*"},
};

// What each kind of method writes, as the output name's extension says.
const std::vector<std::string> kEightBitOutputs = {".bmp", ".pcx", ".png", ".tif"};
const std::vector<std::string> kChannelOutputs = {".bmp", ".pcx", ".png", ".tif", ".tiff"};

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
                              EightBitMethod(method) ? kEightBitFilter : kOutputFilter);
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
    const std::vector<std::string>& writable = eightBit ? kEightBitOutputs : kChannelOutputs;
    const std::string extension = Lower(GetExtension(FileNameOf(outputPath)));
    for (const std::string& known : writable)
        if (extension == known) return {};
    std::string names;
    for (size_t i = 0; i < writable.size(); ++i)
        names += (i == 0 ? "" : i + 1 == writable.size() ? " or " : ", ") + writable[i];
    return std::string("The ") + MethodName(method) +
           " method writes BMP, PCX, PNG and TIFF images.\nGive the output image a name "
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

std::string CapacityTextFor(const std::string& path) {
    CapacityPort port(path);
    CapacityReport(port);
    return port.text;
}

std::string EncodeResultText(const std::string& dataFile, uint64_t dataBytes,
                             const std::string& output, int method) {
    return "Hid " + ShownName(FileNameOf(dataFile)) + " (" + std::to_string(dataBytes) +
           " bytes, method " + MethodName(method) + ") in " + ShownName(output);
}

std::string DecodeResultText(const std::string& extracted, uint64_t bytes, int method) {
    // The name came from the image: shown escaped, and said when hidden.
    return "Extracted " + ShownName(extracted) + (IsHiddenName(extracted) ? kHiddenFileNote : "") +
           " (" + std::to_string(bytes) + " bytes, method " + MethodName(method) + ")";
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
        [&view, f](int result) {
            EndRun(view);
            if (Wrote(view, result)) {
                view.SetProgressPosition(kProgressStages);
                view.fields.status = EncodeResultText(f.dataFile, FileSize(f.dataFile),
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
                view.fields.status = DecodeResultText(
                    view.written.path, FileSize(view.written.path), *found);
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
    choice.directory = StartFolder(*paths[index], view.folders[index]);
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
