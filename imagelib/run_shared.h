// SPDX-License-Identifier: GPL-3.0-or-later
// Work shared out over threads.
#pragma once

#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// Runs body(0..n-1) on up to `threads` threads, the caller's among them,
// and returns when every call has. A thread that cannot be started leaves
// its share to the others.
template <class Body>
void RunShared(unsigned threads, uint64_t n, Body body) {
    std::mutex lock;
    uint64_t next = 0;
    auto work = [&] {
        for (;;) {
            uint64_t k;
            {
                std::lock_guard<std::mutex> hold(lock);
                if (next == n) return;
                k = next++;
            }
            body(k);
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads && t < n; ++t) {
        try {
            helpers.emplace_back(work);
        } catch (...) {
            break;
        }
    }
    work();
    for (std::thread& t : helpers) t.join();
}
