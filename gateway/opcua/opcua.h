// The OPC UA front end of westnet-gateway. The OPC UA stack is a Node.js
// program of ours (opcua/server.js, on the npm package node-opcua-server):
// Debian packages no C or C++ stack. This front end runs it as a child
// process, supervises it (started again, with a growing pause, whenever it
// ends; its output in the gateway's log) and is its only link to the plant.
//
// The link is a socket pair: the child finds its end on file descriptor 3,
// inherited, and nothing else can open it; no address, no secret in a file or
// the environment. Over it, one JSON object a line:
//
//   gateway -> program   {"type":"config",...}  the opcua keys, at start
//                        {"type":"plant","points":[...],"stations":[...]}
//                        {"type":"point","point":{...}}   a value or quality changed
//                        {"type":"station","line":L,"station":N,"state":"ok"}
//                        {"type":"reply","id":N,...}       to a login or a write
//   program -> gateway   {"type":"login","id":N,"user":U,"password":P,
//                         "client":"ADDR:PORT"}
//                        {"type":"write","id":N,"user":U,"client":"ADDR:PORT",
//                         "line":L,"name":NAME,"value":JSON}
//
// A point is the object /api/points gives for it. Changes are pushed as the
// scan makes them (coalesced per point while the program is slow to take
// them), never polled. Passwords are checked here against the users file,
// which the program never reads, and failed ones counted per client
// machine as HTTP counts them; a write names a user that logged in over
// the link, goes through DecodeWrite and Service::WritePoint as any other
// front end's, and is audited with front end "opcua".
#pragma once

#include <memory>
#include <string>

#include "scan/service.h"

namespace westnet::gateway::opcua {

// As the daemon builds its front ends: null when [gateway] opcua is "".
std::unique_ptr<FrontEnd> MakeOpcuaFrontEnd(const GatewayConfig& config, Service& service);

// The program the front end runs: $WESTNET_OPCUA_DIR/server.js, else
// opcua/server.js beside the gateway's executable (the build folder), else
// ../lib/westnet/opcua/server.js from it (an install: /usr/bin and
// /usr/lib/westnet/opcua), else /usr/lib/westnet/opcua/server.js.
std::string ProgramPath();

// `westnet-gateway opcua trust FILE`: a client certificate the OPC UA server
// put in its rejected/ folder moves to trusted/certs/, so that the client
// may connect. Exit status 0 done, 1 refused, 2 a bad command line.
bool IsOpcuaCommand(int argc, const char* const* argv);
int OpcuaCommandMain(int argc, const char* const* argv);

}  // namespace westnet::gateway::opcua
