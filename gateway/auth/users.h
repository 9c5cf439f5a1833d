// Who may use the gateway: users (name, role, Argon2id password hash) and API
// tokens (name, role, hash of the token) in one file, the users file
// (/etc/westnet/users). The daemon reads it at start and at every reload;
// `westnet-gateway --users FILE user|token ...` changes it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sync/mutex.h"

namespace westnet::gateway::auth {

// What a role may do: viewer reads; operator reads and writes; admin also
// reads the audit records.
enum class Role { Viewer, Operator, Admin };
const char* RoleName(Role role);  // "viewer", "operator", "admin"
bool ParseRole(const std::string& text, Role& role);
inline bool MayWrite(Role role) {
    return role != Role::Viewer;
}
inline bool MayAudit(Role role) {
    return role == Role::Admin;
}

// Someone the gateway knows.
struct Identity {
    std::string name;
    Role role = Role::Viewer;
    bool token = false;  // an API token's name, not a user's
};

struct Entry {
    bool token = false;
    std::string name;
    Role role = Role::Viewer;
    std::string hash;  // users: an Argon2id encoded hash; tokens: "sha256:HEX"
};

// The users file, loaded. Checking a password costs an Argon2id hash (tens
// of milliseconds, on purpose); a password that checked is remembered for a
// few minutes (by a hash of name and password, never the password), so a
// client sending Basic credentials on every request does not pay it each time.
class UserStore {
public:
    // How long a password that checked is remembered, and how many are.
    static constexpr std::int64_t kRememberSeconds = 300;
    static constexpr std::size_t kRememberMax = 256;

    UserStore() = default;
    // `now` is the steady clock in seconds (tests move it by hand).
    explicit UserStore(std::int64_t (*now)()) : now_(now) {}

    // Reads the file; false, with "FILE:LINE: what is wrong", when it cannot
    // be read or a line does not parse. A missing file is an empty store
    // (`missing` set), so a fresh install serves public reads and refuses
    // every write until an operator is added.
    bool Load(const std::string& path, std::string& error, bool* missing = nullptr);
    // Nothing when the name is unknown or the password wrong.
    std::optional<Identity> CheckPassword(const std::string& name,
                                          const std::string& password) const;
    std::optional<Identity> CheckToken(const std::string& token) const;
    // The role the file gives a user now; nothing when the file has no such
    // user (for a session that checked its password before a reload).
    std::optional<Role> RoleOf(const std::string& name) const;
    std::size_t Size() const;
    // After a Load: "" or a warning for the log, such as the file being
    // readable by other users than its owner.
    std::string Warning() const;
    // How many Argon2id verifications CheckPassword has run: a remembered
    // password costs none.
    std::uint64_t Verifications() const;

private:
    std::int64_t (*now_)() = nullptr;
    mutable Mutex mutex_;
    std::vector<Entry> entries_ GUARDED_BY(mutex_);
    std::string warning_ GUARDED_BY(mutex_);
    // Bumped by every Load, so that a check that started before it does not
    // remember what the new file may have changed.
    std::uint64_t generation_ GUARDED_BY(mutex_) = 0;
    mutable std::uint64_t verifications_ GUARDED_BY(mutex_) = 0;
    struct Remembered {
        std::string key;  // SHA-256 of name, NUL, password, with a per-process salt
        Identity identity;
        std::int64_t until = 0;  // steady clock, seconds
    };
    mutable std::vector<Remembered> remembered_ GUARDED_BY(mutex_);
};

// The file's management, for the command line. Each returns false with a
// message a user can act on. The file is rewritten whole (a temporary file
// renamed over it, mode 0600).
// A missing file reads as no entries (`missing` set, if given).
bool ReadEntries(const std::string& path, std::vector<Entry>& entries, std::string& error);
bool ReadEntries(const std::string& path, std::vector<Entry>& entries, std::string& error,
                 bool* missing);
// The file's text as ReadEntries parses it; `path` only names it in errors.
bool ParseEntries(const std::string& text, const std::string& path, std::vector<Entry>& entries,
                  std::string& error);
// The file's text as WriteEntries writes it.
std::string FormatEntries(const std::vector<Entry>& entries);
// 1 to 64 of A-Z a-z 0-9 . _ @ -
bool ValidName(const std::string& name);
// "" or what is wrong with the file's mode (readable or writable by others
// than its owner).
std::string FileModeWarning(const std::string& path);
bool WriteEntries(const std::string& path, const std::vector<Entry>& entries, std::string& error);
std::string HashPassword(const std::string& password);  // Argon2id, encoded
bool VerifyPassword(const std::string& encoded, const std::string& password);
std::string NewToken();                           // random, URL-safe, shown once
std::string HashToken(const std::string& token);  // "sha256:HEX"
std::string Sha256Hex(const std::string& data);

// The users file the daemon reads: under systemd, the copy the unit hands
// over as a credential (the file itself is readable by root alone); else
// the configured path.
std::string UsersFilePath(const std::string& configured);

}  // namespace westnet::gateway::auth
