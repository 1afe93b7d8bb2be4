#include "BackendFixture.h"
#include "ServerProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ostral::devstack {
namespace {

bool accepts(int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(socket);
    return connected;
}

class ServerProcessTest : public BackendTest {};

TEST_F(ServerProcessTest, StartsKillsAndRestartsOnTheSamePort) {
    if (env.get("OSTRAL_DEVSTACK_SERVER").empty()) {
        GTEST_SKIP() << "the backend runs without a server";
    }
    ServerProcess server(env);
    ASSERT_TRUE(server.start()) << server.error();
    const int port = server.port();
    ASSERT_GT(port, 0);
    EXPECT_EQ(server.url(), "http://127.0.0.1:" + std::to_string(port));
    EXPECT_NE(env.get("OSTRAL_DEVSTACK_URL"), server.url());
    EXPECT_TRUE(accepts(port));

    server.kill();
    EXPECT_FALSE(server.running());
    EXPECT_FALSE(accepts(port));

    ASSERT_TRUE(server.start()) << server.error();
    EXPECT_EQ(server.port(), port);

    ASSERT_TRUE(server.restart()) << server.error();
    EXPECT_EQ(server.port(), port);
    EXPECT_TRUE(accepts(port));

    EXPECT_TRUE(server.stop()) << server.error();
    EXPECT_FALSE(accepts(port));
}

TEST_F(ServerProcessTest, AServerThatCannotStartSaysWhy) {
    DevstackEnv broken = env;
    broken.values["OSTRAL_DEVSTACK_SERVER"] = "/nonexistent/ostral-devstack-server";
    ServerProcess server(broken);
    EXPECT_FALSE(server.start());
    EXPECT_NE(server.error().find("/nonexistent/ostral-devstack-server"), std::string::npos)
        << server.error();
}

} // namespace
} // namespace ostral::devstack
