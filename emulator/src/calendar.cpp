// Dates and timestamps as the warehouse reads and prints them: the civil calendar, time zones, and
// the UTC text "YYYY-MM-DD HH:MM:SS.ffffff".

#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "calendar.h"
#include "diagnostics.h"
#include "number_texts.h"
#include "spark_lexer.h"
#include "warehouse_types.h"

namespace whemu {

namespace {

// ---- calendar ---------------------------------------------------------------

int64_t daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, int64_t& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = yoe + era * 400;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y += m <= 2;
}

// Appends `value` (0 or more) with at least `width` digits.
void putDigits(std::string& out, int64_t value, int width) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 && n < 20);
    for (int i = n; i < width; ++i)
        out += '0';
    while (n > 0)
        out += digits[--n];
}

int daysInMonth(int64_t y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0))
        return 29;
    return days[m - 1];
}

bool digitsAt(std::string_view s, size_t& i, int minCount, int maxCount, int& value) {
    int count = 0;
    value = 0;
    while (i < s.size() && count < maxCount && s[i] >= '0' && s[i] <= '9') {
        value = value * 10 + (s[i] - '0');
        ++i;
        ++count;
    }
    return count >= minCount;
}

// yyyy[-[m]m[-[d]d]] at s[i..]; leaves i after the date.
bool parseDatePart(std::string_view s, size_t& i, int64_t& days) {
    int year = 0, month = 1, day = 1;
    if (!digitsAt(s, i, 4, 4, year) || year < 1)
        return false;
    if (i < s.size() && s[i] == '-') {
        ++i;
        if (!digitsAt(s, i, 1, 2, month))
            return false;
        if (i < s.size() && s[i] == '-') {
            ++i;
            if (!digitsAt(s, i, 1, 2, day))
                return false;
        }
    }
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))
        return false;
    days = daysFromCivil(year, month, day);
    return true;
}

bool startsWithIgnoreCase(std::string_view s, size_t i, std::string_view word) {
    return s.size() - i >= word.size() && equalsIgnoreCase(s.substr(i, word.size()), word);
}

// Z, UTC, GMT, UT, +h, +hh:mm, +hhmm, +hh:mm:ss, UTC+hh:mm ... up to the end.
bool parseZone(std::string_view s, size_t i, int64_t& offsetSeconds) {
    offsetSeconds = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    if (i == s.size())
        return true;
    if ((s[i] == 'Z' || s[i] == 'z') && i + 1 == s.size())
        return true;
    if (startsWithIgnoreCase(s, i, "UTC") || startsWithIgnoreCase(s, i, "GMT")) {
        i += 3;
    } else if (startsWithIgnoreCase(s, i, "UT")) {
        i += 2;
    }
    if (i == s.size())
        return true;
    if (s[i] != '+' && s[i] != '-')
        return false;
    const int sign = s[i] == '-' ? -1 : 1;
    ++i;
    int hours = 0, minutes = 0, seconds = 0;
    if (!digitsAt(s, i, 1, 2, hours))
        return false;
    if (i < s.size()) {
        if (s[i] == ':')
            ++i;
        if (!digitsAt(s, i, 2, 2, minutes))
            return false;
        if (i < s.size()) {
            if (s[i] == ':')
                ++i;
            if (!digitsAt(s, i, 2, 2, seconds))
                return false;
        }
    }
    if (i != s.size() || minutes > 59 || seconds > 59)
        return false;
    const int64_t total = hours * 3600 + minutes * 60 + seconds;
    if (total > 18 * 3600)
        return false;
    offsetSeconds = sign * total;
    return true;
}

}  // namespace

bool parseTimestamp(std::string_view text, int64_t& microsUtc) {
    const std::string_view s = trimSpaces(text);
    size_t i = 0;
    int64_t days = 0;
    if (!parseDatePart(s, i, days))
        return false;
    int hour = 0, minute = 0, second = 0;
    int64_t fraction = 0, offset = 0;
    if (i < s.size()) {
        if (s[i] != ' ' && s[i] != 'T')
            return false;
        ++i;
        if (i < s.size()) {
            if (!digitsAt(s, i, 1, 2, hour))
                return false;
            if (i >= s.size() || s[i] != ':')
                return false;
            ++i;
            if (!digitsAt(s, i, 1, 2, minute))
                return false;
            if (i < s.size() && s[i] == ':') {
                ++i;
                if (!digitsAt(s, i, 1, 2, second))
                    return false;
                if (i < s.size() && s[i] == '.') {
                    ++i;
                    int count = 0;
                    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && count < 9) {
                        if (count < 6)
                            fraction = fraction * 10 + (s[i] - '0');
                        ++i;
                        ++count;
                    }
                    if (count == 0)
                        return false;
                    for (; count < 6; ++count)
                        fraction *= 10;
                }
            }
            if (hour > 23 || minute > 59 || second > 59)
                return false;
            if (!parseZone(s, i, offset))
                return false;
        }
    }
    const int64_t seconds = days * kSecondsPerDay + hour * 3600 + minute * 60 + second - offset;
    const int64_t micros = seconds * kMicrosPerSecond + fraction;
    const int64_t low = daysFromCivil(1, 1, 1) * kMicrosPerDay;
    const int64_t high = daysFromCivil(10000, 1, 1) * kMicrosPerDay;
    if (micros < low || micros >= high)
        return false;
    microsUtc = micros;
    return true;
}

std::string formatTimestamp(int64_t micros) {
    int64_t days = micros / kMicrosPerDay;
    int64_t rest = micros % kMicrosPerDay;
    if (rest < 0) {
        rest += kMicrosPerDay;
        --days;
    }
    std::string text = formatDate(days);
    const int64_t secondOfDay = rest / kMicrosPerSecond;
    text += ' ';
    putDigits(text, secondOfDay / 3600, 2);
    text += ':';
    putDigits(text, secondOfDay / 60 % 60, 2);
    text += ':';
    putDigits(text, secondOfDay % 60, 2);
    text += '.';
    putDigits(text, rest % kMicrosPerSecond, 6);
    return text;
}

bool parseDate(std::string_view text, int64_t& days) {
    const std::string_view s = trimSpaces(text);
    size_t i = 0;
    if (!parseDatePart(s, i, days))
        return false;
    // Anything after a blank or a T (a time, a zone) is ignored, as the
    // warehouse's cast to DATE does.
    return i == s.size() || s[i] == ' ' || s[i] == 'T';
}

std::string formatDate(int64_t days) {
    int64_t y = 0;
    int m = 0, d = 0;
    civilFromDays(days, y, m, d);
    std::string text;
    text.reserve(26);
    putDigits(text, y, 4);
    text += '-';
    putDigits(text, m, 2);
    text += '-';
    putDigits(text, d, 2);
    return text;
}

}  // namespace whemu
