#pragma once
// Datapoint values of the host's common library.
//
// A DatapointValue holds one value of a reading: a text, a 64-bit integer, a
// double, an array of doubles, a dictionary or a list of datapoints, an image
// or a data buffer. It owns its payload (nested datapoints included) and copies
// deeply. A Datapoint is a name and a value; it owns its value.
// Not thread-safe: a value is built by one thread and then only read.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class Datapoint;

// Opaque image payload; the plugin never reads it.
class DPImage {
  public:
    DPImage(int width, int height, int depth, std::vector<uint8_t> pixels)
        : width(width), height(height), depth(depth), pixels(std::move(pixels)) {}
    int getWidth() const { return width; }
    int getHeight() const { return height; }
    int getDepth() const { return depth; }
    const std::vector<uint8_t>& getData() const { return pixels; }

  private:
    int width, height, depth;
    std::vector<uint8_t> pixels;
};

// Opaque data buffer payload; the plugin never reads it.
class DataBuffer {
  public:
    DataBuffer(size_t itemSize, std::vector<uint8_t> bytes)
        : itemSize(itemSize), bytes(std::move(bytes)) {}
    size_t getItemSize() const { return itemSize; }
    const std::vector<uint8_t>& getData() const { return bytes; }

  private:
    size_t itemSize;
    std::vector<uint8_t> bytes;
};

class DatapointValue {
  public:
    typedef enum DatapointTag {
        T_STRING = 0,
        T_INTEGER = 1,
        T_FLOAT = 2,
        T_FLOAT_ARRAY = 3,
        T_DP_DICT = 4,
        T_DP_LIST = 5,
        T_IMAGE = 6,
        T_DATABUFFER = 7
    } dataTagType;

    explicit DatapointValue(const std::string& value);
    explicit DatapointValue(const char* value) : DatapointValue(std::string(value)) {}
    explicit DatapointValue(long value);
    explicit DatapointValue(int value) : DatapointValue(static_cast<long>(value)) {}
    explicit DatapointValue(double value);
    explicit DatapointValue(const std::vector<double>& values);
    // Takes ownership of the vector (allocated with new) and of the datapoints in
    // it; isDict chooses T_DP_DICT or T_DP_LIST. A null vector gives an empty one.
    DatapointValue(std::vector<Datapoint*>* values, bool isDict);
    // Takes ownership of the datapoints in the vector (the vector itself is
    // copied); isDict chooses T_DP_DICT or T_DP_LIST.
    DatapointValue(std::vector<Datapoint*> values, bool isDict);
    // Takes ownership of the image / buffer.
    explicit DatapointValue(DPImage* image);
    explicit DatapointValue(DataBuffer* buffer);

    DatapointValue(const DatapointValue& other);
    DatapointValue& operator=(const DatapointValue& other);
    ~DatapointValue();

    dataTagType getType() const { return type; }

    // Text form: a string JSON-quoted with '"' and '\' (and control bytes)
    // escaped; an integer in decimal; a double as the shortest text that reads
    // back to the same value, with ".0" added when it would otherwise look like
    // an integer (3.0 gives "3.0"); a float array as a JSON array of numbers; a
    // dict as a JSON object of its datapoints; a list as a JSON array of the
    // values. Every text is valid JSON except a lone non-finite double, which
    // gives "nan", "inf" or "-inf" (what strtod reads back); inside an array,
    // dict or list a non-finite double is written as null so the JSON stays
    // valid. An image or data buffer has no text form and gives null.
    std::string toString() const;
    // The raw text of a string value (empty for other kinds).
    const std::string& toStringValue() const { return text; }
    // An integer as is; a double truncated towards zero (saturating at the
    // range of long, NaN gives 0); a string holding exactly one decimal integer
    // is parsed. Anything else throws std::invalid_argument.
    long toInt() const;
    // An integer or double as a double; a string holding exactly one number is
    // parsed. Anything else throws std::invalid_argument.
    double toDouble() const;

    const std::vector<double>* getDpArr() const {
        return type == T_FLOAT_ARRAY ? &floats : nullptr;
    }
    const std::vector<Datapoint*>* getDpVec() const {
        return (type == T_DP_DICT || type == T_DP_LIST) ? children : nullptr;
    }
    const DPImage* getImage() const { return type == T_IMAGE ? image : nullptr; }
    const DataBuffer* getDataBuffer() const { return type == T_DATABUFFER ? buffer : nullptr; }

  private:
    void release();
    void copyFrom(const DatapointValue& other);

    dataTagType type;
    std::string text;
    long integer = 0;
    double number = 0.0;
    std::vector<double> floats;
    std::vector<Datapoint*>* children = nullptr;
    DPImage* image = nullptr;
    DataBuffer* buffer = nullptr;
};

class Datapoint {
  public:
    // Copies the value.
    Datapoint(const std::string& name, DatapointValue& value) : name(name), value(value) {}
    const std::string& getName() const { return name; }
    DatapointValue& getData() { return value; }
    const DatapointValue& getData() const { return value; }
    // JSON member text: "name":<value text>
    std::string toJSONProperty() const;

  private:
    std::string name;
    DatapointValue value;
};
