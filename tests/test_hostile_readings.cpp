// Hostile readings through the loaded plugin into the emulator warehouse.
//
// Property: each reading lands exactly as sent (under the names the warehouse
// accepts), or its batch is refused with a logged reason and the host keeps
// it; nothing crashes; and no other SQL than the four statement shapes ever
// runs. Every statement the plugin executes is read back from the debug log
// ("Executing query: ...") with an independent Spark tokenizer and must have
// one of the four shapes, naming only the tables and columns the batch asks
// for.

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "config_category.h"
#include "loaded_plugin.h"
#include "log_capture.h"
#include "north_process.h"
#include "plugin.h"
#include "readings.h"
#include "test_hostile_statements.h"
#include "warehouse.h"

using ::testing::HasSubstr;
using Rows = std::vector<std::vector<std::string>>;
using Level = Logger::Level;

namespace {

const uint64_t T0 = 1767225600000000ULL;  // 2026-01-01 00:00:00 UTC

// --- names as the warehouse holds them (the documented renaming rules) ------

std::string tableFor(const std::string& name) {
    std::string out;
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        out += (c == '.' || c == ' ' || c == '/' || u < 0x20 || u == 0x7F) ? '_' : c;
    }
    if (out.size() > 255) {
        size_t cut = 255;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
            --cut;
        out.resize(cut);
    }
    return out;
}

std::string columnFor(const std::string& name) {
    std::string out;
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        const bool refused = c == ' ' || c == ',' || c == ';' || c == '{' || c == '}' || c == '(' ||
                             c == ')' || c == '=' || u < 0x20 || u == 0x7F;
        out += refused ? '_' : c;
    }
    if (out.size() > 255) {
        size_t cut = 255;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
            --cut;
        out.resize(cut);
    }
    return out;
}

std::string lowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// `name` quoted for a query of our own.
std::string quoted(const std::string& name) {
    std::string out = "`";
    for (char c : name) {
        out += c;
        if (c == '`')
            out += '`';
    }
    return out + "`";
}

std::string jsonString(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The hostile names of the brief. Each is also valid as a table name once
// renamed, except the empty one.
std::vector<std::string> hostileNames() {
    std::string controls;
    for (int c = 1; c < 0x20; ++c)
        controls += static_cast<char>(c);
    return {"back`tick``s",
            "it's",
            "back\\slash\\",
            "semi;colon",
            "dash--dash",
            "open/*comment",
            "close*/comment",
            "new\nline",
            "ctl" + controls + "\x7f",
            "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
            "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e",
            "'); DROP TABLE victim; --",
            "x` (a INT); DROP TABLE victim; --",
            "Mixed Case.Name/with spaces",
            std::string(10000, 'n')};
}

// The table readings go to when they cannot be written where they belong.
const char kRejects[] = "lakesink_rejects";

// --- the plugin, loaded as the north service loads it -------------------------

std::string categoryJson(const TempWarehouse& warehouse) {
    std::string escaped;
    for (char c : warehouse.additionalParams()) {
        if (c == '"' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return R"({"corvaneInstance": {"value": "edge-h"}, "additionalParams": {"value": ")" + escaped +
           R"("}})";
}

// One plugin instance against a fresh warehouse; every statement it executes
// is checked against the four shapes and the names the test allows.
class HostileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Logger::getLogger()->setMinLevel(Logger::Level::ERROR);
        ConfigCategory category("lakesink", categoryJson(warehouse));
        handle = plugin.init(&category);
    }
    void TearDown() override {
        plugin.shutdown(handle);
        audit();
    }

    // Sends a batch and returns the count the plugin reports.
    uint32_t send(const Batch& batch) { return plugin.sendFn(handle, batch.pointers()); }

    void allowTable(const std::string& table) { tables.insert(table); }
    void allowColumn(const std::string& column) { columns.insert(column); }
    void allowRejects() {
        allowTable(kRejects);
        for (const char* c : {"table_name", "reading", "sqlstate", "reason", "rejected_at"})
            allowColumn(c);
    }

    // Checks every statement executed since the last audit.
    void audit() {
        const auto debug = log.at(Level::DEBUG);
        const std::string prefix = "Executing query: ";
        for (size_t i = audited; i < debug.size(); ++i) {
            if (debug[i].rfind(prefix, 0) != 0)
                continue;
            const std::string sql = debug[i].substr(prefix.size());
            sqlshape::Statement st;
            std::string error;
            if (!sqlshape::parse(sql, st, error)) {
                ADD_FAILURE() << "statement of no known shape (" << error
                              << "): " << sql.substr(0, 300);
                continue;
            }
            ++statements;
            if (st.kind == sqlshape::Statement::Select) {
                EXPECT_EQ(st.schema, "default_schema");
                std::vector<std::string> asked = st.tables;
                if (asked.empty())
                    asked.push_back(st.table);
                for (const auto& table : asked) {
                    bool known = false;
                    for (const auto& t : tables)
                        known = known || lowerAscii(t) == table;
                    EXPECT_TRUE(known) << "query of an unexpected table: " << table.substr(0, 80);
                }
                continue;
            }
            EXPECT_TRUE(tables.count(st.table))
                << "statement on an unexpected table: " << st.table.substr(0, 80);
            for (const auto& c : st.columns) {
                const bool fixed = c == "asset_code" || c == "user_ts" || c == "ts" ||
                                   c == "corvane" || c == "_rescued_data";
                EXPECT_TRUE(fixed || columns.count(c)) << "unexpected column: " << c.substr(0, 80);
            }
        }
        audited = debug.size();
    }

    Rows query(const std::string& sql) { return warehouse.query(sql); }

    LogCapture log;
    LoadedPlugin plugin;
    TempWarehouse warehouse;
    PLUGIN_HANDLE handle = nullptr;
    std::set<std::string> tables;
    std::set<std::string> columns;
    size_t audited = 0;
    size_t statements = 0;
};

