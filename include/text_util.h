#pragma once
// Text helpers shared by the whole plugin: ASCII case folding and cutting UTF-8
// text at a byte limit.
//
// Case folding changes only the letters A to Z, never by locale, because the
// warehouse compares table and column names that way: every name the plugin
// compares, caches or sends in an information-schema query is folded here.
// The cuts never leave half of a UTF-8 character; bytes that are not UTF-8 are
// cut like any single byte. All functions are pure and thread-safe.

#include <cstddef>
#include <string>

// Returns `c` in lower case if it is one of A to Z, otherwise `c` unchanged.
inline char foldAsciiCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Returns `text` with A to Z in lower case and every other byte unchanged.
std::string foldAsciiCase(const std::string& text);

// Returns true iff `text` holds one of the letters A to Z.
bool hasUpperAscii(const std::string& text);

// Returns true iff `text` equals `word` when A to Z are folded on both sides.
bool equalsIgnoringAsciiCase(const std::string& text, const char* word);

// Returns where to cut a text of `length` bytes so that it keeps at most
// `maxBytes` bytes: `length` if it fits, otherwise `maxBytes` moved back to the
// start of a UTF-8 character that would not fit whole. The byte at the cut is
// read, so `s` must hold more than `maxBytes` bytes when it is cut. A cut that
// would step back over more than three continuation bytes is not UTF-8 and
// stays at `maxBytes`.
size_t utf8CutPoint(const char* s, size_t length, size_t maxBytes);

// Cuts `text` to at most `maxBytes` bytes at utf8CutPoint.
void cutUtf8(std::string& text, size_t maxBytes);

// Returns the length of `s` (of `length` bytes, already cut by someone else, so
// the bytes after it are unknown) without a last UTF-8 character that the cut
// left incomplete. A last byte that is ASCII or not UTF-8 is kept.
size_t utf8CompleteLength(const char* s, size_t length);
