// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_dialog.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/cursor.h>
#include <wx/dnd.h>
#include <wx/filedlg.h>
#include <wx/fileconf.h>
#include <wx/filename.h>
#include <wx/gauge.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/thread.h>
// After wx/stattext.h, which the generic control needs first.
#include <wx/generic/stattextg.h>
#include <wx/textctrl.h>
#include <wx/textdlg.h>
#include <wx/utils.h>
#include <wx/wupdlock.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <memory>

#include "app/about_dialog.h"
#include "app/app_identity.h"
#include "app/font_label.h"
#include "app/wx_text.h"
#include "hiding/runs.h"
#include "hiding/shown_name.h"
#include "imagelib/state.h"

namespace {

const char* const kAboutMenuText = "&About Ombrel...";
const char* const kEncodeLabel = "Encode";
const char* const kDecodeLabel = "Decode";
const char* const kStopLabel = "Stop";
const char* const kStopRunText = "A run is still working.\nStop it and close Ombrel?";
const char* const kFolderKeys[kBrowseTargets] = {"BaseImageFolder", "DataFileFolder",
                                                 "OutputImageFolder", "InputFileFolder"};

// The platform's spacing: 12 px around the window and between groups, 6
// between the parts of a group.
constexpr int kMargin = 12;
constexpr int kGap = 6;

void ChangeIfDifferent(wxTextCtrl* control, const std::string& text) {
    const wxString value = ToWx(text);
    // ChangeValue raises no text event, so showing the base image path does
    // not run the capacity report again.
    if (control->GetValue() != value) control->ChangeValue(value);
}

// Settings live in the user's configuration folder (XDG_CONFIG_HOME, else
// ~/.config), in ombrel/ombrel.conf.
// Settings are a convenience: a folder that cannot be read or written
// costs them, with no message box at start or close.
std::unique_ptr<wxFileConfig> OpenSettings() {
    wxLogNull quiet;
    wxString base;
    if (!wxGetEnv("XDG_CONFIG_HOME", &base) || base.empty())
        base = wxFileName::GetHomeDir() + "/.config";
    const wxFileName file(base + "/ombrel", "ombrel.conf");
    file.Mkdir(wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
    return std::make_unique<wxFileConfig>("ombrel", wxEmptyString, file.GetFullPath(),
                                          wxEmptyString, wxCONFIG_USE_LOCAL_FILE);
}

// A file dragged from a file manager onto a path field fills it in.
class PathDropTarget : public wxFileDropTarget {
  public:
    explicit PathDropTarget(wxTextCtrl* edit) : edit_(edit) {}

    bool OnDropFiles(wxCoord, wxCoord, const wxArrayString& files) override {
        if (files.empty() || !edit_->IsEnabled()) return false;
        edit_->SetValue(files[0]);  // a text event: the base image's report follows
        edit_->SetInsertionPointEnd();
        return true;
    }

  private:
    wxTextCtrl* edit_;
};

}  // namespace

template <typename Call>
auto CMainDialog::OnWindowThread(Call call) -> decltype(call()) {
    using Result = decltype(call());
    if (wxThread::IsMain()) return call();
    std::promise<Result> promise;
    std::future<Result> answer = promise.get_future();
    CallAfter([&] {
        if constexpr (std::is_void_v<Result>) {
            call();
            promise.set_value();
        } else {
            promise.set_value(call());
        }
    });
    return answer.get();
}

void CMainDialog::Post(std::function<void()> call) {
    if (wxThread::IsMain())
        call();
    else
        CallAfter(std::move(call));
}

CMainDialog::CMainDialog(wxWindow* parent) {
    // Created as a plain top-level window: wxDialog::Create would mark it as
    // a dialog, GTK would type it so, and window managers give dialogs no
    // minimise box. It is the program's main window.
    wxTopLevelWindow::Create(parent, wxID_ANY, kAppCaption, wxDefaultPosition, wxDefaultSize,
                             wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX |
                                 wxTAB_TRAVERSAL);
    // Set after creation so the window keeps its main-window type; while it
    // is shown modally, wxGTK honours a window manager's close request (the
    // close box, Alt+F4, wmctrl -c) only for windows marked as dialogs.
    SetExtraStyle(GetExtraStyle() | wxTOPLEVEL_EX_DIALOG);
    // The boxes come first so that they lie beneath the controls they frame;
    // they take no focus, so creation order below is the tab order.
    auto* encodeBox = new wxStaticBox(this, wxID_ANY, "Encode");
    auto* decodeBox = new wxStaticBox(this, wxID_ANY, "Decode");
    auto* methodBox = new wxStaticBox(this, wxID_ANY, "Ombrel Method");

    const wxSize edit(ConvertDialogToPixels(wxSize(144, 0)).x, -1);
    auto browse = [this](int id) {
        return new wxButton(this, id, "..", wxDefaultPosition, wxDefaultSize, wxBU_EXACTFIT);
    };
    baseImage_ = new wxTextCtrl(this, kIdBaseImage, "", wxDefaultPosition, edit);
    wxButton* browseBase = browse(kIdBrowseBase);
    dataFile_ = new wxTextCtrl(this, kIdDataFile, "", wxDefaultPosition, edit);
    wxButton* browseData = browse(kIdBrowseData);
    outputImage_ = new wxTextCtrl(this, kIdOutputImage, "", wxDefaultPosition, edit);
    wxButton* browseOutput = browse(kIdBrowseOutput);
    auto* encode = new wxButton(this, kIdEncode, kEncodeLabel);
    inputFile_ = new wxTextCtrl(this, kIdInputFile, "", wxDefaultPosition, edit);
    wxButton* browseInput = browse(kIdBrowseInput);
    method_ = new wxChoice(this, kIdMethod);
    for (int m = 0; m < kMethodListCount; ++m)
        method_->Append(GetMethodInfo(static_cast<HidingMethod>(m)).listEntry);
    passphrase_ =
        new wxTextCtrl(this, kIdPassphrase, "", wxDefaultPosition, wxDefaultSize, wxTE_PASSWORD);
    passphraseConfirm_ = new wxTextCtrl(this, kIdPassphraseConfirm, "", wxDefaultPosition,
                                        wxDefaultSize, wxTE_PASSWORD);
    auto* decode = new wxButton(this, kIdDecode, kDecodeLabel);

    auto label = [this](const char* text) { return new wxStaticText(this, wxID_ANY, text); };
    wxStaticText* imageLabel = label("Image");
    wxStaticText* dataLabel = label("Data File");
    wxStaticText* outputLabel = label("Output Image");
    wxStaticText* inputLabel = label("Input File");
    // The generic control has a window of its own, so GTK draws its border.
    status_ = new wxGenericStaticText(this, kIdStatus, "", wxDefaultPosition, wxDefaultSize,
                                      wxBORDER_SUNKEN | wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_MIDDLE);
    status_->SetMinSize(wxSize(-1, status_->GetCharHeight() + 4));  // a line, even when empty
    wxStaticText* flowLabel = label("Image + Data File ==> Output Image");
    progress_ = new wxGauge(this, kIdProgress, kProgressStages, wxDefaultPosition, wxDefaultSize,
                            wxGA_HORIZONTAL | wxGA_SMOOTH);
    // As tall as a line of text, so that an empty bar reads as a bar.
    progress_->SetMinSize(wxSize(-1, progress_->GetCharHeight()));
    wxStaticText* storageLabel = label("Maximum storage space for this input image:");
    capacity_ = new CFontLabel(this, kIdCapacity);
    capacity_->SetFontFace("Courier New", 14, wxFONTWEIGHT_NORMAL);
    capacity_->SetTextColour(wxColour(50, 0, 0));
    // Every row of the report, the counts of a picture of a billion pixels.
    capacity_->SetRoomFor(
        ToWx(CapacityText(1u << 15, 1u << 15) + GreyCapacityText(1u << 15, 1u << 15)));

    const wxSizerFlags centred = wxSizerFlags().CentreVertical();
    auto pathRow = [&](wxTextCtrl* path, wxButton* button) {
        auto* row = new wxBoxSizer(wxHORIZONTAL);
        row->Add(path, wxSizerFlags(1).CentreVertical());
        row->Add(button, wxSizerFlags(centred).Border(wxLEFT, kGap));
        return row;
    };
    auto headRow = [&](wxStaticText* caption, wxButton* button) {
        auto* row = new wxBoxSizer(wxHORIZONTAL);
        row->Add(caption, wxSizerFlags().Bottom());
        row->AddStretchSpacer();
        row->Add(button);
        return row;
    };
    const wxSizerFlags inBox = wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT, kGap);

