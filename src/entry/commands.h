// The command handlers and the table ZanMain dispatches through. Every
// handler takes the host's request and returns ResOk, ResBad or ResFail.
#pragma once

#include <cstdint>

#include "entry/records.h"

namespace westnet {

using CommandHandler = std::int32_t (*)(DriverRequest* request);

// Lifecycle (entry/lifecycle.cpp).
std::int32_t CmdOpen(DriverRequest* request);         // 1
std::int32_t CmdPurge(DriverRequest* request);        // 2
std::int32_t CmdShutdown(DriverRequest* request);     // 11
std::int32_t CmdClose(DriverRequest* request);        // 12
std::int32_t CmdReopen(DriverRequest* request);       // 13
std::int32_t CmdGetInfo(DriverRequest* request);      // 14
std::int32_t CmdReconfigure(DriverRequest* request);  // 15
// Point addresses (address/parser.cpp).
std::int32_t CmdParsePoint(DriverRequest* request);  // 3
std::int32_t CmdParseBlock(DriverRequest* request);  // 4
// Reads (highway/read.cpp) and writes (highway/write.cpp).
std::int32_t CmdReadPoint(DriverRequest* request);   // 5
std::int32_t CmdReadBlock(DriverRequest* request);   // 6
std::int32_t CmdWritePoint(DriverRequest* request);  // 7
std::int32_t CmdWriteBlock(DriverRequest* request);  // 10

// Looks a command code up; null when the code has no handler.
CommandHandler FindCommand(std::int32_t code);

}  // namespace westnet