bool loggedAtError(const LogCapture& log, const std::string& fragment) {
    for (const auto& text : log.at(Level::ERROR)) {
        if (text.find(fragment) != std::string::npos)
            return true;
    }
    return false;
}

}  // namespace

// --- names ---------------------------------------------------------------------

TEST_F(HostileTest, AssetCodesLandInTheirRenamedTablesWithTheCodeKept) {
    const auto names = hostileNames();
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (name.size() > 256)
            continue;  // longer than asset_code's VARCHAR(256): see the next test
        allowTable(tableFor(name));
        allowColumn("v");
        Batch batch;
        batch.add(name, T0 + i).addDatapoint(intPoint("v", static_cast<long>(i)));
        ASSERT_EQ(send(batch), 1u) << name;
        audit();
        EXPECT_EQ(query("SELECT asset_code, v FROM " + quoted(tableFor(name))),
                  (Rows{{name, std::to_string(i)}}))
            << name;
    }
    // Nothing but the plugin's own tables exists: no injected statement ran.
    const Rows created = query(
        "SELECT count(*) FROM information_schema.tables WHERE table_schema = 'default_schema'");
    EXPECT_EQ(created, (Rows{{std::to_string(names.size() - 1)}}));
}

TEST_F(HostileTest, AssetCodeLongerThanItsColumnIsCutAndRescuedWhole) {
    // asset_code holds 256 characters: the code is cut there, never inside a
    // character, and the whole code is kept in the row's rescued data.
    const std::string name(10000, 'n');
    const std::string wide = std::string(255, 'w') + "\xe2\x82\xac" + "tail";
    for (const std::string& code : {name, wide}) {
        allowTable(tableFor(code));
        allowColumn("v");
        Batch batch;
        batch.add(code, T0).addDatapoint(intPoint("v", 1));
        ASSERT_EQ(send(batch), 1u);
        const std::string cut = code == name ? std::string(256, 'n') : wide.substr(0, 258);
        EXPECT_EQ(query("SELECT asset_code, v, _rescued_data FROM " + quoted(tableFor(code))),
                  (Rows{{cut, "1", "{\"asset_code\":" + jsonString(code) + "}"}}));
    }
}

TEST_F(HostileTest, AssetCodeLongerThanItsColumnIsCutAndRescuedAfterARestart) {
    // The second plugin reads the table from the warehouse: asset_code is
    // still known as NOT NULL, so the code is cut and rescued as in the first
    // run instead of written as NULL and refused.
    const std::string code = std::string(300, 'c');
    const std::string table = std::string(255, 'c');
    allowTable(table);
    allowColumn("v");
    Batch first;
    first.add(code, T0).addDatapoint(intPoint("v", 1));
    ASSERT_EQ(send(first), 1u);
    for (int lifetime = 2; lifetime <= 3; ++lifetime) {
        plugin.shutdown(handle);
        ConfigCategory category("lakesink", categoryJson(warehouse));
        handle = plugin.init(&category);
        Batch again;
        again.add(code, T0 + static_cast<uint64_t>(lifetime)).addDatapoint(intPoint("v", lifetime));
        ASSERT_EQ(send(again), 1u) << lifetime;
    }
    const std::string rescued = "{\"asset_code\":\"" + code + "\"}";
    EXPECT_EQ(query("SELECT asset_code, v, _rescued_data FROM " + quoted(table) + " ORDER BY v"),
              (Rows{{std::string(256, 'c'), "1", rescued},
                    {std::string(256, 'c'), "2", rescued},
                    {std::string(256, 'c'), "3", rescued}}));
    EXPECT_EQ(query("SELECT count(*) FROM information_schema.tables WHERE table_name = '" +
                    std::string(kRejects) + "'"),
              (Rows{{"0"}}));
}

