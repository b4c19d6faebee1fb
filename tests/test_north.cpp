// corvane-north run as a process: loading and checking the plugin, the
// configuration overlay, JSON Lines and generated readings sent end to end
// into an emulator warehouse, malformed lines, refused blocks sent again after
// a back-off while the warehouse is away, giving up, stopping on SIGTERM, and
// the checkpoint that lets a restart resend only what was not acknowledged.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "loaded_plugin.h"
#include "north_process.h"
#include "shell_command.h"
#include "stream_emulator.h"
#include "warehouse.h"

extern char** environ;

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using Rows = std::vector<std::vector<std::string>>;

namespace {

namespace fs = std::filesystem;

// A scratch directory for input files, removed with the object.
class Scratch {
  public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "lakesink-north-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a scratch directory");
        dir = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string write(const std::string& name, const std::string& content) const {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

  private:
    std::string dir;
};

using Outcome = NorthOutcome;

// One corvane-north process, its standard input written to a scratch file.
class North {
  public:
    North(const std::vector<std::string>& arguments, const std::string& input = "")
        : process(arguments, scratch.write("stdin", input)) {}

    pid_t pid() const { return process.pid(); }
    Outcome wait(std::chrono::seconds limit = std::chrono::seconds(60)) {
        return process.wait(limit);
    }

  private:
    Scratch scratch;  // before `process`, which reads the input written here
    NorthProcess process;
};

Outcome runNorth(const std::vector<std::string>& arguments, const std::string& input = "") {
    North north(arguments, input);
    return north.wait();
}

struct Summary {
    uint64_t read = 0, sent = 0, unsent = 0, rejected = 0, blocks = 0, failed = 0;
};

Summary summaryOf(const std::string& err) {
    static const std::regex line(
        R"(summary: readings read (\d+), (?:sent|written) (\d+), unsent (\d+); lines rejected (\d+); )"
        R"(blocks (\d+); failed attempts (\d+); elapsed [0-9.]+ s; [0-9.]+ readings/s)");
    std::smatch m;
    if (!std::regex_search(err, m, line)) {
        ADD_FAILURE() << "no summary line in:\n" << err;
        return {};
    }
    auto n = [&](int i) { return std::stoull(m[i].str()); };
    return {n(1), n(2), n(3), n(4), n(5), n(6)};
}

// A configuration file pointing the plugin at the warehouse.
std::string configFor(const Scratch& scratch, const TempWarehouse& warehouse,
                      const std::string& extra = "") {
    return scratch.write("config.json", R"({"corvaneInstance": "north-test", )" + extra +
                                            R"("additionalParams": {"Warehouse": ")" +
                                            jsonEscaped(warehouse.directory()) + R"("}})");
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> all;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        all.push_back(line);
    return all;
}

bool hasDatabase(const TempWarehouse& warehouse) {
    for (const auto& entry : fs::directory_iterator(warehouse.directory())) {
        if (entry.path().extension() == ".db")
            return true;
    }
    return false;
}

// --- loading the plugin and the command line -------------------------------

