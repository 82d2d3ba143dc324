// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/about_dialog.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include "app/app_identity.h"
#include "app/link_static.h"

const char* const kMakerAddress = "https://ombrel.example/";

namespace {

const char* const kNotice =
    "Hides a file in the lowest bits of a picture's pixels\n"
    "and gets it back out.\n"
    "Free software under the GNU General Public License,\n"
    "version 3 or later; it comes with no warranty.";

}  // namespace

CAboutDialog::CAboutDialog(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "About Ombrel", wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX) {
    auto* icon = new wxStaticBitmap(this, wxID_ANY, AppBitmap(32));
    auto* version = new wxStaticText(this, wxID_ANY, "");
    version->SetLabelText("Ombrel Version " OMBREL_VERSION);  // taken as it stands, no mnemonics
    auto* notice = new wxStaticText(this, wxID_ANY, kNotice);
    auto* ok = new wxButton(this, wxID_OK, "OK");
    link_ = new CLinkStatic(this, 1011, kMakerAddress);

    auto* text = new wxBoxSizer(wxVERTICAL);
    text->Add(version);
    text->Add(notice, wxSizerFlags().Border(wxTOP));
    text->Add(link_, wxSizerFlags().Border(wxTOP));
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    row->Add(icon, wxSizerFlags().Border(wxRIGHT));
    row->Add(text, wxSizerFlags(1).Border(wxRIGHT));
    row->Add(ok);
    auto* outer = new wxBoxSizer(wxVERTICAL);
    outer->Add(row, wxSizerFlags(1).Expand().DoubleBorder());
    ok->SetDefault();

    link_->SetAddress(kMakerAddress);
    link_->SetUnderline(false);
    SetSizerAndFit(outer);
}
