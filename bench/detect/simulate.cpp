// SPDX-License-Identifier: GPL-3.0-or-later
#include "simulate.h"

#include <cmath>
#include <numeric>

namespace detect {
namespace {

// Expected changes' entropy, in bits, at multiplier `l`.
double Entropy(const std::vector<float>& up, const std::vector<float>& down, double l) {
    double h = 0;
    for (size_t i = 0; i < up.size(); ++i) {
        const double eu = std::isfinite(up[i]) ? std::exp(-l * up[i]) : 0.0;
        const double ed = down[i] == up[i] ? eu : std::isfinite(down[i]) ? std::exp(-l * down[i]) : 0.0;
        const double z = 1 + eu + ed;
        // -sum p log p with p = e / z: log z - sum (e/z) log e.
        double s = std::log(z);
        if (eu > 0) s += eu / z * l * up[i];
        if (ed > 0) s += ed / z * l * down[i];
        h += s;
    }
    return h / std::log(2.0);
}

}  // namespace

size_t GibbsChanges(const std::vector<float>& costUp, const std::vector<float>& costDown,
                    double bits, std::mt19937_64& random, std::vector<int8_t>* changes) {
    changes->assign(costUp.size(), 0);
    if (bits <= 0) return 0;
    // Entropy falls as l grows: bracket, then bisect on a log scale.
    double lo = 1e-6, hi = 1.0;
    while (Entropy(costUp, costDown, hi) > bits && hi < 1e12) hi *= 4;
    while (hi > lo * (1 + 1e-6)) {
        const double mid = std::sqrt(lo * hi);
        (Entropy(costUp, costDown, mid) > bits ? lo : hi) = mid;
    }
    const double l = std::sqrt(lo * hi);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    size_t made = 0;
    for (size_t i = 0; i < costUp.size(); ++i) {
        const double eu = std::isfinite(costUp[i]) ? std::exp(-l * costUp[i]) : 0.0;
        const double ed = std::isfinite(costDown[i]) ? std::exp(-l * costDown[i]) : 0.0;
        const double z = 1 + eu + ed, u = uniform(random);
        if (u < eu / z)
            (*changes)[i] = 1;
        else if (u < (eu + ed) / z)
            (*changes)[i] = -1;
        made += (*changes)[i] != 0;
    }
    return made;
}

size_t PlainChanges(const std::vector<uint8_t>& allowed, size_t count, std::mt19937_64& random,
                    std::vector<int8_t>* changes) {
    const size_t n = allowed.size();
    changes->assign(n, 0);
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t(0));
    size_t made = 0;
    for (size_t k = 0; k < count && k < n; ++k) {
        // A partial shuffle: the first `count` positions of a random order.
        const size_t j = k + std::uniform_int_distribution<size_t>(0, n - 1 - k)(random);
        std::swap(order[k], order[j]);
        const size_t i = order[k];
        if (random() & 1) continue;  // the sample already carries its bit
        const bool up = allowed[i] & 1, down = allowed[i] & 2;
        if (up && down)
            (*changes)[i] = (random() & 1) ? 1 : -1;
        else if (up || down)
            (*changes)[i] = up ? 1 : -1;
        made += (*changes)[i] != 0;
    }
    return made;
}

}  // namespace detect
