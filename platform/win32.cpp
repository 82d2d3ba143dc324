// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/win32.h"

#include <sys/mman.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/line_budget.h"

namespace {

thread_local DWORD lastError = NO_ERROR;

// Every block starts with this header; the caller's bytes follow it at an
// address aligned for any type.
struct alignas(std::max_align_t) Block {
    uint64_t magic;
    size_t size;
    unsigned locks;
    size_t mapped;  // bytes mapped for the block, 0 when it came from malloc
};

// Whole images are mapped on their own and backed by huge pages where the
// kernel allows: faulting in a 72 MB picture page by page costs more than
// reading it from the page cache.
constexpr size_t kMapThreshold = size_t{16} << 20;
constexpr size_t kHugePage = size_t{2} << 20;

Block* MapBlock(size_t total) {
    const size_t length = (total + kHugePage - 1) / kHugePage * kHugePage;
    void* memory = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    // Keep the huge-page-aligned part and give the rest back.
    auto* start = static_cast<char*>(memory);
    const uintptr_t address = reinterpret_cast<uintptr_t>(start);
    const size_t head = (kHugePage - address % kHugePage) % kHugePage;
    if (head != 0) munmap(start, head);
    if (kHugePage - head != 0) munmap(start + head + length, kHugePage - head);
    madvise(start + head, length, MADV_HUGEPAGE);
    auto* block = reinterpret_cast<Block*>(start + head);
    block->mapped = length;
    return block;
}
constexpr uint64_t kBlockMagic = 0x6b636f6c426c6d4fULL;  // live block
constexpr uint64_t kFreedMagic = 0x64656572466c6d4fULL;  // freed: double free shows

Block* BlockOf(HGLOBAL handle) {
    auto* block = static_cast<Block*>(handle);
    if (block == nullptr || block->magic != kBlockMagic) return nullptr;
    return block;
}

}  // namespace

DWORD GetLastError() {
    return lastError;
}
void SetLastError(DWORD code) {
    lastError = code;
}

namespace {
std::atomic<size_t> globalAllocLimit{SIZE_MAX};
}  // namespace

void SetGlobalAllocLimit(SIZE_T bytes) {
    globalAllocLimit.store(bytes, std::memory_order_relaxed);
}

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
    if (bytes > SIZE_MAX - sizeof(Block) ||
        bytes > globalAllocLimit.load(std::memory_order_relaxed)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Mapped pages arrive zero-filled, so GMEM_ZEROINIT costs nothing there.
    const size_t total = sizeof(Block) + bytes;
    Block* block = nullptr;
    if (total >= kMapThreshold) {
        block = MapBlock(total);
    } else {
        void* memory = (flags & GMEM_ZEROINIT) ? std::calloc(1, total) : std::malloc(total);
        block = static_cast<Block*>(memory);
        if (block != nullptr) block->mapped = 0;
    }
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    block->magic = kBlockMagic;
    block->size = bytes;
    block->locks = 0;
    return block;
}

LPVOID GlobalLock(HGLOBAL handle) {
    Block* block = BlockOf(handle);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ++block->locks;
    return block + 1;
}

BOOL GlobalUnlock(HGLOBAL handle) {
    Block* block = BlockOf(handle);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (block->locks == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return 0;
    }
    if (--block->locks == 0) {
        SetLastError(NO_ERROR);
        return 0;
    }
    return 1;
}

HGLOBAL GlobalFree(HGLOBAL handle) {
    if (handle == nullptr) return nullptr;
    Block* block = BlockOf(handle);
    if (block == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return handle;
    }
    block->magic = kFreedMagic;
    if (block->mapped != 0) {
        munmap(block, block->mapped);
    } else {
        std::free(block);
    }
    return nullptr;
}

SIZE_T GlobalSize(HGLOBAL handle) {
    Block* block = BlockOf(handle);
    return block == nullptr ? 0 : block->size;
}

DWORD TlsAlloc() {
    pthread_key_t key;
    if (pthread_key_create(&key, nullptr) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return TLS_OUT_OF_INDEXES;
    }
    static_assert(sizeof(pthread_key_t) <= sizeof(DWORD));
    return static_cast<DWORD>(key);
}

LPVOID TlsGetValue(DWORD index) {
    SetLastError(NO_ERROR);
    return pthread_getspecific(static_cast<pthread_key_t>(index));
}

BOOL TlsSetValue(DWORD index, LPVOID value) {
    if (pthread_setspecific(static_cast<pthread_key_t>(index), value) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return 1;
}

BOOL TlsFree(DWORD index) {
    if (pthread_key_delete(static_cast<pthread_key_t>(index)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return 1;
}

void InitializeCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutex_lock(&section->mutex);
}
void LeaveCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutex_unlock(&section->mutex);
}
void DeleteCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutex_destroy(&section->mutex);
}

void OutputDebugStringA(const char* text) {
    if (text == nullptr) return;
    thread_local std::string pending;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c != '\n') {
            pending += *c;
            continue;
        }
        thread_local LineBudget budget(200, 20);
        timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (budget.Allow(static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9)) {
            if (const uint64_t dropped = budget.TakeDropped())
                syslog(LOG_USER | LOG_DEBUG, "(%" PRIu64 " debug lines dropped)", dropped);
            syslog(LOG_USER | LOG_DEBUG, "%s", pending.c_str());
        }
        pending.clear();
    }
}

DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size) {
    if (module != nullptr || buffer == nullptr || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const ssize_t length = readlink("/proc/self/exe", buffer, size);
    if (length < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (static_cast<size_t>(length) >= size) {  // truncated, as Windows does
        buffer[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    buffer[length] = '\0';
    return static_cast<DWORD>(length);
}

void Sleep(DWORD milliseconds) {
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}
