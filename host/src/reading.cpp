#include "reading.h"

#include <stdio.h>
#include <time.h>

#include <chrono>
#include <cstring>

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

namespace {

// First second of the year 10000: below it every year has four digits and the
// date is computed here; later ones go through gmtime_r.
constexpr uint64_t kYear10000 = 253402300800ULL;

// Writes two decimal digits.
inline char* twoDigits(char* out, unsigned value) {
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out + 2;
}

// "YYYY-MM-DD?HH:MM:SS" for a second count below kYear10000, with `separator`
// between date and time; the proleptic Gregorian calendar, as gmtime_r has it.
void civilText(uint64_t seconds, char separator, char* out) {
    const uint64_t days = seconds / 86400;
    const unsigned secondOfDay = static_cast<unsigned>(seconds % 86400);
    // Days since 0000-03-01, counted in 400-year eras of 146097 days.
    const uint64_t shifted = days + 719468;
    const uint64_t era = shifted / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(shifted - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;  // March is 0
    const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const unsigned year = static_cast<unsigned>(era * 400 + yearOfEra) + (month <= 2 ? 1 : 0);

    out = twoDigits(out, year / 100);
    out = twoDigits(out, year % 100);
    *out++ = '-';
    out = twoDigits(out, month);
    *out++ = '-';
    out = twoDigits(out, day);
    *out++ = separator;
    out = twoDigits(out, secondOfDay / 3600);
    *out++ = ':';
    out = twoDigits(out, secondOfDay / 60 % 60);
    *out++ = ':';
    twoDigits(out, secondOfDay % 60);
}

}  // namespace

std::string Reading::formatTime(uint64_t microseconds, readingsDateTimeFormat format, bool addMS) {
    const uint64_t seconds = microseconds / 1000000;
    unsigned fraction = static_cast<unsigned>(microseconds % 1000000);
    const char separator = format == FMT_ISO8601 ? 'T' : ' ';
    // 19 for the date and time, 7 for the fraction, 1 for the Z.
    char text[96];
    size_t length = 19;
    if (seconds < kYear10000) {
        // Readings come in bursts within one second: the date and time of
        // the last second formatted on this thread is kept.
        thread_local uint64_t cachedSeconds = UINT64_MAX;
        thread_local char cachedSeparator = 0;
        thread_local char cachedText[19];
        if (seconds != cachedSeconds || separator != cachedSeparator) {
            civilText(seconds, separator, cachedText);
            cachedSeconds = seconds;
            cachedSeparator = separator;
        }
        std::memcpy(text, cachedText, sizeof cachedText);
    } else {
        // time_t is 64-bit here, so every uint64_t second count below 2^63
        // fits; gmtime_r fails for years it cannot represent and we fall back
        // to the epoch.
        time_t t = static_cast<time_t>(seconds);
        struct tm tm {};
        if (static_cast<uint64_t>(t) != seconds || !gmtime_r(&t, &tm)) {
            t = 0;
            gmtime_r(&t, &tm);
        }
        int n = snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", tm.tm_year + 1900,
                         tm.tm_mon + 1, tm.tm_mday, separator, tm.tm_hour, tm.tm_min, tm.tm_sec);
        length = n > 0 ? static_cast<size_t>(n) : 0;
        if (length > sizeof text - 9)
            length = sizeof text - 9;
    }
    if (addMS) {
        text[length] = '.';
        for (size_t i = 6; i > 0; --i) {
            text[length + i] = static_cast<char>('0' + fraction % 10);
            fraction /= 10;
        }
        length += 7;
    }
    if (format == FMT_ISO8601)
        text[length++] = 'Z';
    std::string out;
    // Room for a zone suffix such as "+00:00", which callers commonly append.
    out.reserve(length + 8);
    out.append(text, length);
    return out;
}

std::string Reading::getAssetDateTime(readingsDateTimeFormat format, bool addMS) const {
    return formatTime(timestamp, format, addMS);
}

std::string Reading::getAssetDateUserTime(readingsDateTimeFormat format, bool addMS) const {
    return formatTime(userTimestamp, format, addMS);
}
