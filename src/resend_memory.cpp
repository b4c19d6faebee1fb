#include "resend_memory.h"

#include <algorithm>

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

uint64_t ResendMemory::fingerprintOf(const std::vector<Reading*>& readings) {
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

void ResendMemory::remember(uint64_t fingerprint, std::vector<char> writtenFlags) {
    if (std::none_of(writtenFlags.begin(), writtenFlags.end(), [](char f) { return f != 0; })) {
        forget();
        return;
    }
    remembered = fingerprint;
    written = std::move(writtenFlags);
}

void ResendMemory::forget() {
    remembered = 0;
    std::vector<char>().swap(written);
}
