// End to end through the real path: the plugin loaded with dlopen, configured
// with a category pointing at an emulator warehouse, batches sent through
// plugin_send, and the tables read back through the driver manager.

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "config_category.h"
#include "loaded_plugin.h"
#include "log_capture.h"
#include "plugin.h"
#include "readings.h"
#include "warehouse.h"

using ::testing::HasSubstr;
using Rows = std::vector<std::vector<std::string>>;

namespace {

// 2026-01-01 00:00:00.000001 UTC and a user time a second earlier.
const uint64_t T0 = 1767225600000001ULL;

// One plugin instance writing into a temporary warehouse.
class Instance : public PluginInstance {
  public:
    // `items` are further configuration items, as JSON members.
    Instance(const LoadedPlugin& plugin, const TempWarehouse& warehouse,
             const std::string& instanceName = "edge-1", const std::string& items = "")
        : PluginInstance(plugin, R"({"corvaneInstance": {"value": ")" + instanceName +
                                     R"("}, "additionalParams": {"value": ")" +
                                     jsonEscaped(warehouse.additionalParams()) + R"("})" +
                                     (items.empty() ? "" : ", " + items) + "}") {}
};

class PluginEndToEnd : public ::testing::Test {
  protected:
    LoadedPlugin plugin;
    TempWarehouse warehouse;
};

}  // namespace

TEST_F(PluginEndToEnd, EveryValueKindLandsAsSent) {
    Instance instance(plugin, warehouse);
    Batch batch;
    Reading& r = batch.add("pump", T0);
    r.setUserTimestamp(T0 - 1000000);
    r.addDatapoint(textPoint("state", "running"));
    r.addDatapoint(intPoint("count", -42));
    r.addDatapoint(floatPoint("temperature", 21.5));
    r.addDatapoint(dictPoint("meta", {intPoint("a", 1), textPoint("b", "x")}));
    r.addDatapoint(listPoint("list", {intPoint("p", 1), textPoint("q", "y")}));
    r.addDatapoint(floatArrayPoint("samples", {1.0, 2.5}));
    r.addDatapoint(imagePoint("picture"));
    r.addDatapoint(bufferPoint("raw"));
    ASSERT_EQ(instance.send(batch), 1u);

    const Rows columns = warehouse.query(
        "SELECT column_name, data_type FROM information_schema.columns WHERE table_schema = "
        "'default_schema' AND table_name = 'pump' ORDER BY ordinal_position");
    EXPECT_EQ(columns, (Rows{{"asset_code", "STRING"},
                             {"user_ts", "TIMESTAMP"},
                             {"ts", "TIMESTAMP"},
                             {"corvane", "STRING"},
                             {"state", "STRING"},
                             {"count", "LONG"},
                             {"temperature", "DOUBLE"},
                             {"meta", "VARIANT"},
                             {"list", "VARIANT"},
                             {"samples", "VARIANT"},
                             {"picture", "STRING"},
                             {"raw", "STRING"},
                             {"_rescued_data", "VARIANT"}}));

    const Rows rows = warehouse.query(
        "SELECT asset_code, user_ts, ts, corvane, state, count, temperature, meta, list, samples, "
        "picture, raw, _rescued_data FROM pump");
    ASSERT_EQ(rows.size(), 1u);
    const auto& row = rows[0];
    EXPECT_EQ(row[0], "pump");
    EXPECT_THAT(row[1], ::testing::StartsWith("2025-12-31 23:59:59.000001"));
    EXPECT_THAT(row[2], ::testing::StartsWith("2026-01-01 00:00:00.000001"));
    EXPECT_EQ(row[3], "edge-1");
    EXPECT_EQ(row[4], "running");
    EXPECT_EQ(row[5], "-42");
    EXPECT_EQ(std::stod(row[6]), 21.5);
    EXPECT_EQ(row[7], R"({"a":1,"b":"x"})");
    EXPECT_EQ(row[8], R"([1,"y"])");
    EXPECT_THAT(row[9], ::testing::AnyOf("[1,2.5]", "[1.0,2.5]"));
    // An image or a data buffer: SQL NULL in its column, its content kept.
    EXPECT_EQ(row[10], "NULL");
    EXPECT_EQ(row[11], "NULL");
    EXPECT_EQ(row[12],
              R"({"picture":{"width":2,"height":2,"depth":8,"data":"AQIDBA=="},"raw":[9,8,7]})");
}

