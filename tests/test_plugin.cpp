// The shared object as the north service sees it: loaded with dlopen, its
// information record and default configuration, its exported symbols and
// libraries, and the entry points' edge cases.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "config_category.h"
#include "plugin.h"
#include "readings.h"
#include "shell_command.h"

namespace {

struct Plugin {
    void* handle = nullptr;
    PluginInfo* (*info)() = nullptr;
    PLUGIN_HANDLE (*init)(ConfigCategory*) = nullptr;
    uint32_t (*send)(PLUGIN_HANDLE, const std::vector<Reading*>&) = nullptr;
    void (*shutdown)(PLUGIN_HANDLE) = nullptr;

    Plugin() {
        handle = dlopen(LAKESINK_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return;
        info = reinterpret_cast<decltype(info)>(dlsym(handle, "plugin_info"));
        init = reinterpret_cast<decltype(init)>(dlsym(handle, "plugin_init"));
        send = reinterpret_cast<decltype(send)>(dlsym(handle, "plugin_send"));
        shutdown = reinterpret_cast<decltype(shutdown)>(dlsym(handle, "plugin_shutdown"));
    }
    ~Plugin() {
        if (handle)
            dlclose(handle);
    }
};

std::vector<std::string> memberNames(const rapidjson::Value& object) {
    std::vector<std::string> names;
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
        names.push_back(it->name.GetString());
    }
    return names;
}

}  // namespace

TEST(PluginLoading, LoadsAndResolvesTheFourEntryPoints) {
    Plugin plugin;
    ASSERT_NE(plugin.handle, nullptr) << dlerror();
    EXPECT_NE(plugin.info, nullptr);
    EXPECT_NE(plugin.init, nullptr);
    EXPECT_NE(plugin.send, nullptr);
    EXPECT_NE(plugin.shutdown, nullptr);
}

