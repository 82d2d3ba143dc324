// SPDX-License-Identifier: GPL-3.0-or-later
// The main dialog's commands (Encode, Decode, the four browse buttons, the
// base image edit) written against a small view, so that they run and are
// tested without a window system. CMainDialog is the real view.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "hiding/dialog_port.h"
#include "hiding/payload.h"
#include "hiding/sealed.h"

// What the dialog's controls show, exchanged both ways by ReadControls and
// ShowFields.
struct MainFields {
    std::string baseImage;
    std::string dataFile;
    std::string outputImage;
    std::string inputFile;
    int method = 0;  // index into the method list, a HidingMethod
    std::string status;
    std::string capacity;
    // The sealed method's passphrase, from its masked field; only used
    // while that method is chosen.
    std::string passphrase = {};
    // The same typed again: an encode must not seal under a typing slip.
    std::string passphraseConfirm = {};
};

// One file dialog as a browse button or the rename prompt opens it.
struct FileChoice {
    bool save = false;  // save with an overwrite prompt, else open an existing file
    std::string title;
    std::string filter;  // wxWidgets wildcard: "label|patterns|label|patterns"
    // Per filter entry, the extension a save adds to a name without one
    // (".bmp"), or empty.
    std::vector<std::string> extensions;
    std::string directory;  // where the dialog opens; empty: the working directory
    std::string name;       // the file name filled in
};

enum class BrowseTarget { BaseImage, DataFile, OutputImage, InputFile };
constexpr int kBrowseTargets = 4;

// The file dialog of a browse button; the output browser and the input
// browser's title depend on whether `method` is one of the 8-bit methods.
FileChoice BrowseChoice(BrowseTarget target, int method);

// The save dialog that asks where an extracted file goes instead of
// `existing`: in its folder, its name filled in.
FileChoice OutputFileChoice(const std::string& existing = {});

// `path` with the extension of filter entry `filterIndex` added when its file
// name has none; unchanged otherwise.
std::string WithFilterExtension(const std::string& path, const FileChoice& choice,
                                int filterIndex);

// Whether entry `entry` of a wxWidgets wildcard lists `fileName`, matched as
// the file dialog matches it.
bool WildcardMatches(const std::string& wildcard, int entry, const std::string& fileName);

// The folder a file dialog opens in: the folder of the field's path when it
// exists, else `remembered`.
std::string StartFolder(const std::string& fieldPath, const std::string& remembered);

// Empty when `method` can write `outputPath`'s format, else the message that
// names the formats it writes.
std::string OutputRefusal(int method, const std::string& outputPath);

// Why writing `path` failed, as the system words it ("Permission denied"),
// found by trying its folder; empty when the folder takes new files.
std::string WriteFailureReason(const std::string& path);

// The capacity report's text for the base image at `path`.
std::string CapacityTextFor(const std::string& path);

// The status line a successful run leaves.
std::string EncodeResultText(const std::string& dataFile, uint64_t dataBytes,
                             const std::string& output, int method);
std::string DecodeResultText(const std::string& extracted, uint64_t bytes, int method);

// The message for an image library code: its text, or "Error #n".
std::string ErrorText(int code);

// The dialog as the commands see it. The runs' questions and the status
// and capacity texts go through the fields and ShowFields, as the runs
// expect of the dialog.
class MainView : public DialogPort {
  public:
    MainFields fields;
    // Per browse target, the folder its file dialog last ended in.
    std::array<std::string, kBrowseTargets> folders;
    // Set by the window to stop the run that works; cleared as one starts.
    std::atomic<bool> stopRequested{false};

    // What the last run reported writing, for its result line or message.
    struct Written {
        bool reported = false;
        std::string path;
        int code = 0;
        std::string reason;  // why it failed, when it did
    } written;

    // Controls into fields.
    virtual void ReadControls() = 0;
    // Fields into controls, replacing only what differs, and onto the screen
    // at once.
    virtual void ShowFields() = 0;
    // The progress bar counts 0..maximum in steps of 1.
    virtual void SetProgressRange(int maximum) = 0;
    // Runs the file dialog; the chosen full path, or empty when cancelled.
    virtual std::string ChooseFile(const FileChoice& choice) = 0;
    // Asks for a sealed file's passphrase with a masked entry; empty when
    // the user cancels.
    virtual std::string AskPassphrase() { return {}; }
    // Runs `work` away from the window and then `done` with its result on
    // the window's thread; this version runs both at once. Until `done`, the
    // DialogPort calls may come from another thread.
    virtual void RunInBackground(std::function<int()> work, std::function<void(int)> done) {
        done(work());
    }
    // Inputs and buttons off while a run works, on again after it.
    virtual void SetRunning(bool /*running*/) {}
    // Shows the capacity report for `path`; the window computes it away
    // from its thread and shows the latest path's.
    virtual void ReportCapacity(const std::string& path) {
        SetCapacityText(CapacityTextFor(path));
    }

    std::string BaseImagePath() final { return fields.baseImage; }
    std::string DataFilePath() final { return fields.dataFile; }
    std::string OutputImagePath() final { return fields.outputImage; }
    int MethodIndex() final { return fields.method; }
    void SetStatus(const std::string& text) final;
    void SetCapacityText(const std::string& text) final;
    std::string AskOutputFile(const std::string& existing) final;
    // Next to the image it came from.
    std::string OutputDirectory() override;
    bool StopRequested() final { return stopRequested; }
    void OutputWritten(const std::string& path, int code) final;
};

// The engine calls a command makes; tests replace them to force a result.
struct RunTable {
    int (*encode)(DialogPort&, HidingMethod);
    int (*detect)(DialogPort&, const std::string&);
    int (*decode)(DialogPort&, HidingMethod, const std::string&);
    int (*encodeSealed)(DialogPort&, const Passphrase&) = nullptr;  // null: the engine's
};
extern const RunTable kEngineRuns;

extern const char* const kNoSourceImageText;
extern const char* const kNoDataFileText;
extern const char* const kNoDestinationText;
extern const char* const kNoInputFileText;
extern const char* const kAskPassphraseText;
// The status a stopped run leaves.
extern const char* const kStoppedText;
// Follows the path when an extracted file's name is taken.
extern const char* const kExtractedExistsText;
// Follows the path and the system's reason when its folder refuses the file.
extern const char* const kSaveElsewhereText;

constexpr int kProgressStages = 5;
constexpr unsigned kDecodePause = 500;  // ms, after a decode, before the bar resets

void EncodeCommand(MainView& view, const RunTable& runs = kEngineRuns);
void DecodeCommand(MainView& view, const RunTable& runs = kEngineRuns);
// Does nothing visible when the user cancels the file dialog.
void BrowseCommand(MainView& view, BrowseTarget target);
// The base image path was typed or pasted: refresh the capacity report.
void BaseImageEdited(MainView& view);
