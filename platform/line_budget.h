// SPDX-License-Identifier: GPL-3.0-or-later
// How many debug lines may go to the system log: a burst, then a steady
// rate. A damaged file can make a codec complain once per strip, hundreds of
// thousands of times in one read, and the log must not pay for that.
#pragma once

#include <cstdint>

class LineBudget {
  public:
    LineBudget(double burst, double perSecond)
        : burst_(burst), perSecond_(perSecond), tokens_(burst) {}

    // Whether a line at time `now` (seconds, monotonic) may be logged.
    bool Allow(double now) {
        if (started_) tokens_ = min(burst_, tokens_ + (now - last_) * perSecond_);
        started_ = true;
        last_ = now;
        if (tokens_ < 1) {
            ++dropped_;
            return false;
        }
        tokens_ -= 1;
        return true;
    }

    // The lines refused since the last call, so the log can say so.
    uint64_t TakeDropped() {
        const uint64_t dropped = dropped_;
        dropped_ = 0;
        return dropped;
    }

  private:
    static double min(double a, double b) { return a < b ? a : b; }
    double burst_, perSecond_, tokens_;
    double last_ = 0;
    bool started_ = false;
    uint64_t dropped_ = 0;
};