    auto* encodeSizer = new wxStaticBoxSizer(encodeBox, wxVERTICAL);
    encodeSizer->Add(headRow(imageLabel, encode),
                     wxSizerFlags(inBox).Border(wxLEFT | wxRIGHT | wxTOP, kGap));
    encodeSizer->Add(pathRow(baseImage_, browseBase), inBox);
    encodeSizer->Add(dataLabel, wxSizerFlags().Border(wxLEFT | wxRIGHT | wxTOP, kGap));
    encodeSizer->Add(pathRow(dataFile_, browseData), inBox);
    encodeSizer->Add(outputLabel, wxSizerFlags().Border(wxLEFT | wxRIGHT | wxTOP, kGap));
    encodeSizer->Add(pathRow(outputImage_, browseOutput), inBox);
    encodeSizer->Add(flowLabel, wxSizerFlags().Border(wxALL, kGap));

    auto* left = new wxBoxSizer(wxVERTICAL);
    left->Add(encodeSizer, wxSizerFlags().Expand());
    left->AddStretchSpacer();
    left->Add(progress_, wxSizerFlags().Expand().Border(wxTOP, kMargin));
    left->Add(status_, wxSizerFlags().Expand().Border(wxTOP, kGap));

    auto* decodeSizer = new wxStaticBoxSizer(decodeBox, wxVERTICAL);
    decodeSizer->Add(headRow(inputLabel, decode),
                     wxSizerFlags(inBox).Border(wxLEFT | wxRIGHT | wxTOP, kGap));
    decodeSizer->Add(pathRow(inputFile_, browseInput),
                     wxSizerFlags(inBox).Border(wxLEFT | wxRIGHT | wxBOTTOM, kGap));

