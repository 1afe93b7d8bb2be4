#include "ServerProcess.h"

#include "DevstackCli.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

extern char** environ;

namespace ostral::devstack {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr int kStopTimeoutMs = 5000;

bool accepts(int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(socket);
    return connected;
}

// The port the server wrote to its port file, or 0 while there is none.
int readPort(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    if (!file || !std::getline(file, text)) {
        return 0;
    }
    int port = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (failure != std::errc() || end == text.data() || port <= 0 || port > 65535) {
        return 0;
    }
    return port;
}

std::string tail(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::string all = text.str();
    constexpr std::size_t kTail = 2000;
    return all.size() > kTail ? all.substr(all.size() - kTail) : all;
}

} // namespace

ServerProcess::ServerProcess(DevstackEnv env, std::vector<std::string> extraArgs)
    : env_(std::move(env))
    , extraArgs_(std::move(extraArgs)) {
    std::filesystem::path base = env_.get("OSTRAL_DEVSTACK_DIR");
    if (base.empty()) {
        base = std::filesystem::temp_directory_path();
    }
    const std::filesystem::path dir = base / "test-servers" / randomUuid().substr(0, 13);
    std::error_code failure;
    std::filesystem::create_directories(dir, failure);
    workDir_ = dir.string();
    logPath_ = (dir / "server.log").string();
}

ServerProcess::~ServerProcess() {
    if (running()) {
        stop();
    }
}

std::string ServerProcess::url() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

bool ServerProcess::start() {
    if (running()) {
        return true;
    }
    error_.clear();
    const std::string server = env_.get("OSTRAL_DEVSTACK_SERVER");
    if (server.empty()) {
        error_ = "the environment names no server (OSTRAL_DEVSTACK_SERVER)";
        return false;
    }
    const std::string portFile = workDir_ + "/server.port";
    std::error_code ignored;
    std::filesystem::remove(portFile, ignored);

    std::vector<std::string> args{server,
                                  "--pg",
                                  env_.get("OSTRAL_DEVSTACK_PG"),
                                  "--port",
                                  std::to_string(port_),
                                  "--port-file",
                                  portFile,
                                  "--jwt-secret",
                                  env_.get("OSTRAL_DEVSTACK_JWT_SECRET"),
                                  "--storage-dir",
                                  env_.get("OSTRAL_DEVSTACK_STORAGE")};
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, server.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        error_ = "could not start " + server + ": " + std::strerror(spawned);
        return false;
    }
    pid_ = pid;
    // `devstack stop` ends servers that a crashed test left behind through this file.
    std::ofstream(workDir_ + "/server.pid") << pid_ << '\n';

    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped();
            error_ = "the server exited at start; its log:\n" + tail(logPath_);
            return false;
        }
        const int bound = readPort(portFile);
        if (bound > 0 && accepts(bound)) {
            port_ = bound;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill();
    error_ = "the server did not come up within 10 s; its log:\n" + tail(logPath_);
    return false;
}

void ServerProcess::reaped() {
    pid_ = -1;
    std::error_code ignored;
    std::filesystem::remove(workDir_ + "/server.pid", ignored);
}

bool ServerProcess::waitForExit(int milliseconds) {
    for (int waited = 0; waited <= milliseconds; waited += 10) {
        int status = 0;
        const pid_t exited = waitpid(pid_, &status, WNOHANG);
        if (exited == pid_ || (exited < 0 && errno == ECHILD)) {
            reaped();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool ServerProcess::stop() {
    if (!running()) {
        return true;
    }
    ::kill(pid_, SIGTERM);
    if (waitForExit(kStopTimeoutMs)) {
        return true;
    }
    error_ = "the server did not stop within 5 s of SIGTERM and was killed";
    kill();
    return false;
}

void ServerProcess::kill() {
    if (!running()) {
        return;
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped();
}

bool ServerProcess::restart() {
    stop();
    return start();
}

} // namespace ostral::devstack
