#include "text_util.h"

#include <cstring>

namespace {
inline bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}
}  // namespace

std::string foldAsciiCase(const std::string& text) {
    std::string folded(text);
    for (char& c : folded)
        c = foldAsciiCase(c);
    return folded;
}

bool hasUpperAscii(const std::string& text) {
    for (char c : text) {
        if (c >= 'A' && c <= 'Z')
            return true;
    }
    return false;
}

bool equalsIgnoringAsciiCase(const std::string& text, const char* word) {
    const size_t length = std::strlen(word);
    if (text.size() != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (foldAsciiCase(text[i]) != foldAsciiCase(word[i]))
            return false;
    }
    return true;
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