    auto* methodSizer = new wxStaticBoxSizer(methodBox, wxVERTICAL);
    methodSizer->Add(method_, wxSizerFlags().Expand().Border(wxALL, kGap));
    auto* passphraseRows = new wxFlexGridSizer(2, kGap, kGap);
    passphraseRows->AddGrowableCol(1);
    passphraseRows->Add(label("Passphrase"), centred);
    passphraseRows->Add(passphrase_, wxSizerFlags().Expand().CentreVertical());
    passphraseRows->Add(label("Confirm"), centred);
    passphraseRows->Add(passphraseConfirm_, wxSizerFlags().Expand().CentreVertical());
    methodSizer->Add(passphraseRows, wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT, kGap));
    methodSizer->Add(storageLabel, wxSizerFlags().Border(wxLEFT | wxRIGHT | wxTOP, kGap));
    methodSizer->Add(capacity_, wxSizerFlags(1).Expand().Border(wxALL, kGap));

    auto* right = new wxBoxSizer(wxVERTICAL);
    right->Add(decodeSizer, wxSizerFlags().Expand());
    right->Add(methodSizer, wxSizerFlags(1).Expand().Border(wxTOP, kMargin));

    auto* columns = new wxBoxSizer(wxHORIZONTAL);
    columns->Add(left, wxSizerFlags(1).Expand());
    columns->Add(right, wxSizerFlags(1).Expand().Border(wxLEFT, kMargin));
    auto* outer = new wxBoxSizer(wxVERTICAL);
    outer->Add(columns, wxSizerFlags(1).Expand().Border(wxALL, kMargin));
    SetSizerAndFit(outer);

    // Enter in any edit presses the default button: Enter encodes.
    encode->SetDefault();
    SetIcons(AppIcons());
    method_->SetSelection(0);
    LoadSettings();
    ShowFields();
    for (wxTextCtrl* path : {baseImage_, dataFile_, outputImage_, inputFile_})
        path->SetDropTarget(new PathDropTarget(path));
    // Typing can start at once; the default button would otherwise take the
    // focus, and Space would start an encode.
    baseImage_->SetFocus();
    Bind(wxEVT_SHOW, [this](wxShowEvent& event) {
        event.Skip();
        if (event.IsShown()) CallAfter([this] { baseImage_->SetFocus(); });
    });

    Bind(wxEVT_BUTTON, &CMainDialog::OnEncode, this, kIdEncode);
    Bind(wxEVT_BUTTON, &CMainDialog::OnDecode, this, kIdDecode);
    for (int id : {kIdBrowseBase, kIdBrowseData, kIdBrowseOutput, kIdBrowseInput})
        Bind(wxEVT_BUTTON, &CMainDialog::OnBrowse, this, id);
    Bind(wxEVT_TEXT, &CMainDialog::OnBaseImageText, this, kIdBaseImage);
    Bind(
        wxEVT_CHOICE,
        [this](wxCommandEvent&) { EnablePassphrase(); },
        kIdMethod);
    // GTK keeps the title bar's menu to itself: the About item lives in the
    // dialog's own context menu, and on F1.
    Bind(wxEVT_CONTEXT_MENU, &CMainDialog::OnContextMenu, this);
    Bind(
        wxEVT_MENU, [this](wxCommandEvent&) { ShowAbout(); }, kIdAbout);
    wxAcceleratorEntry about(wxACCEL_NORMAL, WXK_F1, kIdAbout);
    SetAcceleratorTable(wxAcceleratorTable(1, &about));
    Bind(wxEVT_CHAR_HOOK, &CMainDialog::OnCharHook, this);
    Bind(wxEVT_CLOSE_WINDOW, &CMainDialog::OnClose, this);
}

