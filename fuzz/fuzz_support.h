#pragma once
// Helpers shared by the fuzz targets: a check that aborts with a message (so
// libFuzzer records the input), the warehouse's naming rules written out
// independently of the plugin, and a quiet logger. Header-only.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "logger.h"

#define FUZZ_CHECK(condition, what)                                                        \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "oracle failed: %s (%s:%d)\n", what, __FILE__, __LINE__); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace fuzzsupport {

// Only errors reach stderr; nothing is captured.
inline void quietLogger() {
    static const bool done = [] {
        Logger::getLogger()->setMinLevel(Logger::Level::ERROR);
        return true;
    }();
    (void)done;
}

inline bool refusedInTable(unsigned char c) {
    return c == '.' || c == ' ' || c == '/' || c < 0x20 || c == 0x7F;
}

inline bool refusedInColumn(unsigned char c) {
    return c == ' ' || c == ',' || c == ';' || c == '{' || c == '}' || c == '(' || c == ')' ||
           c == '=' || c < 0x20 || c == 0x7F;
}

// `name` cut to 255 bytes before a UTF-8 sequence that would not fit whole.
inline std::string cutName(std::string out) {
    if (out.size() > 255) {
        size_t cut = 255;
        size_t back = 0;
        while (cut > 0 && back < 3 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) {
            --cut;
            ++back;
        }
        if ((static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
            cut = 255;
        out.resize(cut);
    }
    return out;
}

// The table name the warehouse can hold for `name`: refused bytes become '_',
// then the name is cut as cutName does.
inline std::string tableFor(const std::string& name) {
    std::string out;
    for (char c : name)
        out += refusedInTable(static_cast<unsigned char>(c)) ? '_' : c;
    return cutName(out);
}

// The column name the warehouse can hold for `name`, by the same steps.
inline std::string columnFor(const std::string& name) {
    std::string out;
    for (char c : name)
        out += refusedInColumn(static_cast<unsigned char>(c)) ? '_' : c;
    return cutName(out);
}

inline std::string lowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Strict UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
inline bool validUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = 0;
        unsigned long cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (size_t k = 1; k <= n; ++k) {
            if (i + k >= s.size())
                return false;
            const unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

// The text with every byte outside a well-formed UTF-8 sequence replaced by
// U+FFFD, one replacement per byte.
inline std::string utf8Repaired(const std::string& s) {
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        size_t n = 1;
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            n = 0;
            for (size_t length = 2; length <= 4 && n == 0; ++length) {
                if (i + length <= s.size() && validUtf8(s.substr(i, length)))
                    n = length;
            }
        }
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

}  // namespace fuzzsupport
