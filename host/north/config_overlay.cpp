#include "config_overlay.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cctype>
#include <stdexcept>
#include <vector>

#include "json_depth.h"

namespace {

rapidjson::Document parseObject(const std::string& text, const std::string& what) {
    if (jsonNestsDeeperThan(text)) {
        throw std::invalid_argument(what + " is not valid JSON: it nests deeper than " +
                                    std::to_string(MAX_JSON_DEPTH) + " levels");
    }
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError()) {
        throw std::invalid_argument(
            what + " is not valid JSON: " + rapidjson::GetParseError_En(document.GetParseError()) +
            " at offset " + std::to_string(document.GetErrorOffset()));
    }
    if (!document.IsObject())
        throw std::invalid_argument(what + " is not a JSON object");
    return document;
}

std::string compact(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string attribute(const rapidjson::Value& item, const char* name) {
    if (!item.IsObject())
        return std::string();
    auto found = item.FindMember(name);
    if (found == item.MemberEnd() || !found->value.IsString())
        return std::string();
    return std::string(found->value.GetString(), found->value.GetStringLength());
}

// A key/value list's JSON text with the values of keys that name a secret
// (password, secret, token, PWD) replaced by "****".
std::string maskedSecrets(const std::string& list) {
    rapidjson::Document pairs;
    pairs.Parse(list.c_str(), list.size());
    if (pairs.HasParseError() || !pairs.IsObject())
        return list;
    for (auto pair = pairs.MemberBegin(); pair != pairs.MemberEnd(); ++pair) {
        std::string key(pair->name.GetString(), pair->name.GetStringLength());
        for (char& c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const bool secret = key.find("secret") != std::string::npos ||
                            key.find("password") != std::string::npos ||
                            key.find("token") != std::string::npos || key == "pwd";
        if (secret)
            pair->value.SetString("****", pairs.GetAllocator());
    }
    return compact(pairs);
}

std::string quoted(const std::string& name) {
    return "\"" + name + "\"";
}

}  // namespace

std::string overlayConfiguration(const std::string& defaults, const std::string& overlay,
                                 const std::string& overlaySource) {
    rapidjson::Document category = parseObject(defaults, "the plugin's default configuration");
    rapidjson::Document user = parseObject(overlay.empty() ? std::string("{}") : overlay,
                                           "configuration " + overlaySource);
    auto& allocator = category.GetAllocator();

    std::vector<std::string> unknown;
    for (auto member = user.MemberBegin(); member != user.MemberEnd(); ++member) {
        const std::string name(member->name.GetString(), member->name.GetStringLength());
        auto item = category.FindMember(member->name);
        if (item == category.MemberEnd() || !item->value.IsObject())
            unknown.push_back(name);
    }
    if (!unknown.empty()) {
        std::string list;
        for (const auto& name : unknown)
            list += (list.empty() ? "" : ", ") + quoted(name);
        std::string known;
        for (auto item = category.MemberBegin(); item != category.MemberEnd(); ++item) {
            known += (known.empty() ? "" : ", ") +
                     quoted(std::string(item->name.GetString(), item->name.GetStringLength()));
        }
        throw std::invalid_argument("configuration " + overlaySource + " names unknown item" +
                                    (unknown.size() > 1 ? "s " : " ") + list +
                                    " (the plugin's items are " + known + ")");
    }

    for (auto item = category.MemberBegin(); item != category.MemberEnd(); ++item) {
        if (!item->value.IsObject())
            continue;
        const std::string name(item->name.GetString(), item->name.GetStringLength());
        // An item that already carries a value keeps it unless the overlay
        // replaces it; otherwise the value is the default.
        std::string value = item->value.HasMember("value") ? attribute(item->value, "value")
                                                           : attribute(item->value, "default");
        auto member = user.FindMember(item->name);
        if (member != user.MemberEnd()) {
            const rapidjson::Value& v = member->value;
            if (v.IsNull()) {
                throw std::invalid_argument(
                    "configuration " + overlaySource + ": item " + quoted(name) +
                    " is null; give it a value, or leave it out to take its default \"" +
                    attribute(item->value, "default") + "\"");
            }
            const std::string type = attribute(item->value, "type");
            if (attribute(item->value, "readonly") == "true") {
                throw std::invalid_argument("configuration " + overlaySource + ": item " +
                                            quoted(name) + " is read-only");
            }
            if (v.IsString()) {
                value.assign(v.GetString(), v.GetStringLength());
            } else if (v.IsObject() || v.IsArray()) {
                if (type != "kvlist" && type != "JSON") {
                    throw std::invalid_argument("configuration " + overlaySource + ": item " +
                                                quoted(name) + " of type \"" + type +
                                                "\" takes a single value, not a JSON " +
                                                (v.IsObject() ? "object" : "array"));
                }
                value = compact(v);
            } else {
                value = compact(v);  // number or boolean
            }
        }
        rapidjson::Value text(value.c_str(), static_cast<rapidjson::SizeType>(value.size()),
                              allocator);
        auto existing = item->value.FindMember("value");
        if (existing != item->value.MemberEnd()) {
            existing->value = text;
        } else {
            item->value.AddMember("value", text, allocator);
        }
    }
    return compact(category);
}

std::string maskedCategory(const std::string& categoryJson) {
    rapidjson::Document category;
    category.Parse(categoryJson.c_str(), categoryJson.size());
    if (category.HasParseError() || !category.IsObject())
        return categoryJson;
    auto& allocator = category.GetAllocator();
    for (auto item = category.MemberBegin(); item != category.MemberEnd(); ++item) {
        if (!item->value.IsObject())
            continue;
        const std::string type = attribute(item->value, "type");
        for (const char* name : {"value", "default"}) {
            auto found = item->value.FindMember(name);
            if (found == item->value.MemberEnd() || !found->value.IsString())
                continue;
            if (type == "password") {
                found->value.SetString("****", allocator);
            } else if (type == "kvlist") {
                found->value.SetString(maskedSecrets(attribute(item->value, name)).c_str(),
                                       allocator);
            }
        }
    }
    return compact(category);
}

std::string prettyJson(const std::string& json) {
    if (jsonNestsDeeperThan(json))
        return json;
    rapidjson::Document document;
    document.Parse(json.c_str(), json.size());
    if (document.HasParseError())
        return json;
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    writer.SetIndent(' ', 2);
    document.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}
