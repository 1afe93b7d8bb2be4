#include <Supabase/Error.h>

#include <fmt/format.h>

namespace ostral::supabase {

std::string Error::description() const {
    std::string text = message;
    if (text.empty()) {
        switch (kind) {
        case Kind::transport:
            text = "The backend could not be reached";
            break;
        case Kind::api:
            text = "The backend refused the request";
            break;
        case Kind::decoding:
            text = "The backend's answer could not be read";
            break;
        case Kind::sessionMissing:
            text = "Auth session missing";
            break;
        case Kind::timedOut:
            text = "The request timed out";
            break;
        case Kind::cancelled:
            text = "The request was cancelled";
            break;
        }
    }
    if (!code.empty() && status != 0) {
        return fmt::format("{} (code {}, HTTP {})", text, code, status);
    }
    if (!code.empty()) {
        return fmt::format("{} (code {})", text, code);
    }
    if (status != 0) {
        return fmt::format("{} (HTTP {})", text, status);
    }
    return text;
}

} // namespace ostral::supabase
