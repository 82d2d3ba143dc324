// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <random>

#include "detect.h"

namespace detect {
namespace {

using Rows = std::vector<std::vector<float>>;

// Solves a x = b for a symmetric positive definite a (n x n) by Cholesky,
// overwriting both. False when a is not positive definite.
bool CholeskySolve(std::vector<double>& a, std::vector<double>& b, size_t n) {
    for (size_t j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        if (!(d > 0)) return false;
        d = std::sqrt(d);
        a[j * n + j] = d;
        for (size_t i = j + 1; i < n; ++i) {
            double s = a[i * n + j];
            for (size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / d;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        double s = b[i];
        for (size_t k = 0; k < i; ++k) s -= a[i * n + k] * b[k];
        b[i] = s / a[i * n + i];
    }
    for (size_t i = n; i-- > 0;) {
        double s = b[i];
        for (size_t k = i + 1; k < n; ++k) s -= a[k * n + i] * b[k];
        b[i] = s / a[i * n + i];
    }
    return true;
}

struct Threshold {
    double error;
    double at;  // scores above it are called stego
};

// The threshold with the least (P_FA + P_MD) / 2.
Threshold BestThreshold(const std::vector<double>& cover, const std::vector<double>& stego) {
    std::vector<std::pair<double, bool>> all;
    all.reserve(cover.size() + stego.size());
    for (double s : cover) all.emplace_back(s, false);
    for (double s : stego) all.emplace_back(s, true);
    std::sort(all.begin(), all.end());
    // Start below every score: all called stego.
    double falseAlarms = double(cover.size()), misses = 0;
    const auto error = [&] {
        return 0.5 * (falseAlarms / double(cover.size()) + misses / double(stego.size()));
    };
    Threshold best{error(), all.empty() ? 0.0 : all.front().first - 1};
    for (size_t i = 0; i < all.size();) {
        size_t j = i;
        for (; j < all.size() && all[j].first == all[i].first; ++j) {
            if (all[j].second)
                ++misses;
            else
                --falseAlarms;
        }
        const double at = j < all.size() ? 0.5 * (all[i].first + all[j].first) : all[i].first + 1;
        if (error() < best.error) best = {error(), at};
        i = j;
    }
    return best;
}

struct Learner {
    std::vector<unsigned> dims;
    std::vector<double> w;
    double threshold = 0;

    double Project(const std::vector<float>& x) const {
        double s = 0;
        for (size_t k = 0; k < dims.size(); ++k) s += w[k] * x[dims[k]];
        return s;
    }
};

// A Fisher linear discriminant on the given dimensions, trained on the
// listed pairs (with repeats: a bootstrap sample).
Learner TrainLearner(const Rows& cover, const Rows& stego, const std::vector<size_t>& pairs,
                     std::vector<unsigned> dims) {
    const size_t n = dims.size();
    std::vector<double> meanC(n, 0), meanS(n, 0);
    for (size_t p : pairs)
        for (size_t k = 0; k < n; ++k) {
            meanC[k] += cover[p][dims[k]];
            meanS[k] += stego[p][dims[k]];
        }
    for (size_t k = 0; k < n; ++k) {
        meanC[k] /= double(pairs.size());
        meanS[k] /= double(pairs.size());
    }
    std::vector<double> scatter(n * n, 0), centred(n);
    const auto accumulate = [&](const std::vector<float>& x, const std::vector<double>& mean) {
        for (size_t k = 0; k < n; ++k) centred[k] = x[dims[k]] - mean[k];
        for (size_t i = 0; i < n; ++i) {
            const double ci = centred[i];
            double* row = scatter.data() + i * n;
            for (size_t j = 0; j <= i; ++j) row[j] += ci * centred[j];
        }
    };
    for (size_t p : pairs) {
        accumulate(cover[p], meanC);
        accumulate(stego[p], meanS);
    }
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < i; ++j) scatter[j * n + i] = scatter[i * n + j];
    double trace = 0;
    for (size_t i = 0; i < n; ++i) trace += scatter[i * n + i];
    // A constant feature makes the scatter singular: a ridge, grown until
    // the solve goes through.
    Learner learner;
    for (double ridge = 1e-10 * (trace / double(n) + 1e-30);; ridge *= 10) {
        std::vector<double> a = scatter, b(n);
        for (size_t i = 0; i < n; ++i) {
            a[i * n + i] += ridge;
            b[i] = meanS[i] - meanC[i];
        }
        if (CholeskySolve(a, b, n)) {
            learner.w = std::move(b);
            break;
        }
    }
    learner.dims = std::move(dims);
    std::vector<double> scoresC, scoresS;
    for (size_t p : pairs) {
        scoresC.push_back(learner.Project(cover[p]));
        scoresS.push_back(learner.Project(stego[p]));
    }
    learner.threshold = BestThreshold(scoresC, scoresS).at;
    return learner;
}

struct Trained {
    std::vector<Learner> learners;
    double outOfBagError;
};

Trained TrainEnsemble(const Rows& cover, const Rows& stego, const std::vector<size_t>& train,
                      unsigned subspace, unsigned learners, std::mt19937_64& random) {
    const unsigned d = unsigned(cover.front().size());
    std::vector<unsigned> all(d);
    std::iota(all.begin(), all.end(), 0u);
    Trained trained;
    std::map<size_t, int> votesC, votesS;  // out-of-bag votes
    std::uniform_int_distribution<size_t> pick(0, train.size() - 1);
    for (unsigned l = 0; l < learners; ++l) {
        std::shuffle(all.begin(), all.end(), random);
        std::vector<unsigned> dims(all.begin(), all.begin() + std::min(subspace, d));
        std::sort(dims.begin(), dims.end());
        std::vector<size_t> pairs(train.size());
        std::vector<bool> inBag(train.size(), false);
        for (auto& p : pairs) {
            const size_t k = pick(random);
            inBag[k] = true;
            p = train[k];
        }
        Learner learner = TrainLearner(cover, stego, pairs, std::move(dims));
        for (size_t k = 0; k < train.size(); ++k) {
            if (inBag[k]) continue;
            const size_t p = train[k];
            votesC[p] += learner.Project(cover[p]) > learner.threshold ? 1 : -1;
            votesS[p] += learner.Project(stego[p]) > learner.threshold ? 1 : -1;
        }
        trained.learners.push_back(std::move(learner));
    }
    double wrong = 0, counted = 0;
    for (const auto& [p, v] : votesC) {
        wrong += v > 0 ? 1 : v == 0 ? 0.5 : 0;
        const int s = votesS[p];
        wrong += s < 0 ? 1 : s == 0 ? 0.5 : 0;
        counted += 2;
    }
    trained.outOfBagError = counted > 0 ? wrong / counted : 0.5;
    return trained;
}

}  // namespace

std::vector<SplitResult> Evaluate(const Rows& cover, const Rows& stego,
                                  const std::vector<std::string>& group,
                                  const EnsembleOptions& options) {
    std::vector<std::string> sources(group);
    std::sort(sources.begin(), sources.end());
    sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
    const unsigned d = unsigned(cover.front().size());
    unsigned subspace = options.subspace;
    std::vector<SplitResult> results;
    for (unsigned split = 0; split < options.splits; ++split) {
        std::mt19937_64 random(options.seed * 1000003 + split);
        std::vector<std::string> order(sources);
        std::shuffle(order.begin(), order.end(), random);
        const std::vector<std::string> trainSources(order.begin(),
                                                    order.begin() + order.size() / 2);
        std::vector<size_t> train, test;
        for (size_t i = 0; i < group.size(); ++i)
            (std::find(trainSources.begin(), trainSources.end(), group[i]) != trainSources.end()
                 ? train
                 : test)
                .push_back(i);
        // The subspace size, once, from the first split's out-of-bag error.
        if (subspace == 0) {
            double best = 2;
            for (unsigned candidate : {25u, 50u, 100u, 200u, 300u, 500u}) {
                if (candidate > d) break;
                const double e =
                    TrainEnsemble(cover, stego, train, candidate, 25, random).outOfBagError;
                if (e < best) best = e, subspace = candidate;
            }
        }
        const Trained trained =
            TrainEnsemble(cover, stego, train, subspace, options.learners, random);
        std::vector<double> scoreC, scoreS;
        double wrong = 0;
        for (size_t p : test) {
            double vc = 0, vs = 0;
            for (const Learner& l : trained.learners) {
                vc += l.Project(cover[p]) > l.threshold ? 1 : -1;
                vs += l.Project(stego[p]) > l.threshold ? 1 : -1;
            }
            scoreC.push_back(vc);
            scoreS.push_back(vs);
            wrong += (vc > 0 ? 1 : vc == 0 ? 0.5 : 0) + (vs < 0 ? 1 : vs == 0 ? 0.5 : 0);
        }
        results.push_back({BestThreshold(scoreC, scoreS).error, wrong / double(2 * test.size()),
                           subspace});
    }
    return results;
}

}  // namespace detect
