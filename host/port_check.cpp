// The halves of the port check that every system shares: names, texts and
// the reading of Linux's lock table.
#include <cstdlib>
#include <sstream>

#include "port_check.h"

namespace westnet::host {

std::string LineText(const LineParams& line) {
    static const char kParity[] = "NOEMS";
    const unsigned parity = line.parity & 0xFFU;
    const unsigned stop = line.stopBits & 0xFFU;
    std::string text =
        std::to_string(line.baudRate) + " baud " + std::to_string(line.dataBits & 0xFFU);
    text += parity < 5 ? std::string(1, kParity[parity])
                       : "(parity code " + std::to_string(parity) + ")";
    switch (stop) {
        case 0:
            return text + "1";
        case 1:
            return text + "1.5";
        case 2:
            return text + "2";
        default:
            return text + "(stop-bits code " + std::to_string(stop) + ")";
    }
}

// The driver's reading of the flags: the first mask that matches wins.
std::string ControlFlagsText(ControlFlags flags) {
    std::string rts = "RTS off";
    if ((flags & WESTNET_RTS_ON) != 0) {
        rts = "RTS on";
    } else if ((flags & WESTNET_RTS_HANDSHAKE) != 0) {
        rts = "RTS handshake";
    } else if ((flags & WESTNET_RTS_TOGGLE) != 0) {
        rts = "RTS toggle";
    }
    std::string dtr = "DTR off";
    if ((flags & WESTNET_DTR_ON) != 0) {
        dtr = "DTR on";
    } else if ((flags & WESTNET_DTR_HANDSHAKE) != 0) {
        dtr = "DTR handshake";
    }
    return rts + ", " + dtr;
}

// A line reads "1: FLOCK  ADVISORY  WRITE 4711 00:1a:4 0 EOF"; a process
// waiting for a lock has "->" after the number and holds nothing. The device
// numbers are hexadecimal, the inode decimal.
std::vector<long> LockHolders(const std::string& procLocks, unsigned major, unsigned minor,
                              unsigned long inode) {
    std::vector<long> holders;
    std::istringstream lines(procLocks);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string number, type, mode, access, pid, id;
        if (!(fields >> number >> type) || type == "->" ||
            !(fields >> mode >> access >> pid >> id)) {
            continue;
        }
        const std::size_t first = id.find(':');
        const std::size_t second = first == std::string::npos ? first : id.find(':', first + 1);
        if (second == std::string::npos) {
            continue;
        }
        char* end = nullptr;
        const unsigned long lockMajor = std::strtoul(id.c_str(), &end, 16);
        const unsigned long lockMinor = std::strtoul(id.c_str() + first + 1, &end, 16);
        const unsigned long lockInode = std::strtoul(id.c_str() + second + 1, &end, 10);
        const long holder = std::strtol(pid.c_str(), &end, 10);
        if (lockMajor == major && lockMinor == minor && lockInode == inode && holder > 0) {
            holders.push_back(holder);
        }
    }
    return holders;
}

}  // namespace westnet::host
