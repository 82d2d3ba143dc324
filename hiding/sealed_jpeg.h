// SPDX-License-Identifier: GPL-3.0-or-later
// The sealed method in a JPEG: the same record, keys, salt and header as in
// pixels (hiding/sealed.h), carried by the picture's non-zero AC
// coefficients (hiding/jpeg_carrier.h) instead of its colour samples, under
// a format version of its own (kSealedJpegVersion). The costs are UERD's
// (hiding/uerd.h).
//
//   what     coefficients  how
//   front    336 k         the first 336 k of a public permutation of the
//                          elements: the salt, then the sealed header
//   content  the rest      the keyed elements, less the front's
//
// The content goes by the ternary syndrome-trellis code at the split its
// header gives, the front by the same code at an even split. The front
// takes k elements a bit, chosen by the encoder among 2, 3, 4, 6, 8, 12
// and 16 to be about the whole file's rate, so that its changes cost what
// the content's do; a decoder tries each, an Argon2 run apiece. k is 1, a
// bit an element, where the code finds no way (an encode tries that last,
// after four salts). Before coding, a 0 or 1 from a stream (public for the
// front, under the embedding key for the content) is added to each value,
// so that which way flips the second bit plane does not follow the value's
// parity: a +-1 change can only move a 1 or -1 away from 0, and the
// planes' codes would otherwise change 1 and -1 unevenly.
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
