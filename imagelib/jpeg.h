// SPDX-License-Identifier: GPL-3.0-or-later
// JPEG files, over libjpeg (the 6.2 API). Every entry point leaves its result
// code in the calling thread's last error (PixGetLastError): 0 on success.
// libjpeg's warnings and error texts go to the debugger output, never to the
// user.
#pragma once

#include <cstdint>

#include "imagelib/state.h"

// Decodes a JPEG file into a 24-bit RGB buffer (top row first, no padding)
// that the caller owns and frees with GlobalFree; *width and *height receive
// its size. Grey files come back with R = G = B; CMYK and YCCK files (stored
// inverted, as Adobe writes them) are turned into RGB as c*k/255, m*k/255,
// y*k/255, rounded. Data cut short inside the scan is padded by libjpeg and
// still succeeds. The COM markers of the file replace the thread's comments
// read (each cut at its first zero byte), and its JFIF density replaces
// jpegDensityRead; both are kept even when the image data later fails.
// Fails with null: 5 for a null argument and 2 when the file cannot be
// opened (sizes and comments read left as they were); once the file is open,
// with *width = *height = 0 and 9 for anything libjpeg refuses, 1 for an
// image over kPixMaxPixels or when memory runs out.
HGLOBAL PixReadJPG(const char* path, uint32_t* width, uint32_t* height);

// Reads only the header of a JPEG file and gives its size. Nonzero on
// success; on failure 0 with *width = *height = 0 (once the arguments are
// known good) and code 5, 2 or 9 as for PixReadJPG. Comments are not read.
BOOL PixGetJPGSize(const char* path, uint32_t* width, uint32_t* height);

// Writes width x height RGB pixels (rows of width x 3 bytes, top first) as a
// JFIF file with the given quality (0 to 100, forced baseline tables), in
// colour (colour != 0) or as one grey component (grey = trunc(0.299 R +
// 0.587 G + 0.114 B)), progressive when asked. The thread's non-empty
// comments to write follow the header in order, and jpegDensityWrite gives
// the density. Nonzero on success. Failures: 5 for a null argument or a zero
// size; 9 for what libjpeg refuses (a comment over 65533 bytes or a side over
// 65500 is refused before the file is opened); 2 when the file cannot be
// created; 4 when a row cannot be written; 1 when memory runs out. A failure
// after the file was created leaves the partial file on disk.
BOOL PixWriteJPG(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                 int quality, int colour, int progressive);

// The three phases of PixWriteJPG, which is their only intended caller.
// BeginJPGWrite creates the file, writes the headers and comments and returns
// the write state (a movable block, unlocked) or null with the code.
// WriteJPGRow takes the next RGB row (width x 3 bytes, also for grey output);
// 0 with code 4 when libjpeg fails, 5 once every row has been written.
// EndJPGWrite finishes and closes the file and always frees the write state,
// which is invalid afterwards; nonzero on success, else 9 (4 when a row had
// failed or the file cannot be closed cleanly, 1 when the state cannot be
// locked, which also leaves it allocated).
HGLOBAL BeginJPGWrite(const char* path, uint32_t width, uint32_t height, int colour, int quality,
                      int progressive);
BOOL WriteJPGRow(HGLOBAL state, const uint8_t* row);
BOOL EndJPGWrite(HGLOBAL state);

// Appends a copy of `text` (an empty one too, though empty comments are not
// written) to the thread's comments to write. Nonzero with code 0; a null
// text is refused with 0 and code 5.
BOOL PixAddJPGComment(const char* text);

// Empties the thread's comments to write (not the comments read). Code 0.
void PixClearJPGComments();

// Number of comments the thread's last PixReadJPG collected. Code 0.
int PixGetJPGCommentCount();

// A copy of comment `index` of the last read, zero-terminated, in a fresh
// movable block the caller frees with GlobalFree. Null with code 5 for an
// index outside 0 .. count - 1, with code 1 when the block cannot be made.
HGLOBAL PixGetJPGComment(int index);
