#pragma once
// The layout every row of the plugin's tables shares, and the rejects table's:
// the one place that names these columns.
//
// Every reading's row starts with the fixed columns, in this order: the asset
// code, the user timestamp, the timestamp and the instance. A table may have
// the rescued data column, which keeps (as a JSON object of column name to
// value) what the row's other columns cannot hold. Readings the warehouse
// refuses are kept as rows of the rejects table. Datapoints named like one of
// these columns are renamed by the mapper. Constants only; safe from any
// thread.

#include <cstddef>

inline constexpr char ASSET_CODE_COLUMN[] = "asset_code";
inline constexpr char USER_TS_COLUMN[] = "user_ts";
inline constexpr char TS_COLUMN[] = "ts";
inline constexpr char INSTANCE_COLUMN[] = "corvane";

// The fixed columns, in row order.
inline constexpr const char* FIXED_COLUMNS[] = {ASSET_CODE_COLUMN, USER_TS_COLUMN, TS_COLUMN,
                                                INSTANCE_COLUMN};
inline constexpr size_t FIXED_COLUMN_COUNT = sizeof(FIXED_COLUMNS) / sizeof(FIXED_COLUMNS[0]);

// The column that holds all of a reading's datapoints as one JSON object when
// datapoints are not written a column each.
inline constexpr char DATAPOINTS_COLUMN[] = "datapoints";

// The column that keeps the values that fit nowhere else, and its definition.
inline constexpr char RESCUED_DATA_COLUMN[] = "_rescued_data";
inline constexpr char RESCUED_DATA_TYPE[] = "VARIANT";

// The rejects table and its columns, in order, with their types.
inline constexpr char REJECTS_TABLE[] = "lakesink_rejects";
// Appended to a table name of ordinary readings that would otherwise be the
// rejects table's (lakesink_rejects_asset).
inline constexpr char REJECTS_TABLE_ESCAPE[] = "_asset";

struct RejectsColumn {
    const char* name;
    const char* type;
};

// The positions of the rejects table's columns in REJECTS_COLUMNS.
enum RejectsField : size_t {
    REJECT_TABLE_NAME,
    REJECT_ASSET_CODE,
    REJECT_USER_TS,
    REJECT_TS,
    REJECT_INSTANCE,
    REJECT_READING,
    REJECT_SQLSTATE,
    REJECT_REASON,
    REJECT_REJECTED_AT,
    REJECT_FIELD_COUNT
};

inline constexpr RejectsColumn REJECTS_COLUMNS[REJECT_FIELD_COUNT] = {
    {"table_name", "STRING"}, {ASSET_CODE_COLUMN, "STRING"}, {USER_TS_COLUMN, "TIMESTAMP"},
    {TS_COLUMN, "TIMESTAMP"}, {INSTANCE_COLUMN, "STRING"},   {"reading", "STRING"},
    {"sqlstate", "STRING"},   {"reason", "STRING"},          {"rejected_at", "TIMESTAMP"},
};