TEST_F(PluginEndToEnd, SchemaFollowsTheReadingsAcrossBatches) {
    Instance instance(plugin, warehouse);
    Batch first;
    first.add("Line_A", T0).addDatapoint(intPoint("count", 1));
    ASSERT_EQ(instance.send(first), 1u);

    // A new column arrives; a reading lacks an old one.
    Batch second;
    Reading& a = second.add("Line_A", T0 + 1);
    a.addDatapoint(intPoint("count", 2));
    a.addDatapoint(floatPoint("pressure", 1.25));
    second.add("Line_A", T0 + 2).addDatapoint(floatPoint("pressure", 2.5));
    ASSERT_EQ(instance.send(second), 2u);

    const Rows rows = warehouse.query("SELECT count, pressure FROM line_a ORDER BY ts");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "NULL"}));
    EXPECT_EQ(rows[1][0], "2");
    EXPECT_EQ(std::stod(rows[1][1]), 1.25);
    EXPECT_EQ(rows[2][0], "NULL");
    EXPECT_EQ(std::stod(rows[2][1]), 2.5);
}

TEST_F(PluginEndToEnd, HintRoutesToAnotherTable) {
    Instance instance(plugin, warehouse);
    Batch batch;
    Reading& routed = batch.add("pump", T0);
    routed.addDatapoint(hintPoint(R"({"tablename": "line_1", "other": 5})"));
    routed.addDatapoint(intPoint("count", 7));
    batch.add("pump", T0 + 1).addDatapoint(intPoint("count", 8));
    ASSERT_EQ(instance.send(batch), 2u);
    EXPECT_EQ(warehouse.query("SELECT asset_code, count FROM line_1"), (Rows{{"pump", "7"}}));
    EXPECT_EQ(warehouse.query("SELECT asset_code, count FROM pump"), (Rows{{"pump", "8"}}));
    // The hint never becomes a column.
    EXPECT_TRUE(warehouse
                    .query("SELECT column_name FROM information_schema.columns WHERE "
                           "table_schema = 'default_schema' AND table_name = 'line_1' AND "
                           "column_name = 'databricksHint'")
                    .empty());
}

TEST_F(PluginEndToEnd, ExistingTableIsDiscoveredFromTheWarehouse) {
    {
        Instance creator(plugin, warehouse, "creator");
        Batch batch;
        Reading& r = batch.add("shared", T0);
        r.addDatapoint(intPoint("count", 1));
        r.addDatapoint(textPoint("note", "first"));
        ASSERT_EQ(creator.send(batch), 1u);
    }
    Instance second(plugin, warehouse, "second");
    Batch batch;
    batch.add("shared", T0 + 1).addDatapoint(textPoint("note", "0042"));
    // The table is found, not created again (a second CREATE is refused).
    ASSERT_EQ(second.send(batch), 1u);
    EXPECT_EQ(warehouse.query("SELECT corvane, count, note FROM shared ORDER BY ts"),
              (Rows{{"creator", "1", "first"}, {"second", "NULL", "0042"}}));
}

