#include <Support/Clock.h>

#include <glib.h>

namespace ostral::support {

Date SystemClock::now() const {
    return Date(std::chrono::microseconds(g_get_real_time()));
}

} // namespace ostral::support
