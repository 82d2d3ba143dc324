// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/link_static.h"

#include <wx/msgdlg.h>
#include <wx/settings.h>
#include <wx/utils.h>

#include <mutex>
#include <thread>

#include "app/app_identity.h"
#include "app/link_open.h"
#include "app/wx_text.h"

std::function<void(const std::string&)> CLinkStatic::messageSink;

struct CLinkStatic::Pending {
    std::mutex lock;
    CLinkStatic* link;
};

CLinkStatic::CLinkStatic(wxWindow* parent, wxWindowID id, const wxString& text)
    : wxGenericStaticText(parent, id, text), address_(text) {
    ApplyFont();
    ApplyColour();
    FitToText();
    SetCursor(wxCursor(wxCURSOR_HAND));
    SetToolTip(address_);
    Bind(wxEVT_ENTER_WINDOW, &CLinkStatic::OnEnter, this);
    Bind(wxEVT_LEAVE_WINDOW, &CLinkStatic::OnLeave, this);
    Bind(wxEVT_LEFT_UP, &CLinkStatic::OnLeftUp, this);
    pending_ = std::make_shared<Pending>();
    pending_->link = this;
}

CLinkStatic::~CLinkStatic() {
    std::lock_guard<std::mutex> hold(pending_->lock);
    pending_->link = nullptr;
}

void CLinkStatic::SetAddress(const wxString& address) {
    address_ = address;
    if (GetLabelText().empty()) SetLabelText(address);
    FitToText();
    SetToolTip(address_);
}

void CLinkStatic::SetUnderline(bool underline) {
    underline_ = underline;
    ApplyFont();
    FitToText();
}

void CLinkStatic::SetVisited(bool visited) {
    visited_ = visited;
    ApplyColour();
}

void CLinkStatic::SetLinkColour(const wxColour& colour) {
    link_ = colour;
    ApplyColour();
}

void CLinkStatic::SetVisitedColour(const wxColour& colour) {
    visitedColour_ = colour;
    ApplyColour();
}

void CLinkStatic::SetHoverColour(const wxColour& colour) {
    hover_ = colour;
    ApplyColour();
}

void CLinkStatic::SetAdjustToFit(bool adjust) {
    adjustToFit_ = adjust;
    FitToText();
}

wxColour CLinkStatic::TextColour() const {
    if (over_) return hover_.IsOk() ? hover_ : wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT);
    return visited_ ? visitedColour_ : link_;
}

void CLinkStatic::ApplyFont() {
    wxFont font = GetFont();
    font.SetUnderlined(underline_);
    SetFont(font);
    Refresh();
}

void CLinkStatic::ApplyColour() {
    SetForegroundColour(TextColour());
    Refresh();
}

void CLinkStatic::FitToText() {
    if (!adjustToFit_) return;
    InvalidateBestSize();
    const wxSize size = GetBestSize();
    SetMinSize(size);
    SetSize(wxRect(GetPosition(), size));  // left and top stay
}

void CLinkStatic::OnEnter(wxMouseEvent& event) {
    over_ = true;
    ApplyColour();
    Update();
    event.Skip();
}

void CLinkStatic::OnLeave(wxMouseEvent& event) {
    over_ = false;
    ApplyColour();
    Update();
    event.Skip();
}

void CLinkStatic::OnLeftUp(wxMouseEvent& event) {
    event.Skip();
    if (!GetClientRect().Contains(event.GetPosition())) return;
    OpenAddress(address_);
}

void CLinkStatic::OpenAddress(const wxString& address) {
    // The opener may take its time (or, for a browser it starts in the
    // foreground, the browser's): the window does not wait for it.
    std::thread([pending = pending_, address = FromWx(address)] {
        const int code = OpenWithDesktop(address);
        std::lock_guard<std::mutex> hold(pending->lock);
        if (pending->link != nullptr) {
            CLinkStatic* link = pending->link;
            link->CallAfter([link, code] { link->Opened(code); });
        }
    }).detach();
}

void CLinkStatic::Opened(int code) {
    if (AddressOpened(code)) {
        SetVisited(true);
        return;
    }
    wxBell();
    ReportOpenError(code);
}

void CLinkStatic::ReportOpenError(int code) {
    if (messageSink) {
        messageSink(OpenErrorMessage(code));
        return;
    }
    wxMessageBox(ToWx(OpenErrorMessage(code)), kAppCaption, wxOK | wxICON_EXCLAMATION, this);
}