TEST_F(HostileTest, WithoutFullDataTypeBoundedColumnsStillRescueWhatTheyCannotHold) {
    // The information schema gives no full_data_type: the plugin's own
    // asset_code is taken as it creates it (cut and rescued, not refused),
    // and a hand-made DECIMAL takes its digits from numeric_precision and
    // numeric_scale.
    query(
        "CREATE TABLE meter (asset_code VARCHAR(256) NOT NULL, user_ts TIMESTAMP, ts "
        "TIMESTAMP, corvane VARCHAR(256), amount DECIMAL(5,2))");
    { std::ofstream(warehouse.directory() + "/no_full_data_type") << "\n"; }
    plugin.shutdown(handle);
    ConfigCategory category("lakesink", categoryJson(warehouse));
    handle = plugin.init(&category);
    const std::string code = std::string(300, 'c');
    allowTable("meter");
    allowColumn("amount");
    Batch batch;
    Reading& routed = batch.add(code, T0);
    routed.addDatapoint(hintPoint(R"({"tablename": "meter"})"));
    routed.addDatapoint(floatPoint("amount", 2.5));
    batch.add("meter", T0 + 1).addDatapoint(floatPoint("amount", 1.25));
    batch.add("meter", T0 + 2).addDatapoint(floatPoint("amount", 1.125));
    batch.add("meter", T0 + 3).addDatapoint(intPoint("amount", 12345));
    ASSERT_EQ(send(batch), 4u);
    EXPECT_EQ(query("SELECT asset_code, amount, _rescued_data FROM meter ORDER BY ts"),
              (Rows{{std::string(256, 'c'), "2.50", "{\"asset_code\":\"" + code + "\"}"},
                    {"meter", "1.25", "NULL"},
                    {"meter", "NULL", R"({"amount":1.125})"},
                    {"meter", "NULL", R"({"amount":12345})"}}));
    EXPECT_EQ(query("SELECT count(*) FROM information_schema.tables WHERE table_name = '" +
                    std::string(kRejects) + "'"),
              (Rows{{"0"}}));
}

TEST_F(HostileTest, EmptyAssetCodeIsKeptInTheRejectsWithTheReason) {
    allowTable("kept");
    allowColumn("v");
    allowRejects();
    Batch batch;
    batch.add("", T0).addDatapoint(intPoint("v", 1));
    batch.add("kept", T0 + 1).addDatapoint(intPoint("v", 2));
    EXPECT_EQ(send(batch), 2u);
    EXPECT_EQ(query("SELECT v FROM kept"), (Rows{{"2"}}));
    const Rows rejects = query(
        "SELECT table_name, asset_code, ts, reading, reason IS NOT NULL AND reason <> '' FROM " +
        std::string(kRejects));
    EXPECT_EQ(rejects, (Rows{{"", "", "2026-01-01 00:00:00.000000", "{\"v\":1}", "1"}}));
}

TEST_F(HostileTest, DatapointNamesBecomeTheirRenamedColumns) {
    const auto names = hostileNames();
    allowTable("names");
    Batch batch;
    Reading& r = batch.add("names", T0);
    for (size_t i = 0; i < names.size(); ++i) {
        allowColumn(columnFor(names[i]));
        r.addDatapoint(intPoint(names[i], static_cast<long>(i)));
    }
    ASSERT_EQ(send(batch), 1u);
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(query("SELECT " + quoted(columnFor(names[i])) + " FROM names"),
                  (Rows{{std::to_string(i)}}))
            << names[i].substr(0, 40);
    }
}

TEST_F(HostileTest, EmptyDatapointNameDoesNotStopThePipeline) {
    allowTable("blank");
    allowColumn("_");
    allowColumn("v");
    Batch batch;
    Reading& r = batch.add("blank", T0);
    r.addDatapoint(intPoint("", 7));
    r.addDatapoint(intPoint("v", 8));
    ASSERT_EQ(send(batch), 1u);
    EXPECT_EQ(query("SELECT `_`, v FROM blank"), (Rows{{"7", "8"}}));
}

TEST_F(HostileTest, HintTableNamesRouteAsDocumented) {
    allowColumn("v");
    allowTable("fallback");
    // Every hostile name, read from the hint's JSON, routes to the table its
    // asset code would.
    const std::vector<std::string> plain = hostileNames();
    for (size_t i = 0; i < plain.size(); ++i) {
        allowTable(tableFor(plain[i]));
        Batch batch;
        Reading& r = batch.add("fallback", T0 + i);
        r.addDatapoint(hintPoint("{\"tablename\": " + jsonString(plain[i]) + "}"));
        r.addDatapoint(intPoint("v", static_cast<long>(i)));
        ASSERT_EQ(send(batch), 1u) << plain[i].substr(0, 40);
        audit();
        EXPECT_EQ(query("SELECT asset_code, v FROM " + quoted(tableFor(plain[i]))),
                  (Rows{{"fallback", std::to_string(i)}}));
    }
    // Names whose JSON form needs escapes are decoded, then renamed like
    // asset codes: backslashes and quotes stay, control characters become _.
    struct Case {
        std::string name, table;
    } escaped[] = {{"a\\b", "a\\b"}, {"x\ny", "x_y"}, {"q\"q", "q\"q"}, {"\\", "\\"}};
    long v = 100;
    for (const auto& c : escaped) {
        allowTable(c.table);
        Batch batch;
        Reading& r = batch.add("fallback", T0 + static_cast<uint64_t>(v));
        r.addDatapoint(hintPoint("{\"tablename\": " + jsonString(c.name) + "}"));
        r.addDatapoint(intPoint("v", v));
        ASSERT_EQ(send(batch), 1u);
        EXPECT_EQ(query("SELECT asset_code, v FROM " + quoted(c.table)),
                  (Rows{{"fallback", std::to_string(v)}}))
            << c.table;
        ++v;
    }
    // A hint naming no table (empty, or only characters renaming cannot
    // keep) is ignored: the asset code routes the reading.
    Batch text, dict;
    Reading& e = text.add("fallback", T0 + 200);
    e.addDatapoint(hintPoint(R"({"tablename": ""})"));
    e.addDatapoint(intPoint("v", 200));
    Reading& d = dict.add("fallback", T0 + 201);
    d.addDatapoint(dictPoint("databricksHint", {textPoint("tablename", "")}));
    d.addDatapoint(intPoint("v", 200));
    ASSERT_EQ(send(text), 1u);
    ASSERT_EQ(send(dict), 1u);
    EXPECT_EQ(query("SELECT count(*) FROM fallback WHERE v = 200"), (Rows{{"2"}}));
}

