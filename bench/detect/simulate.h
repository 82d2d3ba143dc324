// SPDX-License-Identifier: GPL-3.0-or-later
// Embedding simulators: the changes a method would make, without a message.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace detect {

// Changes `bits`' worth of ±1 drawn from the payload-limited sender's
// (Gibbs) distribution for the costs: element i goes up with probability
// exp(-l costUp[i]) / z and down with exp(-l costDown[i]) / z, where z also
// counts staying put and l makes the changes' entropy `bits`. An infinite
// cost forbids that change. Returns the number of changes made.
size_t GibbsChanges(const std::vector<float>& costUp, const std::vector<float>& costDown,
                    double bits, std::mt19937_64& random, std::vector<int8_t>* changes);

// The plain baseline: `count` distinct positions drawn at random, each
// changed by ±1 with probability 1/2 (as matching a random message bit
// would), in the direction `allowed` permits: bit 0 up, bit 1 down.
size_t PlainChanges(const std::vector<uint8_t>& allowed, size_t count, std::mt19937_64& random,
                    std::vector<int8_t>* changes);

}  // namespace detect
