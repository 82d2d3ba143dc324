// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/self_test.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/filename.h>
#include <wx/gauge.h>
#include <wx/settings.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/dnd.h>
#include <wx/evtloop.h>
#include <wx/image.h>
#include <wx/stopwatch.h>
#include <wx/timer.h>
#include <wx/uiaction.h>
#include <wx/utils.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/about_dialog.h"
#include "app/font_label.h"
#include "app/link_open.h"
#include "app/link_static.h"
#include "app/main_dialog.h"
#include "app/recent_files.h"
#include "app/screen_grab.h"
#include "app/wx_text.h"
#include "hiding/runs.h"
#include "hiding/sealed_run.h"
#include "imagelib/pix.h"

namespace {

// Lets the event loop run until `done` holds or `ms` pass; false on timeout.
bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
    wxStopWatch watch;
    while (!done()) {
        if (watch.Time() > ms) return false;
        if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) loop->YieldFor(wxEVT_CATEGORY_ALL);
        wxMilliSleep(5);
    }
    return true;
}

void Settle(int ms) {
    WaitUntil([] { return false; }, ms);
}

// A run that waits at each stage until the test lets it on.
struct Gate {
    std::mutex lock;
    std::condition_variable moved;
    int allowed = 0;
    std::atomic<int> runs{0};

    void Allow(int stage) {
        std::lock_guard<std::mutex> hold(lock);
        allowed = stage;
        moved.notify_all();
    }
};
Gate gate;
const char* const kStageStatus[] = {"Reading", "Set up", "Encoding", "Writing"};

int GatedEncode(DialogPort& port, HidingMethod) {
    ++gate.runs;
    port.SetProgressPosition(0);
    for (int stage = 1; stage <= 5; ++stage) {
        {
            std::unique_lock<std::mutex> hold(gate.lock);
            gate.moved.wait(hold, [stage] { return gate.allowed >= stage; });
        }
        if (port.StopRequested()) return kRunStopped;
        if (stage <= 4) port.SetStatus(kStageStatus[stage - 1]);
        port.StepProgress();
    }
    port.SetStatus("");
    port.OutputWritten(port.OutputImagePath(), 0);
    return 0;
}
int GatedSealed(DialogPort& port, const Passphrase&) {
    return GatedEncode(port, MethodSealed);
}
const RunTable kGatedRuns = {GatedEncode, DetectMethod, DecodeRun, GatedSealed};

