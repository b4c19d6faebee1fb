#include "reading_json.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cctype>
#include <cmath>
#include <vector>

#include "json_depth.h"

namespace {

constexpr unsigned kParseFlags = rapidjson::kParseFullPrecisionFlag |
                                 rapidjson::kParseNanAndInfFlag |
                                 rapidjson::kParseValidateEncodingFlag;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool leapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool digits(const std::string& text, size_t at, size_t count, int& value) {
    if (at + count > text.size())
        return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Returns true iff `json` is one of the strings "NaN", "Infinity" and
// "-Infinity", which stand for those doubles in strict JSON (the plugin's
// rejects table writes them so), and then stores the double in `out`.
bool nonFiniteWord(const rapidjson::Value& json, double& out) {
    if (!json.IsString())
        return false;
    const std::string text(json.GetString(), json.GetStringLength());
    if (text == "NaN") {
        out = std::nan("");
    } else if (text == "Infinity") {
        out = HUGE_VAL;
    } else if (text == "-Infinity") {
        out = -HUGE_VAL;
    } else {
        return false;
    }
    return true;
}

// Returns true iff `json` is a number or a word for NaN or an infinity, and
// then stores its double in `out`.
bool floatOf(const rapidjson::Value& json, double& out) {
    if (json.IsNumber()) {
        out = json.GetDouble();
        return true;
    }
    return nonFiniteWord(json, out);
}

// Builds a datapoint value from JSON; false with `error` set when it cannot.
// A null value gives false with an empty error: the caller leaves it out.
bool toValue(const rapidjson::Value& json, const std::string& path,
             std::unique_ptr<DatapointValue>& out, std::string& error);

// The host's readings have no null value. A data buffer without bytes is the
// one value without a JSON form, which the plugin and the dump both write as
// null, so a null member of an object or list keeps its place as one.
std::unique_ptr<DatapointValue> nullMember() {
    return std::make_unique<DatapointValue>(new DataBuffer(0, {}));
}

bool toChildren(const rapidjson::Value& json, const std::string& path, bool isDict,
                std::unique_ptr<DatapointValue>& out, std::string& error) {
    std::vector<Datapoint*> children;
    auto add = [&](const std::string& name, const rapidjson::Value& member) {
        std::unique_ptr<DatapointValue> value;
        if (member.IsNull())
            value = nullMember();
        else if (!toValue(member, path + "." + name, value, error))
            return false;
        children.push_back(new Datapoint(name, *value));
        return true;
    };
    bool ok = true;
    if (isDict) {
        for (auto m = json.MemberBegin(); ok && m != json.MemberEnd(); ++m) {
            ok = add(std::string(m->name.GetString(), m->name.GetStringLength()), m->value);
        }
    } else {
        for (rapidjson::SizeType i = 0; ok && i < json.Size(); ++i) {
            ok = add(std::to_string(i), json[i]);
        }
    }
    if (!ok) {
        for (Datapoint* child : children)
            delete child;
        return false;
    }
    out = std::make_unique<DatapointValue>(std::move(children), isDict);
    return true;
}

bool toValue(const rapidjson::Value& json, const std::string& path,
             std::unique_ptr<DatapointValue>& out, std::string& error) {
    error.clear();
    if (json.IsNull())
        return false;
    double number = 0;
    if (nonFiniteWord(json, number)) {
        out = std::make_unique<DatapointValue>(number);
    } else if (json.IsString()) {
        out =
            std::make_unique<DatapointValue>(std::string(json.GetString(), json.GetStringLength()));
    } else if (json.IsBool()) {
        out = std::make_unique<DatapointValue>(json.GetBool() ? 1L : 0L);
    } else if (json.IsInt64()) {
        out = std::make_unique<DatapointValue>(static_cast<long>(json.GetInt64()));
    } else if (json.IsUint64()) {
        error = "datapoint " + path + ": integer " + std::to_string(json.GetUint64()) +
                " is outside the 64-bit signed range";
        return false;
    } else if (json.IsNumber()) {
        out = std::make_unique<DatapointValue>(json.GetDouble());
    } else if (json.IsObject()) {
        return toChildren(json, path, true, out, error);
    } else if (json.IsArray()) {
        std::vector<double> values;
        values.reserve(json.Size());
        for (const auto& element : json.GetArray()) {
            // A null member makes a list: a float array has no place for it.
            if (!floatOf(element, number))
                return toChildren(json, path, false, out, error);
            values.push_back(number);
        }
        out = std::make_unique<DatapointValue>(values);
    } else {
        error = "datapoint " + path + " has a value of unknown kind";
        return false;
    }
    return true;
}

template <typename Writer>
void writeValue(Writer& writer, const DatapointValue& value) {
    switch (value.getType()) {
        case DatapointValue::T_STRING:
            writer.String(value.toStringValue().c_str(),
                          static_cast<rapidjson::SizeType>(value.toStringValue().size()));
            break;
        case DatapointValue::T_INTEGER:
            writer.Int64(value.toInt());
            break;
        case DatapointValue::T_FLOAT:
            writer.Double(value.toDouble());
            break;
        case DatapointValue::T_FLOAT_ARRAY:
            writer.StartArray();
            for (double d : *value.getDpArr())
                writer.Double(d);
            writer.EndArray();
            break;
        case DatapointValue::T_DP_DICT:
            writer.StartObject();
            for (const Datapoint* child : *value.getDpVec()) {
                if (!child)
                    continue;
                writer.Key(child->getName().c_str(),
                           static_cast<rapidjson::SizeType>(child->getName().size()));
                writeValue(writer, child->getData());
            }
            writer.EndObject();
            break;
        case DatapointValue::T_DP_LIST:
            writer.StartArray();
            for (const Datapoint* child : *value.getDpVec()) {
                if (child)
                    writeValue(writer, child->getData());
            }
            writer.EndArray();
            break;
        default:
            // Images and data buffers have no JSON Lines form.
            writer.Null();
    }
}

// Returns true iff `digits` (no sign, no leading zero) is above `limit`, both
// decimal texts of whole numbers.
bool decimalAbove(const std::string& digits, const char* limit) {
    const std::string bound(limit);
    return digits.size() != bound.size() ? digits.size() > bound.size() : digits > bound;
}

// The first whole-number literal of the JSON text that the JSON reader would
// round to a double because no 64-bit integer holds it (2^64 and above,
// below -2^63), or empty. Literals with a fraction or an exponent are floats
// and are not looked at; neither is anything inside a string.
std::string firstOversizedInteger(const std::string& text) {
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
            continue;
        }
        if (c != '-' && (c < '0' || c > '9'))
            continue;
        const size_t start = i;
        const bool negative = c == '-';
        size_t end = negative ? i + 1 : i;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9')
            ++end;
        const bool whole =
            end == text.size() || (text[end] != '.' && text[end] != 'e' && text[end] != 'E');
        const std::string digits =
            text.substr(negative ? start + 1 : start, end - (negative ? start + 1 : start));
        if (whole &&
            decimalAbove(digits, negative ? "9223372036854775808" : "18446744073709551615"))
            return text.substr(start, end - start);
        i = end;
        // Skip the rest of a float literal so that its exponent is not read
        // as a number of its own.
        while (i < text.size() &&
               (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.' ||
                text[i] == 'e' || text[i] == 'E' || text[i] == '+' || text[i] == '-'))
            ++i;
        --i;
    }
    return {};
}

}  // namespace

