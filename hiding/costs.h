// SPDX-License-Identifier: GPL-3.0-or-later
// What changing a sample by one costs, from the picture around it: little
// in texture and noise, much in smooth areas and along clean edges, where
// a detector would see it.
#pragma once

#include <cstddef>
#include <cstdint>

// HILL costs (a 3x3 high-pass residual, its local mean magnitude inverted,
// then smoothed over 15x15) of every sample of an interleaved picture of
// `channels` channels, each channel costed alone. `cost` gets
// width * height * channels values, finite and above zero. False when
// memory runs out.
bool HillCosts(const uint8_t* samples, uint32_t width, uint32_t height, unsigned channels,
               float* cost);
