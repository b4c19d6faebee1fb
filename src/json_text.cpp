#include "json_text.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "datapoint.h"
#include "number_text.h"

namespace {

// Numbers arrive as their text, so nothing converts them. Iterative parsing
// keeps the parser's stack on the heap.
constexpr unsigned kParseFlags =
    rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;

// Objects with more keys than this look their keys up in a hash table;
// smaller ones compare them one by one.
constexpr size_t kLinearKeys = 16;

using SizeType = rapidjson::SizeType;

// Runs the reader over the whole text. A raw NUL byte is never valid JSON,
// and the reader would take it for the end of the text.
template <typename Handler>
bool parseJson(const std::string& json, Handler& handler) {
    if (json.find('\0') != std::string::npos)
        return false;
    rapidjson::MemoryStream stream(json.data(), json.size());
    rapidjson::Reader reader;
    return !reader.Parse<kParseFlags>(stream, handler).IsError();
}

// Reads a document and notes whether some object repeats a key.
class DuplicateKeyFinder
    : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, DuplicateKeyFinder> {
  public:
    bool found = false;

    bool StartObject() {
        frames_.push_back(Frame{keys_.size(), nullptr});
        return true;
    }
    bool Key(const char* text, SizeType length, bool) {
        if (found)
            return true;
        Frame& frame = frames_.back();
        std::string key(text, length);
        if (frame.set) {
            found = !frame.set->insert(std::move(key)).second;
            return true;
        }
        for (size_t i = frame.firstKey; i < keys_.size(); ++i) {
            if (keys_[i] == key) {
                found = true;
                return true;
            }
        }
        keys_.push_back(std::move(key));
        if (keys_.size() - frame.firstKey > kLinearKeys) {
            frame.set = std::make_unique<std::unordered_set<std::string>>(
                std::make_move_iterator(keys_.begin() + static_cast<ptrdiff_t>(frame.firstKey)),
                std::make_move_iterator(keys_.end()));
            keys_.resize(frame.firstKey);
        }
        return true;
    }
    bool EndObject(SizeType) {
        keys_.resize(frames_.back().firstKey);
        frames_.pop_back();
        return true;
    }
    bool RawNumber(const char*, SizeType, bool) { return true; }

  private:
    struct Frame {
        size_t firstKey;  // this object's keys are keys_[firstKey...], unless in set
        std::unique_ptr<std::unordered_set<std::string>> set;
    };
    std::vector<Frame> frames_;  // one per open object
    std::vector<std::string> keys_;
};

// A document as a tree of nodes held in one vector and linked by index.
struct Node {
    enum class Kind { Null, False, True, Number, String, Array, Object };
    Kind kind;
    std::string text;               // a number's text, a string's content
    std::vector<size_t> items;      // elements, or member values
    std::vector<std::string> keys;  // member keys, parallel to items
};

// Builds the tree of a document, replacing the value of a repeated key in
// place as it goes, so the last value sits at the first position.
class TreeBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TreeBuilder> {
  public:
    std::vector<Node> nodes;
    size_t root = 0;

    bool Null() { return add(Node::Kind::Null, nullptr, 0); }
    bool Bool(bool value) { return add(value ? Node::Kind::True : Node::Kind::False, nullptr, 0); }
    bool RawNumber(const char* text, SizeType length, bool) {
        return add(Node::Kind::Number, text, length);
    }
    bool String(const char* text, SizeType length, bool) {
        return add(Node::Kind::String, text, length);
    }
    bool StartObject() {
        add(Node::Kind::Object, nullptr, 0);
        frames_.push_back(Frame{nodes.size() - 1, nullptr});
        return true;
    }
    bool Key(const char* text, SizeType length, bool) {
        pendingKey_.assign(text, length);
        return true;
    }
    bool EndObject(SizeType) {
        frames_.pop_back();
        return true;
    }
    bool StartArray() {
        add(Node::Kind::Array, nullptr, 0);
        frames_.push_back(Frame{nodes.size() - 1, nullptr});
        return true;
    }
    bool EndArray(SizeType) {
        frames_.pop_back();
        return true;
    }

