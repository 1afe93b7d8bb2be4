#pragma once

#include <Support/GObjectPtr.h>

#include <libsoup/soup.h>

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace ostral::supabase::testing {

// A token with the given claims in the form of a JSON Web Token (the signature is not real).
std::string fakeJwt(const nlohmann::json& claims);

// An auth service and a table endpoint on a loopback port, inside the test process, that
// behave as far as the client's tests need: password and refresh-token grants with rotating
// refresh tokens, GET /user, POST /logout, and GET /rest/v1/<table> answering [].
class FakeAuthServer {
public:
    enum class RefreshReply { rotate, reject, serverError };

    struct Request {
        std::string method;
        std::string path;
        std::string query;
        std::map<std::string, std::string> headers;
        std::string body;
    };

    // `now` gives the current time in seconds since 1970, for the tokens' expiry.
    explicit FakeAuthServer(std::function<double()> now);
    ~FakeAuthServer();

    std::string url() const { return url_; }
    // Closes the listening socket: later requests find nobody.
    void stop();

    // A session this server will accept the refresh token of.
    nlohmann::json issueSession(double lifetimeSeconds = 3600);

    std::string email = "staff@example.com";
    std::string password = "correct horse";
    std::string userId = "7d0c1b9e-4a51-4f43-9d2e-2b7c6f0f9a11";
    RefreshReply refreshReply = RefreshReply::rotate;
    std::string rejectCode = "refresh_token_not_found";
    unsigned logoutStatus = 204;
    std::vector<Request> requests;

    int count(const std::string& method, const std::string& path) const;

private:
    static void handle(SoupServer* server, SoupServerMessage* message, const char* path,
                       GHashTable* query, gpointer self);
    void answer(SoupServerMessage* message, const Request& request);

    std::function<double()> now_;
    support::GObjectPtr<SoupServer> server_;
    std::string url_;
    int issued_ = 0;
    std::set<std::string> refreshTokens_;
};

} // namespace ostral::supabase::testing
