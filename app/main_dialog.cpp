#include "app/main_dialog.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/cursor.h>
#include <wx/evtloop.h>
#include <wx/filedlg.h>
#include <wx/gauge.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
// After wx/stattext.h, which the generic control needs first.
#include <wx/generic/stattextg.h>
#include <wx/textctrl.h>
#include <wx/textdlg.h>
#include <wx/utils.h>

#include <algorithm>

#include "app/about_dialog.h"
#include "app/app_identity.h"
#include "app/font_label.h"
#include "app/wx_text.h"

namespace {

const char* const kAboutMenuText = "&About Ombrel...";

void ChangeIfDifferent(wxTextCtrl* control, const std::string& text) {
    const wxString value = ToWx(text);
    // ChangeValue raises no text event, so showing the base image path does
    // not run the capacity report again.
    if (control->GetValue() != value) control->ChangeValue(value);
}

}  // namespace

class CMainDialog::Running {
  public:
    explicit Running(CMainDialog& dialog) : dialog_(dialog) { dialog_.running_ = true; }
    ~Running() {
        dialog_.running_ = false;
        if (dialog_.closeRequested_ && dialog_.IsModal()) dialog_.EndModal(wxID_CANCEL);
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

  private:
    CMainDialog& dialog_;
};

CMainDialog::CMainDialog(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, kAppCaption, wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX) {
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
    auto* encode = new wxButton(this, kIdEncode, "Encode");
    inputFile_ = new wxTextCtrl(this, kIdInputFile, "", wxDefaultPosition, edit);
    wxButton* browseInput = browse(kIdBrowseInput);
    method_ = new wxChoice(this, kIdMethod);
    for (int m = 0; m < kMethodListCount; ++m)
        method_->Append(GetMethodInfo(static_cast<HidingMethod>(m)).listEntry);
    passphrase_ =
        new wxTextCtrl(this, kIdPassphrase, "", wxDefaultPosition, wxDefaultSize, wxTE_PASSWORD);
    auto* decode = new wxButton(this, kIdDecode, "Decode");

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
    progress_ = new wxGauge(this, kIdProgress, kProgressStages);
    wxStaticText* storageLabel = label("Maximum storage space for this input image:");
    capacity_ = new CFontLabel(this, kIdCapacity);
    capacity_->SetFontFace("Courier New", 14, wxFONTWEIGHT_NORMAL);
    capacity_->SetTextColour(wxColour(50, 0, 0));

    const wxSizerFlags centred = wxSizerFlags().CentreVertical();
    auto pathRow = [&](wxTextCtrl* path, wxButton* button) {
        auto* row = new wxBoxSizer(wxHORIZONTAL);
        row->Add(path, wxSizerFlags(1).CentreVertical());
        row->Add(button, wxSizerFlags(centred).Border(wxLEFT, 2));
        return row;
    };
    auto headRow = [&](wxStaticText* caption, wxButton* button) {
        auto* row = new wxBoxSizer(wxHORIZONTAL);
        row->Add(caption, wxSizerFlags().Bottom());
        row->AddStretchSpacer();
        row->Add(button);
        return row;
    };

    auto* encodeSizer = new wxStaticBoxSizer(encodeBox, wxVERTICAL);
    encodeSizer->Add(headRow(imageLabel, encode),
                     wxSizerFlags().Expand().Border(wxALL & ~wxBOTTOM));
    encodeSizer->Add(pathRow(baseImage_, browseBase),
                     wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT));
    encodeSizer->Add(dataLabel, wxSizerFlags().Border(wxALL & ~wxBOTTOM));
    encodeSizer->Add(pathRow(dataFile_, browseData),
                     wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT));
    encodeSizer->Add(outputLabel, wxSizerFlags().Border(wxALL & ~wxBOTTOM));
    encodeSizer->Add(pathRow(outputImage_, browseOutput),
                     wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT));
    encodeSizer->Add(flowLabel, wxSizerFlags().Border(wxALL));

    auto* left = new wxBoxSizer(wxVERTICAL);
    left->Add(encodeSizer, wxSizerFlags().Expand());
    left->AddStretchSpacer();
    left->Add(progress_, wxSizerFlags().Expand().Border(wxTOP));
    left->Add(status_, wxSizerFlags().Expand().Border(wxTOP, 4));

    auto* decodeSizer = new wxStaticBoxSizer(decodeBox, wxVERTICAL);
    decodeSizer->Add(headRow(inputLabel, decode),
                     wxSizerFlags().Expand().Border(wxALL & ~wxBOTTOM));
    decodeSizer->Add(pathRow(inputFile_, browseInput),
                     wxSizerFlags().Expand().Border(wxALL & ~wxTOP));

    auto* methodSizer = new wxStaticBoxSizer(methodBox, wxVERTICAL);
    methodSizer->Add(method_, wxSizerFlags().Expand().Border(wxALL));
    auto* passphraseRow = new wxBoxSizer(wxHORIZONTAL);
    passphraseRow->Add(label("Passphrase"), wxSizerFlags(centred).Border(wxRIGHT));
    passphraseRow->Add(passphrase_, wxSizerFlags(1).CentreVertical());
    methodSizer->Add(passphraseRow, wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT));
    methodSizer->Add(storageLabel, wxSizerFlags().Border(wxLEFT | wxRIGHT | wxTOP));
    methodSizer->Add(capacity_, wxSizerFlags(1).Expand().Border(wxALL));

    auto* right = new wxBoxSizer(wxVERTICAL);
    right->Add(decodeSizer, wxSizerFlags().Expand());
    right->Add(methodSizer, wxSizerFlags(1).Expand().Border(wxTOP, 4));

    auto* columns = new wxBoxSizer(wxHORIZONTAL);
    columns->Add(left, wxSizerFlags(1).Expand());
    columns->Add(right, wxSizerFlags(1).Expand().Border(wxLEFT));
    auto* outer = new wxBoxSizer(wxVERTICAL);
    outer->Add(columns, wxSizerFlags(1).Expand().Border(wxALL));
    SetSizerAndFit(outer);

    // Enter in any edit presses the default button: Enter encodes.
    encode->SetDefault();
    SetIcons(AppIcons());
    method_->SetSelection(0);
    ShowFields();

    Bind(wxEVT_BUTTON, &CMainDialog::OnEncode, this, kIdEncode);
    Bind(wxEVT_BUTTON, &CMainDialog::OnDecode, this, kIdDecode);
    for (int id : {kIdBrowseBase, kIdBrowseData, kIdBrowseOutput, kIdBrowseInput})
        Bind(wxEVT_BUTTON, &CMainDialog::OnBrowse, this, id);
    Bind(wxEVT_TEXT, &CMainDialog::OnBaseImageText, this, kIdBaseImage);
    Bind(
        wxEVT_CHOICE,
        [this](wxCommandEvent&) { passphrase_->Enable(method_->GetSelection() == MethodSealed); },
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

void CMainDialog::ReadControls() {
    fields.baseImage = FromWx(baseImage_->GetValue());
    fields.dataFile = FromWx(dataFile_->GetValue());
    fields.outputImage = FromWx(outputImage_->GetValue());
    fields.inputFile = FromWx(inputFile_->GetValue());
    fields.method = method_->GetSelection();
    fields.passphrase = FromWx(passphrase_->GetValue());
}

void CMainDialog::ShowFields() {
    ChangeIfDifferent(baseImage_, fields.baseImage);
    ChangeIfDifferent(dataFile_, fields.dataFile);
    ChangeIfDifferent(outputImage_, fields.outputImage);
    ChangeIfDifferent(inputFile_, fields.inputFile);
    if (method_->GetSelection() != fields.method) method_->SetSelection(fields.method);
    ChangeIfDifferent(passphrase_, fields.passphrase);
    passphrase_->Enable(fields.method == MethodSealed);
    if (shownStatus_ != fields.status) {
        shownStatus_ = fields.status;
        status_->SetLabelText(ToWx(fields.status));
    }
    const wxString capacity = ToWx(fields.capacity);
    if (capacity_->GetText() != capacity) capacity_->SetText(capacity);
    PushToScreen();
}

void CMainDialog::PushToScreen() {
    if (!IsShownOnScreen()) return;
    Update();
    if (!running_) return;  // the main loop is about to paint anyway
    // A command holds the main loop, and GTK sizes and paints only from it.
    // Let it run for window-system events of the display kind alone: clicks
    // and keys stay queued until the command returns, as they would behind
    // a busy thread.
    if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) loop->YieldFor(wxEVT_CATEGORY_UI);
}

