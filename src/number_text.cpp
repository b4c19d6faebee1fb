#include "number_text.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::string shortestDoubleText(double v) {
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v < 0 ? "-Infinity" : "Infinity";
    if (v == 0)
        return std::signbit(v) ? "-0.0" : "0.0";

    // The shortest round-trip digits, as [-]d[.ddd]e<sign><digits>.
    char buffer[64];
    const std::to_chars_result written =
        std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::scientific);
    const char* p = buffer;
    const char* const end = written.ptr;
    const bool negative = *p == '-';
    if (negative)
        ++p;
    std::string digits;
    for (; p < end && *p != 'e'; ++p) {
        if (*p != '.')
            digits.push_back(*p);
    }
    int exponent = 0;
    ++p;  // the 'e'
    const bool negativeExponent = *p == '-';
    ++p;  // its sign, always written
    for (; p < end; ++p)
        exponent = exponent * 10 + (*p - '0');
    if (negativeExponent)
        exponent = -exponent;

    std::string text;
    text.reserve(digits.size() + 10);
    if (negative)
        text.push_back('-');
    if (exponent >= -3 && exponent < 7) {
        // Plain decimal: the value is 0.<digits> * 10^(exponent + 1).
        if (exponent < 0) {
            text.append("0.");
            text.append(static_cast<size_t>(-exponent - 1), '0');
            text.append(digits);
        } else {
            const size_t integerDigits = static_cast<size_t>(exponent) + 1;
            if (digits.size() <= integerDigits) {
                text.append(digits);
                text.append(integerDigits - digits.size(), '0');
                text.append(".0");
            } else {
                text.append(digits, 0, integerDigits);
                text.push_back('.');
                text.append(digits, integerDigits, std::string::npos);
            }
        }
    } else {
        text.push_back(digits[0]);
        text.push_back('.');
        if (digits.size() > 1)
            text.append(digits, 1, std::string::npos);
        else
            text.push_back('0');
        text.push_back('E');
        text.append(std::to_string(exponent));
    }
    return text;
}

void appendSparkDouble(std::string& out, double v) {
    if (std::isnan(v)) {
        out.append("CAST('NaN' AS DOUBLE)");
    } else if (std::isinf(v)) {
        out.append(v < 0 ? "CAST('-Infinity' AS DOUBLE)" : "CAST('Infinity' AS DOUBLE)");
    } else {
        out.append(shortestDoubleText(v));
        out.push_back('D');
    }
}

bool parseDoubleText(const std::string& text, double* out) {
    if (text == "NaN" || text == "nan") {
        *out = std::nan("");
        return true;
    }
    if (text == "Infinity" || text == "inf") {
        *out = HUGE_VAL;
        return true;
    }
    if (text == "-Infinity" || text == "-inf") {
        *out = -HUGE_VAL;
        return true;
    }

    // Check the form, and note the decimal magnitude of the first significant
    // digit to tell an overflow from an underflow below.
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* p = begin;
    const bool negative = p < end && *p == '-';
    if (negative)
        ++p;
    const char* const integerStart = p;
    while (p < end && isDigit(*p))
        ++p;
    const char* const integerEnd = p;
    const char* fractionStart = p;
    const char* fractionEnd = p;
    if (p < end && *p == '.') {
        fractionStart = ++p;
        while (p < end && isDigit(*p))
            ++p;
        fractionEnd = p;
    }
    if (integerStart == integerEnd && fractionStart == fractionEnd)
        return false;
    long long exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negativeExponent = p < end && *p == '-';
        if (p < end && (*p == '-' || *p == '+'))
            ++p;
        const char* const exponentStart = p;
        for (; p < end && isDigit(*p); ++p) {
            if (exponent < 1000000000)
                exponent = exponent * 10 + (*p - '0');
        }
        if (p == exponentStart)
            return false;
        if (negativeExponent)
            exponent = -exponent;
    }
    if (p != end)
        return false;

    double value = 0;
    const std::from_chars_result read =
        std::from_chars(begin, end, value, std::chars_format::general);
    if (read.ec == std::errc::result_out_of_range) {
        long long magnitude = 0;
        const char* q = integerStart;
        while (q < integerEnd && *q == '0')
            ++q;
        if (q < integerEnd) {
            magnitude = integerEnd - q;
        } else {
            q = fractionStart;
            while (q < fractionEnd && *q == '0')
                ++q;
            magnitude = -(q - fractionStart);
        }
        if (magnitude + exponent > 0)
            return false;  // too large for a double
        value = negative ? -0.0 : 0.0;
    } else if (read.ec != std::errc() || read.ptr != end) {
        return false;
    }
    *out = value;
    return true;
}
