// The main dialog's commands (Encode, Decode, the four browse buttons, the
// base image edit) written against a small view, so that they run and are
// tested without a window system. CMainDialog is the real view.
#pragma once

#include <string>

#include "hiding/dialog_port.h"
#include "hiding/payload.h"

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
};

// One file dialog as a browse button or the rename prompt opens it.
struct FileChoice {
    bool save = false;  // save with an overwrite prompt, else open an existing file
    std::string title;
    std::string filter;  // wxWidgets wildcard: "label|patterns|label|patterns"
};

enum class BrowseTarget { BaseImage, DataFile, OutputImage, InputFile };

// The file dialog of a browse button; the output and input browsers depend
// on whether `method` is one of the 8-bit methods.
FileChoice BrowseChoice(BrowseTarget target, int method);

// The save dialog that asks where an extracted file goes instead.
FileChoice OutputFileChoice();

// The message for an image library code: its text, or "Error #n".
std::string ErrorText(int code);

// The dialog as the commands see it. The runs' questions and the status
// and capacity texts go through the fields and ShowFields, as the runs
// expect of the dialog.
class MainView : public DialogPort {
  public:
    MainFields fields;

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

    std::string BaseImagePath() final { return fields.baseImage; }
    std::string DataFilePath() final { return fields.dataFile; }
    std::string OutputImagePath() final { return fields.outputImage; }
    int MethodIndex() final { return fields.method; }
    void SetStatus(const std::string& text) final;
    void SetCapacityText(const std::string& text) final;
    std::string AskOutputFile() final;
};

// The engine calls a command makes; tests replace them to force a result.
struct RunTable {
    int (*encode)(DialogPort&, HidingMethod);
    int (*detect)(DialogPort&, const std::string&);
    int (*decode)(DialogPort&, HidingMethod, const std::string&);
};
extern const RunTable kEngineRuns;

extern const char* const kNoSourceImageText;
extern const char* const kNoDataFileText;
extern const char* const kNoDestinationText;
extern const char* const kNoInputFileText;
extern const char* const kAskPassphraseText;

constexpr int kProgressStages = 5;
constexpr unsigned kDecodePause = 500;  // ms, after a decode, before the bar resets

void EncodeCommand(MainView& view, const RunTable& runs = kEngineRuns);
void DecodeCommand(MainView& view, const RunTable& runs = kEngineRuns);
// Does nothing visible when the user cancels the file dialog.
void BrowseCommand(MainView& view, BrowseTarget target);
// The base image path was typed or pasted: refresh the capacity report.
void BaseImageEdited(MainView& view);
