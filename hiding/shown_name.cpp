// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/shown_name.h"

#include <cstdint>

namespace {

void AppendByteEscape(std::string* out, uint8_t byte) {
    static const char kHex[] = "0123456789abcdef";
    *out += "\\x";
    *out += kHex[byte >> 4];
    *out += kHex[byte & 0xF];
}

// Length of the well-formed UTF-8 sequence at text[i] and its code point,
// or 0 when the bytes there are not one (overlong forms, surrogates and
// values past U+10FFFF included).
size_t DecodeUtf8(std::string_view text, size_t i, uint32_t* codePoint) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t length = 0;
    uint32_t value = 0, least = 0;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<uint8_t>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        value = value << 6 | (next & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *codePoint = value;
    return length;
}

// Marks that change the order in which the text around them is shown, so
// that "exe.txt" could show as "txt.exe", and characters that show as
// nothing or break the line, so that two names can look alike.
bool IsInvisibleOrLayout(uint32_t c) {
    return c == 0x00AD || c == 0x061C || c == 0x180E || c == 0x200B || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
           (c >= 0x2066 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB);
}

}  // namespace

std::string ShownName(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t c = 0;
        const size_t length = DecodeUtf8(text, i, &c);
        if (length == 0) {
            AppendByteEscape(&shown, static_cast<uint8_t>(text[i]));
            ++i;
            continue;
        }
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c == '\\') {
            shown += "\\\\";
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            for (size_t k = 0; k < length; ++k)
                AppendByteEscape(&shown, static_cast<uint8_t>(text[i + k]));
        } else if (IsInvisibleOrLayout(c)) {
            static const char kHex[] = "0123456789abcdef";
            shown += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) shown += kHex[(c >> shift) & 0xF];
        } else {
            shown.append(text.substr(i, length));
        }
        i += length;
    }
    return shown;
}

bool IsHiddenName(std::string_view path) {
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return name.starts_with('.');
}
