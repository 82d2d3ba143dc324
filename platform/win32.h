// SPDX-License-Identifier: GPL-3.0-or-later
// The few Windows services the engine and the image library are written
// against, under their Windows names, so that code reads the same on both.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

using BOOL = int;
using UINT = unsigned int;
using DWORD = uint32_t;
using SIZE_T = size_t;
using LPVOID = void*;
using HGLOBAL = void*;
using HMODULE = void*;

// System error codes reported through GetLastError.
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_NOT_LOCKED = 158;

DWORD GetLastError();
void SetLastError(DWORD code);

// Global memory blocks. A block is reached through its handle; GlobalLock
// gives its address and counts locks, GlobalUnlock returns nonzero while
// locks remain. GMEM_ZEROINIT blocks start zero-filled.
constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_MOVEABLE = 0x0002;
constexpr UINT GMEM_ZEROINIT = 0x0040;
constexpr UINT GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);  // null when out of memory
// Blocks larger than this fail as if memory ran out (initially no limit):
// lets a fuzzer follow a reader past a huge claim without the memory.
void SetGlobalAllocLimit(SIZE_T bytes);
LPVOID GlobalLock(HGLOBAL block);               // null for a null handle
BOOL GlobalUnlock(HGLOBAL block);
HGLOBAL GlobalFree(HGLOBAL block);  // null on success; freeing null is fine
SIZE_T GlobalSize(HGLOBAL block);   // 0 for a null handle

// Thread-local slots.
constexpr DWORD TLS_OUT_OF_INDEXES = 0xFFFFFFFFu;
DWORD TlsAlloc();
LPVOID TlsGetValue(DWORD index);
BOOL TlsSetValue(DWORD index, LPVOID value);
BOOL TlsFree(DWORD index);

// A recursive lock, as a Windows critical section is.
struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);

// Diagnostics for developers only: the system log at debug priority. Text is
// gathered per thread until a line feed, so "message" then "\n" is one line.
void OutputDebugStringA(const char* text);

// Path of the running executable (module must be null). Returns the length
// copied, or `size` with a truncated, terminated path when it does not fit.
DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size);

void Sleep(DWORD milliseconds);
