#include "BackendFixture.h"

#include <fmt/format.h>
#include <glib.h>

#include <algorithm>

namespace ostral::supabase::integration {

void BackendTest::SetUp() {
    env_ = ostral::devstack::DevstackEnv::load();
    ASSERT_TRUE(env_) << "OSTRAL_DEVSTACK_ENV does not name a readable env file";
    url_ = env_->get("OSTRAL_DEVSTACK_URL");
    anonKey_ = env_->get("OSTRAL_DEVSTACK_ANON_KEY");
    ASSERT_FALSE(url_.empty());
    ASSERT_FALSE(anonKey_.empty());
    runId_ = ostral::devstack::randomUuid().substr(0, 8);
}

std::string BackendTest::emailOf(const std::string& label) const {
    return fmt::format("{}-{}@client-core.test", label, runId_);
}

std::optional<std::string> BackendTest::devstack(const std::vector<std::string>& arguments) {
    const ostral::devstack::CommandResult result = ostral::devstack::runDevstack(*env_, arguments);
    if (!result.ok()) {
        ADD_FAILURE() << "devstack " << arguments.front() << " failed: " << result.standardError;
        return std::nullopt;
    }
    std::string text = result.standardOutput;
    text.erase(text.find_last_not_of(" \n\r\t") + 1);
    return text;
}

std::string BackendTest::addUser(const std::string& label, const std::string& password,
                                 bool withRole) {
    std::vector<std::string> arguments{"add-user", emailOf(label), password};
    if (!withRole) {
        arguments.push_back("--no-role");
    }
    std::string text = devstack(arguments).value_or("");
    // The id is the last line of what the command prints.
    text = text.substr(text.find_last_of('\n') + 1);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return g_ascii_tolower(c); });
    return text;
}

std::shared_ptr<Client> BackendTest::makeClient(std::shared_ptr<SessionStore> store) {
    ClientOptions options;
    options.auth.sessionStore = store ? std::move(store) : std::make_shared<MemorySessionStore>();
    return Client::create(url_, anonKey_, options);
}

std::shared_ptr<Client> BackendTest::signedIn(const std::string& email,
                                              const std::string& password) {
    auto client = makeClient();
    const auto session = await(client->auth().signIn(email, password));
    EXPECT_TRUE(session && *session)
        << (session && !*session ? session->error().description() : std::string("no answer"));
    return client;
}

} // namespace ostral::supabase::integration
