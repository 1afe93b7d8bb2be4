#include "Await.h"
#include "PrivateServices.h"

#include <Supabase/SessionStore.h>
#include <Support/Log.h>
#include <Support/MainContext.h>

#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <string>

namespace ostral::supabase {
namespace {

using testing::await;
using testing::PrivateSessionBus;
using testing::TempDir;

constexpr const char* kKey = "sb-127-auth-token";

struct FileFacts {
    bool exists = false;
    unsigned mode = 0;
    ino_t inode = 0;
};

FileFacts facts(const std::string& path) {
    GStatBuf info;
    if (g_stat(path.c_str(), &info) != 0) {
        return {};
    }
    return {true, static_cast<unsigned>(info.st_mode & 0777), info.st_ino};
}

// Stores, reads back, replaces and removes a value: what every store must do alike.
void exerciseStore(SessionStore& store) {
    EXPECT_EQ(await(store.load(kKey))->value(), std::nullopt);
    ASSERT_TRUE(await(store.store(kKey, R"({"access_token":"one"})"))->hasValue());
    EXPECT_EQ(await(store.load(kKey))->value(), R"({"access_token":"one"})");
    ASSERT_TRUE(await(store.store(kKey, R"({"access_token":"two"})"))->hasValue());
    EXPECT_EQ(await(store.load(kKey))->value(), R"({"access_token":"two"})");
    EXPECT_EQ(await(store.load("another-key"))->value(), std::nullopt);
    ASSERT_TRUE(await(store.remove(kKey))->hasValue());
    EXPECT_EQ(await(store.load(kKey))->value(), std::nullopt);
    EXPECT_TRUE(await(store.remove(kKey))->hasValue()) << "removing nothing succeeds";
}

class SessionStoreTest : public ::testing::Test {
protected:
    support::ThreadDefaultContext context_;
    TempDir dir_;
};

TEST_F(SessionStoreTest, TheFileStoreWritesPrivateFilesByRenaming) {
    const std::string directory = dir_.path() + "/state/ostral-admin";
    FileSessionStore store(directory);
    exerciseStore(store);

    ASSERT_TRUE(await(store.store(kKey, "first"))->hasValue());
    const std::string path = store.pathFor(kKey);
    EXPECT_EQ(path, directory + "/sb-127-auth-token.json");
    EXPECT_EQ(facts(directory).mode, 0700u);
    const FileFacts first = facts(path);
    EXPECT_EQ(first.mode, 0600u);

    ASSERT_TRUE(await(store.store(kKey, "second"))->hasValue());
    const FileFacts second = facts(path);
    EXPECT_EQ(second.mode, 0600u);
    EXPECT_NE(second.inode, first.inode) << "a new file replaces the old one in one rename";

    // A file that someone made readable to others is replaced by a private one, and a
    // directory opened up is closed again.
    g_chmod(path.c_str(), 0644);
    g_chmod(directory.c_str(), 0755);
    ASSERT_TRUE(await(store.store(kKey, "third"))->hasValue());
    EXPECT_EQ(facts(path).mode, 0600u);
    EXPECT_EQ(facts(directory).mode, 0700u);

    GDir* listing = g_dir_open(directory.c_str(), 0, nullptr);
    int entries = 0;
    while (g_dir_read_name(listing) != nullptr) {
        ++entries;
    }
    g_dir_close(listing);
    EXPECT_EQ(entries, 1) << "no temporary file is left behind";
}

TEST_F(SessionStoreTest, TheFileStoreEscapesKeysIntoPlainFileNames) {
    FileSessionStore store(dir_.path());
    EXPECT_EQ(store.pathFor("../../etc/passwd"),
              dir_.path() + "/%2E%2E%2F%2E%2E%2Fetc%2Fpasswd.json");
    EXPECT_EQ(store.pathFor(""), dir_.path() + "/.json");
    ASSERT_TRUE(await(store.store("a/b", "x"))->hasValue());
    EXPECT_EQ(await(store.load("a/b"))->value(), "x");
    EXPECT_EQ(await(store.load("a%2Fb"))->value(), std::nullopt);
}

TEST_F(SessionStoreTest, TheFileStoreReportsWhatItCannotDo) {
    const std::string blocker = dir_.path() + "/file";
    std::ofstream(blocker) << "not a directory";
    FileSessionStore store(blocker + "/inside");
    const auto stored = await(store.store(kKey, "x"));
    ASSERT_TRUE(stored && !*stored);
    EXPECT_EQ(stored->error().kind, Error::Kind::transport);
    EXPECT_NE(stored->error().message.find(blocker), std::string::npos);
}

TEST_F(SessionStoreTest, TheDefaultDirectoryFollowsXdgStateHome) {
    const char* saved = g_getenv("XDG_STATE_HOME");
    const std::optional<std::string> previous =
        saved ? std::optional<std::string>(saved) : std::nullopt;
    g_setenv("XDG_STATE_HOME", "/tmp/state", TRUE);
    EXPECT_EQ(FileSessionStore::defaultDirectory(), "/tmp/state/ostral-admin");
    g_setenv("XDG_STATE_HOME", "relative/ignored", TRUE);
    EXPECT_EQ(FileSessionStore::defaultDirectory(),
              std::string(g_get_home_dir()) + "/.local/state/ostral-admin");
    if (previous) {
        g_setenv("XDG_STATE_HOME", previous->c_str(), TRUE);
    } else {
        g_unsetenv("XDG_STATE_HOME");
    }
}

TEST_F(SessionStoreTest, TheSecretServiceStoreKeepsValuesInTheKeyring) {
    if (!PrivateSessionBus::available(true)) {
        GTEST_SKIP() << "dbus-daemon or gnome-keyring-daemon is not installed";
    }
    PrivateSessionBus bus(true);
    ASSERT_TRUE(bus.ready()) << bus.problem();

    SecretServiceSessionStore store;
    const auto opened = await(store.open());
    ASSERT_TRUE(opened && *opened) << opened->error().description();
    exerciseStore(store);

    // A second store (a later launch) finds what the first one wrote.
    ASSERT_TRUE(await(store.store(kKey, "kept"))->hasValue());
    SecretServiceSessionStore later;
    EXPECT_EQ(await(later.load(kKey))->value(), "kept");

    support::LogCapture log;
    DefaultSessionStore chooser(std::make_shared<SecretServiceSessionStore>(),
                                std::make_shared<FileSessionStore>(dir_.path() + "/files"));
    EXPECT_EQ(await(chooser.load(kKey))->value(), "kept");
    EXPECT_TRUE(log.entries().empty()) << "no fallback while the keyring answers";
}

TEST_F(SessionStoreTest, ALockedKeyringThatCannotBeUnlockedMeansTheFile) {
    if (!PrivateSessionBus::available(true)) {
        GTEST_SKIP() << "dbus-daemon or gnome-keyring-daemon is not installed";
    }
    PrivateSessionBus bus(true);
    ASSERT_TRUE(bus.ready()) << bus.problem();
    ASSERT_TRUE(await(SecretServiceSessionStore().open())->hasValue());
    // Nobody can answer the unlock prompt on this bus, so the login keyring stays locked.
    ASSERT_TRUE(bus.restartKeyringLocked()) << bus.problem();

    const auto opened = await(SecretServiceSessionStore().open());
    ASSERT_TRUE(opened && !*opened);
    EXPECT_EQ(opened->error().kind, Error::Kind::transport);
    EXPECT_EQ(opened->error().message, "The default keyring stays locked");

    support::LogCapture log;
    const auto files = std::make_shared<FileSessionStore>(dir_.path() + "/files");
    DefaultSessionStore store(std::make_shared<SecretServiceSessionStore>(), files);
    ASSERT_TRUE(await(store.store(kKey, "kept"))->hasValue());
    EXPECT_EQ(store.chosen(), files.get());
    EXPECT_EQ(log.entries().size(), 1u);
}

TEST_F(SessionStoreTest, WithoutASecretServiceTheDefaultStoreFallsBackToTheFileOnce) {
    if (!PrivateSessionBus::available(false)) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    PrivateSessionBus bus(false);
    ASSERT_TRUE(bus.ready()) << bus.problem();

    const auto secrets = std::make_shared<SecretServiceSessionStore>();
    const auto opened = await(secrets->open());
    ASSERT_TRUE(opened && !*opened);
    EXPECT_EQ(opened->error().kind, Error::Kind::transport);
    EXPECT_EQ(await(secrets->load(kKey))->error().kind, Error::Kind::transport);

    support::LogCapture log;
    const auto files = std::make_shared<FileSessionStore>(dir_.path() + "/files");
    DefaultSessionStore store(std::make_shared<SecretServiceSessionStore>(), files);
    exerciseStore(store);
    ASSERT_TRUE(await(store.store(kKey, "kept"))->hasValue());
    EXPECT_EQ(store.chosen(), files.get());
    EXPECT_EQ(await(files->load(kKey))->value(), "kept");
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].level, support::LogLevel::error);
    EXPECT_TRUE(log.contains(dir_.path() + "/files"));
}

TEST_F(SessionStoreTest, WithoutAnyBusTheDefaultStoreFallsBackToTheFile) {
    if (!PrivateSessionBus::available(false)) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    std::optional<std::string> address;
    {
        PrivateSessionBus bus(false);
        ASSERT_TRUE(bus.ready()) << bus.problem();
        address = bus.address();
    }
    // The variable now names a socket nobody listens on.
    g_setenv("DBUS_SESSION_BUS_ADDRESS", address->c_str(), TRUE);
    testing::dropSessionBusConnection();

    support::LogCapture log;
    const auto files = std::make_shared<FileSessionStore>(dir_.path() + "/files");
    DefaultSessionStore store(std::make_shared<SecretServiceSessionStore>(), files);
    ASSERT_TRUE(await(store.store(kKey, "kept"))->hasValue());
    EXPECT_EQ(store.chosen(), files.get());
    EXPECT_EQ(log.entries().size(), 1u);
    g_unsetenv("DBUS_SESSION_BUS_ADDRESS");
    testing::dropSessionBusConnection();
}

} // namespace
} // namespace ostral::supabase