bool parseTimestamp(const std::string& text, uint64_t& micros, std::string& error) {
    int year, month, day, hour, minute, second;
    const bool shape = digits(text, 0, 4, year) && text.size() > 4 && text[4] == '-' &&
                       digits(text, 5, 2, month) && text.size() > 7 && text[7] == '-' &&
                       digits(text, 8, 2, day) && text.size() > 10 &&
                       (text[10] == 'T' || text[10] == ' ') && digits(text, 11, 2, hour) &&
                       text.size() > 13 && text[13] == ':' && digits(text, 14, 2, minute) &&
                       text.size() > 16 && text[16] == ':' && digits(text, 17, 2, second);
    if (!shape) {
        error =
            "\"" + text + "\" is not a time of the form YYYY-MM-DD[T ]HH:MM:SS[.ffffff][Z|+hh:mm]";
        return false;
    }
    static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 ||
        day > monthDays[month - 1] + (month == 2 && leapYear(year) ? 1 : 0) || hour > 23 ||
        minute > 59 || second > 59) {
        error = "\"" + text + "\" is not a valid date and time";
        return false;
    }
    size_t at = 19;
    int64_t fraction = 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        size_t count = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (count < 6)
                fraction = fraction * 10 + (text[at] - '0');
            ++count;
            ++at;
        }
        if (count == 0) {
            error = "\"" + text + "\" has no digits after the decimal point";
            return false;
        }
        for (size_t i = count; i < 6; ++i)
            fraction *= 10;
    }
    int64_t offsetSeconds = 0;
    if (at < text.size()) {
        const char sign = text[at];
        int offsetHours = 0, offsetMinutes = 0;
        if (sign == 'Z' && at + 1 == text.size()) {
            // UTC
        } else if ((sign == '+' || sign == '-') && digits(text, at + 1, 2, offsetHours) &&
                   ((at + 6 == text.size() && text[at + 3] == ':' &&
                     digits(text, at + 4, 2, offsetMinutes)) ||
                    (at + 5 == text.size() && digits(text, at + 3, 2, offsetMinutes)) ||
                    at + 3 == text.size()) &&
                   offsetHours <= 23 && offsetMinutes <= 59) {
            offsetSeconds = (offsetHours * 3600 + offsetMinutes * 60) * (sign == '+' ? 1 : -1);
        } else {
            error = "\"" + text + "\" has an unreadable time zone (use Z or +hh:mm)";
            return false;
        }
    }
    const int64_t seconds =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        hour * 3600 + minute * 60 + second - offsetSeconds;
    if (seconds < 0) {
        error = "\"" + text + "\" is before 1970";
        return false;
    }
    micros = static_cast<uint64_t>(seconds) * 1000000u + static_cast<uint64_t>(fraction);
    return true;
}