void CMainDialog::SetProgressRange(int maximum) {
    progress_->SetRange(maximum);
}

void CMainDialog::SetProgressPosition(int position) {
    progress_->SetValue(std::clamp(position, 0, progress_->GetRange()));
    PushToScreen();
}

void CMainDialog::StepProgress() {
    SetProgressPosition(progress_->GetValue() + 1);
}

std::string CMainDialog::ChooseFile(const FileChoice& choice) {
    const long style =
        choice.save ? wxFD_SAVE | wxFD_OVERWRITE_PROMPT : wxFD_OPEN | wxFD_FILE_MUST_EXIST;
    wxBusyCursorSuspender arrow;  // the user has to answer: no wait cursor
    wxFileDialog dialog(this, ToWx(choice.title), wxEmptyString, wxEmptyString, ToWx(choice.filter),
                        style);
    if (dialog.ShowModal() != wxID_OK) return {};
    return FromWx(dialog.GetPath());
}

std::string CMainDialog::AskPassphrase() {
    wxBusyCursorSuspender arrow;
    wxPasswordEntryDialog dialog(this, kAskPassphraseText, kAppCaption);
    if (dialog.ShowModal() != wxID_OK) return {};
    return FromWx(dialog.GetValue());
}

void CMainDialog::ShowMessage(const std::string& text) {
    wxBusyCursorSuspender arrow;
    wxMessageBox(ToWx(text), kAppCaption, wxOK | wxICON_EXCLAMATION, this);
}

