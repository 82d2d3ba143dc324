// SPDX-License-Identifier: GPL-3.0-or-later
// The sealed method in a JPEG: the same record, keys, salt and header as in
// pixels (hiding/sealed.h), carried by the picture's non-zero AC
// coefficients (hiding/jpeg_carrier.h) instead of its colour samples, under
// a format version of its own (kSealedJpegVersion). The costs are UERD's
// (hiding/uerd.h).
//
//   what     coefficients  how
//   salt     128 k         the first 128 k of a public permutation of the
//                          elements, a binary syndrome-trellis code of
//                          their lowest bits
//   header   208 k         the first keyed elements, coded the same way
//   content  the rest      the keyed elements after, ternary coded
//
// where k, the elements a bit of salt and header, is the carrier's size
// over 1008, within 1..16: a JPEG has few elements, and a salt written a
// bit an element or a header in a fixed region would take a large share of
// its changes at a rate far above the content's.
//
// The file survives copying and renaming, not re-saving: an editor or a
// messenger that compresses the picture again changes the coefficients,
// and the decode then fails with the one failure message.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "hiding/jpeg_carrier.h"
#include "hiding/sealed.h"

// Bits a JPEG's sealed file may take per element (salt, header and all),
// as fractions. While it hides well: 0.2, where published results for
// simulators of content-adaptive JPEG embedding keep a detector's error
// near 0.43 at quality 75 (not yet measured for this code). At most:
// 0.75, as the coder needs slack around the many coefficients at +-1, which
// can change one way only (it failed at 0.95 on small test pictures, never
// at 0.9).
constexpr std::pair<int64_t, int64_t> kJpegWellHiddenBitsPerElement = {1, 5};
constexpr std::pair<int64_t, int64_t> kJpegMostBitsPerElement = {3, 4};

// Bytes of name and data `elements` non-zero AC coefficients can carry at
// most (negative when none, as the capacity report shows it), and while
// they hide well (0 when none).
int64_t SealedJpegRoom(uint64_t elements);
int64_t SealedJpegHidesWell(uint64_t elements);

// Seals the record into the carrier's coefficients. The caller has checked
// the fit against SealedJpegRoom. Returns 0, kPixErrParam when it does not
// fit after all, kPixErrMemory when memory runs out.
int SealRecordInJpeg(JpegCarrier& carrier, const Passphrase& passphrase, const SealedRecord& record,
                     const SealOptions& options = {});

// Reads a sealed file back from a JPEG's coefficients, as UnsealFile does
// from pixels.
UnsealedFile UnsealFileFromJpeg(const JpegCarrier& carrier, const Passphrase& passphrase,
                                UnsealSteps* steps = nullptr, bool headerOnly = false,
                                bool keepFrame = false);
