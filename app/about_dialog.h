// SPDX-License-Identifier: GPL-3.0-or-later
// The About box: version, notice and the maker's web address.
#pragma once

#include <wx/dialog.h>

class CLinkStatic;

extern const char* const kMakerAddress;

class CAboutDialog : public wxDialog {
  public:
    explicit CAboutDialog(wxWindow* parent);
    CLinkStatic* link() const { return link_; }

  private:
    CLinkStatic* link_;
};
