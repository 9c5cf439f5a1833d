#include "history/target.h"

namespace westnet::gateway {

bool ParseHistoryTarget(const std::string& text, HistoryTarget& target, std::string& why) {
    static const std::string sqlite = "sqlite:";
    if (text.rfind(sqlite, 0) == 0) {
        target = {HistoryTarget::Kind::Sqlite, text.substr(sqlite.size()), ""};
        if (target.path.empty()) {
            why = "\"sqlite:\" needs a file, as \"sqlite:/var/lib/westnet/history.db\"";
            return false;
        }
        return true;
    }
    for (const char* scheme : {"postgresql://", "postgres://"}) {
        const std::string s = scheme;
        if (text.rfind(s, 0) == 0) {
            const std::string rest = text.substr(s.size());
            const std::size_t slash = rest.find('/');
            if (rest.empty() || slash == 0 || slash == std::string::npos ||
                slash + 1 == rest.size()) {
                why = "a PostgreSQL server is written \"postgresql://USER@HOST[:PORT]/DATABASE\"";
                return false;
            }
            target = {HistoryTarget::Kind::Postgres, "", text};
            return true;
        }
    }
    why = "must be \"sqlite:PATH\" or \"postgresql://USER@HOST[:PORT]/DATABASE\"";
    return false;
}

}  // namespace westnet::gateway