CMainDialog::~CMainDialog() {
    // Closing waits for a run's end, so these have finished or finish soon.
    if (run_.joinable()) run_.join();
    if (capacity_thread_.joinable()) capacity_thread_.join();
}

void CMainDialog::LoadSettings() {
    std::unique_ptr<wxFileConfig> config = OpenSettings();
    for (int t = 0; t < kBrowseTargets; ++t)
        folders[t] = FromWx(config->Read(kFolderKeys[t], wxString()));
    const long method = config->ReadLong("Method", 0);
    fields.method = method >= 0 && method < kMethodListCount ? static_cast<int>(method) : 0;
}

void CMainDialog::SaveSettings() {
    ReadControls();
    const std::string paths[kBrowseTargets] = {fields.baseImage, fields.dataFile,
                                               fields.outputImage, fields.inputFile};
    wxLogNull quiet;  // outlives the file, which writes itself again as it goes
    std::unique_ptr<wxFileConfig> config = OpenSettings();
    for (int t = 0; t < kBrowseTargets; ++t) {
        const std::string folder = StartFolder(paths[t], folders[t]);
        if (!folder.empty()) config->Write(kFolderKeys[t], ToWx(folder));
    }
    config->Write("Method", static_cast<long>(fields.method));
    config->Flush();
}

void CMainDialog::ReadControls() {
    const MainFields read = OnWindowThread([this] {
        MainFields controls;
        controls.baseImage = FromWx(baseImage_->GetValue());
        controls.dataFile = FromWx(dataFile_->GetValue());
        controls.outputImage = FromWx(outputImage_->GetValue());
        controls.inputFile = FromWx(inputFile_->GetValue());
        controls.method = method_->GetSelection();
        controls.passphrase = FromWx(passphrase_->GetValue());
        controls.passphraseConfirm = FromWx(passphraseConfirm_->GetValue());
        return controls;
    });
    fields.baseImage = read.baseImage;
    fields.dataFile = read.dataFile;
    fields.outputImage = read.outputImage;
    fields.inputFile = read.inputFile;
    fields.method = read.method;
    fields.passphrase = read.passphrase;
    fields.passphraseConfirm = read.passphraseConfirm;
}

void CMainDialog::ShowFields() {
    // The fields belong to the thread that runs; the window gets a copy.
    Post([this, shown = fields] { ApplyFields(shown); });
}

