// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/font_label.h"

#include <wx/dcclient.h>
#include <wx/fontenum.h>
#include <wx/settings.h>
#include <wx/textwrapper.h>

#include <wx/arrstr.h>

#include <algorithm>
#include <vector>

namespace {

class LineBreaker : public wxTextWrapper {
  public:
    LineBreaker(wxWindow* window, const wxString& text, int width) {
        Wrap(window, text, width);
        lines.push_back(current_);
    }
    std::vector<wxString> lines;

  protected:
    void OnOutputLine(const wxString& line) override { current_ += line; }
    void OnNewLine() override {
        lines.push_back(current_);
        current_.clear();
    }

  private:
    wxString current_;
};

}  // namespace

CFontLabel::CFontLabel(wxWindow* parent, wxWindowID id)
    : colour_(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT)) {
    Create(parent, id, wxDefaultPosition, wxDefaultSize, wxBORDER_NONE);
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, &CFontLabel::OnPaint, this);
    Bind(wxEVT_SIZE, &CFontLabel::OnSize, this);
}

void CFontLabel::SetTextColour(const wxColour& colour) {
    colour_ = colour;
    Refresh();
}

void CFontLabel::SetFontFace(const wxString& face, int height, int weight) {
    face_ = face;
    height_ = height;
    weight_ = weight;
    font_ = wxFont();
    SetFont(TextFont());
    InvalidateBestSize();
    Refresh();
}

void CFontLabel::SetText(const wxString& text) {
    const size_t before = wxSplit(text_, '\n', '\0').size();
    text_ = text;
    if (wxSplit(text_, '\n', '\0').size() > before) {
        // More rows than there may be room for: the window grows to show them.
        InvalidateBestSize();
        wxWindow* top = wxGetTopLevelParent(this);
        if (GetBestSize().y > GetSize().y && top != nullptr && top->GetSizer() != nullptr)
            top->GetSizer()->SetSizeHints(top);
    }
    Refresh();
}

wxFont CFontLabel::TextFont() {
    if (face_.empty()) return GetFont();
    if (!font_.IsOk()) {
        // A missing face would fall back to a proportional font and break
        // the columns; any fixed-pitch font keeps them.
        // The height is in pixels at 96 dots an inch; asked for in points,
        // the text grows with the desktop's text size.
        wxFontInfo info(static_cast<float>(height_) * 72.0f / 96.0f);
        info.Weight(weight_);
        if (wxFontEnumerator::IsValidFacename(face_))
            info.FaceName(face_);
        else
            info.Family(wxFONTFAMILY_TELETYPE);
        font_ = wxFont(info);
    }
    return font_;
}

void CFontLabel::SetRoomFor(const wxString& sample) {
    room_ = sample;
    InvalidateBestSize();
}

wxSize CFontLabel::DoGetBestClientSize() const {
    // As wide as the sample's widest line; as tall as the sample or the
    // text, whichever has more lines, so that no row is ever left out.
    int width = 0, height = 0;
    for (const wxString& line : wxSplit(room_, '\n', '\0')) {
        int w = 0;
        GetTextExtent(line.empty() ? wxString(" ") : line, &w, &height);
        width = std::max(width, w);
    }
    if (height == 0) GetTextExtent(" ", nullptr, &height);
    const size_t lines = std::max(wxSplit(room_, '\n', '\0').size(), wxSplit(text_, '\n', '\0').size());
    return wxSize(width, height * static_cast<int>(std::max<size_t>(lines, 1)));
}

void CFontLabel::OnSize(wxSizeEvent& event) {
    Refresh();  // the words wrap differently at the new width
    event.Skip();
}

void CFontLabel::OnPaint(wxPaintEvent&) {
    wxPaintDC dc(this);
    const wxSize size = GetClientSize();
    // The dialog's own face: on GTK the button face is a shade apart from it.
    dc.SetBackground(wxBrush(GetParent()->GetBackgroundColour()));
    dc.Clear();
    dc.SetFont(TextFont());
    dc.SetTextForeground(colour_);
    const int lineHeight = dc.GetCharHeight();
    int y = 0;
    for (const wxString& line : LineBreaker(this, text_, size.x).lines) {
        if (y >= size.y) break;
        dc.DrawText(line, 0, y);
        y += lineHeight;
    }
}
