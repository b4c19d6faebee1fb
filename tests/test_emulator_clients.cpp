// Standard ODBC clients against the warehouse emulator, as a user runs them:
// unixODBC's isql creates, inserts and selects; Python's pyodbc reads every
// column type back as its Python type, binds parameters to ? markers, lists
// tables and columns, runs SHOW TABLES and the README's queries on rows the
// plugin rescued and rejected. Both come from Debian (unixodbc,
// python3-pyodbc), installed by scripts/bootstrap.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "loaded_plugin.h"
#include "markdown_blocks.h"
#include "north_process.h"
#include "shell_command.h"
#include "warehouse.h"

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// In a build with AddressSanitizer the driver is instrumented but isql and
// python are not: the sanitizer's runtime (the one this test program loaded)
// must come first in those programs, and their own leaks are not ours.
std::string clientEnvironment() {
#if defined(__SANITIZE_ADDRESS__)
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const size_t at = line.find('/');
        if (at != std::string::npos && line.find("libasan.so") != std::string::npos)
            return "LD_PRELOAD=" + line.substr(at) + " ASAN_OPTIONS=detect_leaks=0 ";
    }
#endif
    return std::string();
}

// Runs a command line of the shell (as a client program, see above); the
// output holds its standard output and error together.
ShellOutcome runShell(const std::string& command) {
    return runShellCommand(clientEnvironment() + command + " 2>&1");
}

// The ```<language> blocks of the README that mention `word`, with the
// example warehouse ./warehouse moved to `directory`.
std::vector<std::string> readmeBlocks(const std::string& language, const std::string& word,
                                      const std::string& directory) {
    std::vector<std::string> blocks;
    for (std::string block : codeBlocks(readTextFile(LAKESINK_SOURCE_DIR "/README.md"), language)) {
        if (block.find(word) == std::string::npos)
            continue;
        for (size_t at = block.find("./warehouse"); at != std::string::npos;
             at = block.find("./warehouse"))
            block.replace(at, 11, directory);
        blocks.push_back(block);
    }
    return blocks;
}

// The queries (not the DELETE) of the README's ```sql blocks, each without its ';'.
std::vector<std::string> readmeQueries() {
    std::vector<std::string> queries;
    for (const std::string& statement :
         sqlStatements(readTextFile(LAKESINK_SOURCE_DIR "/README.md"))) {
        if (statement.rfind("SELECT", 0) == 0)
            queries.push_back(statement);
    }
    return queries;
}

// "name: value" lines of the pyodbc client, by name.
std::map<std::string, std::string> checks(const std::string& output) {
    std::map<std::string, std::string> found;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t colon = line.find(": ");
        if (colon != std::string::npos)
            found[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return found;
}

TEST(EmulatorClients, IsqlCreatesInsertsAndSelects) {
    useEmulatorDriver();
    TempWarehouse warehouse;
    const std::string input = warehouse.directory() + "/isql.sql";
    std::ofstream(input) << "CREATE TABLE q (a BIGINT, b STRING, c DOUBLE, f BOOLEAN)\n"
                            "INSERT INTO q VALUES (1, 'hello isql', 2.5D, false), "
                            "(2, NULL, -1E3, true)\n"
                            "SELECT a, b, c, f FROM q ORDER BY a\n";
    const ShellOutcome isql = runShell(
        "isql -v -k -b " + shellQuoted(warehouse.connectionString()) + " < " + shellQuoted(input));
    ASSERT_EQ(isql.status, 0) << isql.output;
    EXPECT_THAT(isql.output, Not(HasSubstr("[ISQL]ERROR")));
    // isql sizes its buffers by the display size: booleans are not cut to "f".
    EXPECT_THAT(isql.output, ContainsRegex("\\| 1 +\\| hello isql +\\| 2\\.5 +\\| false *\\|"));
    EXPECT_THAT(isql.output, ContainsRegex("\\| 2 +\\| +\\| -1000\\.0 +\\| true +\\|"));
    EXPECT_EQ(warehouse.query("SELECT a, b FROM q ORDER BY a"),
              (std::vector<std::vector<std::string>>{{"1", "hello isql"}, {"2", "NULL"}}));
}

class PyodbcClient : public ::testing::Test {
  protected:
    void SetUp() override { useEmulatorDriver(); }

    // Sends JSON Lines readings through corvane-north into the warehouse.
    void send(const std::string& name, const std::string& readings) {
        const std::string path = warehouse.directory() + "/" + name;
        std::ofstream(path) << readings;
        const std::string config = warehouse.directory() + "/config.json";
        std::ofstream(config) << R"({"corvaneInstance": "clients", "additionalParams": )"
                              << R"({"Warehouse": ")" << jsonEscaped(warehouse.directory())
                              << R"("}})";
        const NorthOutcome run = runNorthProcess({"--config", config, "--readings", path,
                                                  "--max-attempts", "2", "--max-backoff", "0.01"});
        ASSERT_EQ(run.status, 0) << run.err;
    }

    TempWarehouse warehouse;
};

