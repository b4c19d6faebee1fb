#include "delivery_ledger.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "datapoint.h"
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

void mix(uint64_t& hash, uint64_t word) {
    for (int shift = 0; shift < 64; shift += 8) {
        hash ^= (word >> shift) & 0xFF;
        hash *= kPrime;
    }
}

void mix(uint64_t& hash, const std::vector<uint8_t>& bytes) {
    for (uint8_t byte : bytes) {
        hash ^= byte;
        hash *= kPrime;
    }
    mix(hash, static_cast<uint64_t>(bytes.size()));
}

void mix(uint64_t& hash, double number) {
    uint64_t bits = 0;
    std::memcpy(&bits, &number, sizeof bits);
    mix(hash, bits);
}

void mixDatapoints(uint64_t& hash, const std::vector<Datapoint*>& datapoints);

// Every part of a value, by its kind: two values mix alike only when they
// are the same value (a double by its bits, an image by its pixels).
void mixValue(uint64_t& hash, const DatapointValue& value) {
    mix(hash, static_cast<uint64_t>(value.getType()));
    switch (value.getType()) {
        case DatapointValue::T_STRING:
            mix(hash, value.toStringValue());
            break;
        case DatapointValue::T_INTEGER:
            mix(hash, static_cast<uint64_t>(value.toInt()));
            break;
        case DatapointValue::T_FLOAT:
            mix(hash, value.toDouble());
            break;
        case DatapointValue::T_FLOAT_ARRAY:
            mix(hash, static_cast<uint64_t>(value.getDpArr()->size()));
            for (double number : *value.getDpArr())
                mix(hash, number);
            break;
        case DatapointValue::T_DP_DICT:
        case DatapointValue::T_DP_LIST:
            mixDatapoints(hash, *value.getDpVec());
            break;
        case DatapointValue::T_IMAGE: {
            const DPImage& image = *value.getImage();
            mix(hash, static_cast<uint64_t>(image.getWidth()));
            mix(hash, static_cast<uint64_t>(image.getHeight()));
            mix(hash, static_cast<uint64_t>(image.getDepth()));
            mix(hash, image.getData());
            break;
        }
        case DatapointValue::T_DATABUFFER:
            mix(hash, static_cast<uint64_t>(value.getDataBuffer()->getItemSize()));
            mix(hash, value.getDataBuffer()->getData());
            break;
    }
}

void mixDatapoints(uint64_t& hash, const std::vector<Datapoint*>& datapoints) {
    mix(hash, static_cast<uint64_t>(datapoints.size()));
    for (const Datapoint* datapoint : datapoints) {
        if (datapoint == nullptr) {
            mix(hash, uint64_t{0});
            continue;
        }
        mix(hash, datapoint->getName());
        mixValue(hash, datapoint->getData());
    }
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
        mixDatapoints(hash, reading->getReadingData());
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
