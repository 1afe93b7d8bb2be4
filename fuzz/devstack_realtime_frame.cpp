// Frames a Realtime client sends to the local backend. The first byte picks the serializer; the
// rest is the frame. A frame that decodes must survive encoding and decoding unchanged, and any
// frame, fed to a session with joined channels, must be answered or dropped without harm.
#include "FuzzCheck.h"
#include "Jwt.h"
#include "RealtimeFrame.h"
#include "RealtimeSession.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

using namespace ostral::devstack;

constexpr std::string_view secret = "fuzz-secret";
constexpr std::int64_t now = 1'800'000'000;

const RealtimeCatalog& catalog() {
    static const RealtimeCatalog tables{{
        {"public",
         "live_call_acks",
         {{"id", "uuid"}, {"call_id", "uuid"}, {"user_id", "uuid"}, {"created_at", "timestamptz"}},
         {"id"}},
        {"public", "counters", {{"id", "int8"}, {"flag", "bool"}, {"name", "text"}}, {"id"}},
    }};
    return tables;
}

RealtimeSession makeSession(RealtimeVsn vsn, std::size_t& sentBytes) {
    auto apiKey = verifyRealtimeToken(Jwt::sign({{"role", "anon"}, {"exp", now + 1000}}, secret),
                                      secret, now);
    FUZZ_CHECK(apiKey.hasValue());
    RealtimeSessionHooks hooks;
    hooks.send = [&sentBytes](const std::string& frame) {
        FUZZ_CHECK(!frame.empty());
        sentBytes += frame.size();
    };
    hooks.nowUnix = [] { return now; };
    hooks.joined = [](const std::string&, std::uint64_t) {};
    hooks.rowVisible = [](const RealtimeClaims&, const RealtimeTable&,
                          const std::vector<std::string>&) { return true; };
    hooks.log = [](const std::string&) {};
    return RealtimeSession(vsn, std::move(apiKey).value(), std::string(secret), catalog(),
                           std::move(hooks));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const RealtimeVsn vsn = (data[0] & 1) != 0 ? RealtimeVsn::v2 : RealtimeVsn::v1;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    const auto message = decodePhoenixFrame(text, vsn);
    if (message) {
        auto again = decodePhoenixFrame(encodePhoenixFrame(*message, vsn), vsn);
        FUZZ_CHECK(again.hasValue());
        if (vsn == RealtimeVsn::v1) {
            // 1.0.0 frames from the server carry no join_ref.
            auto expected = *message;
            expected.joinRef.reset();
            FUZZ_CHECK(*again == expected);
        } else {
            FUZZ_CHECK(*again == *message);
        }
    }

    std::size_t sentBytes = 0;
    auto session = makeSession(vsn, sentBytes);
    session.receive(text);
    // The same frame once more, now perhaps on a joined channel, then a change for it.
    session.receive(text);
    const auto change = parseRealtimeNotification(
        R"({"schema":"public","table":"live_call_acks","type":"INSERT",)"
        R"("commit_timestamp":"2026-12-11T10:00:00.000Z","record":{"id":)"
        R"("a0000000-0000-4000-8000-000000000001","user_id":"0b5c9f3e-8d2a-4c61-9a7e-2f1d3c4b5a6e"}})");
    FUZZ_CHECK(change.hasValue());
    session.deliver(*change);
    const std::size_t before = sentBytes;
    session.receive(R"([null,"1","phoenix","heartbeat",{}])");
    session.receive(R"({"topic":"phoenix","event":"heartbeat","payload":{},"ref":"1"})");
    FUZZ_CHECK(sentBytes > before);
    return 0;
}
