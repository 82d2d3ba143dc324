#include "app/self_test.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/filename.h>
#include <wx/gauge.h>
#include <wx/settings.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

#include "app/about_dialog.h"
#include "app/font_label.h"
#include "app/link_static.h"
#include "app/main_dialog.h"
#include "app/wx_text.h"
#include "hiding/runs.h"
#include "imagelib/pix.h"

namespace {

class Checker {
  public:
    explicit Checker(CMainDialog& dialog) : dialog_(dialog) {}

    void Expect(bool ok, const wxString& what) {
        if (ok) return;
        ++failures;
        std::fprintf(stderr, "self-test: %s\n", what.utf8_str().data());
    }

    template <typename Control>
    Control* Find(int id) {
        auto* control = dynamic_cast<Control*>(dialog_.FindWindow(id));
        Expect(control != nullptr, wxString::Format("control %d is missing", id));
        return control;
    }

    void Controls() {
        Expect(dialog_.IsShownOnScreen(), "the dialog is not on screen");
        Expect(dialog_.GetTitle() == "Ombrel", "caption");
        Expect(dialog_.GetIcons().GetIconCount() == 7 &&
                   dialog_.GetIcons().GetIcon(48, wxIconBundle::FALLBACK_NONE).GetWidth() == 48,
               "window icon sizes");
        for (int id : {kIdBaseImage, kIdDataFile, kIdOutputImage, kIdInputFile})
            if (auto* edit = Find<wxTextCtrl>(id))
                Expect(edit->IsEmpty(), wxString::Format("edit %d not empty", id));
        const std::vector<std::pair<int, const char*>> buttons = {
            {kIdEncode, "Encode"}, {kIdDecode, "Decode"},   {kIdBrowseBase, ".."},
            {kIdBrowseData, ".."}, {kIdBrowseOutput, ".."}, {kIdBrowseInput, ".."}};
        for (const auto& [id, text] : buttons)
            if (auto* button = Find<wxButton>(id))
                Expect(button->GetLabel() == text, wxString::Format("button %d text", id));
        Expect(dialog_.GetDefaultItem() == dialog_.FindWindow(kIdEncode),
               "Encode is not the default button");

        if (auto* method = Find<wxChoice>(kIdMethod)) {
            Expect(method->GetCount() == kMethodListCount, "method list size");
            for (int m = 0; m < kMethodListCount && m < int(method->GetCount()); ++m)
                Expect(
                    method->GetString(m) == GetMethodInfo(static_cast<HidingMethod>(m)).listEntry,
                    wxString::Format("method entry %d", m));
            Expect(method->GetSelection() == 0, "method list does not start on 7/8");
        }
        auto* method = Find<wxChoice>(kIdMethod);
        if (auto* passphrase = Find<wxTextCtrl>(kIdPassphrase); passphrase && method) {
            Expect(passphrase->HasFlag(wxTE_PASSWORD) && !passphrase->IsEnabled(),
                   "passphrase field not masked, or enabled for 7/8");
            for (int choice : {int(MethodSealed), 0}) {
                method->SetSelection(choice);
                wxCommandEvent chosen(wxEVT_CHOICE, kIdMethod);
                method->GetEventHandler()->ProcessEvent(chosen);
                Expect(passphrase->IsEnabled() == (choice == MethodSealed),
                       "passphrase field follows the method list");
            }
        }
        if (auto* progress = Find<wxGauge>(kIdProgress))
            Expect(progress->GetRange() == 5 && progress->GetValue() == 0, "progress bar");
        if (auto* status = Find<wxStaticTextBase>(kIdStatus))
            Expect(status->GetLabel().empty(), "status not empty");
        if (auto* capacity = Find<CFontLabel>(kIdCapacity))
            Expect(capacity->GetText().empty(), "capacity text not empty at start");

        // Tab order: the encode column, then decode, the method list and its
        // passphrase before the button.
        std::vector<int> tabOrder;
        for (wxWindow* child : dialog_.GetChildren())
            if (child->AcceptsFocusFromKeyboard()) tabOrder.push_back(child->GetId());
        const std::vector<int> expected = {kIdBaseImage,  kIdBrowseBase,  kIdDataFile,
                                           kIdBrowseData, kIdOutputImage, kIdBrowseOutput,
                                           kIdEncode,     kIdInputFile,   kIdBrowseInput,
                                           kIdMethod,     kIdPassphrase,  kIdDecode};
        Expect(tabOrder == expected, "tab order");
    }

