#include "record_store.h"

#include <grpcpp/support/status_code_enum.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <cstdio>

#include "diagnostics.h"
#include "spark_lexer.h"
#include "storage.h"

namespace zbemu {
namespace {

bool plainName(const std::string& name) {
    if (name.empty())
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '_'; });
}

[[noreturn]] void refuse(grpc::StatusCode code, const std::string& message) {
    throw StreamRefusal(static_cast<int>(code), message);
}

void bindStored(sqlite3_stmt* stmt, int index, const whemu::Stored& value) {
    switch (value.tag) {
        case whemu::Stored::Null:
            sqlite3_bind_null(stmt, index);
            break;
        case whemu::Stored::Int:
            sqlite3_bind_int64(stmt, index, value.i);
            break;
        case whemu::Stored::Real:
            sqlite3_bind_double(stmt, index, value.d);
            break;
        case whemu::Stored::Text:
            sqlite3_bind_text(stmt, index, value.s.data(), static_cast<int>(value.s.size()),
                              SQLITE_STATIC);
            break;
    }
}

// The value as the literal an INSERT would hold; TIMESTAMP and VARIANT take
// the stream's own encodings.
whemu::Literal literalOf(const rapidjson::Value& v, const whemu::Column& column) {
    whemu::Literal l;
    const std::string where = " for column " + column.name;
    if (v.IsNull())
        return l;
    if (column.type.kind == whemu::TypeKind::Timestamp) {
        if (!v.IsInt64())
            refuse(grpc::StatusCode::INVALID_ARGUMENT,
                   "TIMESTAMP must be integer microseconds" + where);
        l.kind = whemu::Literal::Timestamp;
        l.text = whemu::formatTimestamp(v.GetInt64());
    } else if (column.type.kind == whemu::TypeKind::Variant) {
        if (!v.IsString())
            refuse(grpc::StatusCode::INVALID_ARGUMENT, "VARIANT must be a string of JSON" + where);
        l.kind = whemu::Literal::Json;
        l.text.assign(v.GetString(), v.GetStringLength());
    } else if (v.IsBool()) {
        l.kind = whemu::Literal::Boolean;
        l.boolean = v.GetBool();
    } else if (v.IsInt64()) {
        l.kind = whemu::Literal::Integer;
        l.text = std::to_string(v.GetInt64());
    } else if (v.IsNumber()) {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", v.GetDouble());
        l.kind = whemu::Literal::Double;
        l.text = text;
    } else if (v.IsString()) {
        l.kind = whemu::Literal::String;
        l.text.assign(v.GetString(), v.GetStringLength());
    } else {
        refuse(grpc::StatusCode::INVALID_ARGUMENT, "arrays and objects are not values" + where);
    }
    return l;
}

}  // namespace

RecordStore::RecordStore(const std::string& dir, const std::string& fullName) {
    const size_t first = fullName.find('.');
    const size_t second = first == std::string::npos ? first : fullName.find('.', first + 1);
    if (second == std::string::npos || fullName.find('.', second + 1) != std::string::npos)
        refuse(grpc::StatusCode::INVALID_ARGUMENT, "table name must be catalog.schema.table");
    const std::string schema = whemu::toLowerAscii(fullName.substr(first + 1, second - first - 1));
    table_ = whemu::toLowerAscii(fullName.substr(second + 1));
    if (!plainName(schema) || !plainName(table_))
        refuse(grpc::StatusCode::INVALID_ARGUMENT,
               "table and schema names must be ASCII letters, digits and underscores");
    try {
        db_ = whemu::openSchema(dir + "/" + schema + ".db");
        if (!whemu::loadTable(db_, table_, columns_))
            refuse(grpc::StatusCode::NOT_FOUND, "table " + fullName + " does not exist");
        version_ = whemu::tableVersion(db_, table_);
    } catch (const whemu::WarehouseError& e) {
        if (db_)
            sqlite3_close(db_);
        refuse(grpc::StatusCode::INTERNAL, e.what());
    } catch (...) {
        if (db_)
            sqlite3_close(db_);
        throw;
    }
    insertSql_ = "INSERT INTO " + whemu::sqliteName(table_) + " (";
    for (size_t i = 0; i < columns_.size(); ++i)
        insertSql_ += (i ? ", " : "") + whemu::sqliteName(columns_[i].name);
    insertSql_ += ") VALUES (";
    for (size_t i = 0; i < columns_.size(); ++i)
        insertSql_ += i ? ", ?" : "?";
    insertSql_ += ")";
}

RecordStore::~RecordStore() {
    sqlite3_close(db_);
}

void RecordStore::convert(const std::string& record, std::vector<whemu::Stored>& row) const {
    rapidjson::Document doc;
    doc.Parse(record.data(), record.size());
    if (doc.HasParseError() || !doc.IsObject())
        refuse(grpc::StatusCode::INVALID_ARGUMENT, "a record must be one JSON object");
    row.assign(columns_.size(), whemu::Stored());
    std::vector<bool> seen(columns_.size(), false);
    for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
        const std::string name =
            whemu::toLowerAscii(std::string(it->name.GetString(), it->name.GetStringLength()));
        auto column = std::find_if(columns_.begin(), columns_.end(),
                                   [&](const whemu::Column& c) { return c.name == name; });
        if (column == columns_.end())
            refuse(grpc::StatusCode::INVALID_ARGUMENT,
                   "table " + table_ + " has no column " + name);
        const size_t i = static_cast<size_t>(column - columns_.begin());
        seen[i] = true;
        whemu::storeValue(literalOf(it->value, *column), *column, table_, row[i]);
    }
    for (size_t i = 0; i < columns_.size(); ++i) {
        if (!seen[i] && !columns_[i].nullable)
            refuse(grpc::StatusCode::INVALID_ARGUMENT, "record lacks column " + columns_[i].name);
    }
}

void RecordStore::write(const std::vector<std::string>& records) {
    std::vector<std::vector<whemu::Stored>> rows(records.size());
    try {
        for (size_t r = 0; r < records.size(); ++r)
            convert(records[r], rows[r]);
        whemu::Transaction transaction(db_);
        std::vector<whemu::Column> now;
        if (!whemu::loadTable(db_, table_, now))
            refuse(grpc::StatusCode::NOT_FOUND, "table " + table_ + " no longer exists");
        if (whemu::tableVersion(db_, table_) != version_)
            refuse(grpc::StatusCode::INVALID_ARGUMENT,
                   "table " + table_ + " changed since the stream was created");
        whemu::Statement insert(db_, insertSql_);
        for (const std::vector<whemu::Stored>& row : rows) {
            for (size_t c = 0; c < row.size(); ++c)
                bindStored(insert.get(), static_cast<int>(c + 1), row[c]);
            insert.step();
            insert.reset();
        }
        transaction.commit();
    } catch (const whemu::WarehouseError& e) {
        // A busy or failing file is the server's trouble, a refused value the client's.
        const bool storage = e.diag().state.rfind("HY", 0) == 0;
        refuse(storage ? grpc::StatusCode::UNAVAILABLE : grpc::StatusCode::INVALID_ARGUMENT,
               e.what());
    }
}

}  // namespace zbemu