TEST_F(PluginEndToEnd, HostileTextLandsExactlyAsSent) {
    Instance instance(plugin, warehouse);
    const std::vector<std::string> texts = {"it's",
                                            "C:\\temp\\",
                                            "line1\nline2\r\n\ttab",
                                            "'; DROP TABLE pump; --",
                                            "\\'",
                                            "back\\slash'quote'",
                                            "`tick`",
                                            "{\"json\": \"\\\"x\\\"\"}",
                                            "",
                                            "caf\xc3\xa9 \xe2\x82\xac"};
    Batch batch;
    for (size_t i = 0; i < texts.size(); ++i) {
        Reading& r = batch.add("Hostile", T0 + i);
        r.addDatapoint(textPoint("text", texts[i]));
    }
    ASSERT_EQ(instance.send(batch), texts.size());
    const Rows rows = warehouse.query("SELECT text FROM hostile ORDER BY ts");
    ASSERT_EQ(rows.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(rows[i][0], texts[i]) << i;
}

TEST_F(PluginEndToEnd, LargeBatchOfOneAssetIsFewInsertsWithinTheStatementLimit) {
    Instance instance(plugin, warehouse);
    Batch batch;
    for (int i = 0; i < 10000; ++i) {
        Reading& r = batch.add("bulk", T0 + i);
        r.addDatapoint(intPoint("i", i));
        r.addDatapoint(floatPoint("f", i * 0.5));
        r.addDatapoint(textPoint("s", "v" + std::to_string(i)));
        r.addDatapoint(intPoint("j", -i));
        r.addDatapoint(floatPoint("g", 1.0));
    }
    LogCapture log;
    ASSERT_EQ(instance.send(batch), 10000u);
    // About 1.4 MB of SQL: bulk INSERTs cut at the default limit of 1 MiB,
    // so two, each within the limit.
    const std::string executing = "Executing query: ";
    size_t inserts = 0;
    for (const auto& text : log.at(Logger::Level::DEBUG)) {
        if (text.rfind(executing + "INSERT", 0) == 0) {
            ++inserts;
            EXPECT_LE(text.size() - executing.size(), 1048576u);
        }
    }
    EXPECT_EQ(inserts, 2u);
    EXPECT_EQ(warehouse.query("SELECT count(*), sum(i), min(s) FROM bulk"),
              (Rows{{"10000", "49995000", "v0"}}));
}

TEST_F(PluginEndToEnd, FailedBatchReportsZeroAndIsWrittenWhenSentAgain) {
    Instance instance(plugin, warehouse);
    Batch batch;
    batch.add("retry", T0).addDatapoint(intPoint("count", 1));
    ASSERT_EQ(instance.send(batch), 1u);
    warehouse.addFault("40001", 1, "INSERT");
    Batch next;
    next.add("retry", T0 + 1).addDatapoint(intPoint("count", 2));
    EXPECT_EQ(instance.send(next), 0u);
    EXPECT_EQ(instance.send(next), 1u);
    EXPECT_EQ(warehouse.query("SELECT count FROM retry ORDER BY ts"), (Rows{{"1"}, {"2"}}));
}

TEST_F(PluginEndToEnd, NamesTheWarehouseRefusesAreWrittenAsNamesItAccepts) {
    Instance instance(plugin, warehouse);
    Batch batch;
    Reading& boiler = batch.add("Boiler 1", T0);
    boiler.addDatapoint(floatPoint("Outside Temperature", 4.5));
    boiler.addDatapoint(intPoint("flow (l/s)", 12));
    batch.add("line.3", T0 + 1).addDatapoint(intPoint("count", 3));
    batch.add("site/pump", T0 + 2).addDatapoint(intPoint("count", 4));
    Reading& hinted = batch.add("pump", T0 + 3);
    hinted.addDatapoint(hintPoint(R"({"tablename": "a.b"})"));
    hinted.addDatapoint(intPoint("count", 5));
    // Two names that become the same column: the later value lands.
    Reading& collide = batch.add("Boiler 1", T0 + 4);
    collide.addDatapoint(intPoint("flow (l/s)", 1));
    collide.addDatapoint(intPoint("flow_(l/s)", 2));
    ASSERT_EQ(instance.send(batch), 5u);

    EXPECT_EQ(warehouse.query("SELECT asset_code, Outside_Temperature, `flow__l/s_` FROM boiler_1 "
                              "ORDER BY ts"),
              (Rows{{"Boiler 1", "4.5", "12"}, {"Boiler 1", "NULL", "2"}}));
    EXPECT_EQ(warehouse.query("SELECT asset_code, count FROM line_3"), (Rows{{"line.3", "3"}}));
    EXPECT_EQ(warehouse.query("SELECT asset_code, count FROM site_pump"),
              (Rows{{"site/pump", "4"}}));
    EXPECT_EQ(warehouse.query("SELECT asset_code, count FROM a_b"), (Rows{{"pump", "5"}}));
}

TEST_F(PluginEndToEnd, TextOfAnyLengthLandsInAColumnThePluginCreated) {
    Instance instance(plugin, warehouse);
    const std::string longText(10000, 'x');
    Batch batch;
    batch.add("notes", T0).addDatapoint(textPoint("message", longText));
    ASSERT_EQ(instance.send(batch), 1u);
    const Rows rows = warehouse.query("SELECT message FROM notes");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], longText);
}

