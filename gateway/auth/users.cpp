#include "auth/users.h"

#include <argon2.h>
#include <errno.h>
#include <fcntl.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

namespace westnet::gateway::auth {
namespace {

// Argon2id's cost: the least OWASP recommends (19 MiB, two passes, one lane),
// some tens of milliseconds per check on a small machine.
constexpr std::uint32_t kTimeCost = 2;
constexpr std::uint32_t kMemoryKib = 19456;
constexpr std::uint32_t kLanes = 1;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;
constexpr std::size_t kTokenBytes = 32;
constexpr char kTokenPrefix[] = "wn_";
constexpr char kTokenHashPrefix[] = "sha256:";
constexpr std::size_t kNameMax = 64;
// A users file is a few lines per person; anything this large is not one.
constexpr long kFileMax = 1024L * 1024;
// What a hash in the file may ask of every login: a hand-edited m=4000000
// would make each check take gigabytes.
constexpr unsigned long kMemoryKibMax = 1024UL * 1024;
constexpr unsigned long kTimeCostMax = 64;
constexpr unsigned long kLanesMax = 16;

std::string Errno(int error) {
    return std::strerror(error);
}

void RandomBytes(void* out, std::size_t size) {
    if (gnutls_rnd(GNUTLS_RND_KEY, out, size) != 0) {
        throw std::runtime_error("no random bytes from GnuTLS");
    }
}

std::string Sha256(const std::string& data) {
    std::array<unsigned char, 32> digest{};
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, data.data(), data.size(), digest.data()) != 0) {
        throw std::runtime_error("GnuTLS cannot compute SHA-256");
    }
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

bool SameInConstantTime(const std::string& a, const std::string& b) {
    // The lengths are not secret (every stored hash has the same one).
    return a.size() == b.size() && gnutls_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string Base64Url(const unsigned char* data, std::size_t size) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (std::size_t i = 0; i < size; ++i) {
        bits = (bits << 8) | data[i];
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += kAlphabet[(bits >> count) & 63];
        }
    }
    if (count > 0) {
        out += kAlphabet[(bits << (6 - count)) & 63];
    }
    return out;
}

bool IsLowerHex(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool IsBase64(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '/';
    });
}

// "m=19456" -> 19456, when `text` is KEY=DIGITS and the number is in 1..max.
bool Parameter(const std::string& text, char key, unsigned long max, unsigned long& value) {
    if (text.size() < 3 || text.size() > 12 || text[0] != key || text[1] != '=' ||
        !std::all_of(text.begin() + 2, text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    value = std::stoul(text.substr(2));
    return value >= 1 && value <= max;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// "" or what is wrong with an encoded Argon2id hash,
// $argon2id$v=19$m=M,t=T,p=P$SALT$HASH.
std::string Argon2idFault(const std::string& encoded) {
    const std::vector<std::string> parts = Split(encoded, '$');
    if (parts.size() != 6 || !parts[0].empty() || parts[1] != "argon2id" || parts[2] != "v=19") {
        return "not an Argon2id hash ($argon2id$v=19$m=M,t=T,p=P$SALT$HASH)";
    }
    const std::vector<std::string> costs = Split(parts[3], ',');
    unsigned long m = 0;
    unsigned long t = 0;
    unsigned long p = 0;
    if (costs.size() != 3 || !Parameter(costs[0], 'm', kMemoryKibMax, m) ||
        !Parameter(costs[1], 't', kTimeCostMax, t) || !Parameter(costs[2], 'p', kLanesMax, p)) {
        return "the Argon2id hash's costs are not m=1.." + std::to_string(kMemoryKibMax) +
               ",t=1.." + std::to_string(kTimeCostMax) + ",p=1.." + std::to_string(kLanesMax);
    }
    if (!IsBase64(parts[4]) || !IsBase64(parts[5])) {
        return "the Argon2id hash's salt or hash is not base64";
    }
    return "";
}

std::string TokenHashFault(const std::string& hash) {
    const std::size_t prefix = sizeof kTokenHashPrefix - 1;
    if (hash.compare(0, prefix, kTokenHashPrefix) != 0 || hash.size() != prefix + 64 ||
        !IsLowerHex(hash.substr(prefix))) {
        return "a token's hash is sha256: and 64 lower-case hex digits";
    }
    return "";
}

std::int64_t SteadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What a remembered password is filed under: a hash that the salt, made
// anew by every process, keeps from being looked up or reused elsewhere.
std::string RememberKey(const std::string& name, const std::string& password) {
    static const std::string salt = [] {
        std::string s(32, '\0');
        RandomBytes(s.data(), s.size());
        return s;
    }();
    std::string data = salt;
    data += name;
    data += '\0';
    data += password;
    std::string key = Sha256(data);
    std::fill(data.begin(), data.end(), '\0');
    return key;
}

// A hash to check against when the name is unknown, so that an unknown name
// takes as long to refuse as a wrong password.
const std::string& DecoyHash() {
    static const std::string decoy = [] {
        unsigned char random[16];
        RandomBytes(random, sizeof random);
        return HashPassword(Base64Url(random, sizeof random));
    }();
    return decoy;
}

}  // namespace

const char* RoleName(Role role) {
    switch (role) {
        case Role::Viewer:
            return "viewer";
        case Role::Operator:
            return "operator";
        case Role::Admin:
            return "admin";
    }
    return "viewer";
}

bool ParseRole(const std::string& text, Role& role) {
    for (const Role r : {Role::Viewer, Role::Operator, Role::Admin}) {
        if (text == RoleName(r)) {
            role = r;
            return true;
        }
    }
    return false;
}

bool ValidName(const std::string& name) {
    return !name.empty() && name.size() <= kNameMax &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '@' || c == '-';
           });
}

