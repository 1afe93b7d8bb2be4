// The backend client's readers of answers: sessions, users, auth and PostgREST errors, and whole
// HTTP answers whose bodies may be truncated or not JSON at all.
#include "FuzzCheck.h"

#include <Supabase/Responses.h>
#include <Supabase/Session.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ostral::supabase;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    for (const auto now : {std::optional<double>(), std::optional<double>(1.7e9)}) {
        if (const auto session = Session::fromJsonText(text, now)) {
            FUZZ_CHECK(!session->accessToken.empty());
            FUZZ_CHECK(!session->refreshToken.empty());
            FUZZ_CHECK(!session->user.id.empty());
            FUZZ_CHECK(std::isfinite(session->expiresAt));
            (void)session->isExpired(1.7e9);
            // What we store reads back as the same session.
            const auto again = Session::fromJsonText(session->toJsonText());
            FUZZ_CHECK(again.has_value());
            FUZZ_CHECK(again->accessToken == session->accessToken);
            FUZZ_CHECK(again->refreshToken == session->refreshToken);
            FUZZ_CHECK(again->expiresAt == session->expiresAt);
            FUZZ_CHECK(again->user.id == session->user.id);
        }
    }
    (void)jwtExpiry(text);

    // The first byte picks the status of an HTTP answer, the rest is its body.
    const unsigned status = size == 0 ? 200u : 100u + static_cast<unsigned>(data[0]) * 2u;
    const std::string body(size == 0 ? text : text.substr(1));
    const HttpResponse response{status, {}, body};

    const Error auth = authError(status, body);
    FUZZ_CHECK(auth.kind == Error::Kind::api && auth.status == status);
    (void)auth.description();
    (void)isRefreshTokenRejected(auth);
    const Error rest = postgrestError(status, body);
    FUZZ_CHECK(rest.kind == Error::Kind::api && rest.status == status);
    (void)rest.description();

    const auto session = readSessionResponse(response, 1.7e9);
    FUZZ_CHECK(session.hasValue() == false || response.isSuccess());
    const auto user = readUserResponse(response);
    if (user) {
        FUZZ_CHECK(!user->id.empty());
    }
    const auto rows = readPostgrestResponse(response);
    if (rows) {
        FUZZ_CHECK(response.isSuccess());
        (void)jsonText(*rows);
    } else {
        (void)rows.error().description();
    }
    return 0;
}
