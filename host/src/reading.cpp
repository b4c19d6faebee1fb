#include "reading.h"

#include <stdio.h>
#include <time.h>

#include <chrono>

namespace {

uint64_t nowMicros() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    return micros < 0 ? 0 : static_cast<uint64_t>(micros);
}

}  // namespace

Reading::Reading(const std::string& asset, std::vector<Datapoint*> values)
    : asset(asset), timestamp(nowMicros()), userTimestamp(timestamp), values(std::move(values)) {}

Reading::Reading(const std::string& asset, Datapoint* value)
    : asset(asset), timestamp(nowMicros()), userTimestamp(timestamp) {
    if (value)
        values.push_back(value);
}

Reading::Reading(const Reading& other)
    : asset(other.asset), timestamp(other.timestamp), userTimestamp(other.userTimestamp) {
    values.reserve(other.values.size());
    try {
        for (const Datapoint* dp : other.values) {
            if (dp)
                values.push_back(new Datapoint(*dp));
        }
    } catch (...) {
        for (Datapoint* dp : values)
            delete dp;
        throw;
    }
}

Reading::~Reading() {
    for (Datapoint* dp : values)
        delete dp;
}

Datapoint* Reading::getDatapoint(const std::string& name) const {
    for (Datapoint* dp : values) {
        if (dp && dp->getName() == name)
            return dp;
    }
    return nullptr;
}

std::string Reading::formatTime(uint64_t microseconds, readingsDateTimeFormat format, bool addMS) {
    // time_t is 64-bit here, so every uint64_t second count below 2^63 fits;
    // gmtime_r fails for years it cannot represent and we fall back to the epoch.
    const uint64_t seconds = microseconds / 1000000;
    const unsigned fraction = static_cast<unsigned>(microseconds % 1000000);
    time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (static_cast<uint64_t>(t) != seconds || !gmtime_r(&t, &tm)) {
        t = 0;
        gmtime_r(&t, &tm);
    }
    const char separator = format == FMT_ISO8601 ? 'T' : ' ';
    char text[96];
    int n = snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", tm.tm_year + 1900,
                     tm.tm_mon + 1, tm.tm_mday, separator, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string out(text, n > 0 ? static_cast<size_t>(n) : 0);
    if (addMS) {
        snprintf(text, sizeof text, ".%06u", fraction);
        out += text;
    }
    if (format == FMT_ISO8601)
        out += 'Z';
    return out;
}

std::string Reading::getAssetDateTime(readingsDateTimeFormat format, bool addMS) const {
    return formatTime(timestamp, format, addMS);
}

std::string Reading::getAssetDateUserTime(readingsDateTimeFormat format, bool addMS) const {
    return formatTime(userTimestamp, format, addMS);
}
