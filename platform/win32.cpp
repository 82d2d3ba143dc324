#include "platform/win32.h"

#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

thread_local DWORD lastError = NO_ERROR;

// Every block starts with this header; the caller's bytes follow it at an
// address aligned for any type.
struct alignas(std::max_align_t) Block {
    uint64_t magic;
    size_t size;
    unsigned locks;
};
constexpr uint64_t kBlockMagic = 0x6b636f6c426c6d4fULL;  // live block
constexpr uint64_t kFreedMagic = 0x64656572466c6d4fULL;  // freed: double free shows

Block* BlockOf(HGLOBAL handle) {
    auto* block = static_cast<Block*>(handle);
    if (block == nullptr || block->magic != kBlockMagic) return nullptr;
    return block;
}

}  // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD code) { lastError = code; }

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
    if (bytes > SIZE_MAX - sizeof(Block)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // calloc of a large block maps fresh zero pages, so zero-filling is free.
    void* memory = (flags & GMEM_ZEROINIT) ? std::calloc(1, sizeof(Block) + bytes)
                                           : std::malloc(sizeof(Block) + bytes);
    if (memory == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto* block = static_cast<Block*>(memory);
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
    std::free(block);
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

void EnterCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_lock(&section->mutex); }
void LeaveCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_unlock(&section->mutex); }
void DeleteCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_destroy(&section->mutex); }

void OutputDebugStringA(const char* text) {
    if (text == nullptr) return;
    thread_local std::string pending;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c != '\n') {
            pending += *c;
            continue;
        }
        syslog(LOG_USER | LOG_DEBUG, "%s", pending.c_str());
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