bool ParseEntries(const std::string& text, const std::string& path, std::vector<Entry>& entries,
                  std::string& error) {
    std::vector<Entry> parsed;
    std::map<std::string, std::size_t> lineOfName;
    std::size_t lineNumber = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        const auto fail = [&](const std::string& what) {
            error = path;
            error.append(":").append(std::to_string(lineNumber)).append(": ").append(what);
            return false;
        };
        // No field can hold a '#': it starts a comment wherever it is.
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) {
            line.resize(hash);
        }
        std::vector<std::string> fields;
        std::string field;
        for (const char c : line + ' ') {
            if (c == ' ' || c == '\t' || c == '\r') {
                if (!field.empty()) {
                    fields.push_back(std::move(field));
                    field.clear();
                }
            } else {
                field += c;
            }
        }
        if (fields.empty()) {
            continue;
        }
        Entry entry;
        if (fields[0] == "token") {
            entry.token = true;
        } else if (fields[0] != "user") {
            return fail("a line starts with user or token, not '" + fields[0].substr(0, 64) + "'");
        }
        if (fields.size() != 4) {
            return fail(entry.token ? "expected token NAME ROLE sha256:HEX"
                                    : "expected user NAME ROLE ARGON2ID-HASH");
        }
        entry.name = fields[1];
        if (!ValidName(entry.name)) {
            return fail("bad name '" + entry.name.substr(0, 80) +
                        "': 1 to 64 of A-Z a-z 0-9 . _ @ -");
        }
        if (!ParseRole(fields[2], entry.role)) {
            return fail("unknown role '" + fields[2].substr(0, 64) +
                        "' (viewer, operator or admin)");
        }
        entry.hash = fields[3];
        const std::string fault =
            entry.token ? TokenHashFault(entry.hash) : Argon2idFault(entry.hash);
        if (!fault.empty()) {
            return fail(entry.name + ": " + fault);
        }
        const auto [taken, fresh] = lineOfName.emplace(entry.name, lineNumber);
        if (!fresh) {
            return fail("the name '" + entry.name + "' is taken already, on line " +
                        std::to_string(taken->second));
        }
        parsed.push_back(std::move(entry));
    }
    entries = std::move(parsed);
    return true;
}

bool ReadEntries(const std::string& path, std::vector<Entry>& entries, std::string& error) {
    return ReadEntries(path, entries, error, nullptr);
}