  private:
    struct Frame {
        size_t node;
        std::unique_ptr<std::unordered_map<std::string, size_t>> positions;  // key -> member
    };

    bool add(Node::Kind kind, const char* text, SizeType length) {
        nodes.push_back(Node{kind, text ? std::string(text, length) : std::string(), {}, {}});
        const size_t index = nodes.size() - 1;
        if (frames_.empty()) {
            root = index;
            return true;
        }
        Frame& frame = frames_.back();
        Node& parent = nodes[frame.node];
        if (parent.kind == Node::Kind::Array) {
            parent.items.push_back(index);
            return true;
        }
        size_t position = parent.keys.size();
        if (frame.positions) {
            const auto found = frame.positions->find(pendingKey_);
            if (found != frame.positions->end())
                position = found->second;
        } else {
            for (size_t i = 0; i < parent.keys.size(); ++i) {
                if (parent.keys[i] == pendingKey_) {
                    position = i;
                    break;
                }
            }
        }
        if (position < parent.keys.size()) {
            parent.items[position] = index;  // last value, first position
            return true;
        }
        parent.keys.push_back(pendingKey_);
        parent.items.push_back(index);
        if (frame.positions) {
            frame.positions->emplace(pendingKey_, position);
        } else if (parent.keys.size() > kLinearKeys) {
            frame.positions = std::make_unique<std::unordered_map<std::string, size_t>>();
            for (size_t i = 0; i < parent.keys.size(); ++i)
                frame.positions->emplace(parent.keys[i], i);
        }
        return true;
    }

    std::vector<Frame> frames_;  // one per open array or object
    std::string pendingKey_;
};

void appendScalar(std::string& out, const Node& node) {
    switch (node.kind) {
        case Node::Kind::Null:
            out.append("null");
            break;
        case Node::Kind::False:
            out.append("false");
            break;
        case Node::Kind::True:
            out.append("true");
            break;
        case Node::Kind::Number:
            out.append(node.text);
            break;
        default:
            appendJsonString(out, node.text);
            break;
    }
}

bool isContainer(const Node& node) {
    return node.kind == Node::Kind::Array || node.kind == Node::Kind::Object;
}

// Writes the tree compactly, with an explicit stack instead of recursion.
void writeTree(std::string& out, const std::vector<Node>& nodes, size_t root) {
    if (!isContainer(nodes[root])) {
        appendScalar(out, nodes[root]);
        return;
    }
    struct Open {
        size_t node;
        size_t next;  // the next member or element to write
    };
    std::vector<Open> open;
    open.push_back(Open{root, 0});
    out.push_back(nodes[root].kind == Node::Kind::Object ? '{' : '[');
    while (!open.empty()) {
        Open& top = open.back();
        const Node& node = nodes[top.node];
        const bool object = node.kind == Node::Kind::Object;
        if (top.next == node.items.size()) {
            out.push_back(object ? '}' : ']');
            open.pop_back();
            continue;
        }
        if (top.next > 0)
            out.push_back(',');
        if (object) {
            appendJsonString(out, node.keys[top.next]);
            out.push_back(':');
        }
        const size_t child = node.items[top.next++];
        if (isContainer(nodes[child])) {
            out.push_back(nodes[child].kind == Node::Kind::Object ? '{' : '[');
            open.push_back(Open{child, 0});  // `top` is not used after this
        } else {
            appendScalar(out, nodes[child]);
        }
    }
}

}  // namespace

bool jsonHasDuplicateKeys(const std::string& json) {
    DuplicateKeyFinder finder;
    return parseJson(json, finder) && finder.found;
}

