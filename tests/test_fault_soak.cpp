// Soak through corvane-north: a long run of generated readings into the
// emulator warehouse while it is broken at random: offline at the start and
// again several times later (each outage costs the plugin's 5-second
// reconnect pause, so there are few), and transient errors injected into
// INSERTs often. Every reading must arrive exactly once (the blocks go to one
// table) and the resident size of the process must stay flat.
//
// The size fits the CI; a longer soak is the same run with more readings
// (ctest stops a test after 10 minutes, so run the program itself):
//   ODBCSYSINI=$PWD/build LAKESINK_SOAK_READINGS=20000000 build/tests/test_fault_soak

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "loaded_plugin.h"
#include "north_process.h"
#include "warehouse.h"

extern char** environ;

using Rows = std::vector<std::vector<std::string>>;

namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

uint64_t soakReadings() {
    if (const char* text = std::getenv("LAKESINK_SOAK_READINGS"))
        return std::stoull(text);
    // The sanitizers slow every step and keep freed memory in quarantine, which
    // says nothing about the plugin's own use; they run a shorter soak.
    return kSanitized ? 100000 : 1000000;
}

// Resident size of a process in KiB, or 0 when it cannot be read.
long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

uint64_t rowsIn(const TempWarehouse& warehouse, const std::string& table) {
    try {
        const Rows rows = warehouse.query("SELECT count(*) FROM " + table);
        return rows.empty() ? 0 : std::stoull(rows[0][0]);
    } catch (const std::exception&) {
        return 0;  // not created yet, or the warehouse is offline
    }
}

}  // namespace

TEST(FaultSoak, EveryReadingArrivesOnceThroughRandomOutagesAndMemoryStaysFlat) {
    const uint64_t total = soakReadings();
    const unsigned seed = 20260101;
    SCOPED_TRACE("readings " + std::to_string(total) + ", seed " + std::to_string(seed));
    std::mt19937 random(seed);

    TempWarehouse warehouse;
    const std::string config = warehouse.directory() + "/north.json";
    // At least once: the injected faults refuse statements before they run,
    // so the resend memory alone keeps every reading once, and the soak
    // measures the plugin without a MERGE over a growing table after each of
    // its faults (the exactly-once tests cover that path).
    std::ofstream(config) << R"({"corvaneInstance": "soak", "delivery": "at-least-once", )"
                          << R"("additionalParams": {"Warehouse": ")"
                          << jsonEscaped(warehouse.directory()) << R"("}})";

    // Offline before the first block: the first connection attempt fails.
    warehouse.setOffline(true);
    NorthProcess north({"--config", config, "--generate", std::to_string(total), "--assets", "1",
                        "--datapoints", "6", "--block-size", "500", "--max-backoff", "0.05",
                        "--log-level", "warning"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    warehouse.setOffline(false);

    // Outages at random points of the run, and injected transient errors.
    std::vector<uint64_t> outagesAt;
    for (int i = 0; i < 3; ++i)
        outagesAt.push_back(total / 5 + random() % (total * 3 / 5));
    std::sort(outagesAt.begin(), outagesAt.end());
    const char* transient[] = {"08S01", "HYT00", "40001"};

    long earlyKiB = 0, lateKiB = 0;
    size_t nextOutage = 0;
    int status = -1;
    int injected = 0;
    // Generous: about 20 times what the run needs on a quiet machine.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(240 + static_cast<long>(total / 20000));
    while (!north.finished(status)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << north.errors();
        const uint64_t written = rowsIn(warehouse, "asset_0");
        const long kib = residentKiB(north.pid());
        if (written >= total / 10 && earlyKiB == 0)
            earlyKiB = kib;
        if (written >= total * 9 / 10 && kib > lateKiB)
            lateKiB = kib;
        if (nextOutage < outagesAt.size() && written >= outagesAt[nextOutage]) {
            warehouse.setOffline(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 600));
            warehouse.setOffline(false);
            ++nextOutage;
        } else if (random() % 10 == 0) {
            warehouse.addFault(transient[random() % 3], 1 + static_cast<int>(random() % 3),
                               "INSERT INTO");
            ++injected;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string errors = north.errors();
    std::cout << "soak: " << total << " readings, " << outagesAt.size() << " outages, " << injected
              << " injected faults; resident KiB after 10%: " << earlyKiB
              << ", after 90%: " << lateKiB << std::endl;
    ASSERT_EQ(status, 0) << errors.substr(errors.size() > 4000 ? errors.size() - 4000 : 0);
    EXPECT_EQ(nextOutage, outagesAt.size()) << "the run ended before every outage";
    EXPECT_GT(injected, 0);
    EXPECT_NE(errors.find("summary: readings read " + std::to_string(total) + ", sent " +
                          std::to_string(total) + ", unsent 0"),
              std::string::npos);
    EXPECT_NE(errors.find("The plugin did not accept a block"), std::string::npos);

    // Exactly once: as many rows as readings, every timestamp once.
    const Rows counts = warehouse.query("SELECT count(*), count(DISTINCT ts) FROM asset_0");
    EXPECT_EQ(counts, (Rows{{std::to_string(total), std::to_string(total)}}));

    if (!kSanitized) {
        ASSERT_GT(earlyKiB, 0);
        ASSERT_GT(lateKiB, 0);
        EXPECT_LE(lateKiB, earlyKiB + earlyKiB / 10)
            << "resident KiB after 10%: " << earlyKiB << ", after 90%: " << lateKiB;
    }
}