// Devices drift: every value of a batch ends in exactly one place, unaltered:
// its column or the row's rescued data.
struct DriftCase {
    const char* column;
    Datapoint* (*point)();
    const char* value;    // what the column reads back as
    const char* rescued;  // what the row's rescued data reads back as
};

// Equal as texts, or as the same double when both are numbers.
bool sameValue(const std::string& got, const std::string& expected) {
    if (got == expected)
        return true;
    char* gotEnd = nullptr;
    char* expectedEnd = nullptr;
    const double a = std::strtod(got.c_str(), &gotEnd);
    const double b = std::strtod(expected.c_str(), &expectedEnd);
    return !got.empty() && !expected.empty() && *gotEnd == 0 && *expectedEnd == 0 && a == b;
}

TEST_F(PluginEndToEnd, DriftingValuesLandExactlyInTheirColumnOrInTheRescuedData) {
    Instance instance(plugin, warehouse);
    // The first batch types the columns: level BIGINT, temp DOUBLE, state
    // STRING, meta VARIANT.
    Batch first;
    Reading& typing = first.add("tank", T0);
    typing.addDatapoint(intPoint("level", 21));
    typing.addDatapoint(floatPoint("temp", 20.5));
    typing.addDatapoint(textPoint("state", "ok"));
    typing.addDatapoint(dictPoint("meta", {intPoint("a", 1)}));
    ASSERT_EQ(instance.send(first), 1u);

    const std::vector<DriftCase> cases = {
        {"level", [] { return floatPoint("level", 21.75); }, "NULL", R"({"level":21.75})"},
        {"level", [] { return floatPoint("level", 22.0); }, "22", "NULL"},
        {"level", [] { return textPoint("level", "high"); }, "NULL", R"({"level":"high"})"},
        {"level", [] { return floatPoint("level", 1e32); }, "NULL", R"({"level":1.0E32})"},
        {"temp", [] { return floatPoint("temp", 1.2e-7); }, "1.2E-7", "NULL"},
        {"temp", [] { return floatPoint("temp", 1e300); }, "1.0E300", "NULL"},
        {"temp", [] { return intPoint("temp", 1L << 60); }, "NULL",
         R"({"temp":1152921504606846976})"},
        {"temp", [] { return textPoint("temp", "n/a"); }, "NULL", R"({"temp":"n/a"})"},
        {"state", [] { return intPoint("state", 5); }, "5", "NULL"},
        {"meta", [] { return textPoint("meta", "123"); }, "\"123\"", "NULL"},
    };
    Batch drift;
    for (size_t i = 0; i < cases.size(); ++i)
        drift.add("tank", T0 + 1 + i).addDatapoint(cases[i].point());
    // Mixed in one batch, nothing stalls: the whole batch is sent.
    ASSERT_EQ(instance.send(drift), cases.size());

    const Rows rows = warehouse.query(
        "SELECT level, temp, state, meta, _rescued_data FROM tank "
        "ORDER BY ts");
    ASSERT_EQ(rows.size(), cases.size() + 1);
    const std::vector<std::string> columns = {"level", "temp", "state", "meta"};
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::vector<std::string>& row = rows[i + 1];
        const size_t c = static_cast<size_t>(
            std::find(columns.begin(), columns.end(), cases[i].column) - columns.begin());
        EXPECT_TRUE(sameValue(row[c], cases[i].value))
            << cases[i].column << " case " << i << ": " << row[c];
        EXPECT_EQ(row[4], cases[i].rescued) << cases[i].column << " case " << i;
    }
}