bool CMainDialog::AskYesNo(const std::string& text) {
    wxBusyCursorSuspender arrow;
    return wxMessageBox(ToWx(text), kAppCaption, wxYES_NO | wxICON_EXCLAMATION, this) == wxYES;
}

void CMainDialog::BeginWaitCursor() {
    wxBeginBusyCursor();
}

void CMainDialog::EndWaitCursor() {
    wxEndBusyCursor();
}

void CMainDialog::Pause(unsigned milliseconds) {
    wxMilliSleep(milliseconds);
}

void CMainDialog::ShowAbout() {
    CAboutDialog about(this);
    about.ShowModal();
}

void CMainDialog::OnEncode(wxCommandEvent&) {
    Running running(*this);
    EncodeCommand(*this);
}

void CMainDialog::OnDecode(wxCommandEvent&) {
    Running running(*this);
    DecodeCommand(*this);
}

void CMainDialog::OnBrowse(wxCommandEvent& event) {
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
    Running running(*this);
    BrowseCommand(*this, target);
}

void CMainDialog::OnBaseImageText(wxCommandEvent&) {
    BaseImageEdited(*this);
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
    // Escape closes, as the close box does. The dialog has no Cancel button,
    // and the framework's fallback would press the default one: Encode.
    if (event.GetKeyCode() == WXK_ESCAPE) {
        Close();
        return;
    }
    event.Skip();
}

void CMainDialog::OnClose(wxCloseEvent&) {
    // A close that arrives while a command runs waits for its end.
    if (running_) {
        closeRequested_ = true;
        return;
    }
    if (IsModal())
        EndModal(wxID_CANCEL);
    else
        Hide();
}