TEST_F(HostileTest, HintValuesThatAreNotATableNameFallBackToTheAssetCode) {
    allowTable("plant");
    allowTable("first");
    allowColumn("v");
    std::string deep;
    for (int i = 0; i < 500000; ++i)
        deep += '[';
    for (int i = 0; i < 500000; ++i)
        deep += ']';
    const std::string longText = "{\"tablename\": \"" + std::string(1 << 20, 't') + "x\"}";
    const std::vector<std::pair<std::string, std::string>> hints = {
        {"not json at all", "plant"},
        {"[\"tablename\", \"x\"]", "plant"},
        {"{\"tablename\": 5}", "plant"},
        {"{\"tablename\": \"first\", \"tablename\": \"second\"}", "first"},
        {"{\"tablename\": {\"nested\": true}}", "plant"},
        {"{\"TableName\": \"x\"}", "plant"},
        {"{\"tablename\": \"x\"} trailing", "plant"},
        {"", "plant"},
        {"\"", "plant"},
        {deep, "plant"},  // a megabyte of nesting: must not exhaust the stack
        {std::string(1 << 20, '{'), "plant"},
        {longText, tableFor(std::string(1 << 20, 't') + "x")},
    };
    allowTable(hints.back().second);
    long v = 0;
    for (const auto& [hint, table] : hints) {
        Batch batch;
        Reading& r = batch.add("plant", T0 + static_cast<uint64_t>(v));
        r.addDatapoint(hintPoint(hint));
        r.addDatapoint(intPoint("v", v));
        ASSERT_EQ(send(batch), 1u) << hint.substr(0, 40);
        audit();
        EXPECT_EQ(
            query("SELECT count(*) FROM " + quoted(table) + " WHERE v = " + std::to_string(v)),
            (Rows{{"1"}}))
            << hint.substr(0, 40);
        ++v;
    }
    // A hint that is a dictionary routes as its JSON text does.
    Batch dict;
    Reading& d = dict.add("plant", T0 + 99);
    d.addDatapoint(dictPoint("databricksHint", {textPoint("tablename", "first")}));
    d.addDatapoint(intPoint("v", 99));
    ASSERT_EQ(send(dict), 1u);
    EXPECT_EQ(query("SELECT count(*) FROM first WHERE v = 99"), (Rows{{"1"}}));
}

// --- values --------------------------------------------------------------------

TEST_F(HostileTest, TextValuesLandByteForByte) {
    allowTable("texts");
    allowColumn("s");
    std::string everyByte;
    for (int c = 1; c < 256; ++c)
        everyByte += static_cast<char>(c);
    std::string everyCharacter;  // the same range as UTF-8 characters
    for (unsigned long c = 1; c < 256; ++c)
        sqlshape::appendUtf8(everyCharacter, c);
    const std::vector<std::string> texts = {
        everyCharacter,
        "ends in a backslash\\",
        "\\",
        "\\'",
        "''",
        "'",
        "\\u0041 \\n \\x41 \\101 \\% \\_",
        R"({"looks": ["like", "json"], "n": 1.5e3, "q": "\"x\""})",
        "[1, 2, 3]",
        "null",
        "NULL",
        "42",
        "-0.000000",
        "TIMESTAMP '2026-01-01'",
        "parse_json('{}')",
        "'), ('x', NULL); DROP TABLE texts; --",
        "/* comment */ -- comment",
        std::string(1 << 20, 'm') + "\xe2\x82\xac",
        everyByte,
    };
    for (size_t i = 0; i < texts.size(); ++i) {
        Batch batch;
        batch.add("texts", T0 + i).addDatapoint(textPoint("s", texts[i]));
        const uint32_t sent = send(batch);
        audit();
        if (i + 1 == texts.size() && sent == 0u) {
            // Bytes that are not UTF-8 cannot be a warehouse string: the batch
            // is refused with the warehouse's reason.
            EXPECT_TRUE(loggedAtError(log, "Failed to execute database query for table 'texts'"));
            continue;
        }
        ASSERT_EQ(sent, 1u) << i;
        const Rows rows = query("SELECT s FROM texts WHERE ts = (SELECT max(ts) FROM texts)");
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0][0], texts[i]) << i;
    }
}