TEST_F(PluginEndToEnd, AReadingWithoutATableIsKeptInTheRejectsTable) {
    Instance instance(plugin, warehouse);
    Batch batch;
    batch.add("", T0).addDatapoint(intPoint("level", 7));
    batch.add("tank", T0 + 1).addDatapoint(intPoint("level", 8));
    ASSERT_EQ(instance.send(batch), 2u);
    EXPECT_EQ(warehouse.query("SELECT level FROM tank"), (Rows{{"8"}}));
    const Rows rejects =
        warehouse.query("SELECT table_name, asset_code, reading FROM lakesink_rejects");
    ASSERT_EQ(rejects.size(), 1u);
    EXPECT_EQ(rejects[0][0], "");
    EXPECT_THAT(rejects[0][2], HasSubstr("\"level\":7"));
}

TEST_F(PluginEndToEnd, TheTableSettingSendsEveryReadingWithoutAHintToOneTable) {
    Instance instance(plugin, warehouse, "edge-1", R"("table": {"value": "Site Readings"})");
    Batch batch;
    batch.add("pump", T0).addDatapoint(intPoint("count", 1));
    batch.add("tank", T0 + 1).addDatapoint(floatPoint("level", 2.5));
    Reading& routed = batch.add("pump", T0 + 2);
    routed.addDatapoint(hintPoint(R"({"tablename": "line_1"})"));
    routed.addDatapoint(intPoint("count", 3));
    batch.add("", T0 + 3).addDatapoint(intPoint("count", 4));
    ASSERT_EQ(instance.send(batch), 4u);
    EXPECT_EQ(warehouse.query("SELECT asset_code, count, level FROM site_readings ORDER BY ts"),
              (Rows{{"pump", "1", "NULL"}, {"tank", "NULL", "2.5"}, {"", "4", "NULL"}}));
    EXPECT_EQ(warehouse.query("SELECT asset_code, count FROM line_1"), (Rows{{"pump", "3"}}));
    EXPECT_TRUE(warehouse
                    .query("SELECT table_name FROM information_schema.tables WHERE table_name IN "
                           "('pump', 'tank', 'lakesink_rejects')")
                    .empty());
}

TEST_F(PluginEndToEnd, VariantRowsHoldEveryDatapointExactlyAsSent) {
    Instance instance(plugin, warehouse, "edge-1", R"("datapoints": {"value": "variant"})");
    Batch batch;
    Reading& r = batch.add("pump", T0);
    r.addDatapoint(textPoint("state", "it's \"on\"\n\xc3\xa9"));
    r.addDatapoint(intPoint("big", 9007199254740993L));
    r.addDatapoint(intPoint("count", -42));
    r.addDatapoint(floatPoint("temperature", 0.1));
    r.addDatapoint(floatPoint("tiny", 1.2e-7));
    r.addDatapoint(floatPoint("nan", std::nan("")));
    r.addDatapoint(floatPoint("inf", -HUGE_VAL));
    r.addDatapoint(dictPoint("meta", {intPoint("a", 1), textPoint("b", "x"), intPoint("a", 2)}));
    r.addDatapoint(listPoint("list", {intPoint("p", 1), dictPoint("q", {textPoint("y", "z")})}));
    r.addDatapoint(floatArrayPoint("samples", {1.5, HUGE_VAL}));
    r.addDatapoint(imagePoint("picture"));
    r.addDatapoint(hintPoint(R"({"other": 1})"));
    r.addDatapoint(intPoint("count", 7));  // a repeated name: the last value wins
    r.addDatapoint(intPoint("ts", 5));     // names exactly as sent
    batch.add("tank", T0 + 1).addDatapoint(intPoint("level", 3));
    ASSERT_EQ(instance.send(batch), 2u);

    const std::string expected =
        "{\"state\":\"it's \\\"on\\\"\\n\xc3\xa9\","
        R"("big":9007199254740993,"count":7,"temperature":0.1,)"
        R"("tiny":1.2E-7,"nan":"NaN","inf":"-Infinity","meta":{"a":2,"b":"x"},)"
        R"("list":[1,{"y":"z"}],"samples":[1.5,"Infinity"],)"
        R"("picture":{"width":2,"height":2,"depth":8,"data":"AQIDBA=="},"ts":5})";
    const Rows rows = warehouse.query(
        "SELECT datapoints:big::bigint, datapoints:count::bigint, datapoints:temperature::double, "
        "datapoints:state::string, datapoints:ts::bigint, datapoints FROM pump");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "9007199254740993");
    EXPECT_EQ(rows[0][1], "7");
    EXPECT_EQ(std::stod(rows[0][2]), 0.1);
    EXPECT_EQ(rows[0][3], "it's \"on\"\n\xc3\xa9");
    EXPECT_EQ(rows[0][4], "5");
    EXPECT_EQ(rows[0][5], expected);
    // The four fixed columns and the object, whatever the datapoints.
    for (const char* table : {"pump", "tank"}) {
        EXPECT_EQ(warehouse.query("SELECT column_name, data_type FROM information_schema.columns "
                                  "WHERE table_name = '" +
                                  std::string(table) + "' ORDER BY ordinal_position"),
                  (Rows{{"asset_code", "STRING"},
                        {"user_ts", "TIMESTAMP"},
                        {"ts", "TIMESTAMP"},
                        {"corvane", "STRING"},
                        {"datapoints", "VARIANT"}}));
    }
    EXPECT_EQ(warehouse.query("SELECT datapoints:level::bigint FROM tank"), (Rows{{"3"}}));
}