    // Typing in the base image edit refreshes the report each time.
    void CapacityFollowsTyping() {
        auto* edit = Find<wxTextCtrl>(kIdBaseImage);
        auto* capacity = Find<CFontLabel>(kIdCapacity);
        if (edit == nullptr || capacity == nullptr) return;

        const wxString photo = wxFileName::CreateTempFileName("ombrel") + ".bmp";
        const uint8_t rgb[4 * 3 * 3] = {};
        Expect(PixWriteBMP(photo.utf8_str(), rgb, 4, 3), "could not write a test image");
        edit->SetValue(photo.Left(photo.size() - 1));  // ".bm": not an image yet
        Expect(capacity->GetText() == kNotAnImageText, "report for a partial path");
        edit->AppendText("p");
        Expect(capacity->GetText() == ToWx(CapacityText(4, 3)), "report for an image");
        Expect(dialog_.fields.baseImage == FromWx(photo), "base image field");
        wxRemoveFile(photo);
        wxRemoveFile(photo.Left(photo.size() - 4));
        edit->ChangeValue("");
    }

    void StatusAndProgressShow() {
        dialog_.SetStatus("Reading");
        dialog_.SetProgressRange(5);
        dialog_.StepProgress();
        dialog_.StepProgress();
        if (auto* status = Find<wxStaticTextBase>(kIdStatus))
            Expect(status->GetLabel() == "Reading", "status text");
        if (auto* progress = Find<wxGauge>(kIdProgress))
            Expect(progress->GetValue() == 2, "progress steps");
        dialog_.SetStatus("");
        dialog_.SetProgressPosition(0);
    }

    void AboutBox() {
        CAboutDialog about(&dialog_);
        about.Show();
        Expect(about.GetTitle() == "About Ombrel", "About caption");
        CLinkStatic* link = about.link();
        Expect(link->GetLabel() == kMakerAddress && link->GetAddress() == kMakerAddress,
               "link address");
        Expect(!link->GetUnderline() && !link->GetFont().GetUnderlined(), "link underlined");
        Expect(link->TextColour() == wxColour(0, 0, 238), "link colour");
        Expect(link->GetToolTipText() == kMakerAddress, "link tooltip");
        // Hover wins over visited; leaving shows the visited colour.
        link->SetVisited(true);
        Expect(link->TextColour() == wxColour(85, 26, 139), "visited colour");
        for (wxEventType type : {wxEVT_ENTER_WINDOW, wxEVT_LEAVE_WINDOW}) {
            wxMouseEvent move(type);
            move.SetEventObject(link);
            link->GetEventHandler()->ProcessEvent(move);
            const wxColour expected = type == wxEVT_ENTER_WINDOW
                                          ? wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT)
                                          : wxColour(85, 26, 139);
            Expect(link->TextColour() == expected && link->GetForegroundColour() == expected,
                   "hover colour");
        }
        const wxSize fitted = link->GetSize();
        Expect(fitted.x > 0 && fitted.x <= link->GetBestSize().x + 1, "link fits its text");
        about.Hide();
    }

    int failures = 0;

  private:
    CMainDialog& dialog_;
};

// Runs `check` once the window is on screen, then closes it.
class WhenShownTimer : public wxTimer {
  public:
    WhenShownTimer(CMainDialog& dialog, std::function<int()> check)
        : dialog_(dialog), check_(std::move(check)) {}

    void Notify() override {
        // The window manager may take a moment to map the window, longer on
        // a loaded machine under the sanitizers.
        if (!dialog_.IsShownOnScreen() && ++waits_ < 300) {
            StartOnce(100);
            return;
        }
        failures = check_();
        dialog_.EndModal(wxID_OK);
    }

    int failures = -1;

  private:
    CMainDialog& dialog_;
    std::function<int()> check_;
    int waits_ = 0;
};

int RunWhenShown(CMainDialog& dialog, std::function<int()> check) {
    WhenShownTimer timer(dialog, std::move(check));
    timer.StartOnce(200);
    dialog.ShowModal();
    return timer.failures;
}

}  // namespace

int RunSelfTest(CMainDialog& dialog) {
    const int failures = RunWhenShown(dialog, [&dialog] {
        Checker check(dialog);
        check.Controls();
        check.CapacityFollowsTyping();
        check.StatusAndProgressShow();
        check.AboutBox();
        return check.failures;
    });
    if (failures == 0) std::fprintf(stderr, "self-test: passed\n");
    return failures == 0 ? 0 : 1;
}

int RunShowFields(CMainDialog& dialog) {
    const int failures = RunWhenShown(dialog, [&dialog] {
        Checker check(dialog);
        check.Expect(dialog.IsShownOnScreen(), "the dialog is not on screen");
        auto* base = check.Find<wxTextCtrl>(kIdBaseImage);
        auto* input = check.Find<wxTextCtrl>(kIdInputFile);
        auto* capacity = check.Find<CFontLabel>(kIdCapacity);
        if (base && input && capacity) {
            // The report's first line is enough to tell which one is shown.
            const wxString report = capacity->GetText().BeforeFirst('\n');
            std::printf("base image: %s\ninput file: %s\ncapacity: %s\n",
                        base->GetValue().utf8_str().data(), input->GetValue().utf8_str().data(),
                        report.utf8_str().data());
        }
        return check.failures;
    });
    return failures == 0 ? 0 : 1;
}