TEST_F(HostileTest, NumbersKeepTheirValueOrTheirKind) {
    allowTable("numbers");
    allowColumn("d");
    allowColumn("i");
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> doubles = {std::nan(""),
                                         -std::nan(""),
                                         inf,
                                         -inf,
                                         -0.0,
                                         0.0,
                                         std::numeric_limits<double>::denorm_min(),
                                         std::numeric_limits<double>::min(),
                                         1e308,
                                         std::numeric_limits<double>::max(),
                                         -std::numeric_limits<double>::max(),
                                         21.5,
                                         -1234.5};
    const std::vector<long> integers = {std::numeric_limits<long>::min(),
                                        std::numeric_limits<long>::max(), 0, -1};
    Batch batch;
    for (size_t k = 0; k < doubles.size(); ++k)
        batch.add("numbers", T0 + k).addDatapoint(floatPoint("d", doubles[k]));
    for (size_t k = 0; k < integers.size(); ++k)
        batch.add("numbers", T0 + 1000 + k).addDatapoint(intPoint("i", integers[k]));
    ASSERT_EQ(send(batch), batch.size());
    const Rows rows = query("SELECT d, i FROM numbers ORDER BY ts");
    ASSERT_EQ(rows.size(), batch.size());
    for (size_t k = 0; k < doubles.size(); ++k) {
        // strtod, not stod: a subnormal is a value, not an out-of-range error.
        const double back = std::strtod(rows[k][0].c_str(), nullptr);
        const double sent = doubles[k];
        // Every double reads back as itself, NaN as a NaN. (The emulator's
        // storage keeps no sign on a zero, so -0.0 is checked by value only.)
        if (std::isnan(sent)) {
            EXPECT_TRUE(std::isnan(back)) << rows[k][0];
        } else {
            EXPECT_EQ(back, sent) << rows[k][0];
            if (sent != 0.0) {
                EXPECT_EQ(std::signbit(back), std::signbit(sent)) << rows[k][0];
            }
        }
        EXPECT_EQ(rows[k][1], "NULL");
    }
    for (size_t k = 0; k < integers.size(); ++k) {
        EXPECT_EQ(rows[doubles.size() + k][0], "NULL");
        EXPECT_EQ(rows[doubles.size() + k][1], std::to_string(integers[k]));
    }
}

TEST_F(HostileTest, TimestampsAtTheEdgesLandOrAreRescuedAsText) {
    allowTable("clock");
    allowColumn("v");
    const uint64_t lastOf9999 = 253402300799999999ULL;  // 9999-12-31 23:59:59.999999
    Batch edges;
    edges.add("clock", 0).addDatapoint(intPoint("v", 0));
    edges.add("clock", lastOf9999).addDatapoint(intPoint("v", 1));
    Reading& user = edges.add("clock", T0);
    user.setUserTimestamp(1);
    user.addDatapoint(intPoint("v", 2));
    ASSERT_EQ(send(edges), 3u);
    EXPECT_EQ(query("SELECT v, ts, user_ts FROM clock ORDER BY v"),
              (Rows{{"0", "1970-01-01 00:00:00.000000", "1970-01-01 00:00:00.000000"},
                    {"1", "9999-12-31 23:59:59.999999", "9999-12-31 23:59:59.999999"},
                    {"2", "2026-01-01 00:00:00.000000", "1970-01-01 00:00:00.000001"}}));
    // Past the year 9999 the warehouse has no timestamp: the column is NULL
    // and the time is kept in the row's rescued data as ISO text.
    const struct {
        uint64_t ts;
        const char* iso;
    } beyond[] = {{lastOf9999 + 1, "10000-01-01 00:00:00.000000+00:00"},
                  {std::numeric_limits<uint64_t>::max(), "586524-01-19 08:01:49.551615+00:00"}};
    long v = 3;
    for (const auto& b : beyond) {
        Batch batch;
        batch.add("clock", b.ts).addDatapoint(intPoint("v", v));
        EXPECT_EQ(send(batch), 1u);
        EXPECT_EQ(
            query("SELECT ts, user_ts, _rescued_data FROM clock WHERE v = " + std::to_string(v)),
            (Rows{{"NULL", "NULL",
                   std::string("{\"user_ts\":\"") + b.iso + "\",\"ts\":\"" + b.iso + "\"}"}}));
        ++v;
    }
    EXPECT_EQ(query("SELECT count(*) FROM clock"), (Rows{{"5"}}));
}

TEST_F(HostileTest, DeeplyNestedStructuresLandAsTheirJson) {
    allowTable("nested");
    allowColumn("dict");
    allowColumn("list");
    Datapoint* dict = intPoint("leaf", 1);
    Datapoint* list = textPoint("leaf", "it's \"deep\" \\");
    // The list holds a NaN at every level, which JSON has no number for: its
    // column stays NULL and its text is rescued whole.
    std::string listText = R"("it's \"deep\" \\")";
    for (int depth = 0; depth < 100; ++depth) {
        dict = dictPoint("k" + std::to_string(depth), {dict});
        list = listPoint("l", {list, floatPoint("nan", std::nan(""))});
        listText = "[" + listText + ",NaN]";
    }
    Batch batch;
    Reading& r = batch.add("nested", T0);
    r.addDatapoint(dictPoint("dict", {dict}));
    r.addDatapoint(listPoint("list", {list}));
    const std::string dictJson = r.getReadingData()[0]->getData().toString();
    ASSERT_EQ(send(batch), 1u);
    EXPECT_EQ(query("SELECT dict, list, _rescued_data FROM nested"),
              (Rows{{dictJson, "NULL", "{\"list\":" + jsonString("[" + listText + "]") + "}"}}));
}

