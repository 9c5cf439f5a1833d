// The driver's only export.
#pragma once

#include <cstdint>

#include "entry/records.h"

// WESTNET_STDCALL comes from the build: __stdcall on the 32-bit DLL (the
// callee pops its one argument), empty where the convention does not exist.
extern "C" std::int32_t WESTNET_STDCALL ZanMain(westnet::DriverRequest* request);
