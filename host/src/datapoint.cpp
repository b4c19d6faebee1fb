#include "datapoint.h"

#include <errno.h>
#include <stdlib.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

const char* const kHex = "0123456789abcdef";

void appendQuoted(std::string& out, const std::string& text) {
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xf];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

// Shortest text that strtod reads back to the same double. Inside JSON a
// non-finite value has no number form and is written as null.
void appendDouble(std::string& out, double value, bool inJson) {
    if (!std::isfinite(value)) {
        if (inJson) {
            out += "null";
        } else if (std::isnan(value)) {
            out += "nan";
        } else {
            out += value < 0 ? "-inf" : "inf";
        }
        return;
    }
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0";
    out += text;
}

void appendValue(std::string& out, const DatapointValue& value, bool inJson);

void appendDatapoints(std::string& out, const std::vector<Datapoint*>* children, bool isDict) {
    out += isDict ? '{' : '[';
    bool first = true;
    if (children) {
        for (const Datapoint* child : *children) {
            if (!child)
                continue;
            if (!first)
                out += ',';
            first = false;
            if (isDict) {
                appendQuoted(out, child->getName());
                out += ':';
            }
            appendValue(out, child->getData(), true);
        }
    }
    out += isDict ? '}' : ']';
}

void appendValue(std::string& out, const DatapointValue& value, bool inJson) {
    switch (value.getType()) {
        case DatapointValue::T_STRING:
            appendQuoted(out, value.toStringValue());
            break;
        case DatapointValue::T_INTEGER:
            out += std::to_string(value.toInt());
            break;
        case DatapointValue::T_FLOAT:
            appendDouble(out, value.toDouble(), inJson);
            break;
        case DatapointValue::T_FLOAT_ARRAY: {
            out += '[';
            bool first = true;
            for (double d : *value.getDpArr()) {
                if (!first)
                    out += ',';
                first = false;
                appendDouble(out, d, true);
            }
            out += ']';
            break;
        }
        case DatapointValue::T_DP_DICT:
            appendDatapoints(out, value.getDpVec(), true);
            break;
        case DatapointValue::T_DP_LIST:
            appendDatapoints(out, value.getDpVec(), false);
            break;
        default:
            out += "null";
    }
}

const char* typeName(DatapointValue::dataTagType type) {
    switch (type) {
        case DatapointValue::T_STRING:
            return "string";
        case DatapointValue::T_INTEGER:
            return "integer";
        case DatapointValue::T_FLOAT:
            return "float";
        case DatapointValue::T_FLOAT_ARRAY:
            return "float array";
        case DatapointValue::T_DP_DICT:
            return "dict";
        case DatapointValue::T_DP_LIST:
            return "list";
        case DatapointValue::T_IMAGE:
            return "image";
        case DatapointValue::T_DATABUFFER:
            return "data buffer";
    }
    return "unknown";
}

}  // namespace

DatapointValue::DatapointValue(const std::string& value) : type(T_STRING), text(value) {}

DatapointValue::DatapointValue(long value) : type(T_INTEGER), integer(value) {}

DatapointValue::DatapointValue(double value) : type(T_FLOAT), number(value) {}

DatapointValue::DatapointValue(const std::vector<double>& values)
    : type(T_FLOAT_ARRAY), floats(values) {}

DatapointValue::DatapointValue(std::vector<Datapoint*>* values, bool isDict)
    : type(isDict ? T_DP_DICT : T_DP_LIST),
      children(values ? values : new std::vector<Datapoint*>()) {}

DatapointValue::DatapointValue(std::vector<Datapoint*> values, bool isDict)
    : type(isDict ? T_DP_DICT : T_DP_LIST),
      children(new std::vector<Datapoint*>(std::move(values))) {}

DatapointValue::DatapointValue(DPImage* image) : type(T_IMAGE), image(image) {}

DatapointValue::DatapointValue(DataBuffer* buffer) : type(T_DATABUFFER), buffer(buffer) {}

DatapointValue::DatapointValue(const DatapointValue& other) : type(other.type) {
    copyFrom(other);
}

DatapointValue& DatapointValue::operator=(const DatapointValue& other) {
    if (this == &other)
        return *this;
    // Copy first so that assigning a value from one of its own children works.
    DatapointValue copy(other);
    release();
    type = copy.type;
    text.swap(copy.text);
    integer = copy.integer;
    number = copy.number;
    floats.swap(copy.floats);
    std::swap(children, copy.children);
    std::swap(image, copy.image);
    std::swap(buffer, copy.buffer);
    return *this;
}

DatapointValue::~DatapointValue() {
    release();
}

void DatapointValue::release() {
    if (children) {
        for (Datapoint* child : *children)
            delete child;
        delete children;
        children = nullptr;
    }
    delete image;
    image = nullptr;
    delete buffer;
    buffer = nullptr;
}

void DatapointValue::copyFrom(const DatapointValue& other) {
    type = other.type;
    text = other.text;
    integer = other.integer;
    number = other.number;
    floats = other.floats;
    if (other.children) {
        children = new std::vector<Datapoint*>();
        children->reserve(other.children->size());
        try {
            for (const Datapoint* child : *other.children) {
                children->push_back(child ? new Datapoint(*child) : nullptr);
            }
        } catch (...) {
            release();
            throw;
        }
    }
    if (other.image)
        image = new DPImage(*other.image);
    if (other.buffer)
        buffer = new DataBuffer(*other.buffer);
}

std::string DatapointValue::toString() const {
    std::string out;
    appendValue(out, *this, false);
    return out;
}

long DatapointValue::toInt() const {
    switch (type) {
        case T_INTEGER:
            return integer;
        case T_FLOAT:
            if (std::isnan(number))
                return 0;
            if (number >= 9223372036854775808.0)
                return std::numeric_limits<long>::max();
            if (number < -9223372036854775808.0)
                return std::numeric_limits<long>::min();
            return static_cast<long>(number);
        case T_STRING: {
            long value = 0;
            const char* begin = text.data();
            const char* end = begin + text.size();
            auto result = std::from_chars(begin, end, value);
            if (result.ec == std::errc() && result.ptr == end && begin != end)
                return value;
            throw std::invalid_argument("string value \"" + text + "\" is not an integer");
        }
        default:
            throw std::invalid_argument(std::string("a ") + typeName(type) +
                                        " value has no integer form");
    }
}

double DatapointValue::toDouble() const {
    switch (type) {
        case T_INTEGER:
            return static_cast<double>(integer);
        case T_FLOAT:
            return number;
        case T_STRING: {
            if (!text.empty() && text.find('\0') == std::string::npos) {
                char* end = nullptr;
                errno = 0;
                double value = strtod(text.c_str(), &end);
                if (end == text.c_str() + text.size() && !(errno == ERANGE && std::isinf(value))) {
                    return value;
                }
            }
            throw std::invalid_argument("string value \"" + text + "\" is not a number");
        }
        default:
            throw std::invalid_argument(std::string("a ") + typeName(type) +
                                        " value has no number form");
    }
}

std::string Datapoint::toJSONProperty() const {
    std::string out;
    appendQuoted(out, name);
    out += ':';
    appendValue(out, value, true);
    return out;
}
