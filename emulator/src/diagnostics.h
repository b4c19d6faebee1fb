#pragma once
// Errors and diagnostic records of the warehouse emulator.
//
// Every failure inside the emulator is thrown as a WarehouseError carrying the
// SQLSTATE, a native error number and the message the warehouse would give
// ("[ERROR_CLASS] text SQLSTATE: xxxxx" for statement errors);
// the ODBC layer catches it at the entry point and posts it as a diagnostic
// record of the handle. Values are plain data; nothing here is shared.

#include <stdexcept>
#include <string>
#include <string_view>

namespace whemu {

// Native error numbers. Statement errors use the two numbers the vendor driver
// gives: 80 when the warehouse refused the statement while analysing it
// (syntax, names, types, arity) and 35 when it failed while running (casts,
// NOT NULL, lengths, concurrent changes). The others are the driver's own.
enum NativeError : int {
    kNativeAnalysis = 80,      // refused before it ran
    kNativeRuntime = 35,       // failed while it ran
    kNativeConnection = 1001,  // cannot connect, link failure, offline
    kNativeAuth = 1002,        // credentials refused
    kNativeBusy = 1201,        // storage locked too long
    kNativeStorage = 1202,     // storage failure
    kNativeInjected = 1301,    // fault injected through the faults file
    kNativeDriver = 1401,      // ODBC usage error (bad argument, sequence)
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
    // Statement errors (natives 80 and 35) end with " SQLSTATE: xxxxx" as the
    // warehouse's messages do; `message` starts with the error class in
    // brackets.
    WarehouseError(std::string state, int native, const std::string& message)
        : std::runtime_error(message), diag_{state, native, withSqlState(state, native, message)} {}
    const Diag& diag() const { return diag_; }

  private:
    static std::string withSqlState(const std::string& state, int native,
                                    const std::string& message) {
        if (native != kNativeAnalysis && native != kNativeRuntime)
            return message;
        return message + " SQLSTATE: " + state;
    }
    Diag diag_;
};

[[noreturn]] void fail(const char* state, int native, const std::string& message);

// A name or value made safe to quote in a message: control bytes become \xNN
// and very long texts are cut with "...".
std::string printable(std::string_view text, size_t limit = 80);

// `name` with backticks, as the warehouse quotes identifiers in messages.
std::string quoted(std::string_view name);

}  // namespace whemu
