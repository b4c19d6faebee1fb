#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace {

uint64_t wholeNumber(const std::string& option, const std::string& text, uint64_t minimum,
                     uint64_t maximum) {
    bool ok = !text.empty() && text.size() <= 20;
    for (char c : text)
        ok = ok && c >= '0' && c <= '9';
    unsigned long long value = 0;
    if (ok) {
        errno = 0;
        value = std::strtoull(text.c_str(), nullptr, 10);
        ok = errno == 0;
    }
    if (!ok || value < minimum || value > maximum) {
        throw std::invalid_argument(option + " needs a whole number from " +
                                    std::to_string(minimum) + " to " + std::to_string(maximum) +
                                    ", not \"" + text + "\"");
    }
    return value;
}

double seconds(const std::string& option, const std::string& text, double minimum) {
    char* end = nullptr;
    errno = 0;
    const double value = text.empty() ? NAN : std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value < minimum ||
        value > 86400) {
        throw std::invalid_argument(option + " needs a number of seconds, not \"" + text + "\"");
    }
    return value;
}

}  // namespace

Options parseOptions(const std::vector<std::string>& arguments, const std::string& defaultPlugin) {
    Options options;
    options.plugin = defaultPlugin;
    bool generateOnly = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string option = arguments[i];
        std::optional<std::string> inlineValue;
        const size_t equals = option.find('=');
        if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = option.substr(equals + 1);
            option = option.substr(0, equals);
        }
        auto value = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= arguments.size())
                throw std::invalid_argument(option + " needs a value");
            return arguments[++i];
        };
        auto flag = [&]() {
            if (inlineValue)
                throw std::invalid_argument(option + " takes no value");
        };
        if (option == "--help" || option == "-h") {
            flag();
            options.help = true;
        } else if (option == "--info") {
            flag();
            options.info = true;
        } else if (option == "--check") {
            flag();
            options.check = true;
        } else if (option == "--dump") {
            flag();
            options.dump = true;
        } else if (option == "--plugin") {
            options.plugin = value();
        } else if (option == "--config") {
            options.configFile = value();
        } else if (option == "--readings") {
            options.readings = value();
        } else if (option == "--follow") {
            flag();
            options.follow = true;
        } else if (option == "--generate") {
            options.generate = wholeNumber(option, value(), 0, std::numeric_limits<int64_t>::max());
        } else if (option == "--assets") {
            options.assets = static_cast<uint32_t>(wholeNumber(option, value(), 1, 1000000));
            generateOnly = true;
        } else if (option == "--datapoints") {
            options.datapoints = static_cast<uint32_t>(wholeNumber(option, value(), 0, 10000));
            generateOnly = true;
        } else if (option == "--seed") {
            options.seed = wholeNumber(option, value(), 0, std::numeric_limits<uint64_t>::max());
            generateOnly = true;
        } else if (option == "--block-size") {
            options.blockSize = static_cast<uint32_t>(wholeNumber(option, value(), 1, 10000000));
        } else if (option == "--max-backoff") {
            options.maxBackoff = seconds(option, value(), 0.001);
        } else if (option == "--max-attempts") {
            options.maxAttempts =
                wholeNumber(option, value(), 0, std::numeric_limits<uint32_t>::max());
        } else if (option == "--progress-interval") {
            options.progressInterval = seconds(option, value(), 0.1);
        } else if (option == "--checkpoint") {
            options.checkpoint = value();
            if (options.checkpoint.empty())
                throw std::invalid_argument("--checkpoint needs a file name");
        } else if (option == "--checkpoint-reset") {
            flag();
            options.checkpointReset = true;
        } else if (option == "--max-wait") {
            options.maxWaitMs = wholeNumber(option, value(), 0, 86400000);
        } else if (option == "--status-file") {
            options.statusFile = value();
            if (options.statusFile.empty())
                throw std::invalid_argument("--status-file needs a file name");
        } else if (option == "--log-level") {
            options.logLevel = value();
        } else {
            throw std::invalid_argument("unknown option \"" + arguments[i] + "\" (see --help)");
        }
    }
    if (options.info && options.check)
        throw std::invalid_argument("--info and --check go alone");
    if (options.help || options.info || options.check)
        return options;
    if (options.readings.empty() == !options.generate.has_value()) {
        throw std::invalid_argument("give either --readings FILE|- or --generate N");
    }
    if (options.dump && !options.checkpoint.empty())
        throw std::invalid_argument("--checkpoint does not go with --dump");
    if (options.dump && !options.statusFile.empty())
        throw std::invalid_argument("--status-file does not go with --dump");
    if (options.follow && (options.readings.empty() || options.readings == "-"))
        throw std::invalid_argument("--follow goes with --readings FILE");
    if (options.checkpointReset && options.checkpoint.empty())
        throw std::invalid_argument("--checkpoint-reset goes with --checkpoint");
    if (generateOnly && !options.generate) {
        throw std::invalid_argument("--assets, --datapoints and --seed go with --generate");
    }
    return options;
}

