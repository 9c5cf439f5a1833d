// The users file: what it accepts and each mistake's FILE:LINE message;
// Argon2id passwords, API tokens, the remembered password checks (counted,
// with a clock the test moves) and the file's rewriting.
#include <argon2.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "auth/users.h"

namespace westnet::gateway::auth {
namespace {

// Shaped as the file wants it; no password matches it.
const std::string kHash =
    "$argon2id$v=19$m=19456,t=2,p=1$c2FsdHNhbHRzYWx0c2FsdA$"
    "aGFzaGhhc2hoYXNoaGFzaGhhc2hoYXNoaGFzaGhhc2g";
const std::string kTokenHash = "sha256:" + std::string(64, 'a');

// An Argon2id hash at the least cost the file takes: for tests that need
// hundreds of checks, each a fraction of a millisecond.
std::string CheapHash(const std::string& password) {
    const unsigned char salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::string encoded(argon2_encodedlen(1, 8, 1, sizeof salt, 32, Argon2_id), '\0');
    EXPECT_EQ(argon2id_hash_encoded(1, 8, 1, password.data(), password.size(), salt, sizeof salt,
                                    32, encoded.data(), encoded.size()),
              ARGON2_OK);
    encoded.resize(encoded.find('\0'));
    return encoded;
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/westnet-auth-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0600) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(GatewayAuthFile, AcceptsUsersTokensCommentsAndBlankLines) {
    std::vector<Entry> entries;
    std::string error;
    ASSERT_TRUE(
        ParseEntries("# the plant's people\n"
                     "\n"
                     "user alice operator " +
                         kHash +
                         "   # on shift\n"
                         "  \t\n"
                         "token grafana.ro@site-1 viewer " +
                         kTokenHash + "\r\nuser Bob_2 admin\t" + kHash,
                     "users", entries, error))
        << error;
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_FALSE(entries[0].token);
    EXPECT_EQ(entries[0].name, "alice");
    EXPECT_EQ(entries[0].role, Role::Operator);
    EXPECT_EQ(entries[0].hash, kHash);
    EXPECT_TRUE(entries[1].token);
    EXPECT_EQ(entries[1].name, "grafana.ro@site-1");
    EXPECT_EQ(entries[1].role, Role::Viewer);
    EXPECT_EQ(entries[1].hash, kTokenHash);
    EXPECT_EQ(entries[2].name, "Bob_2");
    EXPECT_EQ(entries[2].role, Role::Admin);

    // What WriteEntries writes reads back the same.
    std::vector<Entry> again;
    ASSERT_TRUE(ParseEntries(FormatEntries(entries), "users", again, error)) << error;
    ASSERT_EQ(again.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(again[i].token, entries[i].token);
        EXPECT_EQ(again[i].name, entries[i].name);
        EXPECT_EQ(again[i].role, entries[i].role);
        EXPECT_EQ(again[i].hash, entries[i].hash);
    }
}

TEST(GatewayAuthFile, EachMistakeNamesItsFileAndLine) {
    const std::string good = "user alice viewer " + kHash + "\n";
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
        {"group admins admin " + kHash, "users:1: a line starts with user or token, not 'group'"},
        {"\n# x\nuser alice viewer", "users:3: expected user NAME ROLE ARGON2ID-HASH"},
        {"token t viewer " + kTokenHash + " extra", "users:1: expected token NAME ROLE sha256:HEX"},
        {"user al!ce viewer " + kHash, "users:1: bad name 'al!ce': 1 to 64 of"},
        {"user " + std::string(65, 'a') + " viewer " + kHash, "users:1: bad name"},
        {"user alice root " + kHash, "users:1: unknown role 'root' (viewer, operator or admin)"},
        {"user alice Viewer " + kHash, "users:1: unknown role 'Viewer'"},
        {"user alice viewer secret", "users:1: alice: not an Argon2id hash"},
        {"user alice viewer $argon2i$v=19$m=19456,t=2,p=1$c2FsdA$aGFzaA",
         "users:1: alice: not an Argon2id hash"},
        {"user alice viewer $argon2id$v=19$m=4000000,t=2,p=1$c2FsdA$aGFzaA",
         "users:1: alice: the Argon2id hash's costs are not"},
        {"user alice viewer $argon2id$v=19$m=19456,t=0,p=1$c2FsdA$aGFzaA",
         "users:1: alice: the Argon2id hash's costs are not"},
        {"user alice viewer $argon2id$v=19$m=19456,t=2,p=1$c2Fs*A$aGFzaA",
         "users:1: alice: the Argon2id hash's salt or hash is not base64"},
        {"user alice viewer " + kTokenHash, "users:1: alice: not an Argon2id hash"},
        {"token t viewer " + kHash, "users:1: t: a token's hash is sha256: and 64"},
        {"token t viewer sha256:" + std::string(63, 'a'), "users:1: t: a token's hash"},
        {"token t viewer sha256:" + std::string(64, 'A'), "users:1: t: a token's hash"},
        {good + "\n" + good, "users:3: the name 'alice' is taken already, on line 1"},
        {good + "token alice admin " + kTokenHash, "users:2: the name 'alice' is taken already"},
    };
    for (const auto& c : cases) {
        std::vector<Entry> entries{Entry{}};
        std::string error;
        EXPECT_FALSE(ParseEntries(c.text, "users", entries, error)) << c.text;
        EXPECT_EQ(error.compare(0, c.error.size(), c.error), 0)
            << c.text << "\n  gave: " << error << "\n  want: " << c.error;
        EXPECT_EQ(entries.size(), 1u) << "a refused file leaves the entries as they were";
    }
}

TEST(GatewayAuthFile, AMissingFileIsAnEmptyStoreAnUnreadableOneAnError) {
    TempDir dir;
    UserStore store;
    std::string error;
    bool missing = false;
    ASSERT_TRUE(store.Load(dir.File("none"), error, &missing)) << error;
    EXPECT_TRUE(missing);
    EXPECT_EQ(store.Size(), 0u);
    EXPECT_FALSE(store.CheckPassword("alice", "whatever1"));

    // A folder is there but cannot be read as a file.
    EXPECT_FALSE(store.Load(dir.File(""), error, &missing));
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;

    const std::string path = dir.File("users");
    WriteFile(path, "user alice viewer " + kHash + "\nuser bob viewer nothash\n");
    EXPECT_FALSE(store.Load(path, error, &missing));
    EXPECT_EQ(error, path + ":2: bob: not an Argon2id hash ($argon2id$v=19$m=M,t=T,p=P$SALT$HASH)");
}

TEST(GatewayAuthFile, AFileOthersCanReadIsWarnedOf) {
    TempDir dir;
    const std::string path = dir.File("users");
    UserStore store;
    std::string error;
    for (const mode_t mode : {0600, 0400}) {
        WriteFile(path, "user alice viewer " + kHash + "\n", mode);
        ASSERT_TRUE(store.Load(path, error)) << error;
        EXPECT_EQ(store.Warning(), "") << std::oct << mode;
    }
    for (const mode_t mode : {0640, 0604, 0620, 0644}) {
        chmod(path.c_str(), mode);
        ASSERT_TRUE(store.Load(path, error)) << error;
        EXPECT_NE(store.Warning().find("chmod 600 " + path), std::string::npos)
            << std::oct << mode << ": " << store.Warning();
    }
    EXPECT_EQ(FileModeWarning(dir.File("none")), "");
}

TEST(GatewayAuthFile, WritingReplacesTheFileWholeWithMode0600AndMakesItsFolder) {
    TempDir dir;
    const std::string path = dir.File("etc/westnet/users");
    std::vector<Entry> entries{Entry{false, "alice", Role::Admin, kHash},
                               Entry{true, "ci", Role::Operator, kTokenHash}};
    std::string error;
    ASSERT_TRUE(WriteEntries(path, entries, error)) << error;
    EXPECT_EQ(ModeOf(path), 0600u);

    // Over a file others could read: the new one is 0600 all the same.
    chmod(path.c_str(), 0644);
    entries.pop_back();
    ASSERT_TRUE(WriteEntries(path, entries, error)) << error;
    EXPECT_EQ(ModeOf(path), 0600u);
    std::vector<Entry> read;
    ASSERT_TRUE(ReadEntries(path, read, error)) << error;
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].name, "alice");
    EXPECT_EQ(read[0].role, Role::Admin);
    // No temporary file is left beside it.
    EXPECT_EQ(std::system(("test $(ls -A '" + dir.File("etc/westnet") + "' | wc -l) = 1").c_str()),
              0);

    EXPECT_FALSE(WriteEntries(dir.File("users/x"), entries, error) &&
                 WriteEntries(dir.File("users/x/y"), entries, error));
}