class Checker {
  public:
    explicit Checker(CMainDialog& dialog) : dialog_(dialog) {
        dialog_.messageSink = [this](const std::string& text, bool question) {
            messages.push_back(text);
            if (!question || answers.empty()) return false;
            const bool answer = answers.front();
            answers.pop_front();
            return answer;
        };
        CLinkStatic::messageSink = [this](const std::string& text) { messages.push_back(text); };
    }
    ~Checker() {
        dialog_.messageSink = nullptr;
        CLinkStatic::messageSink = nullptr;
    }

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
                                           kIdMethod,     kIdPassphrase,  kIdPassphraseConfirm,
                                           kIdDecode};
        Expect(tabOrder == expected, "tab order");

        // Nothing cut off, at any font size the test runs with.
        for (wxWindow* child : dialog_.GetChildren()) {
            if (dynamic_cast<wxTextCtrl*>(child) != nullptr || child->GetId() == kIdStatus)
                continue;  // these scroll or cut their text on purpose
            const wxSize best = child->GetBestSize(), size = child->GetSize();
            Expect(size.x >= best.x && size.y >= best.y,
                   wxString::Format("control %d '%s' is clipped: %dx%d < %dx%d", child->GetId(),
                                    child->GetLabel(), size.x, size.y, best.x, best.y));
        }
        const wxRect inside = dialog_.GetClientRect();
        for (wxWindow* child : dialog_.GetChildren())
            Expect(inside.Contains(child->GetRect()),
                   wxString::Format("control %d reaches out of the window", child->GetId()));
    }

    // Keys and clicks as the window system delivers them.
    void RealInput() {
        wxWindow* base = dialog_.FindWindow(kIdBaseImage);
        Expect(wxWindow::FindFocus() == base, "focus does not start in the Image field");
        wxUIActionSimulator sim;
        // Without a window manager, keys go to the window under the pointer.
        sim.MouseMove(dialog_.GetScreenRect().GetTopLeft() + wxPoint(4, 4));
        Settle(100);

        sim.Char(WXK_TAB);
        Expect(WaitUntil([&] { return wxWindow::FindFocus() == dialog_.FindWindow(kIdBrowseBase); },
                         2000),
               "Tab does not move to the Image field's browse button");
        base->SetFocus();
        Settle(50);

        messages.clear();
        sim.Char(WXK_RETURN);
        Expect(WaitUntil([&] { return !messages.empty(); }, 2000) &&
                   messages.front() == kNoSourceImageText,
               "Enter does not encode");

        // F1 opens the About box; a timer closes it from its own loop.
        bool aboutSeen = false;
        wxTimer closer;
        closer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
            for (wxWindow* window : wxTopLevelWindows)
                if (auto* about = dynamic_cast<CAboutDialog*>(window); about && about->IsModal()) {
                    aboutSeen = true;
                    about->EndModal(wxID_OK);
                    return;
                }
        });
        closer.Start(50);
        sim.Char(WXK_F1);
        WaitUntil([&] { return aboutSeen; }, 3000);
        closer.Stop();
        Expect(aboutSeen, "F1 does not open the About box");
        base->SetFocus();
        Settle(50);

        messages.clear();
        Click(kIdDecode);
        Expect(WaitUntil([&] { return !messages.empty(); }, 2000) &&
                   messages.front() == kNoInputFileText,
               "a click on Decode does not decode");
    }

    void Click(int id) {
        wxUIActionSimulator sim;
        const wxRect rect = dialog_.FindWindow(id)->GetScreenRect();
        sim.MouseMove(rect.GetLeft() + rect.GetWidth() / 2, rect.GetTop() + rect.GetHeight() / 2);
        Settle(30);
        sim.MouseClick();
        Settle(30);
    }

    // Typing in the base image edit refreshes the report, which settles on
    // the final path.
    void CapacityFollowsTyping() {
        auto* edit = Find<wxTextCtrl>(kIdBaseImage);
        auto* capacity = Find<CFontLabel>(kIdCapacity);
        if (edit == nullptr || capacity == nullptr) return;

        const wxString photo = wxFileName::CreateTempFileName("ombrel") + ".bmp";
        const uint8_t rgb[4 * 3 * 3] = {};
        Expect(PixWriteBMP(photo.utf8_str(), rgb, 4, 3), "could not write a test image");
        edit->SetValue(photo.Left(photo.size() - 1));  // ".bm": not an image yet
        Expect(WaitUntil([&] { return capacity->GetText() == kNotAnImageText; }),
               "report for a partial path");
        edit->AppendText("p");
        // Black is grey: the report says what sealed does with it.
        Expect(WaitUntil([&] {
                   return capacity->GetText() == ToWx(CapacityText(4, 3) + GreyCapacityText(4, 3));
               }),
               "report for an image");
        Expect(dialog_.fields.baseImage == FromWx(photo), "base image field");
        Expect(ShowsEveryRow(capacity), "the capacity box cuts rows off the report");
        wxRemoveFile(photo);
        wxRemoveFile(photo.Left(photo.size() - 4));
        edit->ChangeValue("");
    }

    static bool ShowsEveryRow(CFontLabel* capacity) {
        const size_t rows = wxSplit(capacity->GetText(), '\n', '\0').size();
        return capacity->GetClientSize().y >= int(rows) * capacity->GetCharHeight();
    }

    // A report longer than the room kept for it grows the window. Last:
    // the window's size changes.
    void CapacityGrows() {
        auto* capacity = Find<CFontLabel>(kIdCapacity);
        if (capacity == nullptr) return;
        const wxString report = capacity->GetText();
        capacity->SetText(ToWx(CapacityText(4, 3)) + "\nmore   : 1\nmore   : 2");
        Expect(WaitUntil([&] { return ShowsEveryRow(capacity); }),
               "the capacity box does not grow with the report");
        capacity->SetText(report);
    }

    // Paths that are never read: the gated runs only pretend.
    void UseGatedRuns() {
        Find<wxTextCtrl>(kIdBaseImage)->ChangeValue("/nowhere/base.bmp");
        Find<wxTextCtrl>(kIdDataFile)->ChangeValue("/nowhere/data.txt");
        Find<wxTextCtrl>(kIdOutputImage)->ChangeValue("/nowhere/out.png");
        Find<wxChoice>(kIdMethod)->SetSelection(Method666);
        dialog_.SetRuns(kGatedRuns);
    }

    // How much of the bar is drawn filled, from the screen: the share of
    // its middle row that differs from the empty bar's.
    double DrawnShare(wxGauge* bar) {
        const wxImage shot = GrabScreen(bar->GetScreenRect());
        if (!shot.IsOk()) return -1;
        if (!emptyBar_.IsOk() || emptyBar_.GetSize() != shot.GetSize()) {
            emptyBar_ = shot;
            return 0;
        }
        // A column counts as filled when any of its pixels moved away from
        // the empty bar's: themes draw the bar thinner than the control.
        int filled = 0;
        for (int x = 0; x < shot.GetWidth(); ++x)
            for (int y = 0; y < shot.GetHeight(); ++y)
                if (std::abs(shot.GetRed(x, y) - emptyBar_.GetRed(x, y)) +
                        std::abs(shot.GetGreen(x, y) - emptyBar_.GetGreen(x, y)) +
                        std::abs(shot.GetBlue(x, y) - emptyBar_.GetBlue(x, y)) >
                    60) {
                    ++filled;
                    break;
                }
        return double(filled) / shot.GetWidth();
    }

    bool DrawnAt(wxGauge* bar, int value) {
        return WaitUntil([&] { return std::abs(DrawnShare(bar) - value / 5.0) < 0.12; }, 1500);
    }

    // A run that takes its time: the window keeps serving its timers, Enter
    // pressed again neither starts nor stops a run, and status and bar move
    // together.
    void LongRun(const wxString& shots) {
        auto* bar = Find<wxGauge>(kIdProgress);
        auto* status = Find<wxStaticTextBase>(kIdStatus);
        if (bar == nullptr || status == nullptr) return;
        DrawnShare(bar);  // the empty bar, to compare with

        UseGatedRuns();
        gate.Allow(0);
        gate.runs = 0;

        int ticks = 0;
        wxTimer beat;
        beat.Bind(wxEVT_TIMER, [&](wxTimerEvent&) { ++ticks; });
        beat.Start(10);
        Click(kIdEncode);
        Expect(WaitUntil([&] { return dialog_.IsRunning(); }), "Encode did not start a run");
        const int before = ticks;
        Settle(300);
        Expect(ticks >= before + 10,
               wxString::Format("the window froze: %d timer ticks in 300 ms", ticks - before));
        Expect(!dialog_.FindWindow(kIdBaseImage)->IsEnabled(),
               "inputs stay enabled during a run");
        // The button now stops the run; Enter pressed again does not.
        Expect(dialog_.FindWindow(kIdEncode)->GetLabel() == "Stop" &&
                   dialog_.FindWindow(kIdEncode)->IsEnabled() &&
                   !dialog_.FindWindow(kIdDecode)->IsEnabled(),
               "the running side's button is not Stop");
        wxUIActionSimulator().Char(WXK_RETURN);
        Settle(100);

        for (int stage = 1; stage <= 5; ++stage) {
            gate.Allow(stage);
            // The last stage's status is the result line, checked below.
            const wxString text = kStageStatus[std::min(stage, 4) - 1];
            Expect(WaitUntil([&] {
                       return bar->GetValue() == stage && (stage == 5 || status->GetLabel() == text);
                   }),
                   wxString::Format("stage %d: bar %d, status '%s'", stage, bar->GetValue(),
                                    status->GetLabel()));
            Expect(DrawnAt(bar, stage), wxString::Format("stage %d: the bar is drawn at %.2f",
                                                         stage, DrawnShare(bar)));
            if (stage == 3 && !shots.empty()) Shoot(shots + "/running.png");
        }
        Expect(WaitUntil([&] { return !dialog_.IsRunning(); }), "the run did not end");
        Expect(gate.runs == 1, wxString::Format("%d runs started", int(gate.runs)));
        beat.Stop();
        Expect(status->GetLabel().StartsWith("Hid data.txt (0 bytes, method 666) in "),
               "no result line: '" + status->GetLabel() + "'");
        Expect(bar->GetValue() == 5 && DrawnAt(bar, 5), "the bar is not full after the run");
        Expect(dialog_.FindWindow(kIdEncode)->IsEnabled() &&
                   dialog_.FindWindow(kIdEncode)->GetLabel() == "Encode",
               "Encode stays disabled or Stop");
        dialog_.SetRuns(kEngineRuns);
    }

    // Escape, or a click on Stop, ends a run at its next check: no message,
    // the status says so, and the button is Encode again.
    void StopKeys() {
        UseGatedRuns();
        auto* status = Find<wxStaticTextBase>(kIdStatus);
        for (bool escape : {true, false}) {
            gate.Allow(0);
            messages.clear();
            Click(kIdEncode);
            Expect(WaitUntil([&] { return dialog_.IsRunning(); }), "Encode did not start a run");
            gate.Allow(2);
            if (escape)
                wxUIActionSimulator().Char(WXK_ESCAPE);
            else
                Click(kIdEncode);
            Expect(WaitUntil([&] { return dialog_.stopRequested.load(); }, 2000),
                   escape ? "Escape does not stop a run" : "Stop does not stop a run");
            gate.Allow(5);
            Expect(WaitUntil([&] { return !dialog_.IsRunning(); }) && dialog_.IsShown() &&
                       messages.empty() && status->GetLabel() == kStoppedText &&
                       dialog_.FindWindow(kIdEncode)->GetLabel() == "Encode",
                   "a stopped run: '" + status->GetLabel() + "'");
        }
        dialog_.SetRuns(kEngineRuns);
    }

    // Stop during a real write of a 24-megapixel PNG: the folder is left as
    // it was. The time from the click to the run's end is printed, not
    // judged: the machine's load decides it.
    void StopInsideAWrite() {
        namespace fs = std::filesystem;
        const fs::path folder = fs::path(FromWx(wxFileName::CreateTempFileName("ombrel"))) += ".d";
        fs::create_directories(folder);
        const uint32_t width = 6000, height = 4000;
        std::vector<uint8_t> rgb(size_t{width} * height * 3);
        uint32_t noise = 1;
        for (uint8_t& byte : rgb) byte = static_cast<uint8_t>((noise = noise * 1103515245 + 12345) >> 24);
        const std::string base = (folder / "base.bmp").string();
        Expect(PixWriteBMP(base.c_str(), rgb.data(), width, height), "could not write a test image");
        rgb = {};
        const std::string data = (folder / "note.txt").string();
        std::FILE* file = std::fopen(data.c_str(), "wb");
        std::fputs("hidden words", file);
        std::fclose(file);
        Find<wxTextCtrl>(kIdBaseImage)->ChangeValue(ToWx(base));
        Find<wxTextCtrl>(kIdDataFile)->ChangeValue(ToWx(data));
        Find<wxTextCtrl>(kIdOutputImage)->ChangeValue(ToWx((folder / "out.png").string()));
        Find<wxChoice>(kIdMethod)->SetSelection(Method666);
        auto* status = Find<wxStaticTextBase>(kIdStatus);
        messages.clear();
        Click(kIdEncode);
        Expect(WaitUntil([&] { return status->GetLabel() == "Writing"; }, 60000),
               "the write did not start: '" + status->GetLabel() + "'");
        wxUIActionSimulator sim;
        const wxRect stop = dialog_.FindWindow(kIdEncode)->GetScreenRect();
        sim.MouseMove(stop.GetLeft() + stop.GetWidth() / 2, stop.GetTop() + stop.GetHeight() / 2);
        Settle(30);
        wxStopWatch watch;
        sim.MouseClick();
        Expect(WaitUntil([&] { return !dialog_.IsRunning(); }, 60000), "the run did not end");
        std::fprintf(stderr, "self-test: Stop during a 24 MP PNG write: the run ended %ld ms after the click\n",
                     watch.Time());
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(folder)) left.push_back(entry.path().filename());
        std::sort(left.begin(), left.end());
        Expect(left == std::vector<std::string>{"base.bmp", "note.txt"} && messages.empty() &&
                   status->GetLabel() == kStoppedText,
               wxString::Format("a stopped write left %d files, said %d things", int(left.size()),
                                int(messages.size())));
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        for (int id : {kIdBaseImage, kIdDataFile, kIdOutputImage})
            Find<wxTextCtrl>(id)->ChangeValue("");
    }

    void ChooseMethod(int method) {
        auto* list = Find<wxChoice>(kIdMethod);
        list->SetSelection(method);
        wxCommandEvent chosen(wxEVT_CHOICE, kIdMethod);
        list->GetEventHandler()->ProcessEvent(chosen);
    }

    // Types `text` into the field with real keys, replacing what it held.
    void Type(int id, const char* text) {
        auto* edit = Find<wxTextCtrl>(id);
        edit->SetFocus();
        edit->SelectAll();
        Settle(30);
        wxUIActionSimulator sim;
        if (*text == '\0')
            sim.Char(WXK_DELETE);
        else
            sim.Text(text);
        WaitUntil([&] { return edit->GetValue() == text; }, 2000);
    }

    // A sealed encode takes the passphrase twice, refuses an empty or
    // mismatched one before it starts, and the fields rest during the run.
    void Passphrases() {
        UseGatedRuns();
        ChooseMethod(MethodSealed);
        gate.Allow(0);
        gate.runs = 0;
        auto* first = Find<wxTextCtrl>(kIdPassphrase);
        auto* again = Find<wxTextCtrl>(kIdPassphraseConfirm);
        const std::pair<const char*, const char*> refused[] = {{"", ""}, {"opal", "opaI"}};
        for (const auto& [typed, retyped] : refused) {
            Type(kIdPassphrase, typed);
            Type(kIdPassphraseConfirm, retyped);
            messages.clear();
            Click(kIdEncode);
            const std::string expected = *typed ? kPassphraseMismatchMessage : kNoPassphraseMessage;
            Expect(WaitUntil([&] { return !messages.empty(); }, 2000) &&
                       messages.front() == expected && gate.runs == 0 && !dialog_.IsRunning(),
                   wxString::Format("passphrases '%s'/'%s' not refused before the run", typed,
                                    retyped));
        }
        Type(kIdPassphraseConfirm, "opal");
        Click(kIdEncode);
        Expect(WaitUntil([&] { return dialog_.IsRunning(); }), "a sealed encode did not start");
        for (int stage = 1; stage <= 4; ++stage) {
            gate.Allow(stage);  // each stage shows a status, which once enabled them again
            Settle(50);
            Expect(!first->IsEnabled() && !again->IsEnabled(),
                   wxString::Format("passphrase fields enabled at stage %d of a run", stage));
        }
        gate.Allow(5);
        Expect(WaitUntil([&] { return !dialog_.IsRunning(); }), "the sealed run did not end");
        Expect(first->IsEnabled() && again->IsEnabled() && first->GetValue() == "opal",
               "passphrase fields after the run");
        first->ChangeValue("");
        again->ChangeValue("");
        ChooseMethod(0);
        dialog_.SetRuns(kEngineRuns);
    }

    // A real encode and decode through the window: the file comes back
    // next to the carrier, and the status says so.
    void EncodeAndDecode(const wxString& shots) {
        namespace fs = std::filesystem;
        const fs::path folder = fs::path(FromWx(wxFileName::CreateTempFileName("ombrel"))) += ".d";
        fs::create_directories(folder / "carriers");
        const std::string base = (folder / "base.bmp").string();
        std::vector<uint8_t> rgb(64 * 48 * 3);
        for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7);
        Expect(PixWriteBMP(base.c_str(), rgb.data(), 64, 48), "could not write a test image");
        const std::string data = (folder / "note.txt").string();
        std::FILE* file = std::fopen(data.c_str(), "wb");
        std::fputs("hidden words", file);
        std::fclose(file);
        const std::string carrier = (folder / "carriers" / "carrier.png").string();

        Find<wxTextCtrl>(kIdBaseImage)->SetValue(ToWx(base));
        Find<wxTextCtrl>(kIdDataFile)->ChangeValue(ToWx(data));
        Find<wxTextCtrl>(kIdOutputImage)->ChangeValue(ToWx(carrier));
        Find<wxChoice>(kIdMethod)->SetSelection(Method777);
        messages.clear();
        Click(kIdEncode);
        auto* status = Find<wxStaticTextBase>(kIdStatus);
        const wxString encoded = ToWx(EncodeResultText(data, 12, carrier, Method777));
        Expect(WaitUntil([&] { return !dialog_.IsRunning() && status->GetLabel() == encoded; },
                         20000),
               "encode result: '" + status->GetLabel() + "'");
        Expect(messages.empty(), "the encode said something");
        if (!shots.empty()) Shoot(shots + "/finished.png");

        Find<wxTextCtrl>(kIdInputFile)->ChangeValue(ToWx(carrier));
        Click(kIdDecode);
        const std::string extracted = (folder / "carriers" / "note.txt").string();
        const wxString decoded = ToWx(DecodeResultText(extracted, 12, Method777));
        Expect(WaitUntil([&] { return !dialog_.IsRunning() && status->GetLabel() == decoded; },
                         20000),
               "decode result: '" + status->GetLabel() + "'");
        Expect(fs::exists(extracted), "nothing extracted next to the carrier");
        Expect(messages.empty(), "the decode said something");

        // Decoded again: the window's question, and its safe answer leaves
        // the file as it is and says no more.
        std::FILE* changed = std::fopen(extracted.c_str(), "wb");
        std::fputs("mine", changed);
        std::fclose(changed);
        answers = {false};
        Click(kIdDecode);
        Expect(WaitUntil([&] { return !dialog_.IsRunning() && status->GetLabel().empty(); },
                         20000) &&
                   messages == std::vector<std::string>{extracted + kExtractedExistsText},
               "a decode onto an existing file does not ask, or says more");
        Expect(fs::file_size(extracted) == 4, "a cancelled decode replaced the file");
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        for (int id : {kIdBaseImage, kIdDataFile, kIdOutputImage, kIdInputFile})
            Find<wxTextCtrl>(id)->ChangeValue("");
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

        // A click with an opener that finds no browser: a message, not a visit.
        const wxString bin = wxFileName::CreateTempFileName("ombrel") + ".bin";
        wxMkdir(bin);
        const wxString opener = bin + "/xdg-open";
        if (std::FILE* script = std::fopen(opener.utf8_str(), "w")) {
            std::fputs("#!/bin/sh\nexit 3\n", script);
            std::fclose(script);
        }
        wxExecute("chmod 755 " + opener, wxEXEC_SYNC);
        wxString path;
        wxGetEnv("PATH", &path);
        wxSetEnv("PATH", bin);
        messages.clear();
        Settle(100);
        wxUIActionSimulator sim;
        const wxRect rect = link->GetScreenRect();
        sim.MouseMove(rect.GetLeft() + rect.GetWidth() / 2, rect.GetTop() + rect.GetHeight() / 2);
        Settle(50);
        sim.MouseClick();
        WaitUntil([&] { return !messages.empty(); }, 5000);
        wxSetEnv("PATH", path);
        Expect(messages.size() == 1 && messages[0] == OpenErrorMessage(kNoAssociation),
               "a failed open is not reported");
        Expect(!link->GetVisited(), "a failed open counts as a visit");
        wxRemoveFile(opener);
        wxRmdir(bin);
        sim.MouseMove(dialog_.GetScreenRect().GetTopLeft() + wxPoint(4, 4));
        Settle(50);

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

    // The folders and the method come back at the next start; a file
    // dropped on a field fills it in; Escape closes an idle window.
    // What the file dialogs pick never reaches the desktop's recent files.
    void NoRecentFiles() {
        const wxString file = wxFileName::CreateTempFileName("ombrel");
        Expect(!RecentFilesRecord(FromWx(file)), "the recent-files list records files");
        wxRemoveFile(file);
    }

    void Remembered() {
        const std::string folder = FromWx(wxFileName::GetTempDir());
        Find<wxTextCtrl>(kIdInputFile)->ChangeValue(ToWx(folder + "/carrier.png"));
        Find<wxChoice>(kIdMethod)->SetSelection(Method886);
        dialog_.SaveSettings();
        Find<wxTextCtrl>(kIdInputFile)->ChangeValue("");
        Find<wxChoice>(kIdMethod)->SetSelection(0);

        CMainDialog next(nullptr);
        Expect(static_cast<wxChoice*>(next.FindWindow(kIdMethod))->GetSelection() == Method886,
               "the method is not remembered");
        Expect(next.folders[static_cast<int>(BrowseTarget::InputFile)] == folder,
               "the input file's folder is not remembered");
        auto* drop = static_cast<wxTextCtrl*>(next.FindWindow(kIdDataFile));
        wxArrayString files;
        files.Add("someone/notes.txt");
        Expect(drop->GetDropTarget() != nullptr &&
                   static_cast<wxFileDropTarget*>(drop->GetDropTarget())
                       ->OnDropFiles(0, 0, files) &&
                   drop->GetValue() == files[0],
               "a dropped file does not fill the field");
        next.Show();
        WaitUntil([&] { return next.IsShownOnScreen(); }, 3000);
        next.Raise();
        wxUIActionSimulator sim;
        sim.MouseMove(next.GetScreenRect().GetTopLeft() + wxPoint(4, 4));
        Settle(100);
        sim.Char(WXK_ESCAPE);
        Expect(WaitUntil([&] { return !next.IsShown(); }, 3000), "Escape does not close");
        sim.MouseMove(dialog_.GetScreenRect().GetTopLeft() + wxPoint(4, 4));
        Settle(50);
    }

    // Closing during a run asks, and a Yes stops the run and closes.
    void CloseDuringARun() {
        UseGatedRuns();
        gate.Allow(0);
        Click(kIdEncode);
        Expect(WaitUntil([&] { return dialog_.IsRunning(); }), "Encode did not start a run");
        messages.clear();
        answers = {true};
        dialog_.Close();  // as the close box does; Escape was pressed above
        Expect(WaitUntil([&] { return !dialog_.IsShown(); }, 3000) && messages.size() == 1,
               wxString::Format("closing during a run does not ask to stop it (%d messages, %s)",
                                int(messages.size()), dialog_.IsShown() ? "shown" : "hidden"));
        gate.Allow(5);  // the run goes on to its next check and stops there
    }

    void Shoot(const wxString& file) {
        Settle(200);
        GrabScreen(dialog_.GetScreenRect()).SaveFile(file, wxBITMAP_TYPE_PNG);
    }

    int failures = 0;
    std::vector<std::string> messages;
    std::deque<bool> answers;

  private:
    CMainDialog& dialog_;
    wxImage emptyBar_;
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
        if (dialog_.IsModal() && dialog_.IsShown()) dialog_.EndModal(wxID_OK);
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
    wxInitAllImageHandlers();
    const int failures = RunWhenShown(dialog, [&dialog] {
        Settle(200);
        wxString shots;
        wxGetEnv("OMBREL_SCREENSHOTS", &shots);
        Checker check(dialog);
        check.Controls();
        check.RealInput();
        check.CapacityFollowsTyping();
        check.LongRun(shots);
        check.Passphrases();
        check.StopKeys();
        check.StopInsideAWrite();
        check.EncodeAndDecode(shots);
        check.AboutBox();
        check.Remembered();
        check.NoRecentFiles();
        check.CapacityGrows();
        check.CloseDuringARun();
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
            // The report is made away from the window and arrives later.
            if (!base->GetValue().empty())
                WaitUntil([&] { return !capacity->GetText().empty(); }, 10000);
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

namespace {

// Ticks every 10 ms while an encode runs and keeps the longest time between
// two ticks: how long the window's thread was kept from its events.
class LatencyProbe : public wxTimer {
  public:
    LatencyProbe(CMainDialog& dialog, const wxString& output) : dialog_(dialog), output_(output) {}

    void Notify() override {
        const auto now = std::chrono::steady_clock::now();
        if (!started_) {
            // The window's first drawing is not the encode's.
            if (!dialog_.IsShownOnScreen() || ++settling_ < 50) return;
            started_ = true;
            begin_ = last_ = now;
            if (output_ == "-") return;  // the idle window, for a baseline
            wxCommandEvent click(wxEVT_BUTTON, kIdEncode);
            click.SetEventObject(dialog_.FindWindow(kIdEncode));
            dialog_.GetEventHandler()->AddPendingEvent(click);
            return;
        }
        if (now - last_ > longest_) {
            longest_ = now - last_;
            at_ = now - begin_;
        }
        last_ = now;
        ++ticks_;
        const bool idleDone = output_ == "-" && now - begin_ > std::chrono::seconds(15);
        if (idleDone || (wxFileExists(output_) && dialog_.FindWindow(kIdEncode)->IsEnabled())) {
            Stop();
            using ms = std::chrono::duration<double, std::milli>;
            std::printf("longest UI gap: %.1f ms, ending %.1f ms into a %.1f ms encode (%d ticks)\n",
                        ms(longest_).count(), ms(at_).count(), ms(now - begin_).count(), ticks_);
            dialog_.EndModal(wxID_OK);
        }
    }

  private:
    CMainDialog& dialog_;
    wxString output_;
    bool started_ = false;
    int settling_ = 0;
    std::chrono::steady_clock::time_point begin_, last_;
    std::chrono::steady_clock::duration longest_{}, at_{};
    int ticks_ = 0;
};

}  // namespace

int RunLatencyProbe(CMainDialog& dialog, const wxString& base, const wxString& data,
                    const wxString& output) {
    static_cast<wxTextCtrl*>(dialog.FindWindow(kIdBaseImage))->ChangeValue(base);
    static_cast<wxTextCtrl*>(dialog.FindWindow(kIdDataFile))->ChangeValue(data);
    static_cast<wxTextCtrl*>(dialog.FindWindow(kIdOutputImage))->ChangeValue(output);
    static_cast<wxChoice*>(dialog.FindWindow(kIdMethod))->SetSelection(Method666);
    if (output != "-") wxRemoveFile(output);
    LatencyProbe probe(dialog, output);
    probe.Start(10);
    dialog.ShowModal();
    return 0;
}