TEST(PluginLoading, ExportsExactlyTheEntryPointsAndNeedsTheHostAndODBC) {
    const std::string path = LAKESINK_PLUGIN_PATH;
    std::set<std::string> functions;
    for (const std::string& line : {runShellCommand("nm -D --defined-only " + path).output}) {
        size_t start = 0;
        while (start < line.size()) {
            size_t end = line.find('\n', start);
            if (end == std::string::npos)
                end = line.size();
            const std::string entry = line.substr(start, end - start);
            start = end + 1;
            // "<address> T <name>": text symbols are the exported functions.
            if (entry.size() > 19 && (entry[17] == 'T' || entry[17] == 'W' || entry[17] == 'i')) {
                functions.insert(entry.substr(19));
            }
        }
    }
    EXPECT_EQ(functions, (std::set<std::string>{"plugin_info", "plugin_init", "plugin_send",
                                                "plugin_shutdown"}));
    const std::string dynamic = runShellCommand("readelf -d " + path).output;
    EXPECT_NE(dynamic.find("Library soname: [liblakesink.so.1]"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("Shared library: [libcommon-lib.so.1]"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("Shared library: [libodbc.so.2]"), std::string::npos) << dynamic;
}

namespace {
// The project version; built from a checkout, followed by the describe
// suffix of the commit built.
void expectVersionOfThisBuild(const std::string& version) {
    ASSERT_EQ(version.rfind("3.1.0", 0), 0u) << version;
    const std::string head = shellOutputLine("git -C '" + std::string(LAKESINK_SOURCE_DIR) +
                                             "' rev-parse HEAD 2>/dev/null");
    if (head.empty()) {
        EXPECT_EQ(version, "3.1.0");
        return;
    }
    const std::regex suffix("3\\.1\\.0(-[0-9]+)?-g([0-9a-f]+)(-dirty)?");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(version, match, suffix)) << version;
    EXPECT_EQ(head.rfind(match[2].str(), 0), 0u) << version << " is not " << head;
}
}  // namespace

TEST(PluginInfoRecord, FieldsAreTheDocumentedValuesOnEveryCall) {
    Plugin plugin;
    ASSERT_NE(plugin.info, nullptr);
    PluginInfo* info = plugin.info();
    EXPECT_EQ(info, plugin.info());
    EXPECT_STREQ(info->name, "lakesink");
    expectVersionOfThisBuild(info->version);
    EXPECT_EQ(info->options, 0u);
    EXPECT_STREQ(info->type, "north");
    EXPECT_STREQ(info->interface, "1.0.0");
    ASSERT_NE(info->config, nullptr);
}

TEST(PluginInfoRecord, DefaultConfigurationHasEveryItemInOrder) {
    Plugin plugin;
    ASSERT_NE(plugin.info, nullptr);
    rapidjson::Document doc;
    doc.Parse(plugin.info()->config);
    ASSERT_FALSE(doc.HasParseError());
    ASSERT_TRUE(doc.IsObject());
    EXPECT_EQ(
        memberNames(doc),
        (std::vector<std::string>{
            "plugin", "server", "port", "schema", "user", "password", "corvaneInstance", "source",
            "additionalParams", "writers", "table", "datapoints", "maxStatementBytes", "delivery",
            "transport", "streamEndpoint", "tokenEndpoint", "workspaceId", "catalog"}));
    using Attrs = std::vector<std::pair<std::string, std::string>>;
    const auto attrs = [&](const char* item) {
        Attrs found;
        const rapidjson::Value& v = doc[item];
        for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it) {
            found.emplace_back(it->name.GetString(),
                               it->value.IsString() ? it->value.GetString() : "<array>");
        }
        return found;
    };
    EXPECT_EQ(attrs("plugin"), (Attrs{{"description", "lakesink North Plugin"},
                                      {"type", "string"},
                                      {"default", "lakesink"},
                                      {"readonly", "true"}}));
    EXPECT_EQ(attrs("server"),
              (Attrs{{"description", "The full Databricks server URL (account identifier)"},
                     {"type", "string"},
                     {"default", "localhost"},
                     {"order", "1"},
                     {"displayName", "Databricks Server URL"},
                     {"mandatory", "true"}}));
    EXPECT_EQ(attrs("port"),
              (Attrs{{"description", "Databricks server port (default is 443 for HTTPS)"},
                     {"type", "integer"},
                     {"default", "443"},
                     {"minimum", "1"},
                     {"maximum", "65535"},
                     {"order", "2"},
                     {"displayName", "Databricks Server Port"},
                     {"mandatory", "true"}}));
    EXPECT_EQ(attrs("schema"),
              (Attrs{{"description", "The name of the Databricks schema to connect to"},
                     {"type", "string"},
                     {"default", "default_schema"},
                     {"order", "3"},
                     {"displayName", "Schema Name"},
                     {"mandatory", "true"}}));
    EXPECT_EQ(attrs("user"), (Attrs{{"description", "Databricks username for authentication"},
                                    {"type", "string"},
                                    {"default", "default_user"},
                                    {"order", "4"},
                                    {"displayName", "Username"},
                                    {"mandatory", "true"}}));
    EXPECT_EQ(attrs("password"), (Attrs{{"description", "Password for the Databricks account"},
                                        {"type", "password"},
                                        {"default", "lisk"},
                                        {"order", "5"},
                                        {"displayName", "Password"},
                                        {"mandatory", "true"}}));
    EXPECT_EQ(attrs("corvaneInstance"), (Attrs{{"description", "The name of the Corvane instance"},
                                               {"type", "string"},
                                               {"default", "corvaneInstance"},
                                               {"order", "6"},
                                               {"displayName", "Corvane Instance Name"},
                                               {"mandatory", "true"}}));
    EXPECT_EQ(attrs("source"), (Attrs{{"description", "Source of the data to send to Databricks"},
                                      {"type", "enumeration"},
                                      {"default", "readings"},
                                      {"options", "<array>"},
                                      {"order", "7"},
                                      {"displayName", "Data Source"}}));
    ASSERT_TRUE(doc["source"]["options"].IsArray());
    ASSERT_EQ(doc["source"]["options"].Size(), 1u);
    EXPECT_STREQ(doc["source"]["options"][0].GetString(), "readings");
    EXPECT_EQ(attrs("additionalParams"),
              (Attrs{{"description",
                      "Additional optional parameters for customizing the Databricks connection "
                      "(e.g., extra ODBC options or advanced settings)"},
                     {"type", "kvlist"},
                     {"items", "string"},
                     {"order", "8"},
                     {"default", "{}"},
                     {"displayName", "Additional Connection Parameters"}}));
    EXPECT_EQ(attrs("writers"), (Attrs{{"description", "Parallel writers"},
                                       {"type", "integer"},
                                       {"default", "4"},
                                       {"minimum", "1"},
                                       {"maximum", "16"},
                                       {"order", "9"},
                                       {"displayName", "Parallel writers"},
                                       {"mandatory", "true"}}));
    EXPECT_EQ(attrs("table"), (Attrs{{"description", "Table for all readings"},
                                     {"type", "string"},
                                     {"default", ""},
                                     {"order", "10"},
                                     {"displayName", "Table for all readings"}}));
    EXPECT_EQ(attrs("datapoints"), (Attrs{{"description", "Datapoint columns"},
                                          {"type", "enumeration"},
                                          {"default", "columns"},
                                          {"options", "<array>"},
                                          {"order", "11"},
                                          {"displayName", "Datapoint columns"}}));
    EXPECT_EQ(attrs("maxStatementBytes"), (Attrs{{"description", "Largest statement (bytes)"},
                                                 {"type", "integer"},
                                                 {"default", "1048576"},
                                                 {"minimum", "65536"},
                                                 {"maximum", "67108864"},
                                                 {"order", "12"},
                                                 {"displayName", "Largest statement (bytes)"},
                                                 {"mandatory", "true"}}));
    EXPECT_EQ(attrs("delivery"), (Attrs{{"description", "Delivery guarantee"},
                                        {"type", "enumeration"},
                                        {"default", "exactly-once"},
                                        {"options", "<array>"},
                                        {"order", "13"},
                                        {"displayName", "Delivery guarantee"}}));
}

