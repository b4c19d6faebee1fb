#pragma once
// The rejects table: where a reading goes that the warehouse refuses outright.
//
// A reading whose row the warehouse still refuses after every value was
// checked (a constraint, a type the plugin could not foresee), or that has no
// table to go to, is written as one row of the rejects table (row_layout.h)
// with the reason,
// so that it is kept and can be replayed once the table is fixed. The row
// holds the target table, the reading's asset code, both times, the instance,
// the reading's datapoints as JSON text, the SQLSTATE, the warehouse's message
// and when it was rejected. Free functions; safe from any thread.

#include <string>

#include "database_record.h"
#include "row_layout.h"

class Reading;

// The rejects-table row of `reading`, refused for `table` with `sqlState` and
// `reason`. Times are UTC texts as the mapper writes them.
DatabaseRecord makeRejectRecord(const std::string& table, const Reading& reading,
                                const std::string& instance, const std::string& sqlState,
                                const std::string& reason);

// The reading's datapoints as one JSON object of name to value: always strict
// JSON, NaN and the infinities written as the strings "NaN", "Infinity" and
// "-Infinity" (which corvane-north reads back as those doubles).
std::string readingDatapointsJson(const Reading& reading);