std::string usage(const std::string& program, const std::string& defaultPlugin) {
    return "Usage: " + program + R"( [options] (--readings FILE|- | --generate N)
       )" + program +
           R"( [--plugin PATH] [--config FILE] (--info | --check)

Loads a north plugin, configures it and sends it readings in blocks, the way
the Corvane north service does.

  --plugin PATH          north plugin to load (default: )" +
           defaultPlugin + R"()
  --info                 print the plugin's information, path and default
                         configuration; with --config, also show the values it
                         sets (secrets masked) and check them as --check does
  --check                load the plugin, overlay --config and run plugin_init
                         without sending anything; exit 0, or 1 with every
                         problem on a "problem:" line
  --config FILE          JSON object of item name to value, overlaid on the
                         plugin's default configuration; unknown items and
                         null values are refused
  --readings FILE|-      JSON Lines, one reading per line:
                         {"asset": "pump", "timestamp": "2026-01-01T00:00:00.000001Z",
                          "user_timestamp": "...", "datapoints": {"temperature": 21.5}}
                         strings, integers, floats, objects (dict), arrays of
                         numbers (float array) and other arrays (list); true and
                         false become 1 and 0; a null datapoint is left out, a
                         null inside an object or array keeps its place; a whole
                         number outside the 64-bit signed range is refused.
                         Times are YYYY-MM-DD[T ]HH:MM:SS[.ffffff][Z|+hh:mm]
                         (no zone: UTC); one of the two stands for both, and
                         without either both are the time of reading. A line
                         that is not a reading is reported with its number and
                         skipped.
  --follow               read the readings FILE as it grows, like tail -f, until
                         stopped by a signal
  --generate N           N synthetic readings instead, the same for the same options
    --assets K           spread over K assets (default 3)
    --datapoints D       with D datapoints each: float, integer, string, ... (default 5)
    --seed S             seed of the values (default 1)
  --dump                 write the readings as JSON Lines to standard output
                         instead of sending them (no plugin is loaded)
  --block-size N         readings per plugin_send call (default 500)
  --max-wait MS          send a partial block when no reading has arrived for
                         MS milliseconds from a pipe, a terminal or a followed
                         file (default 1000)
  --max-backoff SECONDS  a block the plugin refuses is sent again after 1 s,
                         doubling up to this (default 30)
  --max-attempts N       give up after N refused attempts of one block (default 0:
                         keep trying)
  --progress-interval S  seconds between progress lines when stderr is not a
                         terminal (default 5)
  --checkpoint FILE      keep the number of readings the plugin acknowledged in
                         FILE, replaced durably after every accepted block;
                         started with an existing FILE, skip that many readings
                         of the input first (a restart resends only what was
                         not acknowledged). A FILE counting more readings than
                         the input holds is an error
  --checkpoint-reset     send the input from its first reading whatever FILE
                         holds, and count from 0
  --status-file FILE     rewrite FILE atomically after every block and failed
                         attempt with a JSON object: readings read, sent and
                         unsent, failed attempts, back-off, last success,
                         position (see the README)
  --log-level LEVEL      debug, info, warning or error (default info)

The first SIGINT or SIGTERM stops after the current block; a second one stops
at once. Both end with the summary.

Exit status: 0 when every reading was sent and no line was rejected; 1 on a
usage, configuration, checkpoint, status file or plugin error; 2 when readings
were left unsent; 3 when every reading was sent but input lines were rejected;
128+signal when stopped by SIGINT or SIGTERM.
)";
}
