#include "ServerFixture.h"

#include <gtest/gtest.h>
#include <libsoup/soup.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <random>
#include <thread>

namespace ostral::devstack::testing {
namespace {

std::string lowerCase(std::string text) {
    for (auto& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

void collectHeader(const char* name, const char* value, gpointer data) {
    (*static_cast<std::map<std::string, std::string>*>(data))[lowerCase(name)] = value;
}

} // namespace

nlohmann::json HttpResult::json() const {
    return nlohmann::json::parse(body, nullptr, false);
}

std::string HttpResult::header(const std::string& lowerName) const {
    const auto found = headers.find(lowerName);
    return found == headers.end() ? std::string() : found->second;
}

HttpResult httpRequest(const std::string& method, const std::string& url, const Headers& headers,
                       const std::string& body) {
    HttpResult result;
    SoupSession* session = soup_session_new();
    soup_session_set_timeout(session, 20);
    SoupMessage* message = soup_message_new(method.c_str(), url.c_str());
    if (message == nullptr) {
        ADD_FAILURE() << "bad URL " << url;
        g_object_unref(session);
        return result;
    }
    SoupMessageHeaders* requestHeaders = soup_message_get_request_headers(message);
    for (const auto& [name, value] : headers) {
        soup_message_headers_append(requestHeaders, name.c_str(), value.c_str());
    }
    if (!body.empty() || method == "POST" || method == "PATCH") {
        GBytes* bytes = g_bytes_new(body.data(), body.size());
        soup_message_set_request_body_from_bytes(message, "application/json", bytes);
        g_bytes_unref(bytes);
    }
    GError* error = nullptr;
    GBytes* response = soup_session_send_and_read(session, message, nullptr, &error);
    if (response == nullptr) {
        ADD_FAILURE() << method << " " << url << ": " << (error ? error->message : "failed");
        g_clear_error(&error);
    } else {
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(response, &size));
        result.body.assign(data != nullptr ? data : "", size);
        g_bytes_unref(response);
        result.status = static_cast<int>(soup_message_get_status(message));
        soup_message_headers_foreach(soup_message_get_response_headers(message), collectHeader,
                                     &result.headers);
    }
    g_object_unref(message);
    g_object_unref(session);
    return result;
}

std::string rawExchange(int port, const std::string& bytes, int timeoutMs) {
    GError* error = nullptr;
    GSocket* socket =
        g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, &error);
    if (socket == nullptr) {
        ADD_FAILURE() << error->message;
        g_clear_error(&error);
        return {};
    }
    GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
    GSocketAddress* address = g_inet_socket_address_new(loopback, static_cast<guint16>(port));
    std::string answer;
    if (!g_socket_connect(socket, address, nullptr, &error)) {
        ADD_FAILURE() << error->message;
        g_clear_error(&error);
    } else {
        g_socket_set_timeout(socket, static_cast<guint>((timeoutMs + 999) / 1000));
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const gssize wrote =
                g_socket_send(socket, bytes.data() + sent, bytes.size() - sent, nullptr, &error);
            if (wrote <= 0) {
                // The server may close early (for example after refusing a large body).
                g_clear_error(&error);
                break;
            }
            sent += static_cast<std::size_t>(wrote);
        }
        char buffer[4096];
        while (true) {
            const gssize got = g_socket_receive(socket, buffer, sizeof buffer, nullptr, &error);
            if (got <= 0) {
                g_clear_error(&error);
                break;
            }
            answer.append(buffer, static_cast<std::size_t>(got));
        }
    }
    g_object_unref(address);
    g_object_unref(loopback);
    g_object_unref(socket);
    return answer;
}