void CMainDialog::ApplyFields(const MainFields& shown) {
    ChangeIfDifferent(baseImage_, shown.baseImage);
    ChangeIfDifferent(dataFile_, shown.dataFile);
    ChangeIfDifferent(outputImage_, shown.outputImage);
    ChangeIfDifferent(inputFile_, shown.inputFile);
    if (method_->GetSelection() != shown.method) method_->SetSelection(shown.method);
    ChangeIfDifferent(passphrase_, shown.passphrase);
    ChangeIfDifferent(passphraseConfirm_, shown.passphraseConfirm);
    // Not during a run: the statuses it shows would hand the fields back.
    EnablePassphrase();
    if (shownStatus_ != shown.status) {
        shownStatus_ = shown.status;
        status_->SetLabelText(ToWx(shown.status));
        // The line is cut in the middle when long: the whole of it on hover.
        status_->SetToolTip(ToWx(shown.status));
    }
    // The capacity text is shown by its report as it arrives, not from a
    // copy that may be older.
}

void CMainDialog::SetProgressRange(int maximum) {
    Post([this, maximum] { progress_->SetRange(maximum); });
}

void CMainDialog::SetProgressPosition(int position) {
    Post([this, position] { progress_->SetValue(std::clamp(position, 0, progress_->GetRange())); });
}

void CMainDialog::StepProgress() {
    Post([this] { progress_->SetValue(std::min(progress_->GetValue() + 1, progress_->GetRange())); });
}

std::string CMainDialog::ChooseFile(const FileChoice& choice) {
    return OnWindowThread([&] { return stopRequested ? std::string() : ChooseFileNow(choice); });
}

std::string CMainDialog::ChooseFileNow(const FileChoice& choice) {
    const long style =
        choice.save ? wxFD_SAVE | wxFD_OVERWRITE_PROMPT : wxFD_OPEN | wxFD_FILE_MUST_EXIST;
    wxBusyCursorSuspender arrow;  // the user has to answer: no wait cursor
    wxFileDialog dialog(this, ToWx(choice.title), wxEmptyString, wxEmptyString, ToWx(choice.filter),
                        style);
    // Set apart from the constructor, which would add a wildcard's text to
    // a name without an extension.
    if (!choice.directory.empty()) dialog.SetDirectory(ToWx(choice.directory));
    if (!choice.name.empty()) dialog.SetFilename(ToWx(choice.name));
    if (dialog.ShowModal() != wxID_OK) return {};
    const std::string path = FromWx(dialog.GetPath());
    if (!choice.save) return path;
    const std::string named = WithFilterExtension(path, choice, dialog.GetFilterIndex());
    // The dialog asked about the name as typed; the name with its extension
    // may be another, existing file.
    if (named != path && wxFileExists(ToWx(named)) && !AskNow(named + " exists\nOverwrite?"))
        return {};
    approvedOutput_ = named;
    return named;
}

std::string CMainDialog::AskPassphrase() {
    return OnWindowThread([&] {
        if (stopRequested) return std::string();
        wxBusyCursorSuspender arrow;
        wxPasswordEntryDialog dialog(this, kAskPassphraseText, kAppCaption);
        if (dialog.ShowModal() != wxID_OK) return std::string();
        return FromWx(dialog.GetValue());
    });
}

void CMainDialog::ShowMessage(const std::string& text) {
    OnWindowThread([&] {
        if (stopRequested) return;  // the window is going
        if (messageSink) {
            messageSink(text, false);
            return;
        }
        wxBusyCursorSuspender arrow;
        wxMessageBox(ToWx(text), kAppCaption, wxOK | wxICON_EXCLAMATION, this);
    });
}

bool CMainDialog::AskYesNo(const std::string& text) {
    // A run being stopped is told No: nothing gets replaced. A name the
    // file dialog already asked about is not asked about twice.
    return OnWindowThread([&] {
        if (stopRequested) return false;
        if (!approvedOutput_.empty() && text == ShownName(approvedOutput_) + kReplaceQuestion)
            return true;
        return AskNow(text);
    });
}

