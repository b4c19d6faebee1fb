// Fuzz target: the host's configuration parsing and the connection string
// built from it.
//
// Input: the JSON text of a configuration category. Oracle:
//   - ConfigCategory either refuses it with std::invalid_argument or gives
//     items with unique names whose values read the same through every getter;
//     the integer and key/value getters either give a value or refuse with
//     std::invalid_argument, never anything else;
//   - when the category is read by the plugin's connection settings, the
//     connection string starts with the driver and its first five attributes
//     read back, with ODBC's brace rules, as exactly the server, port, user,
//     password and schema: no setting can add or change an attribute;
//   - settings are taken only when the default configuration allows them: a
//     port within 1 to 65535, no empty mandatory item, the source "readings"
//     and no NUL byte anywhere in the connection string.

#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "config_category.h"
#include "databricks_odbc_config.h"
#include "fuzz_support.h"
#include "odbc_config.h"

namespace {

// An item name no category has.
const std::string kAbsent = std::string("\x01") + "absent";

// Splits a connection string into its attributes, reading {braced} values
// with "}}" for a "}". False when the text is not a well formed list.
bool attributes(const std::string& text, std::vector<std::pair<std::string, std::string>>& out) {
    size_t i = 0;
    while (i < text.size()) {
        const size_t equals = text.find('=', i);
        if (equals == std::string::npos)
            return false;
        std::string key = text.substr(i, equals - i);
        if (key.find(';') != std::string::npos)
            return false;
        i = equals + 1;
        std::string value;
        if (i < text.size() && text[i] == '{') {
            ++i;
            bool closed = false;
            while (i < text.size()) {
                if (text[i] == '}') {
                    if (i + 1 < text.size() && text[i + 1] == '}') {
                        value += '}';
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                value += text[i++];
            }
            if (!closed || i >= text.size() || text[i] != ';')
                return false;
        } else {
            const size_t semi = text.find(';', i);
            if (semi == std::string::npos)
                return false;
            value = text.substr(i, semi - i);
            i = semi;
        }
        ++i;  // the ';'
        out.emplace_back(std::move(key), std::move(value));
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::quietLogger();
    const std::string json(reinterpret_cast<const char*>(data), size);

    ConfigCategory* parsed = nullptr;
    try {
        parsed = new ConfigCategory("fuzz", json);
    } catch (const std::invalid_argument&) {
        return 0;  // refused with a reason
    }
    std::unique_ptr<ConfigCategory> category(parsed);

    const std::vector<std::string> names = category->getItemNames();
    std::set<std::string> unique(names.begin(), names.end());
    FUZZ_CHECK(unique.size() == names.size(), "item names repeat");
    bool readable = true;
    for (const std::string& name : names) {
        FUZZ_CHECK(category->itemExists(name), "listed item does not exist");
        const std::string value = category->getValue(name);
        FUZZ_CHECK(category->getValue(name, kAbsent) == value, "getters disagree");
        try {
            const int number = category->getIntegerValue(name, 7);
            (void)number;
        } catch (const std::invalid_argument&) {
            // The settings reader also takes a whole number in any JSON
            // notation ("5e0").
            int32_t whole = 0;
            if (name == "port" && !wholeNumberText(value, whole))
                readable = false;
        }
        try {
            const auto pairs = category->getValueKVList(name);
            (void)pairs;
        } catch (const std::invalid_argument&) {
            if (name == "additionalParams")
                readable = false;
        }
    }
    if (!unique.count(kAbsent)) {
        FUZZ_CHECK(!category->itemExists(kAbsent), "an absent item exists");
        FUZZ_CHECK(category->getValue(kAbsent, "fallback") == "fallback", "default not used");
    }

    DatabricksODBCConfig config;
    try {
        config.configure(category.get());
    } catch (const std::invalid_argument& e) {
        // Every item reads, so a setting broke a rule of the default
        // configuration, and the message names its item.
        FUZZ_CHECK(!readable || std::string(e.what()).rfind("configuration item \"", 0) == 0,
                   "settings refused without naming an item");
        return 0;
    }
    FUZZ_CHECK(readable, "settings taken although an item does not read");
    FUZZ_CHECK(config.port >= 1 && config.port <= 65535, "a port outside 1 to 65535 taken");
    for (const std::string* mandatory : {&config.server, &config.schema, &config.user,
                                         &config.password, &config.corvaneInstance}) {
        FUZZ_CHECK(!mandatory->empty(), "an empty mandatory setting taken");
    }
    FUZZ_CHECK(config.source == "readings", "a source other than readings taken");

    const std::string text = config.getConnectionString();
    FUZZ_CHECK(text.find('\0') == std::string::npos, "a NUL byte in the connection string");
    const std::string driver = "Driver={DatabricksODBCDriver};";
    FUZZ_CHECK(text.compare(0, driver.size(), driver) == 0, "driver attribute missing");
    std::vector<std::pair<std::string, std::string>> parts;
    FUZZ_CHECK(attributes(text.substr(driver.size()), parts), "malformed connection string");
    FUZZ_CHECK(parts.size() >= 5, "attributes missing");
    FUZZ_CHECK(parts[0] == std::make_pair(std::string("Host"), config.server), "Host changed");
    FUZZ_CHECK(parts[1] == std::make_pair(std::string("Port"), std::to_string(config.port)),
               "Port changed");
    FUZZ_CHECK(parts[2] == std::make_pair(std::string("UID"), config.user), "UID changed");
    FUZZ_CHECK(parts[3] == std::make_pair(std::string("PWD"), config.password), "PWD changed");
    FUZZ_CHECK(parts[4] == std::make_pair(std::string("SCHEMA"), config.schema), "SCHEMA changed");
    // Every further attribute is one additional parameter, key and value as given.
    const auto params = category->getValueKVList("additionalParams");
    for (size_t i = 5; i < parts.size(); ++i) {
        auto found = params.find(parts[i].first);
        FUZZ_CHECK(found != params.end(), "an attribute no parameter asked for");
        // A value the user braced is kept as written; others read back as given.
        const std::string& given = found->second;
        FUZZ_CHECK(parts[i].second == given ||
                       (given.size() >= 2 && given.front() == '{' && given.back() == '}'),
                   "a parameter value changed");
    }
    return 0;
}
