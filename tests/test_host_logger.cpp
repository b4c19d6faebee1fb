// The host logger: level filtering, capture of every message, formatting, and
// safety under concurrent use.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "log_capture.h"
#include "logger.h"

namespace {

// Redirects stderr into a temporary file while alive and gives back what was
// written.
class StderrCapture {
  public:
    StderrCapture() {
        fflush(stderr);
        saved = dup(fileno(stderr));
        char name[] = "/tmp/lakesink-stderr-XXXXXX";
        int fd = mkstemp(name);
        path = name;
        dup2(fd, fileno(stderr));
        close(fd);
    }
    ~StderrCapture() {
        restore();
        unlink(path.c_str());
    }
    std::string text() {
        restore();
        std::ifstream in(path);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

  private:
    void restore() {
        if (saved < 0)
            return;
        fflush(stderr);
        dup2(saved, fileno(stderr));
        close(saved);
        saved = -1;
    }
    int saved = -1;
    std::string path;
};

class LoggerTest : public ::testing::Test {
  protected:
    void TearDown() override { Logger::getLogger()->setMinLevel(Logger::Level::INFO); }
};

TEST_F(LoggerTest, IsOneProcessWideObjectWithInfoAsDefaultLevel) {
    EXPECT_EQ(Logger::getLogger(), Logger::getLogger());
    EXPECT_EQ(Logger::getLogger()->getMinLevel(), Logger::Level::INFO);
}

TEST_F(LoggerTest, CaptureReceivesEveryLevelWithFormattedText) {
    LogCapture capture;
    Logger* log = Logger::getLogger();
    log->setMinLevel(Logger::Level::ERROR);
    log->debug("d %s %d", "x", 42);
    log->info("i %zu", static_cast<size_t>(7));
    log->warn("w %s", "");
    log->error("e %d%%", -1);
    auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0], LogCapture::Entry(Logger::Level::DEBUG, "d x 42"));
    EXPECT_EQ(entries[1], LogCapture::Entry(Logger::Level::INFO, "i 7"));
    EXPECT_EQ(entries[2], LogCapture::Entry(Logger::Level::WARNING, "w "));
    EXPECT_EQ(entries[3], LogCapture::Entry(Logger::Level::ERROR, "e -1%"));
}

TEST_F(LoggerTest, LongMessagesAreNotTruncated) {
    Logger::getLogger()->setMinLevel(Logger::Level::ERROR);  // keep the test output short
    LogCapture capture;
    std::string big(5000, 'a');
    big += "end";
    Logger::getLogger()->info("<%s>", big.c_str());
    ASSERT_EQ(capture.at(Logger::Level::INFO).size(), 1u);
    EXPECT_EQ(capture.at(Logger::Level::INFO)[0], "<" + big + ">");
}

TEST_F(LoggerTest, StderrLinesCarryUtcTimeLevelAndTextOnlyAtOrAboveMinimum) {
    Logger* log = Logger::getLogger();
    log->setMinLevel("warning");
    StderrCapture err;
    log->debug("hidden debug");
    log->info("hidden info");
    log->warn("shown %s", "warning");
    log->error("shown error");
    std::string text = err.text();
    EXPECT_EQ(text.find("hidden"), std::string::npos) << text;
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line))
        all.push_back(line);
    ASSERT_EQ(all.size(), 2u) << text;
    // 2026-01-01T00:00:00.000000Z WARNING shown warning
    const std::string pattern = R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6}Z )";
    EXPECT_TRUE(std::regex_match(all[0], std::regex(pattern + "WARNING shown warning$"))) << all[0];
    EXPECT_TRUE(std::regex_match(all[1], std::regex(pattern + "ERROR shown error$"))) << all[1];
}

// A debug message with no capture installed must not even be formatted: a %s
// with an invalid pointer would crash if it were.
TEST_F(LoggerTest, FilteredMessageIsNotFormatted) {
    Logger::getLogger()->setMinLevel(Logger::Level::INFO);
    const char* invalid = reinterpret_cast<const char*>(static_cast<uintptr_t>(16));
    Logger::getLogger()->debug("%s", invalid);
    SUCCEED();
}

TEST_F(LoggerTest, LevelNamesAreParsedCaseInsensitivelyAndUnknownNamesRefused) {
    Logger* log = Logger::getLogger();
    const std::pair<const char*, Logger::Level> names[] = {
        {"debug", Logger::Level::DEBUG},     {"INFO", Logger::Level::INFO},
        {"warning", Logger::Level::WARNING}, {"warn", Logger::Level::WARNING},
        {"Error", Logger::Level::ERROR},
    };
    for (const auto& [name, level] : names) {
        log->setMinLevel(std::string(name));
        EXPECT_EQ(log->getMinLevel(), level) << name;
    }
    log->setMinLevel(Logger::Level::INFO);
    EXPECT_THROW(log->setMinLevel(std::string("verbose")), std::invalid_argument);
    EXPECT_THROW(log->setMinLevel(std::string("")), std::invalid_argument);
    EXPECT_EQ(log->getMinLevel(), Logger::Level::INFO);
}

TEST_F(LoggerTest, RemovedCaptureNoLongerReceivesMessages) {
    std::vector<std::string> seen;
    Logger::getLogger()->setCapture(
        [&seen](Logger::Level, const std::string& text) { seen.push_back(text); });
    Logger::getLogger()->info("one");
    Logger::getLogger()->setCapture(nullptr);
    Logger::getLogger()->setMinLevel(Logger::Level::ERROR);
    Logger::getLogger()->info("two");
    EXPECT_EQ(seen, std::vector<std::string>{"one"});
}

TEST_F(LoggerTest, ConcurrentLoggingLosesNoMessage) {
    Logger::getLogger()->setMinLevel(Logger::Level::ERROR);
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i)
                Logger::getLogger()->debug("thread %d message %d", t, i);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(capture.at(Logger::Level::DEBUG).size(), 2000u);
    EXPECT_TRUE(capture.has(Logger::Level::DEBUG, "thread 3 message 499"));
}

}  // namespace
