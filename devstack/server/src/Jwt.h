#pragma once

#include "Outcome.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace ostral::devstack {

// base64url without padding, as JWTs use it. Decoding refuses characters outside the alphabet,
// padding and a dangling sixth bit group.
std::string base64UrlEncode(std::string_view bytes);
std::optional<std::string> base64UrlDecode(std::string_view text);

enum class JwtErrorKind {
    malformed,            // not three parts, bad base64url, header or payload not a JSON object
    unsupportedAlgorithm, // header alg is not HS256
    badSignature,
    expired,     // exp is at or before now
    notYetValid, // nbf is after now
};

struct JwtError {
    JwtErrorKind kind;
    std::string message; // English text for logs and error bodies
};

// HS256 tokens with the header text {"alg":"HS256","typ":"JWT"}.
class Jwt {
public:
    // Signs the payload text exactly as given (the fixed API keys depend on its bytes).
    static std::string signPayloadText(std::string_view payloadText, std::string_view secret);
    static std::string sign(const nlohmann::json& claims, std::string_view secret);

    // The claims of a token signed with `secret`, checked against exp and nbf at `nowUnix`.
    static Outcome<nlohmann::json, JwtError> verify(std::string_view token, std::string_view secret,
                                                    std::int64_t nowUnix);
    // The same at the current wall-clock time.
    static Outcome<nlohmann::json, JwtError> verify(std::string_view token,
                                                    std::string_view secret);

    // The fixed keys of the local backend: role "anon" and "service_role".
    static std::string anonKey(std::string_view secret);
    static std::string serviceKey(std::string_view secret);
};

} // namespace ostral::devstack
