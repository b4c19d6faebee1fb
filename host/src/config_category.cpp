#include "config_category.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace {

std::string compactJson(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// The text of an item's value: a JSON string as its content, anything else as
// its compact JSON text (a JSON null as an empty text).
std::string valueText(const rapidjson::Value& value) {
    if (value.IsString())
        return std::string(value.GetString(), value.GetStringLength());
    if (value.IsNull())
        return std::string();
    return compactJson(value);
}

std::string parseProblem(const rapidjson::Document& document) {
    return std::string(rapidjson::GetParseError_En(document.GetParseError())) + " at offset " +
           std::to_string(document.GetErrorOffset());
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

}  // namespace

ConfigCategory::ConfigCategory(const std::string& name, const std::string& json) : name(name) {
    rapidjson::Document document;
    document.Parse(json.c_str(), json.size());
    if (document.HasParseError()) {
        throw std::invalid_argument("configuration category \"" + name +
                                    "\" is not valid JSON: " + parseProblem(document));
    }
    if (!document.IsObject()) {
        throw std::invalid_argument("configuration category \"" + name +
                                    "\" is not a JSON object of items");
    }
    for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
        std::string item(member->name.GetString(), member->name.GetStringLength());
        const rapidjson::Value& attributes = member->value;
        if (!attributes.IsObject()) {
            throw std::invalid_argument("configuration category \"" + name + "\": item \"" + item +
                                        "\" is not a JSON object");
        }
        std::string value;
        auto found = attributes.FindMember("value");
        if (found == attributes.MemberEnd())
            found = attributes.FindMember("default");
        if (found != attributes.MemberEnd())
            value = valueText(found->value);
        setValue(item, value);
    }
}

bool ConfigCategory::itemExists(const std::string& item) const {
    for (const auto& entry : items) {
        if (entry.first == item)
            return true;
    }
    return false;
}

std::vector<std::string> ConfigCategory::getItemNames() const {
    std::vector<std::string> names;
    names.reserve(items.size());
    for (const auto& entry : items)
        names.push_back(entry.first);
    return names;
}

std::string ConfigCategory::getValue(const std::string& item,
                                     const std::string& defaultValue) const {
    for (const auto& entry : items) {
        if (entry.first == item)
            return entry.second;
    }
    return defaultValue;
}

std::string ConfigCategory::getValue(const std::string& item) const {
    for (const auto& entry : items) {
        if (entry.first == item)
            return entry.second;
    }
    throw std::out_of_range("configuration category \"" + name + "\" has no item \"" + item + "\"");
}

int ConfigCategory::getIntegerValue(const std::string& item, int defaultValue) const {
    if (!itemExists(item))
        return defaultValue;
    const std::string raw = getValue(item);
    const std::string text = trimmed(raw);
    const std::string what = "configuration item \"" + item + "\" value \"" + raw + "\"";

    size_t digits = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    if (digits == text.size())
        throw std::invalid_argument(what + " is not a whole number");
    for (size_t i = digits; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            throw std::invalid_argument(what + " is not a whole number");
        }
    }
    errno = 0;
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value < std::numeric_limits<int>::min() ||
        value > std::numeric_limits<int>::max()) {
        throw std::invalid_argument(what + " is outside the 32-bit integer range");
    }
    return static_cast<int>(value);
}

std::map<std::string, std::string> ConfigCategory::getValueKVList(const std::string& item) const {
    std::map<std::string, std::string> pairs;
    const std::string text = getValue(item, "");
    if (trimmed(text).empty())
        return pairs;

    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    const std::string what = "configuration item \"" + item + "\"";
    if (document.HasParseError()) {
        throw std::invalid_argument(what +
                                    " is not a valid key/value list: " + parseProblem(document));
    }
    if (!document.IsObject()) {
        throw std::invalid_argument(what + " is not a key/value list (a JSON object is expected)");
    }
    for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
        std::string key(member->name.GetString(), member->name.GetStringLength());
        if (!member->value.IsString()) {
            throw std::invalid_argument(what + ": the value of key \"" + key +
                                        "\" is not a string");
        }
        // A key given twice keeps its last value, as JSON readers commonly do.
        pairs[key] = std::string(member->value.GetString(), member->value.GetStringLength());
    }
    return pairs;
}

void ConfigCategory::setValue(const std::string& item, const std::string& value) {
    for (auto& entry : items) {
        if (entry.first == item) {
            entry.second = value;
            return;
        }
    }
    items.emplace_back(item, value);
}
