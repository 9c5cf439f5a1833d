// ZanMain and the command table: the command code indexes the table directly
// and the handler's result goes back to the host unchanged.
#include "entry/zanmain.h"

#include <cstddef>

#include "entry/commands.h"

namespace westnet {
namespace {

constexpr std::int32_t kCommandCount = 15;

// Slot 0 is never a command; codes 8 and 9 have no handler.
constexpr CommandHandler kCommandTable[kCommandCount + 1] = {
    nullptr,         // 0
    CmdOpen,         // 1
    CmdPurge,        // 2
    CmdParsePoint,   // 3
    CmdParseBlock,   // 4
    CmdReadPoint,    // 5
    CmdReadBlock,    // 6
    CmdWritePoint,   // 7
    nullptr,         // 8
    nullptr,         // 9
    CmdWriteBlock,   // 10
    CmdShutdown,     // 11
    CmdClose,        // 12
    CmdReopen,       // 13
    CmdGetInfo,      // 14
    CmdReconfigure,  // 15
};
static_assert(sizeof(kCommandTable) / sizeof(kCommandTable[0]) == 16, "codes 0 to 15");
static_assert(kCommandTable[0] == nullptr && kCommandTable[8] == nullptr &&
                  kCommandTable[9] == nullptr,
              "0, 8 and 9 are no commands");

}  // namespace

CommandHandler FindCommand(std::int32_t code) {
    if (code < 1 || code > kCommandCount) {
        return nullptr;
    }
    return kCommandTable[code];
}

}  // namespace westnet

// A code without a handler and a missing request are refused, never followed:
// a wrong call from the host must not bring the host down.
extern "C" std::int32_t WESTNET_STDCALL ZanMain(westnet::DriverRequest* request) {
    if (request == nullptr) {
        return westnet::ResBad;
    }
    const westnet::CommandHandler handler = westnet::FindCommand(request->command);
    if (handler == nullptr) {
        return westnet::ResBad;
    }
    return handler(request);
}
