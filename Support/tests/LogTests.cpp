#include <Support/Log.h>

#include <glib.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

namespace ostral::support {
namespace {

TEST(Logger, FormatsWithFmtAndCapturesLevelSubsystemAndCategory) {
    const LogCapture log;
    const Logger calls(kAppSubsystem, "calls");
    calls.notice("status subscribed={}", true);
    calls.info("output lines=[{}] listener={}", "a, b", false);
    calls.error("ack insert failed: {} ({})", "duplicate", 23505);
    Logger("com.example.other", "updates").debug("age={}", -3L);

    EXPECT_EQ(
        log.entries(),
        (std::vector<LogEntry>{
            {LogLevel::notice, "com.ostral.admin", "calls", "status subscribed=true"},
            {LogLevel::info, "com.ostral.admin", "calls", "output lines=[a, b] listener=false"},
            {LogLevel::error, "com.ostral.admin", "calls", "ack insert failed: duplicate (23505)"},
            {LogLevel::debug, "com.example.other", "updates", "age=-3"},
        }));
    EXPECT_TRUE(log.contains("listener=false"));
    EXPECT_FALSE(log.contains("listener=true"));
}

TEST(Logger, CapturesNestAndRestoreTheOuterOne) {
    const Logger logger(kAppSubsystem, "app");
    const LogCapture outer;
    logger.notice("one");
    {
        const LogCapture inner;
        logger.notice("two");
        EXPECT_EQ(inner.messages(), (std::vector<std::string>{"two"}));
    }
    logger.notice("three");
    EXPECT_EQ(outer.messages(), (std::vector<std::string>{"one", "three"}));
}

TEST(Logger, CapturesLinesFromSeveralThreadsAtOnce) {
    const LogCapture log;
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const Logger logger(kAppSubsystem, "dock-drop");
            for (int i = 0; i < 500; ++i) {
                logger.info("thread {} line {}", t, i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(log.entries().size(), 2000u);
    EXPECT_TRUE(log.contains("thread 3 line 499"));
}

// The fields of the lines that reached GLib's writer for our subsystem.
std::vector<std::map<std::string, std::string>> written;

GLogWriterOutput recordingWriter(GLogLevelFlags level, const GLogField* fields, gsize count,
                                 gpointer) {
    std::map<std::string, std::string> line;
    for (gsize i = 0; i < count; ++i) {
        const auto* value = static_cast<const char*>(fields[i].value);
        line[fields[i].key] = fields[i].length < 0
                                  ? std::string(value)
                                  : std::string(value, static_cast<std::size_t>(fields[i].length));
    }
    if (line["SUBSYSTEM"] != "com.ostral.test") {
        return g_log_writer_default(level, fields, count, nullptr);
    }
    written.push_back(line);
    return G_LOG_WRITER_HANDLED;
}

TEST(Logger, WritesStructuredFieldsToGLibAndDropsDebugLevelsUnlessEnabled) {
    // GLib accepts one writer per process; this is the only test that installs one.
    g_log_set_writer_func(&recordingWriter, nullptr, nullptr);
    const Logger logger("com.ostral.test", "presence");

    g_log_set_debug_enabled(FALSE);
    logger.info("dropped {}", 1);
    logger.notice("beat status={}", "online");
    logger.error("presence write failed: {}", "timeout");
    g_log_set_debug_enabled(TRUE);
    logger.info("kept {}", 2);
    g_log_set_debug_enabled(FALSE);

    ASSERT_EQ(written.size(), 3u);
    const std::map<std::string, std::string> notice = {
        {"MESSAGE", "beat status=online"},  {"PRIORITY", "5"},
        {"GLIB_DOMAIN", "com.ostral.test"}, {"SUBSYSTEM", "com.ostral.test"},
        {"CATEGORY", "presence"},
    };
    EXPECT_EQ(written[0], notice);
    EXPECT_EQ(written[1]["MESSAGE"], "presence write failed: timeout");
    EXPECT_EQ(written[1]["PRIORITY"], "3");
    EXPECT_EQ(written[2]["MESSAGE"], "kept 2");
    EXPECT_EQ(written[2]["PRIORITY"], "6");
}

} // namespace
} // namespace ostral::support
