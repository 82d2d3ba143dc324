// SPDX-License-Identifier: GPL-3.0-or-later
// A static text that paints itself in a font and colour of its own choice,
// wrapping words to its width: the main dialog's capacity report.
#pragma once

#include <wx/control.h>
#include <wx/font.h>

class CFontLabel : public wxControl {
  public:
    CFontLabel(wxWindow* parent, wxWindowID id);

    void SetTextColour(const wxColour& colour);
    // An empty face keeps the control's own font; height is in pixels.
    void SetFontFace(const wxString& face, int height = 10, int weight = wxFONTWEIGHT_NORMAL);
    // Replaces the text and repaints.
    void SetText(const wxString& text);
    const wxString& GetText() const { return text_; }
    // The text the control keeps room for before any is set.
    void SetRoomFor(const wxString& sample);

    bool AcceptsFocus() const override { return false; }

  protected:
    wxSize DoGetBestClientSize() const override;

  private:
    void OnPaint(wxPaintEvent& event);
    void OnSize(wxSizeEvent& event);
    wxFont TextFont();

    wxColour colour_;
    wxString face_;
    int height_ = 10;
    int weight_ = wxFONTWEIGHT_NORMAL;
    wxFont font_;  // built from face, height and weight on first use
    wxString text_;
    wxString room_;
};