bool uniqueKeyJson(const std::string& json, std::string* out) {
    DuplicateKeyFinder finder;
    if (!parseJson(json, finder))
        return false;
    if (!finder.found) {
        *out = json;
        return true;
    }
    TreeBuilder builder;
    if (!parseJson(json, builder))
        return false;
    std::string written;
    written.reserve(json.size());
    writeTree(written, builder.nodes, builder.root);
    out->swap(written);
    return true;
}

void appendJsonString(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    out.reserve(out.size() + text.size() + 2);
    out.push_back('"');
    size_t plainStart = 0;  // bytes from here on are copied in one go
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(text, plainStart, i - plainStart);
        plainStart = i + 1;
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            default:
                out.append("\\u00");
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 0x0F]);
                break;
        }
    }
    out.append(text, plainStart, std::string::npos);
    out.push_back('"');
}

std::string jsonString(const std::string& text) {
    std::string json;
    appendJsonString(json, text);
    return json;
}

bool isJsonDocument(const std::string& text) {
    if (text.empty() || text.find('\0') != std::string::npos)
        return false;
    rapidjson::MemoryStream stream(text.data(), text.size());
    rapidjson::BaseReaderHandler<> ignore;
    rapidjson::Reader reader;
    return !reader.Parse<rapidjson::kParseIterativeFlag>(stream, ignore).IsError();
}

namespace {

// The members of a dictionary or list (none for a null vector).
const std::vector<Datapoint*>& membersOf(const DatapointValue& value) {
    static const std::vector<Datapoint*> kNone;
    const std::vector<Datapoint*>* members = value.getDpVec();
    return members ? *members : kNone;
}

bool isNested(const DatapointValue& value) {
    return value.getType() == DatapointValue::T_DP_DICT ||
           value.getType() == DatapointValue::T_DP_LIST;
}

void appendDouble(std::string& out, double v, NonFiniteAs nonFinite) {
    char buffer[32];
    // The usual doubles are written straight into the text.
    if (const char* end = numbertext_detail::plainDecimalText(v, buffer)) {
        out.append(buffer, static_cast<size_t>(end - buffer));
        return;
    }
    if (std::isfinite(v) || nonFinite == NonFiniteAs::Words)
        out.append(shortestDoubleText(v));
    else
        appendJsonString(out, shortestDoubleText(v));
}

// Appends a value that holds no other datapoint.
void appendFlat(std::string& out, const DatapointValue& value, NonFiniteAs nonFinite) {
    switch (value.getType()) {
        case DatapointValue::T_STRING:
            appendJsonString(out, value.toStringValue());
            break;
        case DatapointValue::T_INTEGER:
            appendIntegerText(out, value.toInt());
            break;
        case DatapointValue::T_FLOAT:
            appendDouble(out, value.toDouble(), nonFinite);
            break;
        case DatapointValue::T_FLOAT_ARRAY: {
            out.push_back('[');
            const std::vector<double>* numbers = value.getDpArr();
            for (size_t i = 0; numbers && i < numbers->size(); ++i) {
                if (i > 0)
                    out.push_back(',');
                appendDouble(out, (*numbers)[i], nonFinite);
            }
            out.push_back(']');
            break;
        }
        case DatapointValue::T_IMAGE:
            if (value.getImage() != nullptr) {
                appendImageJson(out, *value.getImage());
                break;
            }
            out.append("null");
            break;
        case DatapointValue::T_DATABUFFER:
            if (value.getDataBuffer() != nullptr) {
                appendDataBufferJson(out, *value.getDataBuffer());
                break;
            }
            out.append("null");
            break;
        default:
            out.append("null");
            break;
    }
}

}  // namespace

void appendBase64(std::string& out, const std::vector<uint8_t>& bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group =
            (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | uint32_t{bytes[i + 2]};
        for (int shift = 18; shift >= 0; shift -= 6)
            out.push_back(kDigits[(group >> shift) & 0x3F]);
    }
    const size_t rest = bytes.size() - i;
    if (rest == 0)
        return;
    const uint32_t group =
        (uint32_t{bytes[i]} << 16) | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0);
    out.push_back(kDigits[(group >> 18) & 0x3F]);
    out.push_back(kDigits[(group >> 12) & 0x3F]);
    out.push_back(rest == 2 ? kDigits[(group >> 6) & 0x3F] : '=');
    out.push_back('=');
}