TEST_F(HostileTest, TextIntoAVariantColumnStaysTextWithoutExhaustingTheStack) {
    allowTable("mixed");
    allowColumn("m");
    Batch first;
    first.add("mixed", T0).addDatapoint(dictPoint("m", {intPoint("a", 1)}));
    ASSERT_EQ(send(first), 1u);
    std::string deep;
    for (int i = 0; i < 200000; ++i)
        deep += '[';
    for (int i = 0; i < 200000; ++i)
        deep += ']';
    const std::vector<std::string> texts = {"plain text", "{\"a\": 2}", deep,
                                            std::string(100000, '[')};
    for (size_t i = 0; i < texts.size(); ++i) {
        Batch batch;
        batch.add("mixed", T0 + 1 + i).addDatapoint(textPoint("m", texts[i]));
        ASSERT_EQ(send(batch), 1u) << i;
    }
    const Rows rows = query("SELECT m FROM mixed ORDER BY ts");
    ASSERT_EQ(rows.size(), 5u);
    // Every text is a JSON string, whatever it looks like; the first row's
    // structure is kept.
    EXPECT_EQ(rows[0][0], "{\"a\":1}");
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(rows[i + 1][0], jsonString(texts[i])) << i;
}

TEST_F(HostileTest, BytesThatAreNotUtf8InAStructuredValueBecomeReplacementCharacters) {
    // The warehouse reads JSON only as UTF-8 and refuses anything else, which
    // would fail the batch on every resend; text columns keep the bytes.
    allowTable("noise");
    allowColumn("m");
    allowColumn("s");
    const std::string noise = "ok \xff\xfe \xc3( \xe2\x82 \xf0\x9f\x98\x80 \xed\xa0\x80 end";
    const std::string replaced =
        "ok \xef\xbf\xbd\xef\xbf\xbd \xef\xbf\xbd( \xef\xbf\xbd\xef\xbf\xbd \xf0\x9f\x98\x80 "
        "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd end";
    Batch batch;
    Reading& r = batch.add("noise", T0);
    r.addDatapoint(dictPoint("m", {textPoint("k\xc3", noise)}));
    r.addDatapoint(textPoint("s", noise));
    ASSERT_EQ(send(batch), 1u);
    EXPECT_EQ(query("SELECT m, s FROM noise"),
              (Rows{{"{\"k\xef\xbf\xbd\":\"" + replaced + "\"}", noise}}));
    // A text datapoint arriving in that VARIANT column goes the same way.
    Batch text;
    text.add("noise", T0 + 1).addDatapoint(textPoint("m", "\xff"));
    ASSERT_EQ(send(text), 1u);
    EXPECT_EQ(query("SELECT m FROM noise WHERE s IS NULL"), (Rows{{"\"\xef\xbf\xbd\""}}));
}

TEST_F(HostileTest, TextTooLongForAnExistingVarcharColumnIsRescued) {
    allowTable("legacy");
    allowColumn("note");
    query(
        "CREATE TABLE legacy (asset_code VARCHAR(256) NOT NULL, user_ts TIMESTAMP, ts "
        "TIMESTAMP, corvane VARCHAR(256), note VARCHAR(256))");
    Batch fits;
    fits.add("legacy", T0).addDatapoint(textPoint("note", std::string(256, 'a')));
    ASSERT_EQ(send(fits), 1u);
    Batch tooLong;
    tooLong.add("legacy", T0 + 1).addDatapoint(textPoint("note", std::string(300, 'b')));
    EXPECT_EQ(send(tooLong), 1u);
    EXPECT_EQ(query("SELECT note, _rescued_data FROM legacy ORDER BY ts"),
              (Rows{{std::string(256, 'a'), "NULL"},
                    {"NULL", "{\"note\":\"" + std::string(300, 'b') + "\"}"}}));
}

TEST_F(HostileTest, RescueReasonNamesTheColumnTypeAsTheWarehouseSpellsIt) {
    allowTable("typed");
    for (const char* c : {"flag", "price", "code"})
        allowColumn(c);
    query(
        "CREATE TABLE typed (asset_code VARCHAR(256) NOT NULL, user_ts TIMESTAMP, ts TIMESTAMP, "
        "corvane VARCHAR(256), flag BOOLEAN, price DECIMAL(10,2), code VARCHAR(300))");
    struct Case {
        DatapointValue value;
        const char* column;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {DatapointValue("maybe"), "flag",
         "column 'flag' of type BOOLEAN cannot hold the value maybe"},
        {DatapointValue(1.125), "price",
         "column 'price' of type DECIMAL(10,2) cannot hold the value 1.125"},
        {DatapointValue(std::string(301, 'x')), "code",
         "column 'code' of type VARCHAR(300) cannot hold the value " + std::string(64, 'x') +
             "..."},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        audit();
        log.clear();
        audited = 0;
        Batch batch;
        DatapointValue value = cases[i].value;
        batch.add("typed", T0 + i).addDatapoint(new Datapoint(cases[i].column, value));
        ASSERT_EQ(send(batch), 1u) << cases[i].column;
        const auto warnings = log.at(Level::WARNING);
        ASSERT_EQ(warnings.size(), 1u) << cases[i].column;
        EXPECT_THAT(warnings[0], HasSubstr("first reason: " + cases[i].reason));
    }
    EXPECT_EQ(query("SELECT count(*) FROM typed WHERE _rescued_data IS NOT NULL"), (Rows{{"3"}}));
}

