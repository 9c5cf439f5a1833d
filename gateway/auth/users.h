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
inline bool MayWrite(Role role) { return role != Role::Viewer; }
inline bool MayAudit(Role role) { return role == Role::Admin; }

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
    // Reads the file; false, with "FILE:LINE: what is wrong", when it cannot
    // be read or a line does not parse. A missing file is an empty store
    // (`missing` set), so a fresh install serves public reads and refuses
    // every write until an operator is added.
    bool Load(const std::string& path, std::string& error, bool* missing = nullptr);
    // Nothing when the name is unknown or the password wrong.
    std::optional<Identity> CheckPassword(const std::string& name,
                                          const std::string& password) const;
    std::optional<Identity> CheckToken(const std::string& token) const;
    std::size_t Size() const;

private:
    mutable Mutex mutex_;
    std::vector<Entry> entries_ GUARDED_BY(mutex_);
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
bool ReadEntries(const std::string& path, std::vector<Entry>& entries, std::string& error);
bool WriteEntries(const std::string& path, const std::vector<Entry>& entries, std::string& error);
std::string HashPassword(const std::string& password);  // Argon2id, encoded
bool VerifyPassword(const std::string& encoded, const std::string& password);
std::string NewToken();                                // random, URL-safe, shown once
std::string HashToken(const std::string& token);       // "sha256:HEX"
std::string Sha256Hex(const std::string& data);

}  // namespace westnet::gateway::auth
