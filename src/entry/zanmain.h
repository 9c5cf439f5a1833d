// The driver's only export.
#pragma once

#include <cstdint>

#include "entry/records.h"

// Declared by the public header (through records.h) with its calling
// convention: __stdcall on the 32-bit DLL (the callee pops its one
// argument), none where the convention does not exist. The definition
// spells it WESTNET_STDCALL, which the build sets to the same.
