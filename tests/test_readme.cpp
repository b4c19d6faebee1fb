// What README.md tells an operator keeps working: its example configuration
// (examples/config.json) sends the example readings, and every ```sql block
// of the README runs against the emulator warehouse and answers what the text
// says: the query on _rescued_data finds a rescued value, the query on
// lakesink_rejects finds a refused reading, that reading replayed through
// corvane-north --readings lands in its table with its values, and the DELETE
// then removes the replayed rejects. Every corvane-north command of the
// README runs, and every option of its --help is documented.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "loaded_plugin.h"
#include "markdown_blocks.h"
#include "north_process.h"
#include "warehouse.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

// The commands of every ```sh block of the text that start with `program`,
// continuation lines joined, split at blanks.
std::vector<std::vector<std::string>> shellCommands(const std::string& markdown,
                                                    const std::string& program) {
    std::vector<std::vector<std::string>> commands;
    std::string current;
    for (const std::string& block : codeBlocks(markdown, "sh")) {
        std::istringstream lines(block);
        for (std::string line; std::getline(lines, line);) {
            const bool continued = !line.empty() && line.back() == '\\';
            current += " " + (continued ? line.substr(0, line.size() - 1) : line);
            if (continued)
                continue;
            std::istringstream words(current);
            std::vector<std::string> command;
            for (std::string word; words >> word;)
                command.push_back(word);
            if (!command.empty() && command[0] == program)
                commands.push_back(command);
            current.clear();
        }
    }
    return commands;
}

bool startsWith(const std::string& text, const char* word) {
    return text.rfind(word, 0) == 0;
}

// examples/config.json with its warehouse moved to `directory`.
std::string exampleConfig(const std::string& directory) {
    std::string config = readTextFile(LAKESINK_SOURCE_DIR "/examples/config.json");
    const std::string example = "\"Warehouse\": \"./warehouse\"";
    const size_t at = config.find(example);
    if (at == std::string::npos)
        return std::string();
    return config.replace(at, example.size(), "\"Warehouse\": \"" + jsonEscaped(directory) + "\"");
}

std::string nowUtc() {
    const std::time_t now = std::time(nullptr) + 1;
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

class Readme : public ::testing::Test {
  protected:
    void SetUp() override { useEmulatorDriver(); }

    std::string write(const std::string& name, const std::string& content) {
        const std::string path = warehouse.directory() + "/" + name;
        std::ofstream(path) << content;
        return path;
    }

    NorthOutcome send(const std::string& readingsFile) {
        return runNorthProcess({"--config", configFile, "--readings", readingsFile,
                                "--max-attempts", "2", "--max-backoff", "0.01"});
    }

    TempWarehouse warehouse;
    std::string configFile;
};

TEST_F(Readme, ExampleConfigurationQueriesAndReplayWork) {
    const std::vector<std::string> statements =
        sqlStatements(readTextFile(LAKESINK_SOURCE_DIR "/README.md"));
    std::vector<std::string> queries;
    std::vector<std::string> deletes;
    for (const std::string& statement : statements)
        (startsWith(statement, "DELETE") ? deletes : queries).push_back(statement);
    ASSERT_FALSE(queries.empty());
    ASSERT_EQ(deletes.size(), 1u);

    const std::string config = exampleConfig(warehouse.directory());
    ASSERT_FALSE(config.empty()) << "examples/config.json no longer names ./warehouse";
    configFile = write("config.json", config);

    // The example readings, as the quick start sends them.
    NorthOutcome examples = send(LAKESINK_SOURCE_DIR "/examples/readings.jsonl");
    ASSERT_EQ(examples.status, 0) << examples.err;
    EXPECT_EQ(warehouse.query("SELECT count(*) FROM pump"), Rows{{"4"}});

    // A level that drifts from whole numbers to a fraction is rescued.
    NorthOutcome drift = send(write(
        "drift.jsonl",
        R"({"asset": "tank", "timestamp": "2026-01-01T08:00:00Z", "datapoints": {"level": 21}})"
        "\n"
        R"({"asset": "tank", "timestamp": "2026-01-01T08:00:01Z", "datapoints": {"level": 21.75}})"
        "\n"));
    ASSERT_EQ(drift.status, 0) << drift.err;

    // The warehouse refuses the next INSERT into tank for its data (once: the
    // fault's text is quoted in the reason the rejects row carries).
    warehouse.addFault("22018", 1, "INTO `tank`");
    NorthOutcome refused = send(
        write("refused.jsonl",
              R"({"asset": "tank", "timestamp": "2026-01-01T08:00:02Z", "user_timestamp": )"
              R"("2026-01-01T07:59:59.5Z", "datapoints": {"level": 23, "note": "it's \"full\""}})"
              "\n"));
    ASSERT_EQ(refused.status, 0) << refused.err;
    std::filesystem::remove(warehouse.directory() + "/faults");

    // Every query of the README runs; the two of them answer what the text says.
    Rows rescued;
    Rows rejects;
    for (const std::string& sql : queries) {
        Rows rows;
        ASSERT_NO_THROW(rows = warehouse.query(sql)) << sql;
        if (sql.find("_rescued_data") != std::string::npos)
            rescued = rows;
        if (sql.find("FROM lakesink_rejects") != std::string::npos)
            rejects = rows;
    }
    ASSERT_EQ(rescued.size(), 1u);
    EXPECT_EQ(rescued[0],
              (std::vector<std::string>{"2026-01-01 08:00:01.000000", "tank", "21.75"}));
    ASSERT_EQ(rejects.size(), 1u);
    // table_name, asset_code, user_ts, ts, reading, sqlstate, reason
    EXPECT_EQ(rejects[0][0], "tank");
    EXPECT_EQ(rejects[0][1], "tank");
    EXPECT_EQ(rejects[0][5], "22018");

    // The refused reading, replayed as the README describes, lands whole.
    const std::vector<std::string>& reject = rejects[0];
    NorthOutcome replay = send(
        write("replay.jsonl", R"({"asset": ")" + jsonEscaped(reject[1]) + R"(", "timestamp": ")" +
                                  reject[3] + R"(", "user_timestamp": ")" + reject[2] +
                                  R"(", "datapoints": )" + reject[4] + "}\n"));
    ASSERT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(warehouse.query("SELECT ts, user_ts, level, note FROM tank WHERE level = 23"),
              (Rows{{"2026-01-01 08:00:02.000000", "2026-01-01 07:59:59.500000", "23",
                     "it's \"full\""}}));

    // The DELETE removes the replayed rejects of tank.
    std::string sql = deletes[0];
    const std::string placeholder = "<time of the fix>";
    const size_t at = sql.find(placeholder);
    ASSERT_NE(at, std::string::npos) << sql;
    sql.replace(at, placeholder.size(), nowUtc());
    ASSERT_NO_THROW(warehouse.query(sql)) << sql;
    EXPECT_EQ(warehouse.query("SELECT count(*) FROM lakesink_rejects"), Rows{{"0"}});
}

