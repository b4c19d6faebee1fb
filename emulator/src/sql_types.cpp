// How the warehouse's column types appear to ODBC clients.

#include <sql.h>
#include <sqlext.h>

#include "warehouse_types.h"

namespace whemu {

int sqlTypeOf(const WarehouseType& type, long& columnSize, int& decimalDigits) {
    decimalDigits = 0;
    switch (type.kind) {
        case TypeKind::BigInt:
            columnSize = 19;
            return SQL_BIGINT;
        case TypeKind::Int:
            columnSize = 10;
            return SQL_INTEGER;
        case TypeKind::SmallInt:
            columnSize = 5;
            return SQL_SMALLINT;
        case TypeKind::TinyInt:
            columnSize = 3;
            return SQL_TINYINT;
        case TypeKind::Double:
            columnSize = 15;
            return SQL_DOUBLE;
        case TypeKind::Float:
            columnSize = 7;
            return SQL_REAL;
        case TypeKind::Boolean:
            columnSize = 1;
            return SQL_BIT;
        case TypeKind::Date:
            columnSize = 10;
            return SQL_TYPE_DATE;
        case TypeKind::Decimal:
            columnSize = type.precision;
            decimalDigits = type.scale;
            return SQL_DECIMAL;
        case TypeKind::Timestamp:
            columnSize = 26;
            decimalDigits = 6;
            return SQL_TYPE_TIMESTAMP;
        case TypeKind::Varchar:
            columnSize = type.length;
            return SQL_VARCHAR;
        case TypeKind::String:
        case TypeKind::Variant:
            break;
    }
    columnSize = 255;  // what the vendor driver reports for STRING by default
    return SQL_VARCHAR;
}

bool isNonFiniteSpelling(std::string_view text) {
    return text == "NaN" || text == "Infinity" || text == "-Infinity";
}

}  // namespace whemu
