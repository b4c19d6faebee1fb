#pragma once
// ASCII case folding: the one place where the plugin compares or changes the
// letter case of names and keywords.
//
// Only the letters A to Z change, never by locale, because the warehouse
// compares table and column names that way: every name the plugin compares,
// caches or sends in an information-schema query is folded here, and type
// names are matched here whatever their case. All functions are pure and
// thread-safe.

#include <cstddef>
#include <cstring>
#include <string>

// Returns `c` in lower case if it is one of A to Z, otherwise `c` unchanged.
inline char foldAsciiCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Returns `c` in upper case if it is one of a to z, otherwise `c` unchanged.
inline char upperAsciiCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Returns `text` with A to Z in lower case and every other byte unchanged.
std::string foldAsciiCase(const std::string& text);

// Returns `text` with a to z in upper case and every other byte unchanged.
std::string upperAsciiCase(const std::string& text);

// Returns "<count> <one>" when `count` is 1, else "<count> <many>": a count
// for the log ("1 value", "3 values").
std::string countOf(size_t count, const char* one, const char* many);

// Returns true iff `text` holds one of the letters A to Z.
bool hasUpperAscii(const std::string& text);

// Returns true iff `text` equals `word` when A to Z are folded on both sides.
bool equalsIgnoringAsciiCase(const std::string& text, const char* word);
bool equalsIgnoringAsciiCase(const std::string& a, const std::string& b);

// Returns true iff `text` contains the `length` bytes of `needle` when A to Z
// are folded on both sides.
bool containsIgnoringAsciiCase(const std::string& text, const char* needle, size_t length);
inline bool containsIgnoringAsciiCase(const std::string& text, const char* needle) {
    return containsIgnoringAsciiCase(text, needle, std::strlen(needle));
}
