#pragma once

#include "DevstackEnv.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace ostral::devstack {

// A devstack server of a test's own, on the running backend's database, for tests that stop,
// kill or restart a server (never the shared one). It logs to a file of its own; destroying it
// stops the process.
class ServerProcess {
public:
    // `extraArgs` are passed on, e.g. {"--confirm-delay-ms", "500"}.
    explicit ServerProcess(DevstackEnv env, std::vector<std::string> extraArgs = {});
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess();

    // Starts on a free port (or on the port of the previous run after a stop or kill) and waits
    // until it accepts connections. false with error() when it did not come up within 10 s.
    bool start();
    // SIGTERM, then waits for the exit (SIGKILL after 5 s). True when it ended by itself.
    bool stop();
    // SIGKILL and reaps it: the server dies without closing its connections.
    void kill();
    // stop() then start() on the same port.
    bool restart();

    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    std::string url() const;
    const std::string& error() const { return error_; }
    const std::string& logPath() const { return logPath_; }

private:
    bool waitForExit(int milliseconds);
    void reaped();

    DevstackEnv env_;
    std::vector<std::string> extraArgs_;
    std::string workDir_;
    std::string logPath_;
    std::string error_;
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace ostral::devstack