// --- names that differ only in letter case --------------------------------------

TEST_F(HostileTest, ColumnNamesDifferingInCaseWithinOneReadingAreOneColumn) {
    allowTable("cased");
    allowColumn("Temp");
    allowColumn("temp");
    allowColumn("TEMP");
    Batch batch;
    Reading& r = batch.add("cased", T0);
    r.addDatapoint(floatPoint("Temp", 1.5));
    r.addDatapoint(floatPoint("temp", 2.5));
    r.addDatapoint(floatPoint("TEMP", 3.5));
    ASSERT_EQ(send(batch), 1u);
    // One column, at the first one's place and spelling, with the last value.
    EXPECT_EQ(query("SELECT column_name FROM information_schema.columns WHERE table_name = "
                    "'cased' AND ordinal_position = 4"),
              (Rows{{"Temp"}}));
    EXPECT_EQ(query("SELECT count(*) FROM information_schema.columns WHERE table_name = 'cased'"),
              (Rows{{"5"}}));
    EXPECT_EQ(query("SELECT temp FROM cased"), (Rows{{"3.5"}}));
}

TEST_F(HostileTest, ColumnNamesDifferingInCaseAcrossBatchesUseTheTableColumn) {
    allowTable("cased");
    allowColumn("temp");
    allowColumn("Temp");
    allowColumn("other");
    Batch first;
    first.add("cased", T0).addDatapoint(floatPoint("temp", 1.5));
    ASSERT_EQ(send(first), 1u);
    Batch second;
    Reading& r = second.add("cased", T0 + 1);
    r.addDatapoint(floatPoint("Temp", 2.5));
    r.addDatapoint(intPoint("other", 1));
    log.clear();
    audited = 0;
    ASSERT_EQ(send(second), 1u);
    EXPECT_FALSE(log.contains("ADD COLUMN `Temp`"));
    EXPECT_EQ(query("SELECT temp, other FROM cased ORDER BY ts"),
              (Rows{{"1.5", "NULL"}, {"2.5", "1"}}));
    // A datapoint named like a fixed column in another case never replaces
    // it: it goes to its own column with the dp_ prefix.
    Batch third;
    third.add("cased", T0 + 2).addDatapoint(textPoint("CORVANE", "elsewhere"));
    allowColumn("dp_CORVANE");
    ASSERT_EQ(send(third), 1u);
    EXPECT_EQ(query("SELECT corvane, dp_CORVANE FROM cased ORDER BY ts"),
              (Rows{{"edge-h", "NULL"}, {"edge-h", "NULL"}, {"edge-h", "elsewhere"}}));
}

TEST_F(HostileTest, TableNamesDifferingInCaseShareTheirColumns) {
    allowTable("Pump");
    allowTable("pump");
    allowTable("PUMP");
    allowColumn("a");
    allowColumn("b");
    allowColumn("c");
    const struct {
        const char* asset;
        const char* column;
    } steps[] = {{"Pump", "a"}, {"pump", "b"}, {"Pump", "b"}, {"PUMP", "a"},
                 {"PUMP", "c"}, {"pump", "c"}, {"Pump", "c"}};
    long v = 0;
    for (const auto& step : steps) {
        Batch batch;
        batch.add(step.asset, T0 + static_cast<uint64_t>(v)).addDatapoint(intPoint(step.column, v));
        ASSERT_EQ(send(batch), 1u) << step.asset << " " << step.column;
        ++v;
    }
    EXPECT_EQ(query("SELECT a, b, c FROM pump ORDER BY ts"), (Rows{{"0", "NULL", "NULL"},
                                                                   {"NULL", "1", "NULL"},
                                                                   {"NULL", "2", "NULL"},
                                                                   {"3", "NULL", "NULL"},
                                                                   {"NULL", "NULL", "4"},
                                                                   {"NULL", "NULL", "5"},
                                                                   {"NULL", "NULL", "6"}}));
}

// --- values are stored exactly as sent -------------------------------------------

