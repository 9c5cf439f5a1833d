// What the driver uses of the host library (TARVEK.dll / libtarvek.so).
#pragma once

extern "C" {
// The host's reporter: an integer, a format with %s placeholders, the texts.
// Its result is not used.
int err(int code, const char* format, ...);
}
