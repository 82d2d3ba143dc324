// SPDX-License-Identifier: GPL-3.0-or-later
// A static text that shows a web address, takes the hover colour while the
// mouse is over it, and opens the address in the user's browser when
// clicked: the About box's link.
#pragma once

#include <wx/stattext.h>
// After wx/stattext.h, which the generic control needs first.
#include <wx/generic/stattextg.h>

#include <functional>
#include <memory>
#include <string>

class CLinkStatic : public wxGenericStaticText {
  public:
    // The text shown; it is also the address until SetAddress gives one.
    CLinkStatic(wxWindow* parent, wxWindowID id, const wxString& text);
    ~CLinkStatic() override;

    // Stores the address, refits the control and gives the tooltip the text.
    void SetAddress(const wxString& address);
    const wxString& GetAddress() const { return address_; }
    void SetUnderline(bool underline);
    bool GetUnderline() const { return underline_; }
    void SetVisited(bool visited);
    bool GetVisited() const { return visited_; }
    void SetLinkColour(const wxColour& colour);
    void SetVisitedColour(const wxColour& colour);
    // wxNullColour: the system's highlight colour.
    void SetHoverColour(const wxColour& colour);
    void SetAdjustToFit(bool adjust);

    // The colour the text has now.
    wxColour TextColour() const;

    // Opens the address in the user's browser away from the window's thread;
    // Opened follows with a code in the shell's manner (link_open.h).
    void OpenAddress(const wxString& address);
    // The link counts as visited after a successful open; otherwise a beep
    // and the message.
    void Opened(int code);
    // Shows the message for a failed open.
    void ReportOpenError(int code);
    // Failure messages go here instead when set (the self-test reads them).
    static std::function<void(const std::string&)> messageSink;

  private:
    void OnEnter(wxMouseEvent& event);
    void OnLeave(wxMouseEvent& event);
    void OnLeftUp(wxMouseEvent& event);
    void ApplyFont();
    void ApplyColour();
    void FitToText();

    wxColour link_{0, 0, 238};
    wxColour visitedColour_{85, 26, 139};
    wxColour hover_;  // invalid: the system highlight colour
    bool over_ = false;
    bool visited_ = false;
    bool underline_ = true;
    bool adjustToFit_ = true;
    wxString address_;
    // Shared with the thread that waits for the opener; cleared when the
    // control goes, so a late answer finds no one.
    struct Pending;
    std::shared_ptr<Pending> pending_;
};
