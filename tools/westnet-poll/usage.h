// The help text of westnet-poll, in one place: --help prints it and the
// manual page is generated from it. Keep the section headings in capitals and
// the option lines indented by two spaces: the generator relies on both.
#pragma once

namespace westnet::poll {

inline constexpr char kUsageText[] =
    R"(Usage: westnet-poll [OPTIONS] COMMAND [ARGUMENTS...]

Talks to controllers on a WestNet II Data HighWay line through the driver
library, exactly as the supervisory host does: it loads the driver, calls only
its ZanMain entry point and fills the host's records itself.

COMMANDS
  info                      Show the driver's information record: name, banner,
                            suggested line parameters and constants.
  parse ADDRESS...          Check and decode point addresses: station, register
                            (as written and zero-based), bit and kind. Needs no
                            line.
  read ADDRESS...           Read word points (seven characters: two station
                            digits, five register digits) and bit points (the
                            same followed by a bit number 1 to 16).
  write ADDRESS=VALUE...    Write word points (0 to 65535, or 0x0000 to 0xFFFF)
                            and bit points (0 or 1).
  read-block ADDRESS COUNT  Read COUNT consecutive words (1 to 64) from the word
                            point ADDRESS on.
  write-block ADDRESS V1 V2...
                            Write the words V1, V2... from the word point
                            ADDRESS on (1 to 64 words).
  poll ADDRESS...           Read the points again and again (see --interval and
                            --count). While stderr is a terminal a live line of
                            statistics is shown there; a summary (reads, results
                            by code, latency minimum/median/maximum) always ends
                            the run.
  line-check                Run the channel lifecycle on the line: open, purge,
                            close, reopen, shutdown, reconfigure and close, and
                            report each result.

ADDRESSES
  A point address is two station digits (00 to 99) and five register digits
  (00001 to 65535), for example 0140001: station 1, register 40001. A bit point
  adds its bit number 1 to 16, for example "0140001 3" or 014000116. A text
  longer than seven characters is taken as a bit point (see --kind). A rejected
  address is explained: which position holds what, and what is allowed there.

LINE OPTIONS
  --device PATH             Serial device: /dev/ttyUSB0, ttyUSB0 (a name without
                            '/' is under /dev/), /dev/serial/by-id/..., a
                            pseudo-terminal, or COM1 on Windows (COM10 and above
                            are passed on as \\.\COM10). The driver takes 11
                            characters: a longer path goes to it as the shortest
                            name of the same device.
  --baud N                  Baud rate, 1 to 65535.
  --data-bits N             Data bits, 5 to 8.
  --stop-bits 1|1.5|2       Stop bits.
  --parity none|odd|even|mark|space
                            Parity.
  --timeout MS              Reply time-out in milliseconds; the driver counts in
                            tens of milliseconds, so it is rounded up to the
                            next ten.
  Without these options the line runs on the values that the driver suggests in
  its information record, as a host would: 9600 baud, 8 data bits, 2 stop bits,
  odd parity, and a reply time-out of 40 ms.

OTHER OPTIONS
  --driver PATH             Driver library to load; by default libwestnet.so
                            next to westnet-poll, else the installed
                            libwestnet.so.1 (on Windows westnet.dll next to
                            westnet-poll.exe, else one folder up).
  --kind auto|word|bit      How to take addresses: auto (default) takes a text
                            longer than seven characters as a bit point.
  --words N                 parse: check the addresses as blocks of N words.
  --interval MS             poll: time from the start of one round to the start
                            of the next (default 1000).
  --count N                 poll: number of rounds (default 0: until
                            interrupted).
  --format table|csv|json   Output format (default table). JSON is an array of
                            objects; poll, which may run without end, writes
                            one object per line instead (JSON Lines).
  --hex                     Show values in hexadecimal.
  --help                    Show this text and exit.
  --version                 Show the version and exit.

EXAMPLES
  westnet-poll --device /dev/ttyS0 read 0140001 "0140002 3"
                            Read register 40001 of station 1 and bit 3 of its
                            register 40002.
  westnet-poll --device COM3 --baud 19200 --parity even write 0540001=0x00FF
                            Write a word on Windows, on a line set up otherwise
                            than the driver suggests.
  westnet-poll --device /dev/ttyS0 --format csv read-block 0240001 64
                            Read 64 words from station 2 as CSV.
  westnet-poll --device /dev/ttyS0 --interval 500 --count 20 poll 0140001
                            Read a point twice a second for 20 rounds, then show
                            the summary.
  westnet-poll parse 0170000
                            Explain why an address is rejected (needs no line).

EXIT STATUS
  0   success
  2   usage error: unknown command or option, malformed value
  3   data refused: an address or block size was rejected, or a reply failed
      its checksum on every attempt (the driver's result 1)
  4   line failure: the device could not be opened or closed, or a station did
      not answer in full (the driver's result 2)
  5   the driver library could not be loaded or has no ZanMain
  When a run has both kinds of failure, 4 wins over 3.

ENVIRONMENT
  TARVEK_ERR_LOG            The stand-in host library appends each message that
                            the driver reports (a failed open) to this file.
)";

}  // namespace westnet::poll
