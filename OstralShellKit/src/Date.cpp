#include <OstralShellKit/Date.h>

#include <glib.h>

namespace ostral {

std::string isoTimestamp(Date date) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(date).time_since_epoch().count();
    GDateTime* utc = g_date_time_new_from_unix_utc(seconds);
    if (utc == nullptr) {
        return {};
    }
    gchar* text = g_date_time_format(utc, "%Y-%m-%dT%H:%M:%SZ");
    std::string result = text != nullptr ? text : "";
    g_free(text);
    g_date_time_unref(utc);
    return result;
}

} // namespace ostral
