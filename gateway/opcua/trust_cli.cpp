// `westnet-gateway opcua trust FILE [--pki DIR]`: the one step that lets a
// new OPC UA client in. The OPC UA server puts the certificate of a client
// it does not know into PKI/rejected/ and says so in the log, with this
// command; moving the file to PKI/trusted/certs/ trusts it (the server looks
// at that folder again by itself).
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "opcua/opcua.h"

namespace westnet::gateway::opcua {
namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;

const char* const kUsageText =
    "Usage: westnet-gateway opcua trust FILE [--pki DIR]\n"
    "  Trusts the OPC UA client certificate FILE: moves it from the rejected/\n"
    "  folder of the gateway's OPC UA certificates to trusted/certs/. DIR is\n"
    "  that folder ([gateway] opcua_pki); by default the folder above FILE's\n"
    "  rejected/.\n";

std::string Parent(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool MakeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        return true;
    }
    return false;
}

}  // namespace

bool IsOpcuaCommand(int argc, const char* const* argv) {
    return argc >= 2 && std::string(argv[1]) == "opcua";
}

int OpcuaCommandMain(int argc, const char* const* argv) {
    std::string file;
    std::string pki;
    if (argc < 3 || std::string(argv[2]) != "trust") {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pki" && i + 1 < argc) {
            pki = argv[++i];
        } else if (!arg.empty() && arg[0] != '-' && file.empty()) {
            file = arg;
        } else {
            std::fputs(kUsageText, stderr);
            return kUsage;
        }
    }
    if (file.empty()) {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) {
        std::fprintf(stderr, "westnet-gateway: %s: %s\n", file.c_str(), std::strerror(errno));
        return kRefused;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "westnet-gateway: %s: not a certificate file\n", file.c_str());
        return kRefused;
    }
    if (pki.empty()) {
        const std::string folder = Parent(file);
        if (BaseName(folder) != "rejected") {
            std::fprintf(stderr,
                         "westnet-gateway: %s is not in a rejected/ folder: name the "
                         "certificates' folder with --pki DIR\n",
                         file.c_str());
            return kRefused;
        }
        pki = Parent(folder);
    }
    const std::string trusted = pki + "/trusted";
    const std::string target = trusted + "/certs/" + BaseName(file);
    if (!MakeFolder(pki) || !MakeFolder(trusted) || !MakeFolder(trusted + "/certs")) {
        std::fprintf(stderr, "westnet-gateway: cannot make %s/certs: %s\n", trusted.c_str(),
                     std::strerror(errno));
        return kRefused;
    }
    if (std::rename(file.c_str(), target.c_str()) != 0) {
        std::fprintf(stderr, "westnet-gateway: cannot move %s to %s: %s\n", file.c_str(),
                     target.c_str(), std::strerror(errno));
        return kRefused;
    }
    std::printf("trusted: %s; the client may connect now\n", target.c_str());
    return kDone;
}

}  // namespace westnet::gateway::opcua
