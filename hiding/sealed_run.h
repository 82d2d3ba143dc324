// SPDX-License-Identifier: GPL-3.0-or-later
// The sealed method's runs, beside the five methods' (hiding/runs.h): the
// same stages, statuses and last steps, with the passphrase given by the
// caller. Detection by signature never finds a sealed image; a caller tries
// DecodeSealedRun when DetectMethod finds nothing and it has a passphrase.
#pragma once

#include <string>

#include "hiding/dialog_port.h"
#include "hiding/sealed.h"

// Shown when an encode is given no passphrase.
extern const char* const kNoPassphraseMessage;
// Shown when the passphrase typed again for an encode is another.
extern const char* const kPassphraseMismatchMessage;

// Seals the data file into the base image and writes the output image,
// paths taken from the dialog.
int EncodeSealedRun(DialogPort& dialog, const Passphrase& passphrase,
                    const SealOptions& options = {});

// Extracts the sealed file from the image at `path`. A wrong passphrase
// and a changed image both show kSealedFailedMessage and write nothing.
int DecodeSealedRun(DialogPort& dialog, const std::string& path, const Passphrase& passphrase);

// Whether the image at `path` carries a sealed file that opens with the
// passphrase (its header only).
bool ProbeSealed(DialogPort& dialog, const std::string& path, const Passphrase& passphrase);
