#include <Support/Log.h>

#include <glib.h>

#include <atomic>

namespace ostral::support {
namespace {

std::mutex sinkMutex;
std::shared_ptr<LogSink> installedSink;
// Read without the lock on every line, so that logging to GLib costs no mutex.
std::atomic<bool> sinkInstalled{false};

std::shared_ptr<LogSink> currentSink() {
    if (!sinkInstalled.load(std::memory_order_acquire)) {
        return nullptr;
    }
    const std::lock_guard lock(sinkMutex);
    return installedSink;
}

GLogLevelFlags glibLevel(LogLevel level) {
    switch (level) {
    case LogLevel::debug:
        return G_LOG_LEVEL_DEBUG;
    case LogLevel::info:
        return G_LOG_LEVEL_INFO;
    case LogLevel::notice:
        return G_LOG_LEVEL_MESSAGE;
    case LogLevel::error:
        return G_LOG_LEVEL_WARNING;
    }
    return G_LOG_LEVEL_MESSAGE;
}

// Syslog priorities, as the journal expects them.
const char* priority(LogLevel level) {
    switch (level) {
    case LogLevel::debug:
        return "7";
    case LogLevel::info:
        return "6";
    case LogLevel::notice:
        return "5";
    case LogLevel::error:
        return "3";
    }
    return "5";
}

GLogField field(const char* key, std::string_view value) {
    return GLogField{key, value.data(), static_cast<gssize>(value.size())};
}

} // namespace

std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink) {
    const std::lock_guard lock(sinkMutex);
    sinkInstalled.store(sink != nullptr, std::memory_order_release);
    return std::exchange(installedSink, std::move(sink));
}

void CapturingLogSink::write(const LogEntry& entry) {
    const std::lock_guard lock(mutex_);
    entries_.push_back(entry);
}

std::vector<LogEntry> CapturingLogSink::entries() const {
    const std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::string> CapturingLogSink::messages() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> messages;
    messages.reserve(entries_.size());
    for (const auto& entry : entries_) {
        messages.push_back(entry.message);
    }
    return messages;
}

bool CapturingLogSink::contains(std::string_view text) const {
    const std::lock_guard lock(mutex_);
    for (const auto& entry : entries_) {
        if (entry.message.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void CapturingLogSink::clear() {
    const std::lock_guard lock(mutex_);
    entries_.clear();
}

LogCapture::LogCapture()
    : sink_(std::make_shared<CapturingLogSink>())
    , previous_(setLogSink(sink_)) {}

LogCapture::~LogCapture() {
    setLogSink(std::move(previous_));
}

Logger::Logger(std::string_view subsystem, std::string_view category)
    : subsystem_(subsystem)
    , category_(category) {}

bool Logger::isEnabled(LogLevel level) const {
    if (level == LogLevel::notice || level == LogLevel::error) {
        return true;
    }
    if (sinkInstalled.load(std::memory_order_acquire)) {
        return true;
    }
    return !g_log_writer_default_would_drop(glibLevel(level), subsystem_.c_str());
}

void Logger::write(LogLevel level, std::string message) const {
    if (const auto sink = currentSink()) {
        sink->write(LogEntry{level, subsystem_, category_, std::move(message)});
        return;
    }
    const GLogField fields[] = {
        field("MESSAGE", message),        field("PRIORITY", priority(level)),
        field("GLIB_DOMAIN", subsystem_), field("SUBSYSTEM", subsystem_),
        field("CATEGORY", category_),
    };
    g_log_structured_array(glibLevel(level), fields, G_N_ELEMENTS(fields));
}

} // namespace ostral::support