void appendImageJson(std::string& out, const DPImage& image) {
    out.append("{\"width\":");
    appendIntegerText(out, image.getWidth());
    out.append(",\"height\":");
    appendIntegerText(out, image.getHeight());
    out.append(",\"depth\":");
    appendIntegerText(out, image.getDepth());
    out.append(",\"data\":\"");
    appendBase64(out, image.getData());
    out.append("\"}");
}

void appendDataBufferJson(std::string& out, const DataBuffer& buffer) {
    const std::vector<uint8_t>& bytes = buffer.getData();
    size_t itemSize = buffer.getItemSize();
    if (itemSize != 2 && itemSize != 4 && itemSize != 8)
        itemSize = 1;
    out.push_back('[');
    for (size_t i = 0; i + itemSize <= bytes.size(); i += itemSize) {
        if (i > 0)
            out.push_back(',');
        uint64_t item = 0;
        // The items are in the machine's byte order, as the host made them.
        if (itemSize == 1) {
            item = bytes[i];
        } else if (itemSize == 2) {
            uint16_t half = 0;
            std::memcpy(&half, &bytes[i], sizeof half);
            item = half;
        } else if (itemSize == 4) {
            uint32_t word = 0;
            std::memcpy(&word, &bytes[i], sizeof word);
            item = word;
        } else {
            std::memcpy(&item, &bytes[i], sizeof item);
        }
        out.append(std::to_string(item));
    }
    out.push_back(']');
}

bool holdsNonFinite(const DatapointValue& value) {
    std::vector<const DatapointValue*> pending{&value};
    while (!pending.empty()) {
        const DatapointValue& next = *pending.back();
        pending.pop_back();
        if (next.getType() == DatapointValue::T_FLOAT && !std::isfinite(next.toDouble()))
            return true;
        if (next.getType() == DatapointValue::T_FLOAT_ARRAY && next.getDpArr()) {
            for (double number : *next.getDpArr()) {
                if (!std::isfinite(number))
                    return true;
            }
        }
        if (isNested(next)) {
            for (const Datapoint* member : membersOf(next)) {
                if (member)
                    pending.push_back(&member->getData());
            }
        }
    }
    return false;
}

void appendDatapointJson(std::string& out, const DatapointValue& value, NonFiniteAs nonFinite) {
    if (!isNested(value)) {
        appendFlat(out, value, nonFinite);
        return;
    }
    struct Open {
        const DatapointValue* value;
        size_t next;  // the next member to write
        bool any;     // a member has been written
    };
    std::vector<Open> open{Open{&value, 0, false}};
    out.push_back(value.getType() == DatapointValue::T_DP_DICT ? '{' : '[');
    while (!open.empty()) {
        Open& top = open.back();
        const bool dict = top.value->getType() == DatapointValue::T_DP_DICT;
        const std::vector<Datapoint*>& members = membersOf(*top.value);
        while (top.next < members.size() && members[top.next] == nullptr)
            ++top.next;
        if (top.next == members.size()) {
            out.push_back(dict ? '}' : ']');
            open.pop_back();
            continue;
        }
        const Datapoint& member = *members[top.next++];
        if (top.any)
            out.push_back(',');
        top.any = true;
        if (dict) {
            appendJsonString(out, member.getName());
            out.push_back(':');
        }
        const DatapointValue& child = member.getData();
        if (isNested(child)) {
            out.push_back(child.getType() == DatapointValue::T_DP_DICT ? '{' : '[');
            open.push_back(Open{&child, 0, false});  // `top` is not used after this
        } else {
            appendFlat(out, child, nonFinite);
        }
    }
}