TEST(GatewayAuthPassword, AHashVerifiesItsPasswordAlone) {
    const std::string hash = HashPassword("correct horse");
    EXPECT_EQ(hash.rfind("$argon2id$v=19$m=19456,t=2,p=1$", 0), 0u) << hash;
    std::vector<Entry> entries;
    std::string error;
    EXPECT_TRUE(ParseEntries("user a viewer " + hash, "users", entries, error)) << error;
    EXPECT_TRUE(VerifyPassword(hash, "correct horse"));
    EXPECT_FALSE(VerifyPassword(hash, "correct horsE"));
    EXPECT_FALSE(VerifyPassword(hash, "correct horse "));
    EXPECT_FALSE(VerifyPassword(hash, ""));
    EXPECT_FALSE(VerifyPassword("not a hash", "correct horse"));
    // Salted: the same password never hashes the same twice.
    EXPECT_NE(HashPassword("correct horse"), hash);
}

TEST(GatewayAuthToken, TokensAreRandomUrlSafeAndStoredAsTheirSha256) {
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string token = NewToken();
    ASSERT_EQ(token.size(), 3u + 43u) << token;  // 32 bytes, base64 without padding
    EXPECT_EQ(token.rfind("wn_", 0), 0u);
    EXPECT_EQ(token.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", 3),
              std::string::npos)
        << token;
    EXPECT_NE(NewToken(), token);
    EXPECT_EQ(HashToken(token), "sha256:" + Sha256Hex(token));

    TempDir dir;
    const std::string path = dir.File("users");
    const std::string other = NewToken();
    WriteFile(path, "token ci operator " + HashToken(token) + "\ntoken grafana viewer " +
                        HashToken(other) + "\nuser alice admin " + kHash + "\n");
    UserStore store;
    std::string error;
    ASSERT_TRUE(store.Load(path, error)) << error;
    EXPECT_EQ(store.Size(), 3u);
    const auto ci = store.CheckToken(token);
    ASSERT_TRUE(ci);
    EXPECT_EQ(ci->name, "ci");
    EXPECT_EQ(ci->role, Role::Operator);
    EXPECT_TRUE(ci->token);
    const auto grafana = store.CheckToken(other);
    ASSERT_TRUE(grafana);
    EXPECT_EQ(grafana->name, "grafana");
    EXPECT_EQ(grafana->role, Role::Viewer);

    EXPECT_FALSE(store.CheckToken(""));
    EXPECT_FALSE(store.CheckToken(token.substr(0, token.size() - 1)));
    EXPECT_FALSE(store.CheckToken(token + "x"));
    EXPECT_FALSE(store.CheckToken(HashToken(token)));  // the stored hash is not the token
    // A token is not a password, nor a user's name a token.
    EXPECT_FALSE(store.CheckPassword("ci", token));
    EXPECT_FALSE(store.CheckToken("alice"));
}

