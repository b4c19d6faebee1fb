#pragma once
// Builds a plugin's configuration category text: the plugin's default
// configuration (a JSON object of items with "default" attributes) with a
// "value" for every item, taken from the user's overlay (a JSON object of item
// name to value) or else from the item's default.
//
// Free functions without state; safe to call from any thread.

#include <string>

// The category JSON text. Overlay rules: a string value is taken as is; a
// number or boolean as its JSON text; an object or array as its compact JSON
// text, but only for items of type "kvlist" or "JSON"; a null value is refused
// (leave the item out to take its default). Throws std::invalid_argument naming the problem: either
// text is not a JSON object (or nests deeper than MAX_JSON_DEPTH levels, see
// json_depth.h), the overlay names items the plugin does not have
// (all of them are listed), sets a read-only item, or gives an object or array
// to an item that does not take one. `overlaySource` names the overlay in
// messages (e.g. the file name).
std::string overlayConfiguration(const std::string& defaults, const std::string& overlay,
                                 const std::string& overlaySource);

// The category text with the values of password items, and of key/value list
// keys that name a secret, replaced by "****", for showing to people.
std::string maskedCategory(const std::string& categoryJson);

// The JSON text indented for people.
std::string prettyJson(const std::string& json);