TEST(NorthPlugin, InfoPrintsTheRecordAndThePrettyDefaultConfiguration) {
    Outcome run = runNorth({"--plugin", LAKESINK_PLUGIN_PATH, "--info"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("name:      lakesink\n"));
    EXPECT_THAT(run.out, HasSubstr("type:      north\n"));
    EXPECT_THAT(run.out, HasSubstr("interface: 1.0.0\n"));
    const std::string marker = "default configuration:\n";
    const size_t at = run.out.find(marker);
    ASSERT_NE(at, std::string::npos);
    const std::string json = run.out.substr(at + marker.size());
    EXPECT_THAT(json, HasSubstr("\n  \"server\": {\n"));  // indented for people
    rapidjson::Document config;
    config.Parse(json.c_str());
    ASSERT_FALSE(config.HasParseError());
    ASSERT_TRUE(config.IsObject());
    std::vector<std::string> items;
    for (auto m = config.MemberBegin(); m != config.MemberEnd(); ++m)
        items.push_back(m->name.GetString());
    EXPECT_EQ(items, (std::vector<std::string>{
                         "plugin", "server", "port", "schema", "user", "password",
                         "corvaneInstance", "source", "additionalParams", "writers", "table",
                         "datapoints", "maxStatementBytes", "delivery", "transport",
                         "streamEndpoint", "tokenEndpoint", "workspaceId", "catalog"}));
}

TEST(NorthPlugin, DefaultPluginIsTheOneBuiltHere) {
    Outcome run = runNorth({"--info"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("name:      lakesink\n"));
}

TEST(NorthPlugin, ObjectsThatAreNotNorthPluginsAreRefusedByName) {
    const std::string common = std::string(LAKESINK_BINARY_DIR) + "/host/libcommon-lib.so.1";
    Outcome missing = runNorth({"--plugin", common, "--info"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_THAT(missing.err, HasSubstr("does not export the entry point plugin_info"));

    Outcome absent = runNorth({"--plugin", "/nonexistent/libnothing.so", "--info"});
    EXPECT_EQ(absent.status, 1);
    EXPECT_THAT(absent.err, HasSubstr("cannot load plugin /nonexistent/libnothing.so"));
}

struct UsageCase {
    std::vector<std::string> arguments;
    const char* message;
};

TEST(NorthCommandLine, BadArgumentsAreRefusedWithAReason) {
    const UsageCase cases[] = {
        {{}, "give either --readings FILE|- or --generate N"},
        {{"--readings", "-", "--generate", "5"}, "give either --readings"},
        {{"--frobnicate"}, "unknown option \"--frobnicate\""},
        {{"--generate", "ten"}, "--generate needs a whole number"},
        {{"--generate", "5", "--block-size", "0"}, "--block-size needs a whole number from 1"},
        {{"--generate", "5", "--max-backoff", "-1"}, "--max-backoff needs a number of seconds"},
        {{"--generate", "5", "--log-level", "loud"}, "unknown log level \"loud\""},
        {{"--readings", "-", "--seed", "3"}, "go with --generate"},
        {{"--generate"}, "--generate needs a value"},
        {{"--readings", "/nonexistent/readings.jsonl"}, "cannot open readings file"},
        // A directory is not an empty input, whether sent or dumped.
        {{"--readings", LAKESINK_BINARY_DIR}, "cannot read readings file"},
        {{"--readings", LAKESINK_BINARY_DIR, "--dump"}, "Is a directory"},
        {{"--generate", "5", "--dump", "--checkpoint", "/tmp/x"}, "does not go with --dump"},
        {{"--generate", "5", "--checkpoint="}, "--checkpoint needs a file name"},
    };
    for (const auto& c : cases) {
        Outcome run = runNorth(c.arguments);
        EXPECT_EQ(run.status, 1) << c.message;
        EXPECT_THAT(run.err, HasSubstr(c.message));
    }
    Outcome help = runNorth({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("--max-backoff"));
}

struct ConfigCase {
    std::string content;
    const char* message;
};

TEST(NorthConfiguration, BadConfigurationFilesAreRefusedBeforeAnythingIsSent) {
    TempWarehouse warehouse;
    Scratch scratch;
    const std::string wh = jsonEscaped(warehouse.directory());
    const ConfigCase cases[] = {
        {R"({"bogus": "1", "server": "x", "other": 2})", R"(names unknown items "bogus", "other")"},
        {R"({"Server": "x"})", R"(names unknown item "Server")"},
        {R"({"plugin": "other"})", R"(item "plugin" is read-only)"},
        {R"({"server": {"host": "x"}})", R"(item "server" of type "string" takes a single value)"},
        {R"({"server": "x",})", "is not valid JSON"},
        {R"(["server"])", "is not a JSON object"},
        {R"({"port": "https", "additionalParams": {"Warehouse": ")" + wh + R"("}})",
         "plugin_init failed"},
        // 50,000 levels would overflow the stack of the JSON reader.
        {R"({"additionalParams": )" + std::string(50000, '[') + std::string(50000, ']') + "}",
         "nests deeper than 1000 levels"},
        // Settings the plugin's default configuration forbids never reach the
        // warehouse, a NUL byte that would cut the connection string included.
        {R"({"port": 70000, "additionalParams": {"Warehouse": ")" + wh + R"("}})",
         R"(plugin_init failed: configuration item "port" value "70000" is outside 1 to 65535)"},
        {R"({"port": 0, "additionalParams": {"Warehouse": ")" + wh + R"("}})",
         R"(configuration item "port" value "0" is outside 1 to 65535)"},
        {R"({"schema": "", "additionalParams": {"Warehouse": ")" + wh + R"("}})",
         R"(configuration item "schema" is mandatory and cannot be empty)"},
        {R"({"source": "statistics", "additionalParams": {"Warehouse": ")" + wh + R"("}})",
         R"(configuration item "source" value "statistics" is not one of the choices)"},
        {R"({"schema": "sales\u0000", "additionalParams": {"Warehouse": ")" + wh + R"("}})",
         R"(configuration item "schema" holds a NUL byte)"},
        {R"({"additionalParams": {"Warehouse": ")" + wh + R"(\u0000/elsewhere"}})",
         R"(has a NUL byte in the value of key "Warehouse")"},
        // A second SCHEMA would move where rows are written but not where the
        // tables are looked up.
        {R"({"additionalParams": {"Warehouse": ")" + wh + R"(", "schema": "elsewhere"}})",
         R"(configuration item "additionalParams" has the key "schema", an attribute the plugin )"
         R"(writes itself)"},
    };
    for (const auto& c : cases) {
        const std::string file = scratch.write("bad.json", c.content);
        Outcome run = runNorth({"--config", file, "--generate", "3"});
        EXPECT_EQ(run.status, 1) << c.content << "\n" << run.err;
        EXPECT_THAT(run.err, HasSubstr(c.message)) << c.content;
        EXPECT_THAT(run.err, Not(HasSubstr("summary:")));
    }
    Outcome missing = runNorth({"--config", scratch.path("absent.json"), "--generate", "3"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_THAT(missing.err, HasSubstr("cannot open configuration file"));
    fs::create_directory(scratch.path("conf.d"));
    Outcome directory = runNorth({"--config", scratch.path("conf.d"), "--generate", "3"});
    EXPECT_EQ(directory.status, 1);
    EXPECT_THAT(directory.err, HasSubstr("conf.d: it is a directory"));
    EXPECT_FALSE(hasDatabase(warehouse));
}

// --check loads the plugin, overlays the configuration and runs plugin_init,
// listing every problem and sending nothing; --info takes --config the same
// way and shows the values it sets, the password masked.
TEST(NorthConfiguration, CheckListsEveryProblemAndInfoTakesTheConfiguration) {
    TempWarehouse warehouse;
    Scratch scratch;
    const std::string good = configFor(scratch, warehouse, R"("password": "s3cret", )");
    Outcome ok = runNorth({"--check", "--config", good});
    EXPECT_EQ(ok.status, 0) << ok.err;
    Outcome info = runNorth({"--info", "--config", good});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_THAT(info.out, HasSubstr("\"value\": \"north-test\""));
    EXPECT_THAT(info.out, Not(HasSubstr("s3cret")));

    const std::string wh = jsonEscaped(warehouse.directory());
    const std::string bad = scratch.write(
        "bad.json", R"({"port": 0, "table": " ", "server": "https://adb-1.net/sql/1.0/w", )"
                    R"("additionalParams": {"a;b": "1", "Warehouse": ")" +
                        wh + R"("}})");
    Outcome check = runNorth({"--check", "--config", bad});
    EXPECT_EQ(check.status, 1) << check.err;
    for (const char* item : {"\"port\"", "\"table\"", "\"server\"", "\"additionalParams\""})
        EXPECT_THAT(check.err, HasSubstr(std::string("problem: configuration item ") + item));
    Outcome badInfo = runNorth({"--info", "--config", bad});
    EXPECT_EQ(badInfo.status, 1);
    EXPECT_THAT(badInfo.err, HasSubstr(R"(problem: configuration item "table")"));
    const std::string nulls = scratch.write("null.json", R"({"port": null})");
    EXPECT_EQ(runNorth({"--check", "--config", nulls}).status, 1);
    Outcome nullInfo = runNorth({"--info", "--config", nulls});
    EXPECT_EQ(nullInfo.status, 1);
    EXPECT_THAT(nullInfo.err, HasSubstr(R"(item "port" is null)"));
    // A whole number in exponent notation is a whole number.
    const std::string exponent = scratch.write(
        "exp.json",
        R"({"maxStatementBytes": 1e6, "additionalParams": {"Warehouse": ")" + wh + R"("}})");
    EXPECT_EQ(runNorth({"--check", "--config", exponent}).status, 0);
    EXPECT_FALSE(hasDatabase(warehouse));
}

// --- readings ---------------------------------------------------------------

TEST(NorthReadings, GeneratedWorkloadIsDeterministic) {
    const std::vector<std::string> args{"--generate", "30",     "--assets", "4",     "--datapoints",
                                        "6",          "--seed", "42",       "--dump"};
    Outcome first = runNorth(args);
    Outcome second = runNorth(args);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, second.out);
    const auto all = lines(first.out);
    ASSERT_EQ(all.size(), 30u);
    std::set<std::string> assets;
    for (const auto& line : all) {
        rapidjson::Document reading;
        reading.Parse(line.c_str());
        ASSERT_TRUE(reading.IsObject()) << line;
        assets.insert(reading["asset"].GetString());
        EXPECT_EQ(reading["datapoints"].MemberCount(), 6u);
        EXPECT_TRUE(reading["datapoints"]["dp_0"].IsDouble());
        EXPECT_TRUE(reading["datapoints"]["dp_1"].IsInt64());
        EXPECT_TRUE(reading["datapoints"]["dp_2"].IsString());
    }
    EXPECT_EQ(assets, (std::set<std::string>{"asset_0", "asset_1", "asset_2", "asset_3"}));
    EXPECT_THAT(all[0],
                StartsWith(R"({"asset":"asset_0","timestamp":"2026-01-01T00:00:00.000000Z")"));

    Outcome other = runNorth(
        {"--generate", "30", "--assets", "4", "--datapoints", "6", "--seed", "43", "--dump"});
    EXPECT_NE(other.out, first.out);
}

TEST(NorthReadings, DumpedReadingsReadBackUnchanged) {
    Scratch scratch;
    Outcome generated =
        runNorth({"--generate", "25", "--datapoints", "7", "--seed", "9", "--dump"});
    ASSERT_EQ(generated.status, 0);
    const std::string handmade =
        R"({"asset":"odd 'name'","timestamp":"2026-03-01T12:00:00.000001Z","user_timestamp":"2025-12-31T23:59:59.999999Z","datapoints":{"s":"a\"b\\c\n","i":-9223372036854775808,"f":0.1,"big":1e300,"nan":NaN,"arr":[1.0,-2.5],"list":[1,"x",{"k":[2.0]}],"dict":{"d":{"e":"f"}},"t":1}})"
        "\n";
    const std::string file = scratch.write("in.jsonl", generated.out + handmade);
    Outcome again = runNorth({"--readings", file, "--dump"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, generated.out + handmade);
}

TEST(NorthReadings, TimestampsAndValuesAreReadAsDocumented) {
    const std::string input =
        R"({"asset":"a","timestamp":"2026-01-01T01:00:00.5+01:00"})"
        "\n"
        R"({"asset":"a","timestamp":"2026-01-01 00:00:00.1234567"})"
        "\n"
        R"({"asset":"a","timestamp":"2024-02-29T23:59:59-0030"})"
        "\n"
        R"({"asset":"a","user_timestamp":"2026-06-01T00:00:00Z","datapoints":{"b":false,"n":null,"e":[]}})"
        "\n";
    Outcome run = runNorth({"--readings", "-", "--dump"}, input);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto out = lines(run.out);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_THAT(out[0], HasSubstr(R"("timestamp":"2026-01-01T00:00:00.500000Z")"));
    EXPECT_THAT(out[1], HasSubstr(R"("timestamp":"2026-01-01T00:00:00.123456Z")"));
    EXPECT_THAT(out[2], HasSubstr(R"("timestamp":"2024-03-01T00:29:59.000000Z")"));
    // One of the two times stands for both; false is 0; null is left out.
    EXPECT_THAT(out[3], HasSubstr(R"("timestamp":"2026-06-01T00:00:00.000000Z")"));
    EXPECT_THAT(out[3], HasSubstr(R"("datapoints":{"b":0,"e":[]})"));
}

TEST(NorthReadings, MalformedLinesAreReportedSkippedAndCounted) {
    const std::string input = R"({"asset":"a","datapoints":{"x":1}})"
                              "\n"
                              "not json at all\n"
                              "\n"
                              R"({"asset":"a","timestmp":"2026-01-01T00:00:00Z"})"
                              "\n"
                              R"({"asset":"","datapoints":{}})"
                              "\n"
                              R"({"asset":"a","timestamp":"2026-02-30T00:00:00Z"})"
                              "\n"
                              R"({"asset":"a","timestamp":"1969-12-31T23:59:59Z"})"
                              "\n"
                              R"({"asset":"a","datapoints":{"x":18446744073709551615}})"
                              "\n"
                              R"({"asset":"a","datapoints":[1]})"
                              "\n"
                              R"({"asset":"a","datapoints":{"x":2}})"
                              "\r\n";
    Outcome run = runNorth({"--readings", "-", "--dump"}, input);
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_EQ(lines(run.out).size(), 2u);
    const char* expected[] = {
        "Line 2 of standard input rejected: invalid JSON",
        R"(Line 4 of standard input rejected: unknown member "timestmp")",
        R"(Line 5 of standard input rejected: "asset" must be a non-empty string)",
        R"(Line 6 of standard input rejected: "timestamp": "2026-02-30T00:00:00Z" is not a valid)",
        "Line 7 of standard input rejected: \"timestamp\": \"1969-12-31T23:59:59Z\" is before 1970",
        "Line 8 of standard input rejected: datapoint x: integer 18446744073709551615 is outside",
        R"(Line 9 of standard input rejected: "datapoints" must be a JSON object)",
    };
    for (const char* message : expected)
        EXPECT_THAT(run.err, HasSubstr(message));
    EXPECT_THAT(run.err, Not(HasSubstr("Line 3 ")));
    const Summary summary = summaryOf(run.err);
    EXPECT_EQ(summary.read, 2u);
    EXPECT_EQ(summary.rejected, 7u);
}

// Nulls inside objects and arrays keep their places, in the dump and in the
// warehouse; whole numbers no 64-bit integer holds are refused by line rather
// than rounded to doubles.
TEST(NorthReadings, NestedNullsKeepTheirPlacesAndOversizedIntegersAreRejected) {
    const std::string nulls =
        R"({"asset":"nulls","datapoints":{"f":[1.5,null,2.5],"n":[[1,null],[null,2]],"o":{"a":null,"b":1}}})"
        "\n";
    const std::string input =
        nulls +
        R"({"asset":"a","datapoints":{"x":18446744073709551616}})"
        "\n"
        R"({"asset":"a","datapoints":{"x":[1,-9223372036854775809]}})"
        "\n"
        R"({"asset":"a","datapoints":{"x":{"y":123456789012345678901234567890}}})"
        "\n"
        R"({"asset":"a","datapoints":{"x":1e20,"y":-9223372036854775808,"s":"18446744073709551616"}})"
        "\n";
    Outcome run = runNorth({"--readings", "-", "--dump"}, input);
    EXPECT_EQ(run.status, 3) << run.err;
    const auto out = lines(run.out);
    ASSERT_EQ(out.size(), 2u) << run.out;
    EXPECT_THAT(out[0],
                HasSubstr(R"("f":[1.5,null,2.5],"n":[[1,null],[null,2]],"o":{"a":null,"b":1})"));
    EXPECT_THAT(
        out[1],
        HasSubstr(
            R"("x":100000000000000000000.0,"y":-9223372036854775808,"s":"18446744073709551616")"));
    for (int line : {2, 3, 4}) {
        EXPECT_THAT(run.err, HasSubstr("Line " + std::to_string(line) +
                                       " of standard input rejected: integer "));
    }
    EXPECT_EQ(summaryOf(run.err).rejected, 3u);

    TempWarehouse warehouse;
    Scratch scratch;
    Outcome sent = runNorth(
        {"--config", configFor(scratch, warehouse), "--readings", "-", "--max-attempts", "3"},
        nulls);
    ASSERT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(warehouse.query("SELECT f, n, o FROM nulls"),
              (Rows{{"[1.5,null,2.5]", "[[1,null],[null,2]]", R"({"a":null,"b":1})"}}));
}

// A reading line whose datapoint "x" nests `depth` levels of objects and
// arrays in all, counting the reading and its datapoints.
std::string nestedLine(size_t depth) {
    std::string value = "1";
    for (size_t level = 2; level < depth; ++level)
        value = (level % 2 ? "[" : "{\"k\":") + value + (level % 2 ? "]" : "}");
    return R"({"asset":"deep","datapoints":{"x":)" + value + "}}";
}

TEST(NorthReadings, NestingBeyondTheBoundIsRejectedByLineAndTheRestIsRead) {
    const std::string brackets(5000, '[');
    const std::string input = nestedLine(1000) + "\n" + nestedLine(1001) + "\n" +
                              R"({"asset":"a","datapoints":{"x":)" + std::string(50000, '[') +
                              std::string(50000, ']') + "}}\n" +
                              R"({"asset":"a","datapoints":{"s":"\")" + brackets + "\"}}\n";
    Outcome run = runNorth({"--readings", "-", "--dump"}, input);
    EXPECT_EQ(run.status, 3) << run.err.substr(0, 500);
    const auto out = lines(run.out);
    ASSERT_EQ(out.size(), 2u);
    // Compared as booleans: a failure message would print thousands of brackets.
    const std::string deep = nestedLine(1000);
    EXPECT_TRUE(out[0].substr(out[0].find("\"datapoints\"")) ==
                deep.substr(deep.find("\"datapoints\"")));
    // Brackets inside a string, after an escaped quote, do not count.
    EXPECT_TRUE(out[1].find(brackets) != std::string::npos);
    for (int line : {2, 3}) {
        EXPECT_THAT(run.err, HasSubstr("Line " + std::to_string(line) +
                                       " of standard input rejected: invalid JSON: nested "
                                       "deeper than 1000 levels"));
    }
    const Summary summary = summaryOf(run.err);
    EXPECT_EQ(summary.read, 2u);
    EXPECT_EQ(summary.rejected, 2u);
}

// --- end to end into the emulator warehouse ---------------------------------

TEST(NorthEndToEnd, JsonLinesFileLandsInTheWarehouse) {
    TempWarehouse warehouse;
    Scratch scratch;
    const std::string readings = scratch.write(
        "readings.jsonl",
        R"({"asset":"pump","timestamp":"2026-01-01T08:00:00.000001Z","user_timestamp":"2026-01-01T07:59:59Z","datapoints":{"temperature":21.5,"rpm":1450,"state":"it's \"on\" C:\\pump\\"}})"
        "\n"
        R"({"asset":"pump","timestamp":"2026-01-01T08:00:01Z","datapoints":{"temperature":22.25,"rpm":-3,"state":"ok","meta":{"a":1,"b":"x"}}})"
        "\n"
        R"({"asset":"Boiler","timestamp":"2026-01-01T09:00:02+01:00","datapoints":{"pressure":3.5,"alarms":["low",2]}})"
        "\n"
        R"({"asset":"pump","timestamp":"2026-01-01T08:00:03Z","datapoints":{"event":"seal","databricksHint":{"tablename":"maintenance"}}})"
        "\n");
    Outcome run = runNorth({"--config", configFor(scratch, warehouse), "--readings", readings,
                            "--block-size", "2", "--max-attempts", "3", "--max-backoff", "0.2"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Summary summary = summaryOf(run.err);
    EXPECT_EQ(summary.read, 4u);
    EXPECT_EQ(summary.sent, 4u);
    EXPECT_EQ(summary.unsent, 0u);
    EXPECT_EQ(summary.blocks, 2u);
    EXPECT_EQ(summary.failed, 0u);

    const Rows pump = warehouse.query(
        "SELECT asset_code, user_ts, ts, corvane, temperature, rpm, state, meta FROM pump ORDER BY "
        "ts");
    ASSERT_EQ(pump.size(), 2u);
    EXPECT_EQ(pump[0][0], "pump");
    EXPECT_THAT(pump[0][1], StartsWith("2026-01-01 07:59:59.000000"));
    EXPECT_THAT(pump[0][2], StartsWith("2026-01-01 08:00:00.000001"));
    EXPECT_EQ(pump[0][3], "north-test");
    EXPECT_EQ(std::stod(pump[0][4]), 21.5);
    EXPECT_EQ(pump[0][5], "1450");
    EXPECT_EQ(pump[0][6], "it's \"on\" C:\\pump\\");
    EXPECT_EQ(pump[0][7], "NULL");  // the column arrived with the second reading
    EXPECT_THAT(pump[1][1], StartsWith("2026-01-01 08:00:01.000000"));  // user time = time
    EXPECT_EQ(std::stod(pump[1][4]), 22.25);
    EXPECT_EQ(pump[1][5], "-3");
    EXPECT_EQ(pump[1][7], R"({"a":1,"b":"x"})");

    const Rows boiler = warehouse.query("SELECT asset_code, ts, pressure, alarms FROM boiler");
    ASSERT_EQ(boiler.size(), 1u);
    EXPECT_EQ(boiler[0][0], "Boiler");
    EXPECT_THAT(boiler[0][1], StartsWith("2026-01-01 08:00:02.000000"));
    EXPECT_EQ(std::stod(boiler[0][2]), 3.5);
    EXPECT_EQ(boiler[0][3], R"(["low",2])");

    EXPECT_EQ(warehouse.query("SELECT asset_code, event FROM maintenance"),
              (Rows{{"pump", "seal"}}));
}

// A restart writes the tables an earlier run left with a MERGE whose target
// and source are the aliases t and s. A schema spelled like one of them, or
// like SQLite's own main, must not capture the alias: the second run writes
// only the reading the first did not, and every row reads back as sent.
TEST(NorthEndToEnd, SchemasNamedLikeTheMergeAliasesSurviveARestart) {
    const std::string first =
        R"({"asset":"pump","timestamp":"2026-01-01T08:00:00Z","datapoints":{"n":1,"state":"on"}})"
        "\n"
        R"({"asset":"pump","timestamp":"2026-01-01T08:00:01Z","datapoints":{"n":2,"state":"s.n"}})"
        "\n";
    const std::string later =
        R"({"asset":"pump","timestamp":"2026-01-01T08:00:02Z","datapoints":{"n":3,"state":"t"}})"
        "\n";
    for (const std::string schema : {"s", "t", "S", "main"}) {
        SCOPED_TRACE(schema);
        TempWarehouse warehouse;
        Scratch scratch;
        const std::string config =
            configFor(scratch, warehouse, R"("schema": ")" + schema + R"(", )");
        const std::vector<std::string> common{"--config",       config, "--block-size", "10",
                                              "--max-attempts", "1",    "--log-level",  "debug"};
        std::vector<std::string> arguments = common;
        arguments.insert(arguments.end(), {"--readings", scratch.write("first.jsonl", first)});
        Outcome run = runNorth(arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        arguments = common;
        arguments.insert(arguments.end(),
                         {"--readings", scratch.write("all.jsonl", first + later)});
        Outcome restart = runNorth(arguments);
        ASSERT_EQ(restart.status, 0) << restart.err;
        EXPECT_THAT(restart.err, HasSubstr("Executing query: MERGE INTO"));
        EXPECT_EQ(warehouse.query("SELECT ts, n, state FROM pump ORDER BY n", schema),
                  (Rows{{"2026-01-01 08:00:00.000000", "1", "on"},
                        {"2026-01-01 08:00:01.000000", "2", "s.n"},
                        {"2026-01-01 08:00:02.000000", "3", "t"}}));
    }
}

TEST(NorthEndToEnd, StandardInputAndGeneratedReadingsArriveComplete) {
    TempWarehouse warehouse;
    Scratch scratch;
    const std::string config = configFor(scratch, warehouse);
    Outcome fromStdin = runNorth({"--config", config, "--readings", "-", "--max-attempts", "3"},
                                 R"({"asset":"piped","datapoints":{"n":7}})"
                                 "\n");
    ASSERT_EQ(fromStdin.status, 0) << fromStdin.err;
    EXPECT_EQ(warehouse.query("SELECT n FROM piped"), (Rows{{"7"}}));

    const std::vector<std::string> workload{"--generate",   "1100", "--assets", "3",
                                            "--datapoints", "3",    "--seed",   "5"};
    std::vector<std::string> send = workload;
    send.insert(send.end(), {"--config", config, "--max-attempts", "3", "--max-backoff", "0.2"});
    Outcome run = runNorth(send);
    ASSERT_EQ(run.status, 0) << run.err;
    const Summary summary = summaryOf(run.err);
    EXPECT_EQ(summary.sent, 1100u);
    EXPECT_EQ(summary.blocks, 3u);  // 500 + 500 + 100 at the default block size
    // The block send times are shown as the run goes and summed up at its end;
    // no block can take longer than the longest, nor the average exceed it.
    EXPECT_THAT(run.err, ContainsRegex("progress: sent 1100/1100 readings, .*, last block "
                                       "[0-9.]+ m?s, average block [0-9.]+ m?s, "));
    std::smatch times;
    const std::string err = run.err;
    ASSERT_TRUE(std::regex_search(
        err, times,
        std::regex(R"(block send average ([0-9.]+) s, longest ([0-9.]+) s, last ([0-9.]+) s)")))
        << err;
    EXPECT_GT(std::stod(times[2].str()), 0.0);
    EXPECT_LE(std::stod(times[1].str()), std::stod(times[2].str()));
    EXPECT_LE(std::stod(times[3].str()), std::stod(times[2].str()));

    EXPECT_EQ(warehouse.query("SELECT count(*) FROM asset_0"), (Rows{{"367"}}));
    EXPECT_EQ(warehouse.query("SELECT count(*) FROM asset_1"), (Rows{{"367"}}));
    EXPECT_EQ(warehouse.query("SELECT count(*) FROM asset_2"), (Rows{{"366"}}));

    // The rows hold the very values of the same workload dumped as JSON Lines.
    std::vector<std::string> dump = workload;
    dump.push_back("--dump");
    const auto readings = lines(runNorth(dump).out);
    ASSERT_EQ(readings.size(), 1100u);
    rapidjson::Document last;
    last.Parse(readings[1099].c_str());
    ASSERT_STREQ(last["asset"].GetString(), "asset_1");
    const Rows row = warehouse.query(
        "SELECT dp_0, dp_1, dp_2 FROM asset_1 WHERE ts = (SELECT max(ts) FROM asset_1)");
    ASSERT_EQ(row.size(), 1u);
    EXPECT_NEAR(std::stod(row[0][0]), last["datapoints"]["dp_0"].GetDouble(), 1e-9);
    EXPECT_EQ(row[0][1], std::to_string(last["datapoints"]["dp_1"].GetInt64()));
    EXPECT_EQ(row[0][2], last["datapoints"]["dp_2"].GetString());
}

TEST(NorthEndToEnd, EveryReadingArrivesOnceAfterTheWarehouseComesBack) {
    TempWarehouse warehouse;
    Scratch scratch;
    warehouse.setOffline(true);
    North north({"--config", configFor(scratch, warehouse), "--generate", "60", "--assets", "2",
                 "--block-size", "25", "--max-backoff", "0.5", "--max-attempts", "60"});
    std::this_thread::sleep_for(std::chrono::seconds(2));
    warehouse.setOffline(false);
    Outcome run = north.wait();
    ASSERT_EQ(run.status, 0) << run.err;
    const Summary summary = summaryOf(run.err);
    EXPECT_EQ(summary.sent, 60u);
    EXPECT_EQ(summary.blocks, 3u);
    EXPECT_GE(summary.failed, 1u);
    EXPECT_THAT(run.err, HasSubstr("The plugin did not accept a block of 25 readings (attempt 1)"));
    // Each reading exactly once: no block was lost or written twice.
    EXPECT_EQ(warehouse.query("SELECT count(*), count(DISTINCT ts) FROM asset_0"),
              (Rows{{"30", "30"}}));
    EXPECT_EQ(warehouse.query("SELECT count(*), count(DISTINCT ts) FROM asset_1"),
              (Rows{{"30", "30"}}));
}

TEST(NorthEndToEnd, GivesUpAfterMaxAttemptsAndSaysSo) {
    TempWarehouse warehouse;
    Scratch scratch;
    warehouse.setOffline(true);
    Outcome run = runNorth({"--config", configFor(scratch, warehouse), "--generate", "10",
                            "--block-size", "4", "--max-backoff", "0.05", "--max-attempts", "3"});
    EXPECT_EQ(run.status, 2) << run.err;
    const Summary summary = summaryOf(run.err);
    EXPECT_EQ(summary.read, 4u);
    EXPECT_EQ(summary.sent, 0u);
    EXPECT_EQ(summary.unsent, 4u);
    EXPECT_EQ(summary.failed, 3u);
    EXPECT_THAT(run.err, HasSubstr("Giving up on a block of 4 readings after 3 attempts"));
}

TEST(NorthEndToEnd, SigtermStopsCleanlyWithASummary) {
    TempWarehouse warehouse;
    Scratch scratch;
    warehouse.setOffline(true);
    North north(
        {"--config", configFor(scratch, warehouse), "--generate", "10", "--max-backoff", "0.2"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(north.pid(), SIGTERM);
    Outcome run = north.wait(std::chrono::seconds(20));
    EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
    EXPECT_THAT(run.err, HasSubstr("Stopped by signal 15; 10 readings read were not sent"));
    const Summary summary = summaryOf(run.err);
    EXPECT_EQ(summary.sent, 0u);
    EXPECT_GE(summary.failed, 1u);
}

// Waits up to `limit` for `text` on the process's stderr; returns true iff it
// appeared.
bool errorsShow(NorthProcess& process, const std::string& text,
                std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (process.errors().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The first SIGINT is answered at once, in the middle of a slow block; the
// second ends the process at once with its summary, the status of the signal
// and a checkpoint that still holds a count.
TEST(NorthEndToEnd, FirstSignalSaysItStopsAfterTheBlockAndASecondStopsAtOnce) {
    TempWarehouse warehouse;
    Scratch scratch;
    std::ofstream(warehouse.directory() + "/latency") << "statement 1500\n";
    NorthProcess north({"--config", configFor(scratch, warehouse), "--generate", "40",
                        "--block-size", "20", "--checkpoint", scratch.path("position")});
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    kill(north.pid(), SIGINT);
    EXPECT_TRUE(errorsShow(north, "stopping after the current block, which has been sending for",
                           std::chrono::milliseconds(500)))
        << north.errors();
    const auto second = std::chrono::steady_clock::now();
    kill(north.pid(), SIGINT);
    Outcome run = north.wait(std::chrono::seconds(20));
    EXPECT_LT(std::chrono::steady_clock::now() - second, std::chrono::milliseconds(1000));
    EXPECT_EQ(run.status, 128 + SIGINT) << run.err;
    EXPECT_LE(summaryOf(run.err).sent, 20u);
    EXPECT_THAT(scratch.read("position"), ::testing::MatchesRegex("(0|20)\n"));
}

// A quiet input does not hold back what has arrived: after --max-wait without
// a new reading the partial block is sent, while the input is still open.
TEST(NorthEndToEnd, QuietInputSendsAPartialBlockAfterMaxWait) {
    TempWarehouse warehouse;
    Scratch scratch;
    const std::string fifo = scratch.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Held open for writing here, so that corvane-north opens it at once and
    // sees its end only when this end is closed.
    const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    NorthProcess north({"--config", configFor(scratch, warehouse), "--readings", "-", "--max-wait",
                        "300", "--status-file", scratch.path("status")},
                       fifo);
    const std::string two = R"({"asset":"quiet","datapoints":{"n":1}})"
                            "\n"
                            R"({"asset":"quiet","datapoints":{"n":2}})"
                            "\n";
    ASSERT_EQ(write(writer, two.data(), two.size()), static_cast<ssize_t>(two.size()));
    Rows stored;
    for (int i = 0; i < 100 && stored != Rows{{"2"}}; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        try {
            stored = warehouse.query("SELECT count(*) FROM quiet");
        } catch (const std::exception&) {
        }
    }
    EXPECT_EQ(stored, (Rows{{"2"}}));
    const std::string last = R"({"asset":"quiet","datapoints":{"n":3}})"
                             "\n";
    ASSERT_EQ(write(writer, last.data(), last.size()), static_cast<ssize_t>(last.size()));
    close(writer);
    Outcome run = north.wait();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(summaryOf(run.err).blocks, 2u);
    EXPECT_EQ(warehouse.query("SELECT count(*) FROM quiet"), (Rows{{"3"}}));
}

// A followed file is read as it grows: what was appended is sent after
// --max-wait of quiet, and the run goes on until it is stopped.
TEST(NorthEndToEnd, FollowedFileIsSentAsItGrowsUntilStopped) {
    TempWarehouse warehouse;
    Scratch scratch;
    const std::string file =
        scratch.write("grows.jsonl", R"({"asset":"grows","datapoints":{"n":1}})"
                                     "\n");
    NorthProcess north({"--config", configFor(scratch, warehouse), "--readings", file, "--follow",
                        "--max-wait", "200"});
    auto rowsReach = [&](const std::string& count) {
        Rows stored;
        for (int i = 0; i < 100 && stored != Rows{{count}}; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            try {
                stored = warehouse.query("SELECT count(*) FROM grows");
            } catch (const std::exception&) {
            }
        }
        return stored == Rows{{count}};
    };
    EXPECT_TRUE(rowsReach("1"));
    std::ofstream(file, std::ios::app) << R"({"asset":"grows","datapoints":{"n":2}})"
                                          "\n"
                                       << R"({"asset":"grows","datapoints":{"n":3}})"
                                          "\n";
    EXPECT_TRUE(rowsReach("3"));
    kill(north.pid(), SIGTERM);
    Outcome run = north.wait(std::chrono::seconds(20));
    EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
    EXPECT_EQ(summaryOf(run.err).sent, 3u);
    EXPECT_EQ(runNorth({"--readings", "-", "--follow"}).status, 1);
}

// The health file after every block and failed attempt: what was read, sent
// and left, the failed attempts, the back-off, the last success and the
// position.
TEST(NorthEndToEnd, StatusFileTellsAMonitorHowFarTheRunIs) {
    TempWarehouse warehouse;
    Scratch scratch;
    const std::string config = configFor(scratch, warehouse);
    const std::string status = scratch.path("status.json");
    auto parsed = [&]() {
        rapidjson::Document json;
        json.Parse(scratch.read("status.json").c_str());
        EXPECT_TRUE(json.IsObject()) << scratch.read("status.json");
        return json;
    };
    warehouse.setOffline(true);
    Outcome refused =
        runNorth({"--config", config, "--generate", "10", "--block-size", "4", "--max-backoff",
                  "0.05", "--max-attempts", "3", "--status-file", status});
    EXPECT_EQ(refused.status, 2) << refused.err;
    rapidjson::Document failed = parsed();
    ASSERT_TRUE(failed.IsObject());
    EXPECT_STREQ(failed["state"].GetString(), "finished");
    EXPECT_EQ(failed["readings_read"].GetUint64(), 4u);
    EXPECT_EQ(failed["readings_sent"].GetUint64(), 0u);
    EXPECT_EQ(failed["readings_unsent"].GetUint64(), 4u);
    EXPECT_EQ(failed["failed_attempts"].GetUint64(), 3u);
    EXPECT_GT(failed["backoff_seconds"].GetDouble(), 0.0);
    EXPECT_TRUE(failed["last_success"].IsNull());
    EXPECT_TRUE(failed["checkpoint_position"].IsNull());
    EXPECT_FALSE(fs::exists(status + ".tmp"));

    warehouse.setOffline(false);
    scratch.write("position", "3\n");
    Outcome sent = runNorth({"--config", config, "--generate", "10", "--block-size", "4",
                             "--checkpoint", scratch.path("position"), "--status-file", status});
    ASSERT_EQ(sent.status, 0) << sent.err;
    rapidjson::Document done = parsed();
    ASSERT_TRUE(done.IsObject());
    EXPECT_EQ(done["readings_read"].GetUint64(), 7u);
    EXPECT_EQ(done["readings_sent"].GetUint64(), 7u);
    EXPECT_EQ(done["blocks"].GetUint64(), 2u);
    EXPECT_EQ(done["backoff_seconds"].GetDouble(), 0.0);
    EXPECT_TRUE(done["last_success"].IsString());
    EXPECT_EQ(done["checkpoint_position"].GetUint64(), 10u);

    // A status file that cannot be written stops the run before anything is sent.
    TempWarehouse untouched;
    Outcome unwritable = runNorth({"--config", configFor(scratch, untouched), "--generate", "3",
                                   "--status-file", scratch.path("absent-dir/status.json")});
    EXPECT_EQ(unwritable.status, 1) << unwritable.err;
    EXPECT_FALSE(hasDatabase(untouched));
}

// --- the installed tree -----------------------------------------------------

// `cmake --install` into a temporary prefix gives a tree that runs on its own:
// corvane-north loads the plugin installed beside it and, with the installed
// odbcinst.ini, writes into an emulator warehouse. The .deb that cpack builds
// holds the same tree.
TEST(NorthInstall, InstalledTreeAndDebianPackageRunOnTheirOwn) {
    Scratch scratch;
    const std::string prefix = scratch.path("prefix");
    const std::string quiet = " >" + scratch.path("log") + " 2>&1";
    ASSERT_EQ(runShellCommand(std::string(LAKESINK_CMAKE_COMMAND) + " --install " +
                              LAKESINK_BINARY_DIR + " --prefix " + prefix + quiet)
                  .status,
              0)
        << scratch.read("log");
    const std::string lib = prefix + "/lib/lakesink/";
    EXPECT_EQ(fs::read_symlink(lib + "liblakesink.so.1"), "liblakesink.so.3.1.0");
    EXPECT_TRUE(fs::exists(prefix + "/share/doc/lakesink/README.md"));
    const auto [infoStatus, info] = runShellCommand(prefix + "/bin/corvane-north --info");
    EXPECT_EQ(infoStatus, 0);
    EXPECT_THAT(info, HasSubstr("path:      " + lib + "liblakesink.so.1\n"));

    TempWarehouse warehouse;
    const auto sent = runShellCommand("ODBCSYSINI=" + prefix + "/share/lakesink " + prefix +
                                      "/bin/corvane-north --generate 5 --assets 1 --config " +
                                      configFor(scratch, warehouse) + quiet);
    EXPECT_EQ(sent.status, 0) << scratch.read("log");
    EXPECT_EQ(warehouse.query("SELECT count(*) FROM asset_0"), (Rows{{"5"}}));

    const std::string packages = scratch.path("packages");
    ASSERT_EQ(runShellCommand("cd " + packages.substr(0, packages.rfind('/')) + " && " +
                              LAKESINK_CPACK_COMMAND + " --config " + LAKESINK_BINARY_DIR +
                              "/CPackConfig.cmake -G DEB -B " + packages + quiet)
                  .status,
              0)
        << scratch.read("log");
    const std::string root = scratch.path("root");
    ASSERT_EQ(runShellCommand("dpkg-deb -x " + packages + "/lakesink_*.deb " + root + quiet).status,
              0)
        << scratch.read("log");
    const auto [debStatus, debInfo] = runShellCommand(root + "/usr/bin/corvane-north --info");
    EXPECT_EQ(debStatus, 0);
    EXPECT_THAT(debInfo, HasSubstr("path:      " + root + "/usr/lib/lakesink/liblakesink.so.1\n"));
}

// --- the checkpoint ---------------------------------------------------------

// Readings of the generated workload in asset_0, and how many distinct ones.
Rows countOf(const TempWarehouse& warehouse) {
    return warehouse.query("SELECT count(*), count(DISTINCT ts) FROM asset_0");
}

std::vector<std::string> generated(const std::string& config, int count,
                                   const std::string& checkpoint) {
    std::vector<std::string> arguments{
        "--config", config,         "--generate", std::to_string(count), "--assets",
        "1",        "--block-size", "10",         "--max-attempts",      "3"};
    if (!checkpoint.empty()) {
        arguments.push_back("--checkpoint");
        arguments.push_back(checkpoint);
    }
    return arguments;
}

// Every accepted block moves the stored position; a restart on a longer input
// skips what the first run acknowledged and sends only the rest.
TEST(NorthCheckpoint, RunStoresThePositionAndARestartSendsOnlyTheRest) {
    TempWarehouse warehouse;
    Scratch scratch;
    const std::string config = configFor(scratch, warehouse);
    const std::string checkpoint = scratch.path("position");
    Outcome first = runNorth(generated(config, 35, checkpoint));
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_THAT(first.err, HasSubstr("does not exist yet"));
    EXPECT_EQ(scratch.read("position"), "35\n");
    EXPECT_FALSE(fs::exists(checkpoint + ".tmp"));
    EXPECT_EQ(countOf(warehouse), (Rows{{"35", "35"}}));

    Outcome restart = runNorth(generated(config, 60, checkpoint));
    ASSERT_EQ(restart.status, 0) << restart.err;
    EXPECT_THAT(restart.err, HasSubstr("skipping 35 readings already acknowledged"));
    // Progress counts the position in the whole input, earlier runs included.
    EXPECT_THAT(restart.err, HasSubstr("progress: sent 60/60 readings"));
    const Summary summary = summaryOf(restart.err);
    EXPECT_EQ(summary.read, 25u);
    EXPECT_EQ(summary.sent, 25u);
    EXPECT_EQ(scratch.read("position"), "60\n");
    EXPECT_EQ(countOf(warehouse), (Rows{{"60", "60"}}));

    // JSON Lines skip by readings, not by lines: blank and malformed lines
    // are not counted.
    const std::string readings =
        scratch.write("readings.jsonl",
                      "{\"asset\":\"j\",\"datapoints\":{\"n\":1}}\n\nnot json\n"
                      "{\"asset\":\"j\",\"datapoints\":{\"n\":2}}\n"
                      "{\"asset\":\"j\",\"datapoints\":{\"n\":3}}\n");
    scratch.write("lines", "2\n");
    Outcome lines = runNorth({"--config", config, "--readings", readings, "--checkpoint",
                              scratch.path("lines"), "--max-attempts", "3"});
    EXPECT_EQ(lines.status, 3) << lines.err;  // every reading sent, one line rejected
    // Progress counts readings, not lines, and shows the final count once.
    EXPECT_THAT(lines.err, HasSubstr("progress: sent 3/3 readings"));
    EXPECT_EQ(lines.err.find("progress: sent 3/3"), lines.err.rfind("progress: sent 3/3"));
    EXPECT_EQ(warehouse.query("SELECT n FROM j"), (Rows{{"3"}}));
    EXPECT_EQ(scratch.read("lines"), "3\n");
}

// A crash after the checkpoint of block k was renamed into place and before
// block k+1 was sent: blocks 1..k are in the warehouse and the checkpoint
// says so. The restart sends from block k+1, nothing earlier, and a
// temporary file left by an interrupted write is no checkpoint.
TEST(NorthCheckpoint, RestartAfterACrashBetweenRenameAndNextBlockResendsNothingEarlier) {
    TempWarehouse warehouse;
    Scratch scratch;
    const std::string config = configFor(scratch, warehouse);
    // Blocks 1 and 2 written, as by the process that crashed.
    ASSERT_EQ(runNorth(generated(config, 20, "")).status, 0);
    ASSERT_EQ(countOf(warehouse), (Rows{{"20", "20"}}));
    const std::string checkpoint = scratch.write("position", "20\n");
    scratch.write("position.tmp", "3");
    Outcome restart = runNorth(generated(config, 50, checkpoint));
    ASSERT_EQ(restart.status, 0) << restart.err;
    EXPECT_EQ(summaryOf(restart.err).sent, 30u);
    EXPECT_EQ(countOf(warehouse), (Rows{{"50", "50"}}));
    EXPECT_EQ(scratch.read("position"), "50\n");
}

struct BadCheckpointCase {
    std::string content;  // empty name below: the checkpoint is a directory
    const char* message;
};

TEST(NorthCheckpoint, UnreadableOrCorruptCheckpointStopsBeforeAnythingIsSent) {
    const std::vector<BadCheckpointCase> cases = {
        {"abc\n", "does not hold a count"},
        {"", "does not hold a count"},
        {"-3\n", "does not hold a count"},
        {"5\n6\n", "does not hold a count"},
        {"99999999999999999999\n", "does not hold a count"},
        {"7 \n", "does not hold a count"},
    };
    for (const BadCheckpointCase& c : cases) {
        SCOPED_TRACE("checkpoint '" + c.content + "'");
        TempWarehouse warehouse;
        Scratch scratch;
        const std::string checkpoint = scratch.write("position", c.content);
        Outcome run = runNorth(generated(configFor(scratch, warehouse), 10, checkpoint));
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_THAT(run.err, HasSubstr(c.message));
        EXPECT_FALSE(hasDatabase(warehouse));
        EXPECT_EQ(scratch.read("position"), c.content);
    }
    TempWarehouse warehouse;
    Scratch scratch;
    Outcome directory = runNorth(generated(configFor(scratch, warehouse), 10, LAKESINK_BINARY_DIR));
    EXPECT_EQ(directory.status, 1) << directory.err;
    EXPECT_THAT(directory.err, HasSubstr("Is a directory"));
    EXPECT_FALSE(hasDatabase(warehouse));
}

// A checkpoint beyond the input's end belongs to another input: the run stops
// before anything is sent, unless --checkpoint-reset starts this input from
// its first reading. A count written by hand without a line end is read, and
// a checkpoint that cannot be stored stops the run before the first block.
TEST(NorthCheckpoint, CheckpointBeyondTheInputIsAnErrorUnlessReset) {
    TempWarehouse warehouse;
    Scratch scratch;
    const std::string config = configFor(scratch, warehouse);
    const std::string checkpoint = scratch.write("position", "15\n");
    Outcome run = runNorth(generated(config, 10, checkpoint));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_THAT(run.err, HasSubstr("but the input holds only 10"));
    EXPECT_EQ(scratch.read("position"), "15\n");
    EXPECT_FALSE(hasDatabase(warehouse));

    std::vector<std::string> reset = generated(config, 10, checkpoint);
    reset.push_back("--checkpoint-reset");
    Outcome again = runNorth(reset);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(summaryOf(again.err).sent, 10u);
    EXPECT_EQ(scratch.read("position"), "10\n");
    EXPECT_EQ(countOf(warehouse), (Rows{{"10", "10"}}));

    scratch.write("position", "4");
    Outcome handWritten = runNorth(generated(config, 12, checkpoint));
    ASSERT_EQ(handWritten.status, 0) << handWritten.err;
    EXPECT_EQ(summaryOf(handWritten.err).sent, 8u);
    EXPECT_EQ(scratch.read("position"), "12\n");
    EXPECT_EQ(warehouse.query("SELECT count(DISTINCT ts) FROM asset_0"), (Rows{{"12"}}));

    TempWarehouse untouched;
    Outcome unwritable =
        runNorth(generated(configFor(scratch, untouched), 10, scratch.path("absent-dir/position")));
    EXPECT_EQ(unwritable.status, 1) << unwritable.err;
    EXPECT_THAT(unwritable.err, HasSubstr("cannot create"));
    EXPECT_FALSE(hasDatabase(untouched));
}

// What each table of a generated workload must hold: its readings, their
// distinct times, the first and last time, and the sum of the integer
// datapoint (a check on the values, exact in any order).
struct TableExpectation {
    long readings = 0;
    std::set<std::string> times;
    int64_t sum = 0;
};

std::map<std::string, TableExpectation> expectedTables(const std::vector<std::string>& workload) {
    std::vector<std::string> dump = workload;
    dump.push_back("--dump");
    std::map<std::string, TableExpectation> tables;
    for (const std::string& line : lines(runNorth(dump).out)) {
        rapidjson::Document reading;
        reading.Parse(line.c_str());
        TableExpectation& table = tables[reading["asset"].GetString()];
        ++table.readings;
        std::string time = reading["timestamp"].GetString();  // 2026-01-01T00:00:00.000000Z
        time[10] = ' ';
        time.pop_back();
        table.times.insert(time);
        table.sum += reading["datapoints"]["dp_1"].GetInt64();
    }
    return tables;
}

// corvane-north killed with SIGKILL at random moments while it writes blocks
// of eight tables on four connections at a warehouse's latency, and started
// again each time with its checkpoint: some kills land after a commit whose
// answer never arrived, after an accepted block whose checkpoint was not yet
// stored, or between the tables of a block. The restarts write the tables
// that existed before them skipping rows already there, so in the end every
// reading is in its table exactly once.
TEST(NorthCheckpoint, SigkillAtRandomMomentsLosesNoReadingAndRepeatsNone) {
    TempWarehouse warehouse;
    Scratch scratch;
    const std::string config = configFor(scratch, warehouse, R"("writers": 4, )");
    const std::vector<std::string> workload{"--generate",   "3000", "--assets", "8",
                                            "--datapoints", "3",    "--seed",   "11"};
    std::vector<std::string> arguments = workload;
    arguments.insert(arguments.end(), {"--config", config, "--block-size", "200", "--checkpoint",
                                       scratch.path("position"), "--max-backoff", "0.2",
                                       "--max-attempts", "50", "--log-level", "debug"});
    std::mt19937 random(20260423);
    int kills = 0, merged = 0;
    std::string positions;  // the checkpoint after each round, for the record
    for (int round = 0; round < 6; ++round) {
        std::ofstream(warehouse.directory() + "/latency")
            << "statement " << 50 + random() % 101 << "\ncommit 50\n";
        North north(arguments);
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + random() % 1500));
        kill(north.pid(), SIGKILL);
        Outcome run = north.wait();
        if (run.status == 1000 + SIGKILL)
            ++kills;
        else
            ASSERT_EQ(run.status, 0) << run.err;
        merged += run.err.find("Executing query: MERGE INTO") != std::string::npos;
        positions += " " + (fs::exists(scratch.path("position")) ? scratch.read("position")
                                                                 : std::string("none\n"));
        positions.pop_back();
    }
    std::cout << "sigkill: " << kills << " kills, " << merged << " restarts that merged, positions"
              << positions << std::endl;
    Outcome last = runNorth(arguments);
    ASSERT_EQ(last.status, 0) << last.err.substr(last.err.size() > 4000 ? last.err.size() - 4000
                                                                        : 0);
    EXPECT_EQ(scratch.read("position"), "3000\n");
    EXPECT_GE(kills, 3);
    EXPECT_GE(merged, 1);  // some restart found tables an earlier process wrote

    const auto expected = expectedTables(workload);
    ASSERT_EQ(expected.size(), 8u);
    for (const auto& [asset, table] : expected) {
        SCOPED_TRACE(asset);
        const Rows got = warehouse.query(
            "SELECT count(*), count(DISTINCT ts), min(ts), max(ts), sum(dp_1) FROM " + asset);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0][0], std::to_string(table.readings));
        EXPECT_EQ(got[0][1], std::to_string(table.times.size()));
        EXPECT_THAT(got[0][2], StartsWith(*table.times.begin()));
        EXPECT_THAT(got[0][3], StartsWith(*table.times.rbegin()));
        EXPECT_EQ(got[0][4], std::to_string(table.sum));
    }
}

// The same over the stream transport, the stream emulator acknowledging at a
// latency: the stream is at-least-once, so no reading may be lost, and a
// reading may repeat only where a kill fell between an acknowledgement and
// the checkpoint: at most one block per kill.
TEST(NorthCheckpoint, SigkillAtRandomMomentsOverTheStreamLosesNoReading) {
    TempWarehouse warehouse;
    StreamEmulator emulator(warehouse.directory());
    emulator.setCredentials("north-test-principal:north-test-only\n");
    Scratch scratch;
    const std::string config = scratch.write(
        "config.json",
        R"({"corvaneInstance": "north-test", "transport": "stream", "datapoints": "variant", )"
        R"("delivery": "at-least-once", "workspaceId": "1234", "streamEndpoint": ")" +
            emulator.streamEndpoint() + R"(", "tokenEndpoint": ")" + emulator.tokenEndpoint() +
            R"(", "additionalParams": {"Auth_Client_ID": "north-test-principal", )"
            R"("Auth_Client_Secret": "north-test-only", "Warehouse": ")" +
            jsonEscaped(warehouse.directory()) + R"("}})");
    const std::vector<std::string> workload{"--generate",   "3000", "--assets", "8",
                                            "--datapoints", "3",    "--seed",   "11"};
    std::vector<std::string> arguments = workload;
    arguments.insert(arguments.end(),
                     {"--config", config, "--block-size", "200", "--checkpoint",
                      scratch.path("position"), "--max-backoff", "0.2", "--max-attempts", "50"});
    std::mt19937 random(20261209);
    int kills = 0;
    for (int round = 0; round < 7; ++round) {
        emulator.setAckMillis(50 + static_cast<long>(random() % 151));
        North north(arguments);
        std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 1200));
        kill(north.pid(), SIGKILL);
        Outcome run = north.wait();
        if (run.status == 1000 + SIGKILL)
            ++kills;
        else
            ASSERT_EQ(run.status, 0) << run.err;
    }
    Outcome last = runNorth(arguments);
    ASSERT_EQ(last.status, 0) << last.err.substr(last.err.size() > 4000 ? last.err.size() - 4000
                                                                        : 0);
    EXPECT_EQ(scratch.read("position"), "3000\n");
    EXPECT_GE(kills, 3);

    long repeats = 0;
    const auto expected = expectedTables(workload);
    ASSERT_EQ(expected.size(), 8u);
    for (const auto& [asset, table] : expected) {
        SCOPED_TRACE(asset);
        const Rows got =
            warehouse.query("SELECT count(*), count(DISTINCT ts), min(ts), max(ts) FROM " + asset);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0][1], std::to_string(table.times.size()));  // none lost
        EXPECT_THAT(got[0][2], StartsWith(*table.times.begin()));
        EXPECT_THAT(got[0][3], StartsWith(*table.times.rbegin()));
        repeats += std::stol(got[0][0]) - std::stol(got[0][1]);
    }
    std::cout << "sigkill over the stream: " << kills << " kills, " << repeats << " repeated rows"
              << std::endl;
    EXPECT_LE(repeats, 200L * kills);
}

}  // namespace
