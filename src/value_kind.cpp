#include "value_kind.h"

#include "datapoint.h"

ValueKind valueKindOfTag(int tag) {
    switch (tag) {
        case DatapointValue::T_INTEGER:
            return ValueKind::Integer;
        case DatapointValue::T_FLOAT:
            return ValueKind::Double;
        case DatapointValue::T_FLOAT_ARRAY:
        case DatapointValue::T_DP_DICT:
        case DatapointValue::T_DP_LIST:
            return ValueKind::Structured;
        case DatapointValue::T_IMAGE:
        case DatapointValue::T_DATABUFFER:
            return ValueKind::Binary;
        default:
            return ValueKind::Text;
    }
}

const std::string& typeNameOf(ValueKind kind) {
    static const std::string kNames[] = {"BIGINT",    "DOUBLE",       "STRING",  "VARIANT",
                                         "TIMESTAMP", "VARCHAR(256)", "VARIANT", "STRING"};
    return kNames[static_cast<size_t>(kind)];
}
