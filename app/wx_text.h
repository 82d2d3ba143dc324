// SPDX-License-Identifier: GPL-3.0-or-later
// Text between the engine (UTF-8 std::string, as file names arrive on
// Linux) and wxWidgets.
#pragma once

#include <wx/string.h>

#include <string>

inline wxString ToWx(const std::string& text) {
    const wxString converted = wxString::FromUTF8(text.data(), text.size());
    // Bytes that are not UTF-8 (an odd file name) still show, through the
    // file-name conversion.
    return converted.empty() && !text.empty() ? wxString(text.c_str(), *wxConvFileName) : converted;
}

inline std::string FromWx(const wxString& text) {
    return text.utf8_string();
}
