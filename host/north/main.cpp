// corvane-north: loads a north plugin, configures it and feeds it readings in
// blocks, keeping a refused block and sending it again after a back-off, the
// way the platform's north service does.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "config_category.h"
#include "config_overlay.h"
#include "logger.h"
#include "north_plugin.h"
#include "north_run.h"
#include "options.h"
#include "reading_json.h"
#include "reading_source.h"
#include "stop_signals.h"

#ifndef CORVANE_NORTH_DEFAULT_PLUGIN
#define CORVANE_NORTH_DEFAULT_PLUGIN "liblakesink.so.1"
#endif
#ifndef CORVANE_NORTH_INSTALLED_PLUGIN
#define CORVANE_NORTH_INSTALLED_PLUGIN "../lib/lakesink/liblakesink.so.1"
#endif

namespace {

constexpr int EXIT_USAGE = 1;

// The plugin installed beside this program (an installed tree), or else the
// one of the build tree the program was built in.
std::string defaultPlugin() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path installed = self.parent_path() / CORVANE_NORTH_INSTALLED_PLUGIN;
        if (std::filesystem::exists(installed, error))
            return installed.lexically_normal().string();
    }
    return CORVANE_NORTH_DEFAULT_PLUGIN;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open configuration file " + path);
    // A directory opens and reads as nothing, which would pass for "{}".
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored))
        throw std::runtime_error("cannot read configuration file " + path + ": it is a directory");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw std::runtime_error("cannot read configuration file " + path);
    return text.str();
}

// The plugin's default configuration with --config overlaid, as the
// category text plugin_init receives. Throws naming the problem.
std::string categoryText(const NorthPlugin& plugin, const Options& options) {
    const std::string overlay = options.configFile.empty() ? "{}" : readFile(options.configFile);
    return overlayConfiguration(plugin.info().config, overlay,
                                options.configFile.empty() ? "(none)" : options.configFile);
}

std::string pluginName(const NorthPlugin& plugin) {
    return plugin.info().name ? plugin.info().name : "north";
}

// With --config, the overlay is checked and the values it sets are shown too;
// a bad overlay is an error.
int printInfo(const NorthPlugin& plugin, const Options& options) {
    const PluginInfo& info = plugin.info();
    auto text = [](const char* value) { return value ? value : "(none)"; };
    std::string configured;
    if (!options.configFile.empty())
        configured = categoryText(plugin, options);
    printf("name:      %s\nversion:   %s\ntype:      %s\ninterface: %s\noptions:   %u\n",
           text(info.name), text(info.version), text(info.type), text(info.interface),
           info.options);
    printf("path:      %s\n", plugin.path().c_str());
    printf("default configuration:\n%s\n", prettyJson(text(info.config)).c_str());
    if (!configured.empty()) {
        printf("configuration with %s:\n%s\n", options.configFile.c_str(),
               prettyJson(maskedCategory(configured)).c_str());
    }
    return 0;
}

// Loads the plugin, overlays --config and runs plugin_init without sending
// anything. Every problem found goes to stderr; returns 0 when there is none.
int checkConfiguration(const Options& options) {
    std::vector<std::string> problems;
    try {
        NorthPlugin plugin(options.plugin);
        ConfigCategory category(pluginName(plugin), categoryText(plugin, options));
        plugin.init(category);
        plugin.shutdown();
    } catch (const std::exception& e) {
        problems.push_back(e.what());
    }
    if (problems.empty()) {
        printf("corvane-north: the configuration %s is accepted by %s\n",
               options.configFile.empty() ? "(defaults)" : options.configFile.c_str(),
               options.plugin.c_str());
        return 0;
    }
    // The plugin lists its settings' problems in one message, split by "; ".
    for (std::string problem : problems) {
        const std::string initFailed = "plugin_init failed: ";
        if (problem.rfind(initFailed, 0) == 0)
            problem.erase(0, initFailed.size());
        size_t start = 0;
        for (size_t end; (end = problem.find("; configuration item", start)) != std::string::npos;
             start = end + 2) {
            fprintf(stderr, "problem: %s\n", problem.substr(start, end - start).c_str());
        }
        fprintf(stderr, "problem: %s\n", problem.substr(start).c_str());
    }
    return EXIT_USAGE;
}

std::unique_ptr<ReadingSource> openSource(const Options& options) {
    if (options.generate) {
        return std::make_unique<GeneratedSource>(*options.generate, options.assets,
                                                 options.datapoints, options.seed);
    }
    return std::make_unique<JsonLinesSource>(options.readings, options.follow);
}

int dumpReadings(const Options& options) {
    StopSignals signals([](int signal, bool first) {
        if (!first)
            _exit(128 + signal);
    });
    const auto started = std::chrono::steady_clock::now();
    auto source = openSource(options);
    RunTotals totals;
    while (!signals.received()) {
        auto reading = source->next(std::chrono::milliseconds(200));
        if (!reading) {
            if (source->atEnd())
                break;
            continue;
        }
        ++totals.read;
        const std::string line = readingToJsonLine(*reading) + "\n";
        if (fwrite(line.data(), 1, line.size(), stdout) != line.size()) {
            Logger::getLogger()->error("Cannot write to standard output");
            break;
        }
        ++totals.sent;
    }
    fflush(stdout);
    totals.rejectedLines = source->rejected();
    printSummary(totals,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                 "written");
    if (signals.received())
        return 128 + signals.received();
    if (totals.sent < totals.read)
        return 2;
    return totals.rejectedLines > 0 ? 3 : 0;
}

int sendReadings(const Options& options) {
    // Before the plugin is loaded, so that its threads leave the stop signals
    // to the run.
    NorthRun service(options);
    NorthPlugin plugin(options.plugin);
    ConfigCategory category(pluginName(plugin), categoryText(plugin, options));
    auto source = openSource(options);
    return service.run(plugin, *source, category);
}

int dispatch(const Options& options) {
    if (options.dump)
        return dumpReadings(options);
    if (options.check)
        return checkConfiguration(options);
    if (options.info) {
        const int status = printInfo(NorthPlugin(options.plugin), options);
        // A configuration given is checked as --check does.
        return options.configFile.empty() || status != 0 ? status : checkConfiguration(options);
    }
    return sendReadings(options);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = "corvane-north";
    std::vector<std::string> arguments(argv + 1, argv + argc);
    Options options;
    try {
        options = parseOptions(arguments, defaultPlugin());
    } catch (const std::exception& e) {
        fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
        return EXIT_USAGE;
    }
    if (options.help) {
        fputs(usage(program, defaultPlugin()).c_str(), stdout);
        return 0;
    }
    try {
        Logger::getLogger()->setMinLevel(options.logLevel);
    } catch (const std::exception& e) {
        fprintf(stderr, "%s: --log-level: %s\n", program.c_str(), e.what());
        return EXIT_USAGE;
    }
    try {
        return dispatch(options);
    } catch (const std::exception& e) {
        fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
        return EXIT_USAGE;
    }
}
