// Number texts: integers, doubles and decimals read with the warehouse's rules, rounded, and
// printed as Java prints them.

#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "number_texts.h"
#include "spark_lexer.h"
#include "warehouse_types.h"

namespace whemu {

// Text without the blanks and control characters around it.
std::string_view trimSpaces(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ')
        s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
        s.remove_suffix(1);
    return s;
}

bool parseInt64(std::string_view text, int64_t& value) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return false;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

// A decimal or scientific number; out-of-range magnitudes become infinity or
// zero, as Java's parser gives them.
bool parseDoubleText(std::string_view text, double& value) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.'))
        return false;
    const auto r =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (r.ptr != text.data() + text.size())
        return false;
    if (r.ec == std::errc::result_out_of_range) {
        // Decide between overflow and underflow from the exponent's sign.
        const size_t e = text.find_first_of("eE");
        const bool tiny = e != std::string_view::npos && e + 1 < text.size() && text[e + 1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (r.ec != std::errc()) {
        return false;
    }
    if (negative)
        value = -value;
    return true;
}

// The value of a Double or Float literal, CAST results (NaN, Infinity)
// included.
bool literalDouble(const Literal& l, double& value) {
    if (l.text == "NaN") {
        value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (l.text == "Infinity" || l.text == "-Infinity") {
        value = l.text[0] == '-' ? -std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::infinity();
        return true;
    }
    return parseDoubleText(l.text, value);
}

bool isSpecialDouble(const Literal& l) {
    return (l.kind == Literal::Double || l.kind == Literal::Float) && isNonFiniteSpelling(l.text);
}

// A string cast to DOUBLE: Java's number syntax (with an optional d/f suffix)
// plus the special words NaN, Infinity and inf in any case.
bool stringToDouble(std::string_view text, double& value) {
    text = trimSpaces(text);
    const std::string lower = toLowerAscii(text);
    if (lower == "nan" || lower == "+nan" || lower == "-nan") {
        value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (lower == "inf" || lower == "+inf" || lower == "infinity" || lower == "+infinity") {
        value = std::numeric_limits<double>::infinity();
        return true;
    }
    if (lower == "-inf" || lower == "-infinity") {
        value = -std::numeric_limits<double>::infinity();
        return true;
    }
    if (!lower.empty() && (lower.back() == 'd' || lower.back() == 'f')) {
        text.remove_suffix(1);
    }
    return parseDoubleText(text, value);
}

// A string cast to an integer: sign, digits, and an optional fraction that is
// cut off.
bool stringToInt64(std::string_view text, int64_t& value) {
    text = trimSpaces(text);
    const size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    if (dot != std::string_view::npos) {
        for (char c : text.substr(dot + 1)) {
            if (c < '0' || c > '9')
                return false;
        }
    }
    std::string_view digits = whole;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-'))
        digits.remove_prefix(1);
    if (digits.empty())
        return false;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
    }
    return parseInt64(whole, value);
}

// Digits and a power of ten: value = digits * 10^exponent.
bool splitDecimal(std::string_view text, bool& negative, std::string& digits, long& exponent) {
    negative = false;
    digits.clear();
    exponent = 0;
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    bool any = false;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        digits += text[i++];
        any = true;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            digits += text[i++];
            --exponent;
            any = true;
        }
    }
    if (!any)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool expNegative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            expNegative = text[i++] == '-';
        long e = 0;
        bool expDigits = false;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            if (e < 100000)
                e = e * 10 + (text[i] - '0');
            ++i;
            expDigits = true;
        }
        if (!expDigits)
            return false;
        exponent += expNegative ? -e : e;
    }
    return i == text.size();
}

// Rounds digits*10^exponent half up to `scale` places; false when the result
// needs more than `precision` digits.
bool roundDecimal(bool negative, const std::string& digits, long exponent, int precision, int scale,
                  std::string& out) {
    std::string n;
    const long shift = exponent + scale;
    if (shift >= 0) {
        if (shift > 100) {
            n = digits;
            n.erase(0, n.find_first_not_of('0'));
            if (!n.empty())
                return false;  // far too large
        } else {
            n = digits + std::string(static_cast<size_t>(shift), '0');
        }
    } else {
        const long cut = -shift;
        const long keep = static_cast<long>(digits.size()) - cut;
        char dropped = '0';
        if (keep >= 0) {
            n = digits.substr(0, static_cast<size_t>(keep));
            if (keep < static_cast<long>(digits.size()))
                dropped = digits[static_cast<size_t>(keep)];
        }
        if (dropped >= '5') {
            int i = static_cast<int>(n.size()) - 1;
            while (i >= 0 && n[static_cast<size_t>(i)] == '9')
                n[static_cast<size_t>(i--)] = '0';
            if (i < 0) {
                n.insert(n.begin(), '1');
            } else {
                ++n[static_cast<size_t>(i)];
            }
        }
    }
    n.erase(0, n.find_first_not_of('0'));
    if (static_cast<int>(n.size()) > precision)
        return false;
    const bool zero = n.empty();
    if (n.size() < static_cast<size_t>(scale) + 1)
        n.insert(0, scale + 1 - n.size(), '0');
    if (scale > 0)
        n.insert(n.size() - static_cast<size_t>(scale), 1, '.');
    out = (negative && !zero) ? "-" + n : n;
    return true;
}

namespace {

std::string scientificParts(const char* begin, const char* end, bool& negative, std::string& digits,
                            int& exponent) {
    std::string_view s(begin, static_cast<size_t>(end - begin));
    negative = !s.empty() && s[0] == '-';
    if (negative)
        s.remove_prefix(1);
    const size_t e = s.find('e');
    std::string_view mantissa = s.substr(0, e);
    digits.clear();
    for (char c : mantissa) {
        if (c != '.')
            digits += c;
    }
    exponent = 0;
    std::from_chars(s.data() + e + 1 + (s[e + 1] == '+'), s.data() + s.size(), exponent);
    return digits;
}

// Java's Double.toString layout for shortest round-trip digits.
std::string javaLayout(bool negative, const std::string& digits, int exponent, double magnitude) {
    std::string out = negative ? "-" : "";
    if (magnitude >= 1e-3 && magnitude < 1e7) {
        if (exponent >= 0) {
            std::string whole = digits.substr(0, std::min(digits.size(), size_t(exponent) + 1));
            if (whole.size() < size_t(exponent) + 1)
                whole.append(size_t(exponent) + 1 - whole.size(), '0');
            std::string frac =
                digits.size() > size_t(exponent) + 1 ? digits.substr(size_t(exponent) + 1) : "0";
            out += whole + "." + frac;
        } else {
            out += "0." + std::string(size_t(-exponent - 1), '0') + digits;
        }
    } else {
        out += digits.substr(0, 1) + "." + (digits.size() > 1 ? digits.substr(1) : "0") + "E" +
               std::to_string(exponent);
    }
    return out;
}

}  // namespace

namespace {

// Java's text of a double or a float: the shortest digits that read back as
// the same value of that type.
template <typename Number>
std::string javaNumberText(Number value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "Infinity" : "-Infinity";
    if (value == 0)
        return std::signbit(value) ? "-0.0" : "0.0";
    char buffer[64];
    const auto r =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    bool negative = false;
    std::string digits;
    int exponent = 0;
    scientificParts(buffer, r.ptr, negative, digits, exponent);
    return javaLayout(negative, digits, exponent, std::fabs(static_cast<double>(value)));
}

}  // namespace

std::string formatDouble(double value) {
    return javaNumberText(value);
}

std::string formatFloat(float value) {
    return javaNumberText(value);
}

}  // namespace whemu