bool ReadEntries(const std::string& path, std::vector<Entry>& entries, std::string& error,
                 bool* missing) {
    if (missing != nullptr) {
        *missing = false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            entries.clear();
            if (missing != nullptr) {
                *missing = true;
            }
            return true;
        }
        error = path + ": cannot read: " + Errno(errno);
        return false;
    }
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = path + ": cannot read: " + Errno(errno);
            close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > static_cast<std::size_t>(kFileMax)) {
            close(fd);
            error = path + ": over 1 MB: not a users file";
            return false;
        }
    }
    close(fd);
    return ParseEntries(text, path, entries, error);
}

std::string FormatEntries(const std::vector<Entry>& entries) {
    std::string text =
        "# westnet-gateway's users and API tokens, written by `westnet-gateway user|token`.\n"
        "# user NAME ROLE ARGON2ID-HASH, token NAME ROLE sha256:HEX; roles: viewer,\n"
        "# operator, admin.\n";
    for (const Entry& e : entries) {
        text += std::string(e.token ? "token " : "user ") + e.name + " " + RoleName(e.role) + " " +
                e.hash + "\n";
    }
    return text;
}

std::string FileModeWarning(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return "";
    }
    const mode_t others = st.st_mode & 077;
    if (others == 0) {
        return "";
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const std::string who = (others & 022) != 0 ? "change" : "read";
    return path + ": mode " + mode + " lets other users than its owner " + who +
           " it (its password and token hashes): chmod 600 " + path;
}

bool WriteEntries(const std::string& path, const std::vector<Entry>& entries, std::string& error) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    // Its folder, made if missing (the first user of a fresh install).
    for (std::size_t at = 1; at < folder.size(); ++at) {
        if (folder[at] == '/' || at + 1 == folder.size()) {
            const std::string part = folder.substr(0, at + 1);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
                error = "cannot make the folder " + part + ": " + Errno(errno);
                return false;
            }
        }
    }
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temporary =
        (slash == std::string::npos ? std::string() : folder) + "." + base + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot write " + path + ": " + Errno(errno);
        return false;
    }
    const std::string text = FormatEntries(entries);
    const auto fail = [&](const std::string& what, int code) {
        close(fd);
        unlink(temporary.c_str());
        error = what + ": " + Errno(code);
        return false;
    };
    if (fchmod(fd, 0600) != 0) {
        return fail("cannot write " + temporary, errno);
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return fail("cannot write " + temporary, errno);
        }
        done += static_cast<std::size_t>(n);
    }
    // On disk before the rename, so that a crash leaves the old file or the
    // new one, never an empty one.
    if (fsync(fd) != 0) {
        return fail("cannot write " + temporary, errno);
    }
    if (close(fd) != 0) {
        const int code = errno;
        unlink(temporary.c_str());
        error = "cannot write " + temporary + ": " + Errno(code);
        return false;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const int code = errno;
        unlink(temporary.c_str());
        error = "cannot replace " + path + ": " + Errno(code);
        return false;
    }
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return true;
}

std::string HashPassword(const std::string& password) {
    unsigned char salt[kSaltBytes];
    RandomBytes(salt, sizeof salt);
    std::string encoded(
        argon2_encodedlen(kTimeCost, kMemoryKib, kLanes, kSaltBytes, kHashBytes, Argon2_id), '\0');
    const int result =
        argon2id_hash_encoded(kTimeCost, kMemoryKib, kLanes, password.data(), password.size(), salt,
                              sizeof salt, kHashBytes, encoded.data(), encoded.size());
    if (result != ARGON2_OK) {
        throw std::runtime_error(std::string("Argon2id: ") + argon2_error_message(result));
    }
    encoded.resize(std::strlen(encoded.c_str()));
    return encoded;
}

bool VerifyPassword(const std::string& encoded, const std::string& password) {
    return argon2id_verify(encoded.c_str(), password.data(), password.size()) == ARGON2_OK;
}

