#include "auth/user_cli.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "auth/users.h"
#include "cli_args.h"
#include "usage.h"

namespace westnet::gateway::auth {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kPasswordMin = 8;
constexpr char kDefaultUsersFile[] = "/etc/westnet/users";

// Options that take a value, wherever they stand before the command.
bool TakesValue(const std::string& arg) {
    return arg == "--users" || arg == "--log-level";
}

// A refusal: its message and exit status.
struct Refusal {
    std::string text;
    int status = kExitRefused;
};

[[noreturn]] void Refuse(const std::string& text, int status = kExitRefused) {
    throw Refusal{text, status};
}

// Characters, not bytes: a UTF-8 password of eight letters is long enough.
std::size_t Characters(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

void CheckNewPassword(const std::string& password) {
    if (password.empty()) {
        Refuse("empty password");
    }
    if (Characters(password) < kPasswordMin) {
        Refuse("the password must have at least " + std::to_string(kPasswordMin) + " characters");
    }
}

std::string WithoutLineEnd(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// The terminal's settings while echo is off, for a signal to restore.
struct termios g_saved;
volatile sig_atomic_t g_echoOff = 0;

void RestoreEchoAndDie(int signal) {
    if (g_echoOff != 0) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    }
    ::signal(signal, SIG_DFL);
    raise(signal);
}

// One line typed on the terminal with echo off.
std::string AskHidden(const std::string& prompt) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    struct termios quiet {};
    const bool canHide = tcgetattr(STDIN_FILENO, &g_saved) == 0;
    struct sigaction restore {};
    struct sigaction previous[3]{};
    const int signals[3] = {SIGINT, SIGTERM, SIGHUP};
    if (canHide) {
        restore.sa_handler = &RestoreEchoAndDie;
        sigemptyset(&restore.sa_mask);
        for (int i = 0; i < 3; ++i) {
            sigaction(signals[i], &restore, &previous[i]);
        }
        quiet = g_saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        g_echoOff = 1;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (canHide) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
        g_echoOff = 0;
        for (int i = 0; i < 3; ++i) {
            sigaction(signals[i], &previous[i], nullptr);
        }
    }
    if (!got) {
        Refuse("no password typed");
    }
    return WithoutLineEnd(line);
}

// The new password: the first line of `passwordFile`, or typed twice on the
// terminal, or the one line standard input holds when it is not a terminal.
std::string NewPassword(const std::string& name, const std::string& passwordFile) {
    std::string password;
    if (!passwordFile.empty()) {
        std::ifstream in(passwordFile, std::ios::binary);
        if (!in) {
            Refuse("cannot read the password file " + passwordFile + ": " + std::strerror(errno));
        }
        std::getline(in, password);
        password = WithoutLineEnd(password);
    } else if (isatty(STDIN_FILENO) != 0) {
        password = AskHidden("New password for " + name + ": ");
        CheckNewPassword(password);
        if (AskHidden("The same again: ") != password) {
            Refuse("the two passwords differ; nothing changed");
        }
    } else {
        if (!std::getline(std::cin, password)) {
            Refuse("no password on standard input (one line is read when it is not a terminal)");
        }
        password = WithoutLineEnd(password);
    }
    CheckNewPassword(password);
    return password;
}

void CheckName(const std::string& name) {
    if (!ValidName(name)) {
        Refuse("bad name '" + name.substr(0, 80) + "': 1 to 64 of A-Z a-z 0-9 . _ @ -", kExitUsage);
    }
}

Role CheckRole(const std::string& text) {
    Role role = Role::Viewer;
    if (!ParseRole(text, role)) {
        Refuse("unknown role '" + text.substr(0, 64) + "': viewer, operator or admin", kExitUsage);
    }
    return role;
}

std::vector<Entry> Read(const std::string& path) {
    std::vector<Entry> entries;
    std::string error;
    if (!ReadEntries(path, entries, error)) {
        Refuse(error + "\nnothing changed");
    }
    return entries;
}

void Write(const std::string& path, const std::vector<Entry>& entries) {
    std::string error;
    if (!WriteEntries(path, entries, error)) {
        Refuse(error);
    }
}

const char* Kind(bool token) {
    return token ? "token" : "user";
}

std::vector<Entry>::iterator Find(std::vector<Entry>& entries, bool token,
                                  const std::string& name) {
    const auto found = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) {
        return e.token == token && e.name == name;
    });
    if (found == entries.end()) {
        Refuse(std::string("no ") + Kind(token) + " named '" + name + "'");
    }
    return found;
}

void CheckFree(const std::vector<Entry>& entries, const std::string& name) {
    for (const Entry& e : entries) {
        if (e.name == name) {
            Refuse("the name '" + name + "' is taken already, by a " + Kind(e.token));
        }
    }
}

void Done(const std::string& what, const std::string& path) {
    std::fprintf(stderr,
                 "westnet-gateway: %s in %s; a running gateway sees it at its next reload "
                 "(SIGHUP), the service at its next start (systemctl restart "
                 "westnet-gateway)\n",
                 what.c_str(), path.c_str());
}

