#include "utf8.h"

#include <cstdint>
#include <cstring>

namespace {

inline bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence at text[i]; 0 when there is none.
size_t sequenceAt(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80)
        return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    const unsigned char second = static_cast<unsigned char>(text[i + 1]);
    if (second < low || second > high)
        return 0;
    for (size_t k = 2; k < length; ++k) {
        if (!isContinuation(static_cast<unsigned char>(text[i + k])))
            return 0;
    }
    return length;
}

}  // namespace

bool isUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        // Eight ASCII bytes at a time.
        if (i + 8 <= text.size()) {
            uint64_t word;
            std::memcpy(&word, text.data() + i, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const size_t length = sequenceAt(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

std::string utf8Repaired(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    size_t i = 0;
    while (i < text.size()) {
        const size_t length = sequenceAt(text, i);
        if (length == 0) {
            out.append("\xEF\xBF\xBD", 3);
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

size_t utf8Length(const std::string& text) {
    size_t count = 0;
    for (char c : text)
        count += !isContinuation(static_cast<unsigned char>(c));
    return count;
}

size_t utf8PrefixBytes(const std::string& text, size_t characters) {
    size_t seen = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!isContinuation(static_cast<unsigned char>(text[i])) && seen++ == characters)
            return i;
    }
    return text.size();
}

size_t utf8CutPoint(const char* s, size_t length, size_t maxBytes) {
    if (length <= maxBytes)
        return length;
    // Step back over continuation bytes (at most three, the longest tail a
    // sequence has) to the byte that starts the character at the cut.
    size_t cut = maxBytes;
    size_t steps = 0;
    while (cut > 0 && steps < 3 && isContinuation(static_cast<unsigned char>(s[cut]))) {
        --cut;
        ++steps;
    }
    if (isContinuation(static_cast<unsigned char>(s[cut])))
        return maxBytes;
    return cut;
}

void cutUtf8(std::string& text, size_t maxBytes) {
    text.resize(utf8CutPoint(text.data(), text.size(), maxBytes));
}

size_t utf8CompleteLength(const char* s, size_t length) {
    size_t lead = length;
    size_t continuation = 0;
    while (lead > 0 && continuation < 3 &&
           isContinuation(static_cast<unsigned char>(s[lead - 1]))) {
        --lead;
        ++continuation;
    }
    if (lead == 0)
        return length;
    const unsigned char first = static_cast<unsigned char>(s[lead - 1]);
    size_t expected = 0;
    if ((first & 0xE0) == 0xC0) {
        expected = 2;
    } else if ((first & 0xF0) == 0xE0) {
        expected = 3;
    } else if ((first & 0xF8) == 0xF0) {
        expected = 4;
    } else {
        return length;  // ASCII or not UTF-8 at all: nothing to drop
    }
    return continuation + 1 < expected ? lead - 1 : length;
}
