#pragma once
// Errors and diagnostic records of the warehouse emulator.
//
// Every failure inside the emulator is thrown as a WarehouseError carrying the
// SQLSTATE, a native error number and the message the warehouse would give;
// the ODBC layer catches it at the entry point and posts it as a diagnostic
// record of the handle. Values are plain data; nothing here is shared.

#include <stdexcept>
#include <string>
#include <string_view>

namespace whemu {

// Native error numbers, one per family of failure, so a caller can tell them
// apart without parsing messages.
enum NativeError : int {
    kNativeConnection = 1001,   // cannot connect, link failure, offline
    kNativeAuth = 1002,         // credentials refused
    kNativeSyntax = 1101,       // statement does not parse
    kNativeCatalog = 1102,      // table or column missing, already there, bad name
    kNativeData = 1103,         // a value the column refuses
    kNativeUnsupported = 1104,  // valid for the warehouse, not emulated
    kNativeBusy = 1201,         // storage locked too long
    kNativeStorage = 1202,      // storage failure
    kNativeInjected = 1301,     // fault injected through the faults file
    kNativeDriver = 1401,       // ODBC usage error (bad argument, sequence)
};

// Prefix of every message the emulator posts, as a vendor driver does.
inline constexpr std::string_view kMessagePrefix = "[lakesink][Warehouse] ";

struct Diag {
    std::string state;  // five characters
    int native = 0;
    std::string message;  // without the vendor prefix
};

class WarehouseError : public std::runtime_error {
  public:
    WarehouseError(std::string state, int native, const std::string& message)
        : std::runtime_error(message), diag_{std::move(state), native, message} {}
    const Diag& diag() const { return diag_; }

  private:
    Diag diag_;
};

[[noreturn]] void fail(const char* state, int native, const std::string& message);

// A name or value made safe to quote in a message: control bytes become \xNN
// and very long texts are cut with "...".
std::string printable(std::string_view text, size_t limit = 80);

// `name` with backticks, as the warehouse quotes identifiers in messages.
std::string quoted(std::string_view name);

}  // namespace whemu
