// SPDX-License-Identifier: GPL-3.0-or-later
// The input is a carrier as a decode sees it: colour bytes for the 24-bit
// methods, palette indices for the 8-bit ones. Every method reads a payload
// from it; nothing may be read past its end.
#include <cstddef>
#include <cstdint>

#include "hiding/payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The last byte may claim up to three more rows than the carrier holds,
    // so the capacity check passes sizes the carrier cannot supply.
    const uint32_t claimedRows = size == 0 ? 1 : 1 + (data[size - 1] & 3);
    for (const HidingMethod method : kDetectionOrder) {
        CarriesSignature(method, data, size);
        const uint32_t width =
            static_cast<uint32_t>(GetMethodInfo(method).indexed ? size : size / 3);
        PayloadReader reader(method, data, size, width, claimedRows);
        // The decode stops at a wrong signature; going on reaches the later
        // steps without the fuzzer having to spell it bit by bit.
        if (reader.ReadHeader() != nullptr) continue;
        if (reader.ReadName() != nullptr || reader.CheckDataSize() != nullptr) continue;
        if (!reader.AllocateData()) continue;
        reader.ReadData();
    }
    return 0;
}
