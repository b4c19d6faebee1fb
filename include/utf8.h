#pragma once
// UTF-8 text: validation, repair, counting characters and cutting at a byte or
// character limit. The one place that knows how UTF-8 sequences are built.
//
// Well-formed means as the warehouse reads JSON and names: no overlong forms,
// no surrogates, nothing above U+10FFFF. Cuts never leave half of a character;
// bytes that are not UTF-8 are cut like any single byte. All functions are pure
// and thread-safe; none allocates unless it returns a new text.

#include <cstddef>
#include <string>

// Returns true iff `text` is well-formed UTF-8 throughout.
bool isUtf8(const std::string& text);

// Returns `text` with every byte that is not part of a well-formed UTF-8
// sequence replaced by U+FFFD.
std::string utf8Repaired(const std::string& text);

// Returns the number of UTF-8 characters in `text`: bytes that do not start a
// character are not counted, so every byte that is not UTF-8 counts once.
size_t utf8Length(const std::string& text);

// Returns the byte length of the first `characters` characters of `text` (all
// of it when it has no more).
size_t utf8PrefixBytes(const std::string& text, size_t characters);

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
