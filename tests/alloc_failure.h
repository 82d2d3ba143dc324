// SPDX-License-Identifier: GPL-3.0-or-later
// Out-of-memory on demand, for tests of the paths that handle it. Linking
// alloc_failure.cpp replaces the program's global operator new and delete;
// link it only into the test programs that use these classes.
#pragma once

#include <cstddef>

// The n-th allocation from now on (0 is the next one) fails, once.
class FailNthAllocation {
  public:
    explicit FailNthAllocation(int n);
    ~FailNthAllocation();
    FailNthAllocation(const FailNthAllocation&) = delete;
    FailNthAllocation& operator=(const FailNthAllocation&) = delete;
    bool failed() const;
};

// Every nothrow array of exactly `bytes` bytes fails while this lives.
class RefuseArrays {
  public:
    explicit RefuseArrays(size_t bytes);
    ~RefuseArrays();
    RefuseArrays(const RefuseArrays&) = delete;
    RefuseArrays& operator=(const RefuseArrays&) = delete;
    bool refused() const;
};
