// SPDX-License-Identifier: GPL-3.0-or-later
// The whole image library: every entry point.
#pragma once

#include "imagelib/bmp.h"
#include "imagelib/jpeg.h"
#include "imagelib/pcx.h"
#include "imagelib/png.h"
#include "imagelib/quantize.h"
#include "imagelib/state.h"
#include "imagelib/tiff.h"
