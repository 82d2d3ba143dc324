#include "app/main_commands.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "hiding/runs.h"
#include "hiding/sealed_run.h"
#include "imagelib/state.h"

const char* const kNoSourceImageText = "You must choose a source image file";
const char* const kNoDataFileText = "You must choose a data file";
const char* const kNoDestinationText = "You must choose a destination image";
const char* const kNoInputFileText = "You must select a file to process";
const char* const kAskPassphraseText =
    "No method found a file in this image.\nIf it holds a sealed file, enter its passphrase:";

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
const std::vector<FilterEntry> kInputFilter = {
    {"Image Files (bmp,pcx,png,tif)", "*.PNG;*.BMP;*.PCX;*.TIF;"},
    {"BMP Files (*.BMP)", "*.BMP"},
    {"PCX Files (*.PCX)", "*.PCX"},
    {"TIF Files (*.TIF)", "*.TIF"},
    {"PNG Files (*.PNG)", "*.PNG"},
    {"All files (*.*)", "*.*"},
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// GTK matches patterns case-sensitively, so each pattern is listed in upper
// and lower case, and "*.*" (which would hide names without a dot) is "*".
std::string Wildcard(const std::vector<FilterEntry>& entries) {
    std::string text;
    for (const FilterEntry& entry : entries) {
        std::string patterns;
        const std::string written = entry.patterns;
        size_t start = 0;
        while (start <= written.size()) {
            size_t end = written.find(';', start);
            if (end == std::string::npos) end = written.size();
            const std::string pattern = written.substr(start, end - start);
            start = end + 1;
            if (pattern.empty()) continue;  // some lists end in ";"
            if (!patterns.empty()) patterns += ";";
            if (pattern == "*.*") {
                patterns += "*";
                continue;
            }
            patterns += pattern;
            if (Lower(pattern) != pattern) patterns += ";" + Lower(pattern);
        }
        if (!text.empty()) text += "|";
        text += std::string(entry.label) + "|" + patterns;
    }
    return text;
}

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

class WaitCursor {
  public:
    explicit WaitCursor(DialogPort& view) : view_(view) { view_.BeginWaitCursor(); }
    ~WaitCursor() { view_.EndWaitCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

  private:
    DialogPort& view_;
};

}  // namespace

FileChoice BrowseChoice(BrowseTarget target, int method) {
    // No initial name: the first filter entry already lists the matching
    // files, and a wildcard such as "*.BMP;*.PCX" in GTK's name box would be
    // taken as a file name.
    switch (target) {
        case BrowseTarget::BaseImage:
            return {false, "Base image", Wildcard(kBaseImageFilter)};
        case BrowseTarget::DataFile:
            return {false, "Data file", Wildcard(kDataFileFilter)};
        case BrowseTarget::OutputImage:
            return {true, "Output image",
                    Wildcard(EightBitMethod(method) ? kEightBitFilter : kOutputFilter)};
        case BrowseTarget::InputFile:
            if (EightBitMethod(method))
                return {false, "7/8 or 6/8 input file", Wildcard(kEightBitFilter)};
            return {false, "886, 777 or 666 input file", Wildcard(kInputFilter)};
    }
    return {};
}

FileChoice OutputFileChoice() {
    return {true, "Output file", Wildcard(kDataFileFilter)};
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

std::string MainView::AskOutputFile() {
    ReadControls();
    return ChooseFile(OutputFileChoice());
}

void EncodeCommand(MainView& view, const RunTable& runs) {
    view.ReadControls();
    const MainFields& f = view.fields;
    const char* missing = f.baseImage.empty()     ? kNoSourceImageText
                          : f.dataFile.empty()    ? kNoDataFileText
                          : f.outputImage.empty() ? kNoDestinationText
                                                  : nullptr;
    if (missing != nullptr) {
        view.ShowMessage(missing);
        return;
    }
    WaitCursor wait(view);
    view.SetProgressRange(kProgressStages);
    int result = 0;
    if (f.method == MethodSealed)
        result = EncodeSealedRun(view, ToPassphrase(f.passphrase));
    else if (KnownMethod(f.method))
        result = runs.encode(view, static_cast<HidingMethod>(f.method));
    view.SetProgressPosition(0);
    if (result != 0) view.ShowMessage(ErrorText(result));
}

void DecodeCommand(MainView& view, const RunTable& runs) {
    WaitCursor wait(view);
    view.ReadControls();
    const std::string path = view.fields.inputFile;
    if (path.empty()) {
        view.ShowMessage(kNoInputFileText);
        return;
    }
    view.SetProgressRange(kProgressStages);
    int result = 0;
    const int method = runs.detect(view, path);
    if (KnownMethod(method)) {
        result = runs.decode(view, static_cast<HidingMethod>(method), path);
    } else {
        // Perhaps sealed: the field's passphrase when that method is
        // chosen, else one asked for now.
        std::string typed = view.fields.method == MethodSealed ? view.fields.passphrase : "";
        if (typed.empty()) typed = view.AskPassphrase();
        if (typed.empty())
            view.ShowMessage(kNotEncodedText);
        else
            result = DecodeSealedRun(view, path, ToPassphrase(typed));
        std::fill(typed.begin(), typed.end(), '\0');
    }
    view.Pause(kDecodePause);
    view.SetProgressPosition(0);
    if (result != 0) view.ShowMessage(ErrorText(result));
    view.fields.status.clear();
    view.ShowFields();
}

void BrowseCommand(MainView& view, BrowseTarget target) {
    view.ReadControls();
    const std::string path = view.ChooseFile(BrowseChoice(target, view.fields.method));
    if (path.empty()) return;
    MainFields& f = view.fields;
    switch (target) {
        case BrowseTarget::BaseImage:
            f.baseImage = path;
            break;
        case BrowseTarget::DataFile:
            f.dataFile = path;
            break;
        case BrowseTarget::OutputImage:
            f.outputImage = path;
            break;
        case BrowseTarget::InputFile:
            f.inputFile = path;
            break;
    }
    view.ShowFields();
    if (target == BrowseTarget::BaseImage) CapacityReport(view);
}

void BaseImageEdited(MainView& view) {
    view.ReadControls();
    CapacityReport(view);
}
