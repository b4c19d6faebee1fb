#pragma once
// A configuration category of the host's common library.
//
// Built from a JSON object whose members are items; each item is an object
// with "value" and/or "default" (and descriptive attributes). The value of an
// item is its "value", else its "default". A value is normally a JSON string;
// a number or boolean is taken as its JSON text and an object or array as its
// compact JSON text. Items keep their order. Copyable; not thread-safe.

#include <map>
#include <string>
#include <utility>
#include <vector>

class ConfigCategory {
  public:
    // Throws std::invalid_argument naming the problem when the JSON is malformed
    // or is not an object of item objects.
    ConfigCategory(const std::string& name, const std::string& json);

    const std::string& getName() const { return name; }
    bool itemExists(const std::string& item) const;
    // Item names in their order in the JSON text.
    std::vector<std::string> getItemNames() const;

    // The item's value; the default text when the item is absent.
    std::string getValue(const std::string& item, const std::string& defaultValue) const;
    // The item's value; throws std::out_of_range when the item is absent.
    std::string getValue(const std::string& item) const;
    // The item's value as a 32-bit integer; the default when absent. A value that
    // is not a whole decimal number, or is outside the 32-bit range, throws
    // std::invalid_argument with a message naming the item and the value.
    int getIntegerValue(const std::string& item, int defaultValue) const;
    // A "kvlist" item: its value is the text of a JSON object whose members are
    // strings. Returns the pairs ordered by key. "{}" or an empty text gives an
    // empty map; an absent item gives an empty map; malformed text or a member
    // that is not a string throws std::invalid_argument.
    std::map<std::string, std::string> getValueKVList(const std::string& item) const;

    // Replaces (or adds) the value of an item.
    void setValue(const std::string& item, const std::string& value);

  private:
    std::string name;
    std::vector<std::pair<std::string, std::string>> items;  // name, value
};
