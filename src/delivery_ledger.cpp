#include "delivery_ledger.h"

#include <algorithm>
#include <string>

#include "reading.h"

namespace {
// FNV-1a, 64 bits.
constexpr uint64_t kOffset = 1469598103934665603ULL;
constexpr uint64_t kPrime = 1099511628211ULL;

void mix(uint64_t& hash, const std::string& text) {
    for (unsigned char c : text) {
        hash ^= c;
        hash *= kPrime;
    }
    // The length ends the text, so ("ab", "c") and ("a", "bc") differ.
    hash ^= text.size();
    hash *= kPrime;
}
}  // namespace

uint64_t DeliveryLedger::fingerprintOf(const std::vector<Reading*>& readings) {
    uint64_t hash = kOffset;
    mix(hash, std::to_string(readings.size()));
    for (const Reading* reading : readings) {
        if (reading == nullptr) {
            mix(hash, std::string());
            continue;
        }
        mix(hash, reading->getAssetName());
        mix(hash, reading->getAssetDateUserTime(Reading::FMT_DEFAULT, true));
        mix(hash, reading->getAssetDateTime(Reading::FMT_DEFAULT, true));
    }
    return hash;
}

DeliveryLedger::Batch DeliveryLedger::begin(const std::vector<Reading*>& readings) const {
    Batch batch(readings);
    // The fingerprint costs a pass over every reading: it is taken only when
    // there is something to compare it with, or when the batch fails.
    if (holdsWrites()) {
        batch.print = fingerprintOf(readings);
        batch.hasPrint = true;
    }
    const bool resend =
        batch.hasPrint && batch.print == remembered && written.size() == readings.size();
    batch.pendingReadings.reserve(readings.size());
    batch.origin.reserve(readings.size());
    for (size_t i = 0; i < readings.size(); ++i) {
        if (resend && written[i] != 0) {
            batch.written[i] = 1;
            continue;
        }
        batch.pendingReadings.push_back(readings[i]);
        batch.origin.push_back(i);
    }
    return batch;
}

void DeliveryLedger::end(Batch& batch, bool sent) {
    if (sent || std::none_of(batch.written.begin(), batch.written.end(),
                             [](char flag) { return flag != 0; })) {
        forget();
        return;
    }
    remembered = batch.hasPrint ? batch.print : fingerprintOf(batch.all);
    written = std::move(batch.written);
}

void DeliveryLedger::forget() {
    remembered = 0;
    std::vector<char>().swap(written);
}

void DeliveryLedger::Batch::markWritten(const std::vector<size_t>& indices) {
    for (size_t index : indices)
        markWritten(index);
}

void DeliveryLedger::noteCaughtUp(bool sent, size_t checked, size_t skipped) {
    if (sent && checked > 0 && skipped == 0)
        catchingUp = false;
}