TEST_F(PyodbcClient, ReadsTypesBindsParametersListsTablesAndRunsTheReadmeQueries) {
    // A level that drifts to a fraction is rescued; a refused INSERT is rejected.
    send("drift.jsonl",
         R"({"asset": "tank", "timestamp": "2026-01-01T08:00:00Z", "datapoints": {"level": 21}})"
         "\n"
         R"({"asset": "tank", "timestamp": "2026-01-01T08:00:01Z", "datapoints": {"level": 21.75}})"
         "\n");
    warehouse.addFault("22018", 1, "INTO `tank`");
    send("refused.jsonl",
         R"({"asset": "tank", "timestamp": "2026-01-01T08:00:02Z", "datapoints": {"level": 23}})"
         "\n");
    std::string queries;
    for (const std::string& query : readmeQueries())
        queries += (queries.empty() ? "" : "\n----\n") + query;
    const std::string queriesFile = warehouse.directory() + "/queries.sql";
    std::ofstream(queriesFile) << queries;

    const ShellOutcome python = runShell(
        "/usr/bin/python3 " + shellQuoted(LAKESINK_SOURCE_DIR "/tests/clients/pyodbc_client.py") +
        " " + shellQuoted(warehouse.connectionString()) + " " + shellQuoted(queriesFile));
    ASSERT_EQ(python.status, 0) << python.output;
    std::map<std::string, std::string> found = checks(python.output);
    EXPECT_EQ(found["types"], "int,int,int,int,float,float,bool,date,Decimal,datetime,str,str,str");
    EXPECT_EQ(found["values"],
              "(9007199254740993, 7, -3, 5, 21.5, 0.5, True, datetime.date(2026, 1, 2), "
              "Decimal('12.50'), datetime.datetime(2026, 1, 1, 8, 0, 0, 1), 'a b', 'ab', "
              "'{\"k\":[1,2]}')");
    EXPECT_EQ(found["description"],
              "b/int,i/int,s/int,t/int,d/float,f/float,flag/bool,day/date,price/Decimal,"
              "ts/datetime,text/str,code/str,v/str");
    EXPECT_EQ(found["bound"],
              "[(-2, nan, Decimal('-0.05'), datetime.datetime(2026, 3, 4, 5, 6, 7, 890123), "
              "\"x'); DROP TABLE every_type; --\", None)]");
    EXPECT_EQ(found["count"], "2");
    EXPECT_EQ(found["tables"], "every_type,lakesink_rejects,tank");
    EXPECT_EQ(found["columns"],
              "b:BIGINT:-5,i:INT:4,s:SMALLINT:5,t:TINYINT:-6,d:DOUBLE:8,f:FLOAT:7,"
              "flag:BOOLEAN:-7,day:DATE:91,price:DECIMAL:3,ts:TIMESTAMP:93,text:STRING:12,"
              "code:VARCHAR:12,v:VARIANT:12");
    EXPECT_EQ(found["show tables"], "every_type,lakesink_rejects,tank");
    // SELECT ts, asset_code, _rescued_data:level::double AS level FROM tank ...
    EXPECT_EQ(found["query 0"], "[(datetime.datetime(2026, 1, 1, 8, 0, 1), 'tank', 21.75)]");
    // SELECT table_name, asset_code, user_ts, ts, reading, sqlstate, reason FROM lakesink_rejects
    EXPECT_THAT(found["query 1"],
                HasSubstr("[('tank', 'tank', datetime.datetime(2026, 1, 1, 8, 0, 2), "
                          "datetime.datetime(2026, 1, 1, 8, 0, 2), '{\"level\":23}', '22018', "));
}

// The isql line and the pyodbc snippet of "Querying the embedded warehouse"
// run as written on the example readings.
TEST_F(PyodbcClient, ReadmeIsqlLineAndPyodbcSnippetRunOnTheExampleReadings) {
    send("examples.jsonl", readTextFile(LAKESINK_SOURCE_DIR "/examples/readings.jsonl"));
    const std::vector<std::string> isql = readmeBlocks("sh", "isql -v", warehouse.directory());
    const std::vector<std::string> python = readmeBlocks("python", "pyodbc", warehouse.directory());
    ASSERT_EQ(isql.size(), 1u);
    ASSERT_EQ(python.size(), 1u);
    const std::string script = warehouse.directory() + "/snippet.py";
    std::ofstream(script) << python[0];
    const ShellOutcome shell = runShell("sh -c " + shellQuoted(isql[0]));
    ASSERT_EQ(shell.status, 0) << shell.output;
    EXPECT_THAT(shell.output,
                ContainsRegex("\\| 2026-01-01 08:00:00.000001 *\\| pump +\\| 21.5 +\\|"));
    const ShellOutcome snippet = runShell("/usr/bin/python3 " + shellQuoted(script));
    ASSERT_EQ(snippet.status, 0) << snippet.output;
    EXPECT_THAT(snippet.output, HasSubstr("'boiler'"));
    EXPECT_THAT(snippet.output, HasSubstr("'pump'"));
    EXPECT_THAT(snippet.output, HasSubstr("2026-01-01 08:00:00.000001 21.5\n"));
}

}  // namespace
