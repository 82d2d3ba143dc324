// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/alloc_failure.h"

#include <cstdlib>
#include <new>

namespace {

int allocationsBeforeFailure = -1;  // negative: never fail
bool allocationFailed = false;
size_t refusedArrayBytes = 0;  // 0: refuse nothing
bool arrayRefused = false;

void* Allocate(size_t size) {
    if (allocationsBeforeFailure == 0) {
        allocationsBeforeFailure = -1;
        allocationFailed = true;
        return nullptr;
    }
    if (allocationsBeforeFailure > 0) --allocationsBeforeFailure;
    return std::malloc(size == 0 ? 1 : size);
}

void* AllocateArray(size_t size) {
    if (size != 0 && size == refusedArrayBytes) {
        arrayRefused = true;
        return nullptr;
    }
    return Allocate(size);
}

void* AllocateOrThrow(size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}

}  // namespace

FailNthAllocation::FailNthAllocation(int n) {
    allocationFailed = false;
    allocationsBeforeFailure = n;
}
FailNthAllocation::~FailNthAllocation() {
    allocationsBeforeFailure = -1;
}
bool FailNthAllocation::failed() const {
    return allocationFailed;
}

RefuseArrays::RefuseArrays(size_t bytes) {
    arrayRefused = false;
    refusedArrayBytes = bytes;
}
RefuseArrays::~RefuseArrays() {
    refusedArrayBytes = 0;
}
bool RefuseArrays::refused() const {
    return arrayRefused;
}

// The whole family is replaced, so new and delete stay paired under
// AddressSanitizer.
void* operator new(size_t size) {
    return AllocateOrThrow(size);
}
void* operator new[](size_t size) {
    return AllocateOrThrow(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return AllocateArray(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
