#pragma once
// JSON texts: checking, writing strings, and making documents ready for the
// warehouse's parse_json, which refuses an
// object that repeats a key. uniqueKeyJson reads one JSON document and gives
// it back with every object's keys unique: where an object repeats a key the
// last value wins, kept at the position of the key's first occurrence (as
// JavaScript's JSON.parse does). Numbers are kept exactly as written and
// strings keep their decoded content, so nothing but the dropped duplicates
// changes. A document without repeated keys, the usual case, is only checked
// and handed back byte for byte (its blanks included); only one with repeats
// is rebuilt, then written compactly. Keys are compared after decoding
// escapes ("a" and "\u0061" are the same key). Parsing and writing keep their
// own stacks on the heap, so any depth of nesting is handled without
// exhausting the call stack. Stateless free functions; safe from any thread.

#include <cstdint>
#include <string>
#include <vector>

class DataBuffer;
class DatapointValue;
class DPImage;

// Returns true iff `json` is one JSON document, and then writes into *out the
// same document with unique keys in every object (see above). Returns false,
// leaving *out untouched, when the text is not one JSON document. The reader
// also refuses a raw NUL byte, a lone UTF-16 surrogate escape and a number
// beyond the range of a double (1E400), so these count as not JSON.
bool uniqueKeyJson(const std::string& json, std::string* out);

// Returns true iff `json` is one JSON document in which some object repeats a
// key (compared after decoding escapes).
bool jsonHasDuplicateKeys(const std::string& json);

// Appends `text` as a JSON string value: in quotes, with " and \ escaped by a
// backslash, line feed, carriage return and tab as \n, \r and \t, and every
// other byte below 0x20 (NUL included) as \u00XX. Other bytes are copied
// unchanged.
void appendJsonString(std::string& out, const std::string& text);

// Returns `text` as a JSON string value (see appendJsonString).
std::string jsonString(const std::string& text);

// Returns true iff `text` is one whole JSON document (any root value). A raw
// NUL byte is never JSON. Any depth of nesting is checked without exhausting
// the call stack.
bool isJsonDocument(const std::string& text);

// How a datapoint value's JSON writes the doubles JSON has no number for.
enum class NonFiniteAs {
    Words,    // NaN, Infinity, -Infinity as bare words: the value's text, not JSON
    Strings,  // the strings "NaN", "Infinity", "-Infinity": strict JSON
};

// Returns true iff the value, or a value nested in it, is a NaN or an
// infinity (a float, or a member of a float array).
bool holdsNonFinite(const DatapointValue& value);

// Appends the value as JSON: text as a JSON string, integers as their digits,
// finite doubles as shortestDoubleText, NaN and the infinities as `nonFinite`
// says, float arrays and lists as arrays, dictionaries as objects (keys in
// their order, repeats kept), images and data buffers by their content (see
// appendImageJson, appendDataBufferJson). Any depth of nesting is written
// without exhausting the call stack.
void appendDatapointJson(std::string& out, const DatapointValue& value, NonFiniteAs nonFinite);

// Appends the bytes in base64 (RFC 4648, with '=' padding).
void appendBase64(std::string& out, const std::vector<uint8_t>& bytes);
// Appends an image as a JSON object: {"width":W,"height":H,"depth":D,
// "data":"<its pixels in base64>"}.
void appendImageJson(std::string& out, const DPImage& image);
// Appends a data buffer as a JSON array of its items, each read as an
// unsigned integer of the buffer's item size (1, 2, 4 or 8 bytes, in the
// machine's byte order); a buffer of any other item size as its bytes. Bytes
// after the last whole item are not written.
void appendDataBufferJson(std::string& out, const DataBuffer& buffer);
