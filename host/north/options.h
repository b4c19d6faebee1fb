#pragma once
// Command-line options of corvane-north. Plain data; parseOptions fills it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Options {
    std::string plugin;  // shared object to load
    bool info = false;   // print the plugin's information and stop
    bool check = false;  // configure the plugin, report every problem and stop
    bool help = false;
    bool dump = false;  // write the readings as JSON Lines instead of sending them
    std::string configFile;
    std::string readings;  // JSON Lines file, "-" for standard input
    bool follow = false;   // read the readings file as it grows, until stopped
    std::optional<uint64_t> generate;
    uint32_t assets = 3;
    uint32_t datapoints = 5;
    uint64_t seed = 1;
    uint32_t blockSize = 500;
    double maxBackoff = 30.0;       // seconds
    uint64_t maxAttempts = 0;       // per block; 0 means no limit
    double progressInterval = 5.0;  // seconds between progress lines off a terminal
    std::string logLevel = "info";
    std::string checkpoint;        // file keeping the count of acknowledged readings; empty: none
    bool checkpointReset = false;  // start from the input's first reading whatever it holds
    uint64_t maxWaitMs = 1000;     // a partial block is sent after this long without a reading
    std::string statusFile;        // health file rewritten after every attempt; empty: none
};

// Throws std::invalid_argument with a message for the user when the arguments
// are not a valid command line.
Options parseOptions(const std::vector<std::string>& arguments, const std::string& defaultPlugin);

// The --help text.
std::string usage(const std::string& program, const std::string& defaultPlugin);