TEST_F(HostileTest, EveryLiteralOfAColumnHasTheColumnsTypeSoNoDigitIsLost) {
    allowTable("counter");
    for (const char* c : {"n", "d", "f"})
        allowColumn(c);
    Batch first;
    Reading& r = first.add("counter", T0);
    r.addDatapoint(intPoint("n", 1));
    r.addDatapoint(floatPoint("d", 0.5));
    ASSERT_EQ(send(first), 1u);
    // One statement: integers beyond 2^53 beside a whole double in the BIGINT
    // column, an integer beside doubles in the DOUBLE column.
    Batch mixed;
    Reading& a = mixed.add("counter", T0 + 1);
    a.addDatapoint(intPoint("n", 9007199254740993));
    a.addDatapoint(floatPoint("d", 0.25));
    Reading& b = mixed.add("counter", T0 + 2);
    b.addDatapoint(intPoint("n", 1234567890123456789));
    b.addDatapoint(intPoint("d", 9007199254740992));
    Reading& c = mixed.add("counter", T0 + 3);
    c.addDatapoint(floatPoint("n", 22.0));
    c.addDatapoint(floatPoint("d", -1.5));
    ASSERT_EQ(send(mixed), 3u);
    // Nothing needed rescuing: the table has no rescued data column.
    const Rows rows = query("SELECT n, d FROM counter ORDER BY ts");
    ASSERT_EQ(rows.size(), 4u);
    const std::vector<std::string> n = {"1", "9007199254740993", "1234567890123456789", "22"};
    const std::vector<double> d = {0.5, 0.25, 9007199254740992.0, -1.5};
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i][0], n[i]) << i;
        EXPECT_EQ(std::strtod(rows[i][1].c_str(), nullptr), d[i]) << i;
    }
}

TEST_F(HostileTest, NonFiniteNumbersInStructuredValuesAreRescuedAsTheirText) {
    allowTable("spectrum");
    allowColumn("arr");
    allowColumn("dict");
    const double inf = std::numeric_limits<double>::infinity();
    Batch batch;
    Reading& odd = batch.add("spectrum", T0);
    odd.addDatapoint(floatArrayPoint("arr", {1.5, std::nan(""), inf}));
    odd.addDatapoint(dictPoint("dict", {floatPoint("x", -inf), intPoint("y", 2)}));
    Reading& plain = batch.add("spectrum", T0 + 1);
    plain.addDatapoint(floatArrayPoint("arr", {1.5, 2.0}));
    plain.addDatapoint(dictPoint("dict", {intPoint("y", 3)}));
    ASSERT_EQ(send(batch), 2u);
    EXPECT_EQ(query("SELECT arr, dict, _rescued_data FROM spectrum ORDER BY ts"),
              (Rows{{"NULL", "NULL",
                     R"({"arr":"[1.5,NaN,Infinity]","dict":"{\"x\":-Infinity,\"y\":2}"})"},
                    {"[1.5,2.0]", R"({"y":3})", "NULL"}}));
}

TEST_F(HostileTest, NumbersIntoAVariantColumnAreJsonNumbers) {
    allowTable("loose");
    allowColumn("m");
    Batch first;
    first.add("loose", T0).addDatapoint(dictPoint("m", {intPoint("a", 1)}));
    ASSERT_EQ(send(first), 1u);
    Batch numbers;
    numbers.add("loose", T0 + 1).addDatapoint(intPoint("m", 123));
    numbers.add("loose", T0 + 2).addDatapoint(intPoint("m", 1234567890123456789));
    numbers.add("loose", T0 + 3).addDatapoint(floatPoint("m", 1.5));
    numbers.add("loose", T0 + 4).addDatapoint(floatPoint("m", 0.1));
    numbers.add("loose", T0 + 5).addDatapoint(textPoint("m", "123"));
    ASSERT_EQ(send(numbers), 5u);
    EXPECT_EQ(
        query("SELECT m FROM loose ORDER BY ts"),
        (Rows{{R"({"a":1})"}, {"123"}, {"1234567890123456789"}, {"1.5"}, {"0.1"}, {R"("123")"}}));
}

TEST_F(HostileTest, RejectedReadingsAreStrictJsonThatReplaysToTheSameValues) {
    allowRejects();
    const double inf = std::numeric_limits<double>::infinity();
    Batch batch;
    Reading& r = batch.add("", T0);
    r.addDatapoint(floatPoint("n", std::nan("")));
    r.addDatapoint(floatPoint("i", -inf));
    r.addDatapoint(floatArrayPoint("arr", {1.5, std::nan(""), inf}));
    r.addDatapoint(dictPoint("d", {floatPoint("x", inf), textPoint("s", "t")}));
    r.addDatapoint(intPoint("k", 7));
    ASSERT_EQ(send(batch), 1u);
    const Rows rejects = query("SELECT reading FROM " + std::string(kRejects));
    ASSERT_EQ(rejects.size(), 1u);
    const std::string reading = rejects[0][0];
    EXPECT_EQ(reading, R"({"n":"NaN","i":"-Infinity","arr":[1.5,"NaN","Infinity"],)"
                       R"("d":{"x":"Infinity","s":"t"},"k":7})");

    // Replayed as README suggests: corvane-north reads the line back into the
    // same values (it writes NaN and the infinities bare when it dumps them).
    const std::string line = R"({"asset":"replay","datapoints":)" + reading + "}\n";
    const std::string input = ::testing::TempDir() + "rejected.jsonl";
    FILE* file = std::fopen(input.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs(line.c_str(), file);
    std::fclose(file);
    const NorthOutcome replay = runNorthProcess({"--readings", input, "--dump"});
    std::remove(input.c_str());
    ASSERT_EQ(replay.status, 0) << replay.err;
    EXPECT_THAT(replay.out, ::testing::HasSubstr(
                                R"("datapoints":{"n":NaN,"i":-Infinity,"arr":[1.5,NaN,Infinity],)"
                                R"("d":{"x":Infinity,"s":"t"},"k":7}})"));
}