std::unique_ptr<ServerProcess> ServerProcess::start(const DevstackEnv& env,
                                                    const std::vector<std::string>& extra) {
    auto process = std::unique_ptr<ServerProcess>(new ServerProcess());
    char* work = g_dir_make_tmp("devstack-server-test-XXXXXX", nullptr);
    if (work == nullptr) {
        ADD_FAILURE() << "no temporary folder";
        return nullptr;
    }
    process->workDir_ = work;
    g_free(work);
    process->storageDir_ = process->workDir_ + "/storage";
    g_mkdir_with_parents(process->storageDir_.c_str(), 0700);
    const std::string portFile = process->workDir_ + "/port";

    std::vector<std::string> arguments = {env.get("OSTRAL_DEVSTACK_SERVER"),
                                          "--pg",
                                          env.get("OSTRAL_DEVSTACK_PG"),
                                          "--port",
                                          "0",
                                          "--port-file",
                                          portFile,
                                          "--jwt-secret",
                                          env.get("OSTRAL_DEVSTACK_JWT_SECRET"),
                                          "--storage-dir",
                                          process->storageDir_};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::vector<const char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);
    GError* error = nullptr;
    const std::string log = process->workDir_ + "/server.log";
    GSubprocessLauncher* launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE);
    g_subprocess_launcher_set_stderr_file_path(launcher, log.c_str());
    process->process_ = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
    g_object_unref(launcher);
    if (process->process_ == nullptr) {
        ADD_FAILURE() << "cannot start the server: " << error->message;
        g_clear_error(&error);
        return nullptr;
    }
    for (int attempt = 0; attempt < 400; ++attempt) {
        std::ifstream file(portFile);
        int port = 0;
        if (file >> port && port > 0) {
            process->port_ = port;
            process->url_ = "http://127.0.0.1:" + std::to_string(port);
            return process;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ADD_FAILURE() << "the server did not write its port file (log " << log << ")";
    return nullptr;
}

int ServerProcess::stop() {
    if (process_ == nullptr) {
        return -1;
    }
    g_subprocess_send_signal(process_, SIGTERM);
    // GLib reaps the child on its worker thread; the identifier goes away once it has exited.
    for (int attempt = 0; attempt < 300 && g_subprocess_get_identifier(process_) != nullptr;
         ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool killed = g_subprocess_get_identifier(process_) != nullptr;
    if (killed) {
        g_subprocess_force_exit(process_);
    }
    g_subprocess_wait(process_, nullptr, nullptr);
    const int status = !killed && g_subprocess_get_if_exited(process_)
                           ? g_subprocess_get_exit_status(process_)
                           : -1;
    g_clear_object(&process_);
    return status;
}

ServerProcess::~ServerProcess() {
    stop();
    if (!workDir_.empty() && !::testing::Test::HasFailure()) {
        gchar* quoted = g_shell_quote(workDir_.c_str());
        const std::string command = std::string("rm -rf ") + quoted;
        g_free(quoted);
        g_spawn_command_line_sync(command.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
}

std::unique_ptr<ServerTest> ServerTest::create(const std::vector<std::string>& extra) {
    auto env = DevstackEnv::load();
    if (!env) {
        ADD_FAILURE() << "OSTRAL_DEVSTACK_ENV names no readable environment file";
        return nullptr;
    }
    auto test = std::make_unique<ServerTest>();
    test->env = *env;
    auto db = Db::connect(env->get("OSTRAL_DEVSTACK_PG"));
    if (!db) {
        ADD_FAILURE() << "cannot connect: " << db.error().message;
        return nullptr;
    }
    test->db = std::move(db).value();
    std::random_device random;
    test->suffix = std::to_string(getpid()) + "_" + std::to_string(random() % 100000);
    test->server = ServerProcess::start(*env, extra);
    if (!test->server) {
        return nullptr;
    }
    return test;
}

ServerTest::~ServerTest() {
    server.reset();
    for (auto it = cleanup_.rbegin(); it != cleanup_.rend(); ++it) {
        if (db) {
            (void)db->exec(*it);
        }
    }
}

DbRows ServerTest::sql(const std::string& text, const DbParams& params) {
    auto rows = db->exec(text, params);
    if (!rows) {
        ADD_FAILURE() << text << ": " << rows.error().message;
        return {};
    }
    return std::move(rows).value();
}

void ServerTest::atEnd(std::string text) {
    cleanup_.push_back(std::move(text));
}

std::string ServerTest::makeUser(const std::string& email, const std::string& password) {
    auto rows = sql("INSERT INTO auth.users (email, encrypted_password) VALUES (lower($1), "
                    "crypt($2, gen_salt('bf', 4))) RETURNING id::text",
                    {email, password});
    std::string id = rows.rows.empty() ? std::string() : rows.rows[0][0].value_or("");
    atEnd("DELETE FROM auth.users WHERE id = '" + id + "'");
    return id;
}

HttpResult ServerTest::call(const std::string& method, const std::string& pathAndQuery,
                            const std::optional<std::string>& bearer, const std::string& body,
                            const Headers& extra) {
    Headers headers = {{"apikey", anonKey()}};
    if (bearer) {
        headers.emplace_back("Authorization", "Bearer " + *bearer);
    }
    headers.insert(headers.end(), extra.begin(), extra.end());
    return httpRequest(method, server->url() + pathAndQuery, headers, body);
}

} // namespace ostral::devstack::testing