std::int64_t g_now = 1000;
std::int64_t TestNow() {
    return g_now;
}

TEST(GatewayAuthPassword, APasswordThatCheckedIsRememberedForFiveMinutes) {
    TempDir dir;
    const std::string path = dir.File("users");
    WriteFile(path, "user alice operator " + HashPassword("alice's secret") + "\nuser bob viewer " +
                        HashPassword("bob's secret") + "\n");
    g_now = 1000;
    UserStore store(&TestNow);
    std::string error;
    ASSERT_TRUE(store.Load(path, error)) << error;

    const auto first = store.CheckPassword("alice", "alice's secret");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->name, "alice");
    EXPECT_EQ(first->role, Role::Operator);
    EXPECT_FALSE(first->token);
    EXPECT_EQ(store.Verifications(), 1u);

    g_now += UserStore::kRememberSeconds - 1;
    const auto second = store.CheckPassword("alice", "alice's secret");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->role, Role::Operator);
    EXPECT_EQ(store.Verifications(), 1u) << "remembered: no second Argon2id";

    // Remembered by name and password together: neither opens the other.
    EXPECT_FALSE(store.CheckPassword("bob", "alice's secret"));
    EXPECT_FALSE(store.CheckPassword("alice", "bob's secret"));
    EXPECT_EQ(store.Verifications(), 3u);

    // A failed check is not remembered, an unknown name costs the same.
    EXPECT_FALSE(store.CheckPassword("alice", "wrong"));
    EXPECT_FALSE(store.CheckPassword("alice", "wrong"));
    EXPECT_FALSE(store.CheckPassword("carol", "wrong"));
    EXPECT_EQ(store.Verifications(), 6u);

    // Five minutes after the first check, it is checked again.
    g_now += 1;
    EXPECT_TRUE(store.CheckPassword("alice", "alice's secret"));
    EXPECT_EQ(store.Verifications(), 7u);
    EXPECT_TRUE(store.CheckPassword("alice", "alice's secret"));
    EXPECT_EQ(store.Verifications(), 7u);
}