std::string NewToken() {
    unsigned char random[kTokenBytes];
    RandomBytes(random, sizeof random);
    return kTokenPrefix + Base64Url(random, sizeof random);
}

std::string Sha256Hex(const std::string& data) {
    return Hex(Sha256(data));
}

std::string HashToken(const std::string& token) {
    return kTokenHashPrefix + Sha256Hex(token);
}

bool UserStore::Load(const std::string& path, std::string& error, bool* missing) {
    std::vector<Entry> entries;
    bool absent = false;
    if (!ReadEntries(path, entries, error, &absent)) {
        return false;
    }
    if (missing != nullptr) {
        *missing = absent;
    }
    std::string warning = absent ? std::string() : FileModeWarning(path);
    MutexLock lock(mutex_);
    entries_ = std::move(entries);
    warning_ = std::move(warning);
    ++generation_;
    // A password or role the new file changed must not live on here.
    remembered_.clear();
    return true;
}

std::optional<Identity> UserStore::CheckPassword(const std::string& name,
                                                 const std::string& password) const {
    if (!ValidName(name) || password.empty()) {
        return std::nullopt;
    }
    const std::string key = RememberKey(name, password);
    const std::int64_t now = now_ != nullptr ? now_() : SteadySeconds();
    std::string encoded;
    Identity identity;
    std::uint64_t generation = 0;
    {
        MutexLock lock(mutex_);
        for (const Remembered& r : remembered_) {
            if (r.until > now && SameInConstantTime(r.key, key)) {
                return r.identity;
            }
        }
        for (const Entry& e : entries_) {
            if (!e.token && e.name == name) {
                encoded = e.hash;
                identity = Identity{e.name, e.role, false};
            }
        }
        generation = generation_;
        ++verifications_;
    }
    // The slow part, with the lock released: other checks go on meanwhile.
    const bool known = !encoded.empty();
    const bool good = VerifyPassword(known ? encoded : DecoyHash(), password) && known;
    if (!good) {
        return std::nullopt;
    }
    MutexLock lock(mutex_);
    if (generation != generation_) {
        return identity;  // checked against a file since replaced: not remembered
    }
    remembered_.erase(
        std::remove_if(remembered_.begin(), remembered_.end(),
                       [&](const Remembered& r) { return r.until <= now || r.key == key; }),
        remembered_.end());
    if (remembered_.size() >= kRememberMax) {
        remembered_.erase(std::min_element(
            remembered_.begin(), remembered_.end(),
            [](const Remembered& a, const Remembered& b) { return a.until < b.until; }));
    }
    remembered_.push_back(Remembered{key, identity, now + kRememberSeconds});
    return identity;
}

std::optional<Identity> UserStore::CheckToken(const std::string& token) const {
    if (token.empty()) {
        return std::nullopt;
    }
    const std::string hash = HashToken(token);
    std::optional<Identity> found;
    MutexLock lock(mutex_);
    // Every token compared, all the way: the time taken tells nothing of
    // which one, if any, came close.
    for (const Entry& e : entries_) {
        if (e.token && SameInConstantTime(e.hash, hash)) {
            found = Identity{e.name, e.role, true};
        }
    }
    return found;
}

std::size_t UserStore::Size() const {
    MutexLock lock(mutex_);
    return entries_.size();
}

std::string UserStore::Warning() const {
    MutexLock lock(mutex_);
    return warning_;
}

std::optional<Role> UserStore::RoleOf(const std::string& name) const {
    MutexLock lock(mutex_);
    for (const Entry& e : entries_) {
        if (!e.token && e.name == name) {
            return e.role;
        }
    }
    return std::nullopt;
}

std::uint64_t UserStore::Verifications() const {
    MutexLock lock(mutex_);
    return verifications_;
}

std::string UsersFilePath(const std::string& configured) {
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    if (credentials != nullptr && *credentials != '\0') {
        std::string copy = std::string(credentials) + "/users";
        if (access(copy.c_str(), R_OK) == 0) {
            return copy;
        }
    }
    return configured;
}

}  // namespace westnet::gateway::auth
