#include "number_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace {

// The shortest round-trip digits of finite, non-zero `v` and the decimal
// exponent of the first one: v = [-]d.ddd * 10^exponent.
struct ShortestDigits {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

ShortestDigits shortestDigits(double v) {
    char buffer[64];  // [-]d[.ddd]e<sign><digits>
    const std::to_chars_result written =
        std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::scientific);
    const char* p = buffer;
    const char* const end = written.ptr;
    ShortestDigits result;
    result.negative = *p == '-';
    if (result.negative)
        ++p;
    for (; p < end && *p != 'e'; ++p) {
        if (*p != '.')
            result.digits.push_back(*p);
    }
    ++p;  // the 'e'
    const bool negativeExponent = *p == '-';
    ++p;  // its sign, always written
    for (; p < end; ++p)
        result.exponent = result.exponent * 10 + (*p - '0');
    if (negativeExponent)
        result.exponent = -result.exponent;
    return result;
}

// Lays the digits out as Java's Double.toString does.
std::string layOut(const ShortestDigits& number) {
    const std::string& digits = number.digits;
    const int exponent = number.exponent;
    std::string text;
    text.reserve(digits.size() + 10);
    if (number.negative)
        text.push_back('-');
    if (exponent < -3 || exponent >= 7) {
        text.push_back(digits[0]);
        text.push_back('.');
        if (digits.size() > 1)
            text.append(digits, 1, std::string::npos);
        else
            text.push_back('0');
        text.push_back('E');
        text.append(std::to_string(exponent));
    } else if (exponent < 0) {
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
    return text;
}

// Stores the value of one of the words for NaN and the infinities.
bool readNonFiniteWord(const std::string& text, double* out) {
    if (text == "NaN" || text == "nan") {
        *out = std::nan("");
    } else if (text == "Infinity" || text == "inf") {
        *out = HUGE_VAL;
    } else if (text == "-Infinity" || text == "-inf") {
        *out = -HUGE_VAL;
    } else {
        return false;
    }
    return true;
}

// The parts of a decimal number text, as parseDoubleText accepts it.
struct DecimalForm {
    bool negative = false;
    const char* integerStart = nullptr;
    const char* integerEnd = nullptr;
    const char* fractionStart = nullptr;
    const char* fractionEnd = nullptr;
    long long exponent = 0;  // capped far beyond any double's range
};

using numbertext_detail::skipDigits;

// Returns true iff [begin, end) is a decimal number, and then fills *form.
bool scanDecimalForm(const char* begin, const char* end, DecimalForm* form) {
    const char* p = begin;
    form->negative = p < end && *p == '-';
    if (form->negative)
        ++p;
    form->integerStart = p;
    p = form->integerEnd = skipDigits(p, end);
    form->fractionStart = form->fractionEnd = p;
    if (p < end && *p == '.') {
        form->fractionStart = ++p;
        p = form->fractionEnd = skipDigits(p, end);
    }
    if (form->integerStart == form->integerEnd && form->fractionStart == form->fractionEnd)
        return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negativeExponent = p < end && *p == '-';
        if (p < end && (*p == '-' || *p == '+'))
            ++p;
        const char* const exponentStart = p;
        for (; p < end && isDigit(*p); ++p) {
            if (form->exponent < 1000000000)
                form->exponent = form->exponent * 10 + (*p - '0');
        }
        if (p == exponentStart)
            return false;
        if (negativeExponent)
            form->exponent = -form->exponent;
    }
    return p == end;
}

// For a number beyond the range of a double: returns true iff it is too small
// (an underflow), and then stores a zero of its sign. The decimal magnitude of
// its first significant digit tells an underflow from an overflow.
bool underflowToZero(const DecimalForm& form, double* value) {
    long long magnitude = 0;
    const char* q = form.integerStart;
    while (q < form.integerEnd && *q == '0')
        ++q;
    if (q < form.integerEnd) {
        magnitude = form.integerEnd - q;
    } else {
        q = form.fractionStart;
        while (q < form.fractionEnd && *q == '0')
            ++q;
        magnitude = -(q - form.fractionStart);
    }
    if (magnitude + form.exponent > 0)
        return false;
    *value = form.negative ? -0.0 : 0.0;
    return true;
}

}  // namespace

std::string numbertext_detail::otherDoubleText(double v) {
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v < 0 ? "-Infinity" : "Infinity";
    if (v == 0)
        return std::signbit(v) ? "-0.0" : "0.0";
    return layOut(shortestDigits(v));
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

void appendIntegerText(std::string& out, int64_t v) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
}

bool parseDoubleText(const std::string& text, double* out) {
    if (readNonFiniteWord(text, out))
        return true;
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    DecimalForm form;
    if (!scanDecimalForm(begin, end, &form))
        return false;
    double value = 0;
    const std::from_chars_result read =
        std::from_chars(begin, end, value, std::chars_format::general);
    if (read.ec == std::errc::result_out_of_range) {
        if (!underflowToZero(form, &value))
            return false;  // too large for a double
    } else if (read.ec != std::errc() || read.ptr != end) {
        return false;
    }
    *out = value;
    return true;
}

bool isNonFiniteText(const std::string& text) {
    double ignored = 0;
    return readNonFiniteWord(text, &ignored);
}

bool parseIntegerText(const std::string& text, int64_t* out) {
    const char* end = text.data() + text.size();
    int64_t value = 0;
    const std::from_chars_result read = std::from_chars(text.data(), end, value);
    if (read.ec != std::errc() || read.ptr != end || text.empty())
        return false;
    *out = value;
    return true;
}

bool fitsDecimalDigits(const std::string& text, int precision, int scale) {
    if (!isPlainNumber(text) || text.find_first_of("eE") != std::string::npos)
        return false;
    size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    while (i + 1 < text.size() && text[i] == '0' && text[i + 1] != '.')
        ++i;  // leading zeros
    const size_t point = text.find('.', i);
    const size_t integerDigits = (point == std::string::npos ? text.size() : point) - i;
    size_t fractionDigits = 0;
    if (point != std::string::npos) {
        size_t last = text.size();
        while (last > point + 1 && text[last - 1] == '0')
            --last;
        fractionDigits = last - point - 1;
    }
    const bool zero = integerDigits == 1 && text[i] == '0';
    return static_cast<int>(fractionDigits) <= scale &&
           (zero || static_cast<int>(integerDigits) <= precision - scale);
}
