#include "diagnostics.h"

#include <cstdio>

namespace whemu {

void fail(const char* state, int native, const std::string& message) {
    throw WarehouseError(state, native, message);
}

std::string printable(std::string_view text, size_t limit) {
    std::string out;
    const bool cut = text.size() > limit;
    if (cut)
        text = text.substr(0, limit);
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (cut)
        out += "...";
    return out;
}

std::string quoted(std::string_view name) {
    return "`" + printable(name) + "`";
}

}  // namespace whemu
