// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/sealed_jpeg.h"

#include "hiding/payload.h"
#include "hiding/stc.h"

namespace {

static_assert(stc::kNoUp == kJpegNoUp && stc::kNoDown == kJpegNoDown);

// The carrying coefficients as the sealed format sees its elements.
class JpegSealedCarrier : public SealedCarrier {
  public:
    explicit JpegSealedCarrier(JpegCarrier& jpeg) : jpeg_(jpeg) {}
    uint64_t size() const override { return jpeg_.size(); }
    uint8_t Low(uint64_t i) const override { return JpegElementLow(jpeg_.value(i)); }
    void Change(uint64_t i, int delta) override {
        jpeg_.set(i, static_cast<int16_t>(jpeg_.value(i) + delta));
    }
    const void* Address(uint64_t i) const override { return jpeg_.address(i); }
    bool Costs(float* costs) const override { return jpeg_.Costs(costs); }

  private:
    JpegCarrier& jpeg_;
};

// Bytes of the content's elements at `numerator / denominator` bits an
// element, less the content's own tag and name length; negative when none.
int64_t ContentRoom(uint64_t elements, int64_t numerator, int64_t denominator) {
    const SealedLayout layout = SealedLayoutOf(kSealedJpegVersion, elements);
    if (layout.content == 0) {  // not even the salt and header: short of all of it
        const auto bits = static_cast<int64_t>(elements) * numerator / denominator;
        return bits / 8 - static_cast<int64_t>(kSealedFixedBytes);
    }
    const auto bits = static_cast<int64_t>(layout.content) * numerator / denominator;
    return bits / 8 - static_cast<int64_t>(kSealedContentExtraBytes);
}

}  // namespace

int64_t SealedJpegRoom(uint64_t elements) {
    return ContentRoom(elements, kJpegMostBitsPerElement.first, kJpegMostBitsPerElement.second);
}

int64_t SealedJpegHidesWell(uint64_t elements) {
    // The whole file at that rate, salt and header included.
    const auto bits = static_cast<int64_t>(elements) * kJpegWellHiddenBitsPerElement.first /
                      kJpegWellHiddenBitsPerElement.second;
    const int64_t bytes = bits / 8 - static_cast<int64_t>(kSealedFixedBytes);
    return bytes > 0 ? bytes : 0;  // as the picture's figure
}

int SealRecordInJpeg(JpegCarrier& carrier, const Passphrase& passphrase, const SealedRecord& record,
                     const SealOptions& options) {
    JpegSealedCarrier elements(carrier);
    return SealInto(elements, kSealedJpegVersion, passphrase, record, options);
}

UnsealedFile UnsealFileFromJpeg(const JpegCarrier& carrier, const Passphrase& passphrase,
                                UnsealSteps* steps, bool headerOnly, bool keepFrame) {
    // Read only: a decode never changes an element.
    const JpegSealedCarrier elements(const_cast<JpegCarrier&>(carrier));
    return UnsealFrom(elements, kSealedJpegVersion, passphrase, steps, headerOnly, keepFrame);
}
