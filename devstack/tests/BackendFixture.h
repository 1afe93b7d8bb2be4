#pragma once

#include "DevstackCli.h"
#include "DevstackEnv.h"
#include "PgConnection.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace ostral::devstack {

// Tests against the running local backend: its environment and a connection as postgres.
// Another test binary may be using the same database at the same time, so every test works on
// rows it made itself.
class BackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto loaded = DevstackEnv::load();
        ASSERT_TRUE(loaded) << "OSTRAL_DEVSTACK_ENV must name the env file of a running backend";
        env = *loaded;
        pg.emplace(env);
        ASSERT_TRUE(pg->isOpen()) << pg->error();
    }

    // Runs a statement that must succeed and returns its rows.
    PgResult mustExec(std::string_view sql,
                      const std::vector<std::optional<std::string>>& params = {}) {
        PgResult result = pg->exec(sql, params);
        EXPECT_TRUE(result.ok()) << sql << "\n" << result.error;
        return result;
    }

    TestUser newUser(std::string_view prefix, const TestUserOptions& options = {}) {
        std::string error;
        auto user = makeUser(env, prefix, options, &error);
        EXPECT_TRUE(user) << error;
        return user.value_or(TestUser{});
    }

    // A call row that rings now, on a line no desk answers.
    std::string insertCall(const std::string& extraColumns = "",
                           const std::string& extraValues = "") {
        const std::string sql = "INSERT INTO live_calls (line, caller_number" + extraColumns +
                                ") VALUES ('devstack-test', '+15555550100'" + extraValues +
                                ") RETURNING id";
        return mustExec(sql).value(0, 0).value_or("");
    }

    DevstackEnv env;
    std::optional<PgConnection> pg;
};

} // namespace ostral::devstack
