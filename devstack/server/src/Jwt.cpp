#include "Jwt.h"

#include <glib.h>

#include <array>
#include <cmath>
#include <ctime>
#include <vector>

namespace ostral::devstack {
namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::string_view headerText = R"({"alg":"HS256","typ":"JWT"})";

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '-') {
        return 62;
    }
    if (c == '_') {
        return 63;
    }
    return -1;
}

std::string hmacSha256(std::string_view key, std::string_view data) {
    GHmac* hmac =
        g_hmac_new(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(key.data()), key.size());
    g_hmac_update(hmac, reinterpret_cast<const guchar*>(data.data()),
                  static_cast<gssize>(data.size()));
    std::array<guint8, 32> digest{};
    gsize length = digest.size();
    g_hmac_get_digest(hmac, digest.data(), &length);
    g_hmac_unref(hmac);
    return std::string(reinterpret_cast<const char*>(digest.data()), length);
}

bool equalInConstantTime(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

Failure<JwtError> fail(JwtErrorKind kind, std::string message) {
    return Failure{JwtError{kind, std::move(message)}};
}

std::optional<nlohmann::json> jsonObject(std::string_view base64) {
    auto text = base64UrlDecode(base64);
    if (!text) {
        return std::nullopt;
    }
    auto value = nlohmann::json::parse(*text, nullptr, false);
    if (value.is_discarded() || !value.is_object()) {
        return std::nullopt;
    }
    return value;
}

std::string keyPayload(std::string_view role) {
    return std::string(R"({"iss":"ostral-devstack","ref":"127","role":")") + std::string(role) +
           R"(","iat":1765411200,"exp":2080771200})";
}

} // namespace

std::string base64UrlEncode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned n = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        out += alphabet[n >> 6 & 63];
        out += alphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
    } else if (rest == 2) {
        const unsigned n = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        out += alphabet[n >> 6 & 63];
    }
    return out;
}

std::optional<std::string> base64UrlDecode(std::string_view text) {
    if (text.size() % 4 == 1) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(text.size() * 3 / 4);
    unsigned buffer = 0;
    int bits = 0;
    for (const char c : text) {
        const int value = sextet(c);
        if (value < 0) {
            return std::nullopt;
        }
        buffer = (buffer << 6 | static_cast<unsigned>(value)) & 0xFFFFFFu;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>(buffer >> bits & 0xFF);
        }
    }
    // Leftover bits must be zero, or two encodings would decode to the same bytes.
    if (bits > 0 && (buffer & ((1u << bits) - 1)) != 0) {
        return std::nullopt;
    }
    return out;
}

std::string Jwt::signPayloadText(std::string_view payloadText, std::string_view secret) {
    std::string signingInput = base64UrlEncode(headerText) + "." + base64UrlEncode(payloadText);
    const std::string signature = hmacSha256(secret, signingInput);
    return signingInput + "." + base64UrlEncode(signature);
}

std::string Jwt::sign(const nlohmann::json& claims, std::string_view secret) {
    return signPayloadText(claims.dump(), secret);
}

Outcome<nlohmann::json, JwtError> Jwt::verify(std::string_view token, std::string_view secret,
                                              std::int64_t nowUnix) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const auto dot = token.find('.', start);
        if (dot == std::string_view::npos) {
            parts.push_back(token.substr(start));
            break;
        }
        parts.push_back(token.substr(start, dot - start));
        start = dot + 1;
    }
    if (parts.size() != 3) {
        return fail(JwtErrorKind::malformed,
                    "Expected 3 parts in JWT; got " + std::to_string(parts.size()));
    }
    const auto header = jsonObject(parts[0]);
    if (!header) {
        return fail(JwtErrorKind::malformed, "token is malformed: could not decode the header");
    }
    const auto alg = header->find("alg");
    if (alg == header->end() || !alg->is_string() || *alg != "HS256") {
        return fail(JwtErrorKind::unsupportedAlgorithm, "signing method is not HS256");
    }
    const auto signature = base64UrlDecode(parts[2]);
    const std::string signingInput =
        std::string(token.substr(0, parts[0].size() + 1 + parts[1].size()));
    if (!signature || !equalInConstantTime(*signature, hmacSha256(secret, signingInput))) {
        return fail(JwtErrorKind::badSignature, "signature is invalid");
    }
    auto claims = jsonObject(parts[1]);
    if (!claims) {
        return fail(JwtErrorKind::malformed, "token is malformed: could not decode the claims");
    }
    const double now = static_cast<double>(nowUnix);
    if (const auto exp = claims->find("exp"); exp != claims->end()) {
        if (!exp->is_number()) {
            return fail(JwtErrorKind::malformed, "token is malformed: exp is not a number");
        }
        if (exp->get<double>() <= now) {
            return fail(JwtErrorKind::expired, "JWT expired");
        }
    }
    if (const auto nbf = claims->find("nbf"); nbf != claims->end()) {
        if (!nbf->is_number()) {
            return fail(JwtErrorKind::malformed, "token is malformed: nbf is not a number");
        }
        if (nbf->get<double>() > now) {
            return fail(JwtErrorKind::notYetValid, "JWT not yet valid");
        }
    }
    return std::move(*claims);
}

Outcome<nlohmann::json, JwtError> Jwt::verify(std::string_view token, std::string_view secret) {
    return verify(token, secret, static_cast<std::int64_t>(std::time(nullptr)));
}

std::string Jwt::anonKey(std::string_view secret) {
    return signPayloadText(keyPayload("anon"), secret);
}

std::string Jwt::serviceKey(std::string_view secret) {
    return signPayloadText(keyPayload("service_role"), secret);
}

} // namespace ostral::devstack
