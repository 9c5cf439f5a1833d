// `westnet-gateway [--users FILE] user|token ...`: the users file's
// management from the command line (users, roles, passwords, API tokens).
#pragma once

namespace westnet::gateway::auth {

// True when the first argument that is neither an option nor an option's
// value is `user` or `token`: the command line is one for UserCommandMain.
bool IsUserCommand(int argc, const char* const* argv);

// Runs a user or token command; the exit status: 0 done, 1 refused (an
// unknown name, a name taken, a bad password, a file that cannot be read or
// written), 2 a bad command line.
int UserCommandMain(int argc, const char* const* argv);

}  // namespace westnet::gateway::auth
