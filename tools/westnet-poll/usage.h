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
  write ADDRESS=VALUE...    Write word points (0 to 65535, 0x0000 to 0xFFFF, or
                            with --signed -32768 to -1) and bit points (0 or 1).
  read-block ADDRESS COUNT  Read COUNT consecutive words (1 to 64) from the word
                            point ADDRESS on; a block that would run past
                            register 65535 is refused.
  write-block ADDRESS V1 V2...
                            Write the words V1, V2... from the word point
                            ADDRESS on (1 to 64 words).
  poll ADDRESS...           Read the points again and again (see --interval and
                            --count), one row each with its time (ISO 8601,
                            UTC, milliseconds). While stderr is a terminal a
                            live line of statistics is shown there; a summary
                            (reads, results by code, latency minimum/median/
                            maximum, commands slower than the reply time-out,
                            times the line went down) always ends the run, on
                            --count, SIGINT or SIGTERM. A round in which every
                            read failed on the line closes the port; it is
                            opened again (CmdOpen) after 0.5 s, then 1, 2, 4, 8
                            and every 10 s until it answers, and the rows say
                            "line down" meanwhile.
  line-check [ADDRESS...]   Run the channel lifecycle on the line: open, purge,
                            close, reopen, shutdown, reconfigure and close, and
                            report each result; show the control flags in force
                            and a USB adapter's latency timer; then measure the
                            reply time of each station of the addresses given
                            and of each --station, with a 2 s time-out, and
                            recommend the smallest safe --timeout (the slowest
                            reply, half as much again, rounded up to tens of
                            milliseconds).

ADDRESSES
  A point address is two station digits (00 to 99) and five register digits
  (00001 to 65535), for example 0140001: station 1, register 40001. The
  register digits are a plain register number, counted from 1; 30001 or 40001
  imply no Modbus register type (no 3x input or 4x holding prefix). A bit point
  adds its bit number 1 to 16, bit 1 the lowest (0x0001) and bit 16 the
  highest (0x8000), for example "0140001 3" or 014000116. A text
  longer than seven characters is taken as a bit point (see --kind). A rejected
  address is explained: which position holds what, and what is allowed there;
  it keeps its row in the output, with the result "address rejected".
  Characters after a bit number are ignored by the driver, with a warning.
  Station 00 is never selected: the driver sends no selection frame for it, so
  it reads and writes whichever station the line selected last. It suits a
  line with one station that answers unselected, and is warned about when it
  shares a run with other stations.

REPLY TIME-OUT
  Every exchange waits for its reply for the reply time-out, then the driver
  tries again, up to six times. Without --timeout it is what the driver
  suggests in its information record: 4 tens of milliseconds, 40 ms. That
  suits a station that answers at once on a short line; a station slower than
  that answers too late, and the frames carry no sequence number, so its late
  reply can be taken for the answer to a later request: a wrong value shown as
  ok. read, write and poll count the commands slower than the reply time-out,
  and when there are any they warn, measure the stations that answered and say
  which --timeout avoids it; line-check measures at any time.

LINE OPTIONS
  --device PATH             Serial device: /dev/ttyUSB0, ttyUSB0 (a name without
                            '/' is under /dev/), /dev/serial/by-id/..., a
                            pseudo-terminal, or COM1 on Windows (COM10 and above
                            are passed on as \\.\COM10). The driver takes 11
                            characters: a longer path goes to it as the shortest
                            name of the same device. When it cannot be opened,
                            the system is asked why: no such device, not a
                            serial device, permission denied (and the group
                            that may use it), held by another program (its
                            process, where Linux tells it), or line settings
                            the device refuses.
  --baud N                  Baud rate, 1 to 65535.
  --data-bits N             Data bits, 5 to 8.
  --stop-bits 1|1.5|2       Stop bits.
  --parity none|odd|even|mark|space
                            Parity.
  --timeout MS              Reply time-out in milliseconds; the driver counts in
                            tens of milliseconds, so it is rounded up to the
                            next ten (see REPLY TIME-OUT).
  --rts on|off|toggle|handshake
                            How the driver drives RTS (toggle: raised while
                            sending, for RS-485 direction control).
  --dtr on|off|handshake    How the driver drives DTR.
  Without these options the line runs on the values that the driver suggests in
  its information record, as a host would: 9600 baud, 8 data bits, 2 stop bits,
  odd parity, a reply time-out of 40 ms, and the control flags that the open
  command stores, RTS on and DTR off. Other control flags reach the port as a
  host sets them: written into the channel record, which CmdReopen opens the
  port from; a port opened that way runs the driver's default reply time-out of
  1 s, and --timeout cannot apply.

OTHER OPTIONS
  --driver PATH             Driver library to load; by default libwestnet.so
                            next to westnet-poll, else the installed
                            libwestnet.so.1 (on Windows westnet.dll next to
                            westnet-poll.exe, else one folder up).
  --kind auto|word|bit      How to take addresses: auto (default) takes a text
                            longer than seven characters as a bit point.
  --points FILE             More arguments (addresses, or ADDRESS=VALUE for
                            write), one a line, after those on the command
                            line; blank lines and everything from a # on are
                            ignored.
  --words N                 parse: check the addresses as blocks of N words.
  --interval MS             poll: time from the start of one round to the start
                            of the next (default 1000).
  --count N                 poll: number of rounds (default 0: until
                            interrupted); line-check: samples per station
                            (default 5).
  --station N               line-check: measure station N (repeatable), on its
                            register 00001 unless an address names the station.
  --changes                 poll: show a point's row only when its value or
                            result differs from its last row shown.
  --log FILE                poll: append the rows to FILE as well, as JSON Lines
                            when FILE ends in .json, .jsonl or .ndjson, else as
                            CSV (with a header when the file is new), while the
                            terminal shows the --format chosen.
  --format table|csv|json   Output format (default table). JSON is an array of
                            objects; poll, which may run without end, writes
                            one object per line instead (JSON Lines). In JSON a
                            value is always a number; --hex and --binary add a
                            "hex" or "binary" field beside it.
  --hex                     Show values in hexadecimal (0x00FF).
  --binary                  Show values as 16 binary digits
                            (0b0000000011111111).
  --signed                  Show values as signed words (-32768 to 32767), and
                            accept negative values for write and write-block.
  --type TYPE               read: each address is the first register of a
                            value of TYPE (uint16, int16, uint32, int32,
                            float32, bcd16), read in one exchange and decoded
                            as westnet-gateway decodes it; the 32-bit types
                            take two registers.
  --word-order ORDER        read --type: low-first (the default: the first
                            register holds the low word) or high-first.
  --help                    Show this text and exit.
  --version                 Show the version and exit.
  An option the command does not use is ignored, with a warning.

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
  westnet-poll --device /dev/ttyS0 --points plant.txt --changes --log a.csv poll
                            Watch the points listed in plant.txt, show only
                            changes, and keep every row shown in a.csv.
  westnet-poll --device /dev/ttyS0 line-check 0140001 0540001
                            Measure stations 1 and 5 and print the reply
                            time-out to give them with --timeout.
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
