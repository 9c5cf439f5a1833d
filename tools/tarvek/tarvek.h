// The stand-in host library's one export, as its users outside the driver
// see it. Hosts of ours link the library and name `err` so that it is loaded
// before the driver, which binds its own reference to it.
#pragma once

extern "C" {
// Writes "[<code>] <text>" to stderr (and to $TARVEK_ERR_LOG); only %s and
// %% are expanded. Its result is not used.
int err(int code, const char* format, ...);
}
