// SPDX-License-Identifier: GPL-3.0-or-later
// The hiding engine's entry points: encode, detect and decode runs, and the
// capacity report. Each run is one synchronous call that talks to the user
// only through its DialogPort and returns an image library code (0 also
// when it showed a message of its own).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hiding/dialog_port.h"
#include "hiding/payload.h"

class CWorkingImage;

// Hides the data file in the base image and writes the output image, paths
// taken from the dialog.
int EncodeRun(DialogPort& dialog, HidingMethod method);

// What an encode asks before replacing an existing output: the path, then this.
inline constexpr const char* kReplaceQuestion = " exists\nReplace it?";

// Before an encode reads anything: the base image's size into `size`, an
// output that is not one of the inputs, and the user's word before an
// existing output is replaced. False when the run ends here, having said
// why (a refused replacement is said by the caller, as the port decides).
bool EncodeMayStart(DialogPort& dialog, const std::string& output, uint32_t size[2]);

// Whether the image at `path` carries a payload of `method` (signature only).
bool ProbeMethod(DialogPort& dialog, HidingMethod method, const std::string& path);

// The method the image carries, tried in detection order, or -1. The
// probes of each depth share one read of the rows that hold the signatures;
// what was read for the method found is kept, on this thread, for the
// DecodeRun that follows (until the next DetectMethod or DecodeRun).
int DetectMethod(DialogPort& dialog, const std::string& path);

// Extracts the hidden file from the image at `path` into the dialog's
// output directory under its stored name. Reads only the rows that hold the
// payload, starting from what DetectMethod kept when it read this same,
// unchanged file; damage to the picture below them goes unseen.
int DecodeRun(DialogPort& dialog, HidingMethod method, const std::string& path);

// `path`, or where the user wants the file instead of overwriting it, or
// empty when the user cancelled. Paths in the question are shown escaped.
std::string ChooseOutputPath(DialogPort& dialog, const std::string& path);

// Sets the dialog's capacity text for its base image.
void CapacityReport(DialogPort& dialog);

// The capacity text for an image of width x height.
std::string CapacityText(uint32_t width, uint32_t height);
// The line the report adds for a grey picture, which sealed carries in
// its grey levels.
std::string GreyCapacityText(uint32_t width, uint32_t height);
extern const char* const kNotAnImageText;
extern const char* const kNotEncodedText;
// A decode whose image was rewritten while it read it: what it read may mix
// two files.
extern const char* const kCarrierChangedText;
// Follows "Extracted " and the path in the status when the file's name
// starts with a dot, so that the user knows a listing will not show it.
extern const char* const kHiddenFileNote;

// The last steps every run shares (the sealed runs too): status "Writing",
// the output written through a temporary file, the last stage and pause.
int WriteOutputImage(DialogPort& dialog, CWorkingImage& image, const std::string& output);
// The extracted file under `name` in the output directory, asking before it
// replaces one; status "Extracted ...", the last stage and pause.
int WriteExtractedFile(DialogPort& dialog, const std::string& name,
                       const std::vector<uint8_t>& data);
// The same with the file's bytes from `write`, which returns 0 or a code.
class OutputFile;
int WriteExtractedFile(DialogPort& dialog, const std::string& name,
                       const std::function<int(OutputFile& file)>& write);
