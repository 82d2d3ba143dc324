// SPDX-License-Identifier: GPL-3.0-or-later
// The sealed method's runs, beside the five methods' (hiding/runs.h): the
// same stages, statuses and last steps, with the passphrase given by the
// caller. Detection by signature never finds a sealed image; a caller tries
// DecodeSealedRun when DetectMethod finds nothing and it has a passphrase.
#pragma once

#include <string>
#include <vector>

#include "hiding/dialog_port.h"
#include "hiding/entries.h"
#include "hiding/sealed.h"

// Shown when an encode is given no passphrase.
extern const char* const kNoPassphraseMessage;
// Shown when the passphrase typed again for an encode is another.
extern const char* const kPassphraseMismatchMessage;

// Seals the data file into the base image and writes the output image,
// paths taken from the dialog. Several files, or a folder
// (DialogPort::DataFilePaths), go as a record of entries.
int EncodeSealedRun(DialogPort& dialog, const Passphrase& passphrase,
                    const SealOptions& options = {});

// Extracts the sealed file from the image at `path`. A wrong passphrase
// and a changed image both show kSealedFailedMessage and write nothing.
// A record of several entries goes under the output folder (hiding/entries.h).
int DecodeSealedRun(DialogPort& dialog, const std::string& path, const Passphrase& passphrase);

// The entries of the sealed file in the image at `path`, written nowhere:
// one for a single file, its stored name as its path.
int ListSealedRun(DialogPort& dialog, const std::string& path, const Passphrase& passphrase,
                  std::vector<Entry>* entries);

// Whether the image at `path` carries a sealed file that opens with the
// passphrase (its header only).
bool ProbeSealed(DialogPort& dialog, const std::string& path, const Passphrase& passphrase);

// The non-zero AC coefficients a sealed JPEG output of `base` would carry
// in: counted from the coefficients of a JPEG base, else estimated from
// part of the picture compressed at `quality` (0 when it cannot be read).
struct JpegElements {
    uint64_t count = 0;
    bool estimated = false;
};
JpegElements JpegElementsOf(const std::string& base, int quality);
// The estimate from width x height RGB pixels at hand.
uint64_t EstimateJpegElements(const uint8_t* pixels, uint32_t width, uint32_t height,
                              int quality);

// The capacity report's row for a sealed JPEG output: bytes of name and
// data, at most and while they hide well.
std::string JpegCapacityRow(const std::string& base, int quality);
// The row's text for `elements` non-zero AC coefficients.
std::string JpegCapacityText(uint64_t elements, bool estimated, int quality);