void List(const std::string& path, bool tokens) {
    std::vector<Entry> entries;
    std::string error;
    bool missing = false;
    if (!ReadEntries(path, entries, error, &missing)) {
        Refuse(error);
    }
    const std::string warning = FileModeWarning(path);
    if (!warning.empty()) {
        std::fprintf(stderr, "westnet-gateway: warning: %s\n", warning.c_str());
    }
    if (missing) {
        std::fprintf(stderr, "westnet-gateway: %s does not exist yet: no users, no tokens\n",
                     path.c_str());
    }
    std::size_t width = 0;
    for (const Entry& e : entries) {
        if (e.token == tokens) {
            width = std::max(width, e.name.size());
        }
    }
    for (const Entry& e : entries) {
        if (e.token == tokens) {
            std::printf("%-*s  %s\n", static_cast<int>(width), e.name.c_str(), RoleName(e.role));
        }
    }
}

// What the command line asked for.
struct Command {
    std::string usersFile = kDefaultUsersFile;
    bool token = false;
    std::string action;  // add, passwd, del, list
    std::string name;
    std::string role;
    std::string passwordFile;
};

int Run(const Command& c) {
    const std::string& path = c.usersFile;
    if (c.action == "list") {
        List(path, c.token);
        return kExitOk;
    }
    CheckName(c.name);
    if (c.action == "add") {
        const Role role = CheckRole(c.role);
        std::vector<Entry> entries = Read(path);
        CheckFree(entries, c.name);
        if (c.token) {
            const std::string token = NewToken();
            entries.push_back(Entry{true, c.name, role, HashToken(token)});
            Write(path, entries);
            // Alone on its line, for a script to take; it is not kept.
            std::printf("%s\n", token.c_str());
            std::fflush(stdout);
            Done("token " + c.name + " (" + RoleName(role) + ") added", path);
            std::fprintf(stderr, "westnet-gateway: the token is shown this once: keep it now\n");
        } else {
            const std::string password = NewPassword(c.name, c.passwordFile);
            // Read again: the password may have taken its typist a while.
            entries = Read(path);
            CheckFree(entries, c.name);
            entries.push_back(Entry{false, c.name, role, HashPassword(password)});
            Write(path, entries);
            Done("user " + c.name + " (" + RoleName(role) + ") added", path);
        }
    } else if (c.action == "passwd") {
        std::vector<Entry> entries = Read(path);
        Find(entries, false, c.name);
        const std::string password = NewPassword(c.name, c.passwordFile);
        entries = Read(path);
        Find(entries, false, c.name)->hash = HashPassword(password);
        Write(path, entries);
        Done("the password of user " + c.name + " changed", path);
    } else if (c.action == "del") {
        std::vector<Entry> entries = Read(path);
        entries.erase(Find(entries, c.token, c.name));
        Write(path, entries);
        Done(std::string(Kind(c.token)) + " " + c.name + " removed", path);
    }
    return kExitOk;
}

}  // namespace

bool IsUserCommand(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            return false;
        }
        if (TakesValue(arg)) {
            ++i;
        } else if (arg.empty() || arg[0] != '-') {
            return arg == "user" || arg == "token";
        }
    }
    return false;
}

int UserCommandMain(int argc, const char* const* argv) {
    CLI::App app{"", "westnet-gateway"};
    app.fallthrough();
    Command c;
    std::string level;
    app.add_option("--users", c.usersFile);
    // Taken as by the daemon; these commands log nothing.
    app.add_option("--log-level", level);

    CLI::App* user = app.add_subcommand("user");
    CLI::App* token = app.add_subcommand("token");
    std::vector<std::pair<CLI::App*, bool>> leaves;
    for (CLI::App* kind : {user, token}) {
        const bool isToken = kind == token;
        CLI::App* add = kind->add_subcommand("add");
        add->add_option("NAME", c.name)->required();
        add->add_option("--role", c.role)->required();
        if (!isToken) {
            add->add_option("--password-file", c.passwordFile);
            CLI::App* passwd = kind->add_subcommand("passwd");
            passwd->add_option("NAME", c.name)->required();
            passwd->add_option("--password-file", c.passwordFile);
            leaves.emplace_back(passwd, isToken);
        }
        CLI::App* del = kind->add_subcommand("del");
        del->add_option("NAME", c.name)->required();
        CLI::App* list = kind->add_subcommand("list");
        for (CLI::App* leaf : {add, del, list}) {
            leaves.emplace_back(leaf, isToken);
        }
        kind->require_subcommand(1);
    }
    app.require_subcommand(1);
    try {
        std::vector<std::string> reversed;
        for (int i = argc - 1; i >= 1; --i) {
            cli::AddReversed(reversed, argv[i]);
        }
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        std::fputs(kUsageText, stdout);
        return kExitOk;
    } catch (const CLI::CallForAllHelp&) {
        std::fputs(kUsageText, stdout);
        return kExitOk;
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "westnet-gateway: %s\nRun westnet-gateway --help for the options.\n",
                     e.what());
        return kExitUsage;
    }
    for (const auto& [leaf, isToken] : leaves) {
        if (leaf->parsed()) {
            c.action = leaf->get_name();
            c.token = isToken;
        }
    }
    if (c.usersFile.empty()) {
        std::fprintf(stderr, "westnet-gateway: --users names no file\n");
        return kExitUsage;
    }
    try {
        return Run(c);
    } catch (const Refusal& r) {
        std::fprintf(stderr, "westnet-gateway: %s\n", r.text.c_str());
        if (r.status == kExitUsage) {
            std::fprintf(stderr, "Run westnet-gateway --help for the options.\n");
        }
        return r.status;
    }
}

}  // namespace westnet::gateway::auth