CMainDialog::ExistsAnswer CMainDialog::AskExisting(const std::string& shown) {
    return OnWindowThread([&] {
        if (stopRequested) return ExistsAnswer::Cancel;
        const std::string text = shown + kExtractedExistsText;
        if (messageSink) return messageSink(text, true) ? ExistsAnswer::Replace : ExistsAnswer::Cancel;
        wxBusyCursorSuspender arrow;
        // Cancel is the default and Escape's: a slip of the Enter key
        // replaces nothing.
        wxMessageDialog ask(this, ToWx(text), kAppCaption,
                            wxYES_NO | wxCANCEL | wxCANCEL_DEFAULT | wxICON_EXCLAMATION);
        ask.SetYesNoCancelLabels("&Replace", "&Save As...", "&Cancel");
        switch (ask.ShowModal()) {
            case wxID_YES:
                return ExistsAnswer::Replace;
            case wxID_NO:
                return ExistsAnswer::SaveAs;
            default:
                return ExistsAnswer::Cancel;
        }
    });
}

bool CMainDialog::OfferElsewhere(const std::string& path, const std::string& reason,
                                 std::string* chosen) {
    *chosen = OnWindowThread([&] {
        if (stopRequested) return std::string();
        const std::string text = std::string(PixErrorText(kPixErrOpen)) + " " + ShownName(path) +
                                 ":\n" + reason + kSaveElsewhereText;
        if (messageSink) {
            messageSink(text, true);
            return std::string();
        }
        wxBusyCursorSuspender arrow;
        wxMessageDialog ask(this, ToWx(text), kAppCaption, wxYES_NO | wxICON_EXCLAMATION);
        ask.SetYesNoLabels("&Save As...", "&Cancel");
        if (ask.ShowModal() != wxID_YES) return std::string();
        // The folder refused the file: the dialog opens at home instead.
        FileChoice choice = OutputFileChoice(path);
        choice.directory = FromWx(wxGetHomeDir());
        return ChooseFileNow(choice);
    });
    return true;
}

bool CMainDialog::AskNow(const std::string& text) {
    if (messageSink) return messageSink(text, true);
    wxBusyCursorSuspender arrow;
    return wxMessageBox(ToWx(text), kAppCaption, wxYES_NO | wxICON_EXCLAMATION, this) == wxYES;
}

void CMainDialog::BeginWaitCursor() {
    // The window stays alive during a run: the pointer says so.
    static const wxCursor working(wxCURSOR_ARROWWAIT);
    Post([] { wxBeginBusyCursor(&working); });
}

void CMainDialog::EndWaitCursor() {
    Post([] { wxEndBusyCursor(); });
}

void CMainDialog::Pause(unsigned milliseconds) {
    // Only ever on a run's thread: the window goes on meanwhile.
    wxMilliSleep(milliseconds);
}

void CMainDialog::RunInBackground(std::function<int()> work, std::function<void(int)> done) {
    if (run_.joinable()) run_.join();
    run_ = std::thread([this, work = std::move(work), done = std::move(done)] {
        const int result = work();
        CallAfter([this, done, result] {
            run_.join();
            done(result);
            if (closeAfterRun_) Close();
        });
    });
}

void CMainDialog::SetRunning(bool running) {
    running_ = running;
    if (running) {
        focusBeforeRun_ = FindFocus();
        if (focusBeforeRun_ != nullptr && focusBeforeRun_->GetParent() != this)
            focusBeforeRun_ = nullptr;
    }
    wxWindowUpdateLocker once(this);  // one redraw for all of them
    for (int id : {kIdBaseImage, kIdBrowseBase, kIdDataFile, kIdBrowseData, kIdOutputImage,
                   kIdBrowseOutput, kIdEncode, kIdInputFile, kIdBrowseInput, kIdMethod, kIdDecode})
        FindWindow(id)->Enable(!running || id == stopButton_);
    EnablePassphrase();
    // The button that started the run stops it; the focus waits there.
    if (wxWindow* button = FindWindow(stopButton_)) {
        button->SetLabel(running                     ? kStopLabel
                         : stopButton_ == kIdEncode ? kEncodeLabel
                                                     : kDecodeLabel);
        if (running) button->SetFocus();
    }
    if (!running) stopButton_ = 0;
    if (!running && focusBeforeRun_ != nullptr) {
        focusBeforeRun_->SetFocus();
        focusBeforeRun_ = nullptr;
    }
}

