#include "text_util.h"

namespace {

bool sameFolded(const char* a, const char* b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (foldAsciiCase(a[i]) != foldAsciiCase(b[i]))
            return false;
    }
    return true;
}

}  // namespace

std::string foldAsciiCase(const std::string& text) {
    std::string folded(text);
    for (char& c : folded)
        c = foldAsciiCase(c);
    return folded;
}

std::string upperAsciiCase(const std::string& text) {
    std::string upper(text);
    for (char& c : upper)
        c = upperAsciiCase(c);
    return upper;
}

std::string countOf(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
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
    return text.size() == length && sameFolded(text.data(), word, length);
}

bool equalsIgnoringAsciiCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && sameFolded(a.data(), b.data(), a.size());
}

bool containsIgnoringAsciiCase(const std::string& text, const char* needle, size_t length) {
    if (length > text.size())
        return false;
    if (length == 0)
        return true;
    const char first = foldAsciiCase(needle[0]);
    const size_t last = text.size() - length;
    for (size_t start = 0; start <= last; ++start) {
        if (foldAsciiCase(text[start]) == first &&
            sameFolded(text.data() + start + 1, needle + 1, length - 1))
            return true;
    }
    return false;
}