// Every corvane-north command of the README runs as written, with the
// example configuration pointed at a warehouse of the test, the source
// tree's files, a scratch folder for state/, and the large generated workload
// made small.
TEST_F(Readme, EveryCorvaneNorthCommandRuns) {
    const std::string readme = readTextFile(LAKESINK_SOURCE_DIR "/README.md");
    const auto commands = shellCommands(readme, "build/host/north/corvane-north");
    ASSERT_GE(commands.size(), 5u);
    configFile = write("config.json", exampleConfig(warehouse.directory()));
    std::filesystem::create_directory(warehouse.directory() + "/state");
    for (const auto& command : commands) {
        std::vector<std::string> arguments;
        for (size_t i = 1; i < command.size(); ++i) {
            std::string word = command[i];
            if (word == "examples/config.json")
                word = configFile;
            else if (startsWith(word, "examples/"))
                word = LAKESINK_SOURCE_DIR "/" + word;
            else if (startsWith(word, "build/"))
                word = LAKESINK_BINARY_DIR "/" + word.substr(6);
            else if (startsWith(word, "state/"))
                word = warehouse.directory() + "/" + word;
            else if (word == "100000")
                word = "1000";
            arguments.push_back(word);
        }
        NorthOutcome run = runNorthProcess(arguments);
        std::string line;
        for (const std::string& word : command)
            line += word + " ";
        EXPECT_EQ(run.status, 0) << line << "\n" << run.err;
    }
    // The run with a checkpoint and a status file left both behind.
    EXPECT_EQ(readTextFile(warehouse.directory() + "/state/position"), "10\n");
    EXPECT_NE(
        readTextFile(warehouse.directory() + "/state/status.json").find("\"state\": \"finished\""),
        std::string::npos);

    // Every option of --help is explained in the README.
    NorthOutcome help = runNorthProcess({"--help"});
    ASSERT_EQ(help.status, 0);
    std::istringstream words(help.out);
    int options = 0;
    for (std::string word; words >> word;) {
        if (!startsWith(word, "--"))
            continue;
        word = word.substr(0, word.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", 2));
        ++options;
        EXPECT_NE(readme.find("`" + word), std::string::npos) << word << " is not in the README";
    }
    EXPECT_GE(options, 15);
}

}  // namespace