void CMainDialog::StopRun() {
    if (!running_ || stopRequested) return;
    stopRequested = true;
    if (wxWindow* button = FindWindow(stopButton_)) button->Disable();
}

void CMainDialog::EnablePassphrase() {
    const bool on = !running_ && method_->GetSelection() == MethodSealed;
    passphrase_->Enable(on);
    passphraseConfirm_->Enable(on);
}

void CMainDialog::ReportCapacity(const std::string& path) {
    capacityPath_ = path;
    capacityWanted_ = true;
    if (!capacityBusy_) StartCapacity();
}

void CMainDialog::StartCapacity() {
    // One report at a time; while it reads a header the newest path waits,
    // and the report settles on it.
    capacityBusy_ = true;
    capacityWanted_ = false;
    if (capacity_thread_.joinable()) capacity_thread_.join();
    capacity_thread_ = std::thread([this, path = capacityPath_] {
        std::string text = CapacityTextFor(path);
        CallAfter([this, text = std::move(text)] {
            capacityBusy_ = false;
            if (capacityWanted_) {
                StartCapacity();
                return;
            }
            const wxString shown = ToWx(text);
            if (capacity_->GetText() != shown) capacity_->SetText(shown);
        });
    });
}

void CMainDialog::ShowAbout() {
    CAboutDialog about(this);
    about.ShowModal();
}

void CMainDialog::OnEncode(wxCommandEvent&) {
    if (running_) {
        if (stopButton_ == kIdEncode) StopRun();
        return;
    }
    stopButton_ = kIdEncode;
    EncodeCommand(*this, runs_);
    if (!running_) stopButton_ = 0;  // refused before it started
}

void CMainDialog::OnDecode(wxCommandEvent&) {
    if (running_) {
        if (stopButton_ == kIdDecode) StopRun();
        return;
    }
    stopButton_ = kIdDecode;
    DecodeCommand(*this, runs_);
    if (!running_) stopButton_ = 0;
}

void CMainDialog::OnBrowse(wxCommandEvent& event) {
    if (running_) return;
    BrowseTarget target = BrowseTarget::BaseImage;
    switch (event.GetId()) {
        case kIdBrowseData:
            target = BrowseTarget::DataFile;
            break;
        case kIdBrowseOutput:
            target = BrowseTarget::OutputImage;
            break;
        case kIdBrowseInput:
            target = BrowseTarget::InputFile;
            break;
    }
    BrowseCommand(*this, target);
}

void CMainDialog::OnBaseImageText(wxCommandEvent&) {
    if (!running_) BaseImageEdited(*this);
}

void CMainDialog::OnContextMenu(wxContextMenuEvent& event) {
    // The edits keep their own cut-and-paste menus.
    if (event.GetEventObject() != this) {
        event.Skip();
        return;
    }
    wxMenu menu;
    menu.Append(kIdAbout, kAboutMenuText);
    PopupMenu(&menu);
}

void CMainDialog::OnCharHook(wxKeyEvent& event) {
    // Escape stops a run, else closes, as the close box does. The dialog has
    // no Cancel button, and the framework's fallback would press the default
    // one: Encode.
    if (event.GetKeyCode() == WXK_ESCAPE) {
        if (running_)
            StopRun();
        else
            Close();
        return;
    }
    // Enter pressed again while a run works must not stop it: only a click,
    // Space on the button or Escape does.
    if (running_ && (event.GetKeyCode() == WXK_RETURN || event.GetKeyCode() == WXK_NUMPAD_ENTER))
        return;
    event.Skip();
}

void CMainDialog::OnClose(wxCloseEvent& event) {
    if (running_) {
        // Asked once; the run stops at its next stage and the window goes
        // then. What it was writing is discarded.
        if (!closeAfterRun_) {
            if (AskNow(kStopRunText)) {
                closeAfterRun_ = true;
                stopRequested = true;
                Hide();
            }
        }
        if (event.CanVeto()) event.Veto();
        return;
    }
    SaveSettings();
    if (IsModal())
        EndModal(wxID_CANCEL);
    else
        Hide();
}