TEST(GatewayAuthPassword, AReloadForgetsWhatWasRemembered) {
    TempDir dir;
    const std::string path = dir.File("users");
    WriteFile(path, "user alice operator " + HashPassword("old password") + "\n");
    g_now = 5000;
    UserStore store(&TestNow);
    std::string error;
    ASSERT_TRUE(store.Load(path, error)) << error;
    ASSERT_TRUE(store.CheckPassword("alice", "old password"));

    // Her password changed and she became a viewer.
    WriteFile(path, "user alice viewer " + HashPassword("new password") + "\n");
    ASSERT_TRUE(store.Load(path, error)) << error;
    EXPECT_FALSE(store.CheckPassword("alice", "old password"));
    const auto now = store.CheckPassword("alice", "new password");
    ASSERT_TRUE(now);
    EXPECT_EQ(now->role, Role::Viewer);

    // Removed: refused at once.
    WriteFile(path, "# nobody\n");
    ASSERT_TRUE(store.Load(path, error)) << error;
    EXPECT_FALSE(store.CheckPassword("alice", "new password"));
}

TEST(GatewayAuthPassword, PastTheLimitTheOldestRememberedIsForgotten) {
    std::vector<Entry> entries;
    const std::string hash = CheapHash("shared password");
    const std::size_t users = UserStore::kRememberMax + 1;
    for (std::size_t i = 0; i < users; ++i) {
        entries.push_back(Entry{false, "u" + std::to_string(i), Role::Viewer, hash});
    }
    TempDir dir;
    const std::string path = dir.File("users");
    std::string error;
    ASSERT_TRUE(WriteEntries(path, entries, error)) << error;
    g_now = 9000;
    UserStore store(&TestNow);
    ASSERT_TRUE(store.Load(path, error)) << error;
    for (std::size_t i = 0; i < users; ++i) {
        ++g_now;
        ASSERT_TRUE(store.CheckPassword("u" + std::to_string(i), "shared password"));
    }
    EXPECT_EQ(store.Verifications(), users);
    ASSERT_TRUE(store.CheckPassword("u" + std::to_string(users - 1), "shared password"));
    ASSERT_TRUE(store.CheckPassword("u1", "shared password"));
    EXPECT_EQ(store.Verifications(), users) << "the newest are remembered";
    ASSERT_TRUE(store.CheckPassword("u0", "shared password"));
    EXPECT_EQ(store.Verifications(), users + 1) << "the oldest was forgotten";
}

TEST(GatewayAuthPassword, ChecksFromManyThreadsAtOnce) {
    TempDir dir;
    const std::string path = dir.File("users");
    WriteFile(path, "user alice operator " + CheapHash("alice's secret") + "\nuser bob viewer " +
                        CheapHash("bob's secret") + "\n");
    UserStore store;
    std::string error;
    ASSERT_TRUE(store.Load(path, error)) << error;
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const bool alice = (i + t) % 2 == 0;
                const auto who = store.CheckPassword(alice ? "alice" : "bob",
                                                     alice ? "alice's secret" : "bob's secret");
                if (!who || who->name != (alice ? "alice" : "bob")) {
                    ++wrong;
                }
                if (i == kRounds / 2 && t == 0) {
                    std::string e;
                    if (!store.Load(path, e)) {
                        ++wrong;
                    }
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong, 0);
    // Each thread may find its first check not yet remembered, and so again
    // after the reload; never more.
    EXPECT_LE(store.Verifications(), 2u * 2u * kThreads);
    EXPECT_GE(store.Verifications(), 2u);
}

TEST(GatewayAuthRole, NamesAndRights) {
    const struct {
        const char* name;
        Role role;
        bool write;
        bool audit;
    } cases[] = {
        {"viewer", Role::Viewer, false, false},
        {"operator", Role::Operator, true, false},
        {"admin", Role::Admin, true, true},
    };
    for (const auto& c : cases) {
        Role role = Role::Admin;
        EXPECT_TRUE(ParseRole(c.name, role));
        EXPECT_EQ(role, c.role);
        EXPECT_STREQ(RoleName(c.role), c.name);
        EXPECT_EQ(MayWrite(c.role), c.write);
        EXPECT_EQ(MayAudit(c.role), c.audit);
    }
    Role role = Role::Viewer;
    EXPECT_FALSE(ParseRole("", role));
    EXPECT_FALSE(ParseRole("Admin", role));
    EXPECT_EQ(role, Role::Viewer);
}

}  // namespace
}  // namespace westnet::gateway::auth
