// Leak checks over 10,000 batches: through the plugin loaded in this process,
// and through corvane-north sending 10,000 blocks of one reading. The batches
// take every path a long run takes: new tables and columns, a refused INSERT,
// a lost link and the reconnection, a refused login and a reconfiguration.
//
// In the sanitizer build (-DLAKESINK_SANITIZE=ON) LeakSanitizer checks the
// heap after the in-process run, and corvane-north, built with it too, fails
// at exit when anything leaked. In other builds the runs still must succeed
// and the process's resident size must not grow with the number of batches.

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config_category.h"
#include "loaded_plugin.h"
#include "logger.h"
#include "north_process.h"
#include "plugin.h"
#include "readings.h"
#include "warehouse.h"

#if defined(__SANITIZE_ADDRESS__)
#define LAKESINK_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LAKESINK_LEAK_CHECKED 1
#endif
#endif

#ifdef LAKESINK_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

extern char** environ;

using Rows = std::vector<std::vector<std::string>>;

namespace {

const uint64_t T0 = 1767225600000000ULL;
constexpr int kBatches = 10000;

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

}  // namespace

TEST(LeakCheck, TenThousandBatchesThroughTheLoadedPlugin) {
    Logger::getLogger()->setMinLevel(Logger::Level::ERROR);
    TempWarehouse warehouse;
    warehouse.setCredentials("default_user:lisk\n");
    void* library = dlopen(LAKESINK_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto init = reinterpret_cast<PLUGIN_HANDLE (*)(ConfigCategory*)>(dlsym(library, "plugin_init"));
    auto send = reinterpret_cast<uint32_t (*)(PLUGIN_HANDLE, const std::vector<Reading*>&)>(
        dlsym(library, "plugin_send"));
    auto shutdown = reinterpret_cast<void (*)(PLUGIN_HANDLE)>(dlsym(library, "plugin_shutdown"));
    const std::string params =
        jsonEscaped(R"({"Warehouse": ")" + jsonEscaped(warehouse.directory()) + R"("})");

    {
        // A refused login first: the instance stays failed and is shut down.
        ConfigCategory wrong("lakesink",
                             R"({"password": {"value": "wrong"}, "additionalParams": {"value": ")" +
                                 params + R"("}})");
        PLUGIN_HANDLE handle = init(&wrong);
        Batch batch;
        batch.add("asset_0", T0).addDatapoint(intPoint("n", -1));
        EXPECT_EQ(send(handle, batch.pointers()), 0u);
        shutdown(handle);
    }

    ConfigCategory category("lakesink", R"({"additionalParams": {"value": ")" + params + R"("}})");
    PLUGIN_HANDLE handle = init(&category);
    long residentAtStart = 0;
    int sent = 0;
    for (int i = 0; i < kBatches; ++i) {
        if (i == kBatches / 10)
            residentAtStart = residentKiB();
        if (i % 1000 == 500)
            warehouse.addFault("HYT00", 1, "INSERT INTO");
        if (i % 2500 == 1000) {
            // The link drops: this batch fails, the next one reconnects.
            warehouse.setOffline(true);
        }
        Batch batch;
        Reading& r = batch.add("asset_" + std::to_string(i % 7), T0 + static_cast<uint64_t>(i));
        r.addDatapoint(intPoint("n", i));
        r.addDatapoint(floatPoint("x", i * 0.25));
        r.addDatapoint(textPoint("s", "v" + std::to_string(i % 13)));
        if (i % 100 == 0)
            r.addDatapoint(dictPoint("new_" + std::to_string(i / 100), {intPoint("k", i)}));
        // A refused batch is sent again, as the host does; the warehouse is
        // back by then, and at most one injected fault stands in the way.
        uint32_t accepted = 0;
        for (int attempt = 0; attempt < 3 && accepted == 0; ++attempt) {
            accepted = send(handle, batch.pointers());
            warehouse.setOffline(false);
        }
        sent += static_cast<int>(accepted);
    }
    shutdown(handle);
    EXPECT_EQ(sent, kBatches);
    long rows = 0;
    for (int a = 0; a < 7; ++a)
        rows += std::stol(
            warehouse.query("SELECT count(*) FROM asset_" + std::to_string(a)).at(0).at(0));
    EXPECT_EQ(rows, kBatches);

#ifdef LAKESINK_LEAK_CHECKED
    (void)residentAtStart;  // the sanitizer's own memory says nothing here
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "LeakSanitizer found leaks (see above)";
#else
    // Without the sanitizer: the resident size does not grow with the batches.
    const long residentAtEnd = residentKiB();
    EXPECT_LE(residentAtEnd, residentAtStart + residentAtStart / 10 + 2048)
        << "KiB after 1,000 batches: " << residentAtStart << ", after 10,000: " << residentAtEnd;
#endif
    dlclose(library);
}

TEST(LeakCheck, CorvaneNorthSendsTenThousandBlocksAndEndsClean) {
    TempWarehouse warehouse;
    const std::string config = warehouse.directory() + "/north.json";
    std::ofstream(config) << R"({"additionalParams": {"Warehouse": ")"
                          << jsonEscaped(warehouse.directory()) << R"("}})";
    const NorthOutcome run =
        runNorthProcess({"--config", config, "--generate", "10000", "--assets", "4", "--datapoints",
                         "6", "--block-size", "1", "--log-level", "warning"},
                        "", std::chrono::seconds(120));
    EXPECT_EQ(run.status, 0) << run.err.substr(0, 4000);
    EXPECT_EQ(run.err.find("LeakSanitizer"), std::string::npos) << run.err.substr(0, 4000);
    EXPECT_NE(run.err.find("summary: readings read 10000, sent 10000, unsent 0"),
              std::string::npos);
    EXPECT_NE(run.err.find("blocks 10000"), std::string::npos);
}