TEST_F(PluginEndToEnd, VariantLayoutOnATableWithAnotherDatapointsColumnSaysSoOncePerTable) {
    // A table made for the column layout, with a datapoint named datapoints.
    {
        Instance columns(plugin, warehouse);
        Batch batch;
        batch.add("pump", T0).addDatapoint(intPoint("datapoints", 7));
        ASSERT_EQ(columns.send(batch), 1u);
    }
    LogCapture log;
    Instance instance(plugin, warehouse, "edge-1", R"("datapoints": {"value": "variant"})");
    for (uint64_t i = 1; i <= 2; ++i) {
        Batch batch;
        batch.add("pump", T0 + i).addDatapoint(intPoint("level", static_cast<long>(i)));
        batch.add("tank", T0 + i).addDatapoint(intPoint("level", static_cast<long>(i)));
        ASSERT_EQ(instance.send(batch), 2u);
    }
    const std::string message =
        "Table 'pump' has a column 'datapoints' of type bigint, not VARIANT: each reading's "
        "datapoints go there only as that type holds them, else to _rescued_data. Rename that "
        "column, or set 'table' to write to another table";
    EXPECT_EQ(log.count(Logger::Level::ERROR, message), 1u);
    EXPECT_EQ(log.at(Logger::Level::ERROR).size(), 1u) << "tank's column is VARIANT";
    // Written as before: the object is kept whole in the rescued data.
    EXPECT_EQ(warehouse.query("SELECT datapoints, _rescued_data FROM pump ORDER BY ts"),
              (Rows{{"7", "NULL"},
                    {"NULL", R"({"datapoints":{"level":1}})"},
                    {"NULL", R"({"datapoints":{"level":2}})"}}));
}

TEST_F(PluginEndToEnd, NoReadingIsWrittenToTheRejectsTable) {
    struct Case {
        std::string asset, hint, items;
    };
    const Case cases[] = {
        {"lakesink_rejects", "", ""},
        {"LakeSink_Rejects", "", R"("datapoints": {"value": "variant"})"},
        {"lakesink.rejects", "", ""},
        {"pump", R"({"tablename": "LAKESINK_REJECTS"})", ""},
        {"pump", "", R"("table": {"value": "lakesink rejects"})"},
    };
    for (const Case& c : cases) {
        TempWarehouse fresh;
        Instance instance(plugin, fresh, "edge-1", c.items);
        Batch batch;
        Reading& r = batch.add(c.asset, T0);
        if (!c.hint.empty())
            r.addDatapoint(hintPoint(c.hint));
        r.addDatapoint(intPoint("level", 7));
        ASSERT_EQ(instance.send(batch), 1u) << c.asset << c.hint << c.items;
        EXPECT_EQ(fresh.query("SELECT asset_code FROM lakesink_rejects_asset"), (Rows{{c.asset}}))
            << c.asset << c.hint << c.items;
        EXPECT_TRUE(fresh
                        .query("SELECT table_name FROM information_schema.tables WHERE "
                               "lower(table_name) = 'lakesink_rejects'")
                        .empty())
            << c.asset << c.hint << c.items;
    }
}
