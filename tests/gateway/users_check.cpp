// What the daemon would make of a users file, for the shell tests of
// `westnet-gateway user|token`: loads FILE as the daemon does and checks one
// credential.
//
//   users_check FILE token TOKEN
//   users_check FILE password NAME PASSWORD
//
// Prints NAME ROLE and exits 0 when accepted; 1 refused; 2 the file does
// not load (its error on stderr).
#include <cstdio>
#include <string>

#include "auth/users.h"

int main(int argc, char** argv) {
    using namespace westnet::gateway::auth;
    const std::string kind = argc > 2 ? argv[2] : "";
    if (!((argc == 4 && kind == "token") || (argc == 5 && kind == "password"))) {
        std::fprintf(stderr, "usage: users_check FILE token TOKEN | FILE password NAME PASSWORD\n");
        return 2;
    }
    UserStore store;
    std::string error;
    if (!store.Load(argv[1], error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    const auto who =
        kind == "token" ? store.CheckToken(argv[3]) : store.CheckPassword(argv[3], argv[4]);
    if (!who) {
        return 1;
    }
    std::printf("%s %s%s\n", who->name.c_str(), RoleName(who->role), who->token ? " token" : "");
    return 0;
}
