#pragma once

#include <fmt/format.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ostral::support {

// The application's id, the subsystem of every log line the shell writes.
inline constexpr std::string_view kAppSubsystem = "com.ostral.admin";

enum class LogLevel {
    debug,
    info,
    // The default level: always recorded.
    notice,
    // Failures (a backend call that failed, a platform service that is missing).
    error,
};

struct LogEntry {
    LogLevel level = LogLevel::notice;
    std::string subsystem;
    std::string category;
    std::string message;

    bool operator==(const LogEntry&) const = default;
};

// Where log lines go instead of GLib while it is installed (see LogCapture). write() may be called
// from any thread, at the same time from several.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogEntry& entry) = 0;
};

// Sends every Logger's lines to `sink` (nullptr: back to GLib) and returns the sink it replaces.
std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink);

// Keeps log lines in memory, for tests. Thread-safe.
class CapturingLogSink final : public LogSink {
public:
    void write(const LogEntry& entry) override;

    std::vector<LogEntry> entries() const;
    std::vector<std::string> messages() const;
    // Whether some captured message contains `text`.
    bool contains(std::string_view text) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
};

// Redirects every Logger of the process into memory while it lives, then restores the previous
// destination. Captures nest: the innermost one receives the lines.
//
//     LogCapture log;
//     center.acknowledge(id);
//     EXPECT_TRUE(log.contains("ack local 3f2a9c1d via=panel"));
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogEntry> entries() const { return sink_->entries(); }
    std::vector<std::string> messages() const { return sink_->messages(); }
    bool contains(std::string_view text) const { return sink_->contains(text); }
    void clear() { sink_->clear(); }

private:
    std::shared_ptr<CapturingLogSink> sink_;
    std::shared_ptr<LogSink> previous_;
};

// Writes structured log lines for one subsystem and category:
//
//     const Logger log_{kAppSubsystem, "calls"};
//     log_.notice("status subscribed={}", subscribed);   // bool prints true/false
//     log_.error("ack insert failed: {}", message);
//
// Lines go to GLib's structured log (g_log_structured_array) with the fields MESSAGE, PRIORITY,
// GLIB_DOMAIN (the subsystem), SUBSYSTEM and CATEGORY; GLib's writer sends them to the journal
// when there is one and to stderr otherwise. As with GLib's own debug and info messages, those
// two levels are written only when G_MESSAGES_DEBUG names the subsystem (or "all"), and then they
// are not even formatted. Failures are logged as GLib warnings with PRIORITY 3 (err): GLib's
// critical and error levels mean programming errors and may abort.
//
// Safe to call from any thread; never used on the audio render thread. Keep one per object (it
// holds its two names as strings) rather than building one for each line.
class Logger {
public:
    Logger(std::string_view subsystem, std::string_view category);

    template <typename... Args>
    void debug(fmt::format_string<Args...> format, Args&&... args) const {
        log(LogLevel::debug, format, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void info(fmt::format_string<Args...> format, Args&&... args) const {
        log(LogLevel::info, format, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void notice(fmt::format_string<Args...> format, Args&&... args) const {
        log(LogLevel::notice, format, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void error(fmt::format_string<Args...> format, Args&&... args) const {
        log(LogLevel::error, format, std::forward<Args>(args)...);
    }

    bool isEnabled(LogLevel level) const;
    void write(LogLevel level, std::string message) const;

    const std::string& subsystem() const noexcept { return subsystem_; }
    const std::string& category() const noexcept { return category_; }

private:
    template <typename... Args>
    void log(LogLevel level, fmt::format_string<Args...> format, Args&&... args) const {
        if (isEnabled(level)) {
            write(level, fmt::format(format, std::forward<Args>(args)...));
        }
    }

    std::string subsystem_;
    std::string category_;
};

} // namespace ostral::support
