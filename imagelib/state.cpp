// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/state.h"

#include <cstring>

namespace {

struct RecordNode {
    PixThreadState* record;
    RecordNode* next;
};

// Process-wide: the slot that points each thread at its record, and every
// record ever made, so they are released at exit even after their thread ended.
class RecordList {
  public:
    RecordList() {
        slot_ = TlsAlloc();
        if (slot_ == TLS_OUT_OF_INDEXES) throw TlsException(static_cast<int32_t>(GetLastError()));
        InitializeCriticalSection(&lock_);
    }

    ~RecordList() {
        if (slot_ != TLS_OUT_OF_INDEXES) TlsFree(slot_);
        EnterCriticalSection(&lock_);
        while (head_ != nullptr) {
            RecordNode* node = head_;
            head_ = node->next;
            delete node->record;
            delete node;
        }
        LeaveCriticalSection(&lock_);
        DeleteCriticalSection(&lock_);
    }

    PixThreadState& Current() {
        if (auto* record = static_cast<PixThreadState*>(TlsGetValue(slot_))) return *record;
        auto* record = new PixThreadState();
        if (!TlsSetValue(slot_, record)) {
            const auto code = static_cast<int32_t>(GetLastError());
            delete record;
            throw TlsException(code);
        }
        auto* node = new RecordNode{record, nullptr};
        EnterCriticalSection(&lock_);
        node->next = head_;
        head_ = node;
        LeaveCriticalSection(&lock_);
        return *record;
    }

  private:
    DWORD slot_ = TLS_OUT_OF_INDEXES;
    RecordNode* head_ = nullptr;
    CRITICAL_SECTION lock_;
};

// Built on first use rather than by static initialisation order, so a
// library call from another translation unit's static initialiser is safe.
RecordList& Records() {
    static RecordList records;
    return records;
}

}  // namespace

namespace {
// Apart from the record: polled between rows, it must cost no allocation.
thread_local const std::atomic<bool>* cancelFlag = nullptr;
}  // namespace

void PixSetCancelFlag(const std::atomic<bool>* flag) {
    cancelFlag = flag;
}

const std::atomic<bool>* PixCancelFlag() {
    return cancelFlag;
}

bool PixCancelled() {
    return cancelFlag != nullptr && cancelFlag->load(std::memory_order_relaxed);
}

const char* PixErrorText(int code) {
    switch (code) {
#define PIX_ERROR(name, value, text) \
    case value:                      \
        return text;
#include "imagelib/errors.def"
#undef PIX_ERROR
    }
    return nullptr;
}

std::string PixErrorMessage(int code) {
    if (const char* text = PixErrorText(code)) return text;
    return "Error #" + std::to_string(code);
}

PixThreadState& PixState() {
    return Records().Current();
}

int PixSetLastError(int code) {
    PixState().lastError = code;
    return code;
}

int PixGetLastError() {
    return PixState().lastError;
}

HGLOBAL PixNewTextBlock(const std::string& text) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, text.size() + 1);
    if (block == nullptr) return nullptr;
    std::memcpy(GlobalLock(block), text.data(), text.size());
    GlobalUnlock(block);
    return block;
}
