// SPDX-License-Identifier: GPL-3.0-or-later
// Names that come from files, made safe to show on a terminal or in a
// message.
#pragma once

#include <string>
#include <string_view>

// `text` with every byte that could act on a terminal written as a C escape:
// control characters (\n, \r, \t, else \xNN, DEL included), C1 controls,
// the bidirectional overrides that reorder what is shown (\u202e), bytes
// that are not UTF-8, and the backslash itself (\\), so that what is shown
// reads back unambiguously. Everything else is kept as it is.
std::string ShownName(std::string_view text);

// Whether a file of this name (the last part of a path) is hidden from
// listings: it starts with a dot.
bool IsHiddenName(std::string_view path);