TEST(PluginEntryPoints, DefaultConfigurationIsAUsableCategory) {
    Plugin plugin;
    ASSERT_NE(plugin.init, nullptr);
    ConfigCategory category("lakesink", plugin.info()->config);
    PLUGIN_HANDLE handle = plugin.init(&category);
    ASSERT_NE(handle, nullptr);
    // Nothing listens at the default settings' warehouse: the batch is refused.
    plugin.shutdown(handle);
}

TEST(PluginInfoRecord, DefaultConfigurationKeepsItsLayout) {
    Plugin plugin;
    ASSERT_NE(plugin.info, nullptr);
    const std::string text = plugin.info()->config;
    EXPECT_EQ(
        text.rfind("{\n    \"plugin\": {\n        \"description\": \"lakesink North Plugin\",\n"
                   "        \"type\": \"string\",\n",
                   0),
        0u)
        << text;
    EXPECT_NE(
        text.find("        \"default\": \"readings\",\n        \"options\": [\"readings\"],\n"),
        std::string::npos);
    EXPECT_NE(text.find("        \"mandatory\": \"true\"\n    },\n    \"port\": {\n"),
              std::string::npos);
    EXPECT_NE(text.find("        \"options\": [\"columns\", \"variant\"],\n"), std::string::npos);
    EXPECT_NE(text.find("        \"options\": [\"exactly-once\", \"at-least-once\"],\n"),
              std::string::npos);
    const std::string tail = "        \"displayName\": \"Catalog\"\n    }\n}";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

// plugin_init hands a configuration error to the host as an exception, for a
// setting that is not a number and for one the default configuration forbids.
TEST(PluginEntryPoints, ForbiddenSettingsAreThrownOutOfInit) {
    Plugin plugin;
    ASSERT_NE(plugin.init, nullptr);
    const char* const bad[] = {
        R"({"port": {"value": "https"}})",
        R"({"port": {"value": "70000"}})",
        R"({"port": {"value": "0"}})",
        R"({"writers": {"value": "0"}})",
        R"({"writers": {"value": "17"}})",
        R"({"table": {"value": "LAKESINK_REJECTS"}})",
        R"({"datapoints": {"value": "json"}})",
        R"({"maxStatementBytes": {"value": "67108865"}})",
        R"({"delivery": {"value": "at-most-once"}})",
        R"({"schema": {"value": ""}})",
        R"({"source": {"value": "statistics"}})",
        R"({"schema": {"value": "sales\u0000"}})",
        R"({"additionalParams": {"value": "{\"Warehouse\": \"/a\\u0000b\"}"}})",
        R"({"additionalParams": {"value": "{\"Pwd\": \"other\"}"}})",
    };
    for (const char* json : bad) {
        ConfigCategory category("lakesink", json);
        EXPECT_THROW(plugin.init(&category), std::invalid_argument) << json;
    }
}

TEST(PluginEntryPoints, NullHandlesAreHarmless) {
    Plugin plugin;
    ASSERT_NE(plugin.shutdown, nullptr);
    plugin.shutdown(nullptr);
    Batch batch;
    batch.add("pump");
    EXPECT_EQ(plugin.send(nullptr, batch.pointers()), 0u);
}