std::unique_ptr<Reading> parseReadingLine(const std::string& line, std::string& error) {
    if (jsonNestsDeeperThan(line)) {
        error = "invalid JSON: nested deeper than " + std::to_string(MAX_JSON_DEPTH) + " levels";
        return nullptr;
    }
    rapidjson::Document document;
    document.Parse<kParseFlags>(line.c_str(), line.size());
    if (document.HasParseError()) {
        error = std::string("invalid JSON: ") +
                rapidjson::GetParseError_En(document.GetParseError()) + " at column " +
                std::to_string(document.GetErrorOffset() + 1);
        return nullptr;
    }
    // Only valid JSON is scanned, so every digit outside a string is part of
    // a number literal.
    const std::string oversized = firstOversizedInteger(line);
    if (!oversized.empty()) {
        error = "integer " + oversized + " is outside the 64-bit signed range";
        return nullptr;
    }
    if (!document.IsObject()) {
        error = "a reading must be a JSON object";
        return nullptr;
    }
    const rapidjson::Value* asset = nullptr;
    const rapidjson::Value* datapoints = nullptr;
    const rapidjson::Value* timestamp = nullptr;
    const rapidjson::Value* userTimestamp = nullptr;
    for (auto m = document.MemberBegin(); m != document.MemberEnd(); ++m) {
        const std::string name(m->name.GetString(), m->name.GetStringLength());
        if (name == "asset") {
            asset = &m->value;
        } else if (name == "datapoints") {
            datapoints = &m->value;
        } else if (name == "timestamp") {
            timestamp = &m->value;
        } else if (name == "user_timestamp") {
            userTimestamp = &m->value;
        } else {
            error = "unknown member \"" + name +
                    "\" (expected asset, timestamp, user_timestamp, datapoints)";
            return nullptr;
        }
    }
    if (!asset || !asset->IsString() || asset->GetStringLength() == 0) {
        error = "\"asset\" must be a non-empty string";
        return nullptr;
    }
    if (datapoints && !datapoints->IsObject() && !datapoints->IsNull()) {
        error = "\"datapoints\" must be a JSON object";
        return nullptr;
    }
    uint64_t times[2] = {0, 0};
    const rapidjson::Value* timeValues[2] = {timestamp, userTimestamp};
    const char* timeNames[2] = {"timestamp", "user_timestamp"};
    for (int i = 0; i < 2; ++i) {
        const rapidjson::Value* value = timeValues[i];
        if (!value || value->IsNull())
            continue;
        std::string why;
        if (!value->IsString()) {
            error = std::string("\"") + timeNames[i] + "\" must be a string";
            return nullptr;
        }
        if (!parseTimestamp(std::string(value->GetString(), value->GetStringLength()), times[i],
                            why)) {
            error = std::string("\"") + timeNames[i] + "\": " + why;
            return nullptr;
        }
    }

    auto reading = std::make_unique<Reading>(
        std::string(asset->GetString(), asset->GetStringLength()), std::vector<Datapoint*>{});
    if (datapoints && datapoints->IsObject()) {
        for (auto m = datapoints->MemberBegin(); m != datapoints->MemberEnd(); ++m) {
            const std::string name(m->name.GetString(), m->name.GetStringLength());
            std::unique_ptr<DatapointValue> value;
            if (!toValue(m->value, name, value, error)) {
                if (!error.empty())
                    return nullptr;
                continue;  // null: left out
            }
            reading->addDatapoint(new Datapoint(name, *value));
        }
    }
    // A reading with only one of the two times uses it for both.
    if (timeValues[0] && !timeValues[0]->IsNull()) {
        reading->setTimestamp(times[0]);
        if (!userTimestamp || userTimestamp->IsNull())
            reading->setUserTimestamp(times[0]);
    }
    if (timeValues[1] && !timeValues[1]->IsNull()) {
        reading->setUserTimestamp(times[1]);
        if (!timestamp || timestamp->IsNull())
            reading->setTimestamp(times[1]);
    }
    error.clear();
    return reading;
}

std::string readingToJsonLine(const Reading& reading) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                      rapidjson::CrtAllocator, rapidjson::kWriteNanAndInfFlag>
        writer(buffer);
    writer.StartObject();
    writer.Key("asset");
    writer.String(reading.getAssetName().c_str(),
                  static_cast<rapidjson::SizeType>(reading.getAssetName().size()));
    const std::string ts = Reading::formatTime(reading.getTimestamp(), Reading::FMT_ISO8601, true);
    const std::string uts =
        Reading::formatTime(reading.getUserTimestamp(), Reading::FMT_ISO8601, true);
    writer.Key("timestamp");
    writer.String(ts.c_str(), static_cast<rapidjson::SizeType>(ts.size()));
    writer.Key("user_timestamp");
    writer.String(uts.c_str(), static_cast<rapidjson::SizeType>(uts.size()));
    writer.Key("datapoints");
    writer.StartObject();
    for (const Datapoint* dp : reading.getReadingData()) {
        if (!dp)
            continue;
        writer.Key(dp->getName().c_str(), static_cast<rapidjson::SizeType>(dp->getName().size()));
        writeValue(writer, dp->getData());
    }
    writer.EndObject();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}
