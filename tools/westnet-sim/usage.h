// The one description of westnet-sim's command line: --help prints it and the
// manual page is generated from it. Keep the section headings in capitals and
// the option lines indented by two spaces: the generator relies on both.
#pragma once

namespace westnet::sim {

static const char* const kUsage =
    R"(Usage: westnet-sim [OPTIONS]

Plays the stations of a WestNet II Data HighWay on a serial line, to test the
driver without a plant: it answers select, read and write requests from
register images held in memory, and can inject faults into its replies.

LINE OPTIONS
  --device PATH             Serve an existing serial device, configured raw at
                            --baud (9600 if not given) and --format. Without
                            it, westnet-sim opens a pseudo-terminal whose path
                            the driver is given. On Windows (westnet-sim.exe)
                            it is required and names a COM port: COM5, or
                            COM12 (opened as \\.\COM12, which it may also be
                            given as).
  --link PATH               Make PATH a symbolic link to the pseudo-terminal; it
                            is removed on exit. A link left behind by an
                            earlier run is replaced, but one that leads to the
                            terminal of a simulator still running is refused.
                            Not with --device, not on Windows.
  --baud N                  Line speed, 1 to 4000000 (with --device: a speed
                            that termios knows). It also paces the replies:
                            every byte leaves one character time after the one
                            before, so N reply bytes take N character times.
                            Without --baud a reply is written at once.
  --format DPS              Character format: data bits 5 to 8, parity N, O, E,
                            M or S, stop bits 1, 1.5 or 2 (default 8O2, the
                            driver's suggested format). A character is a start
                            bit, the data bits, a parity bit unless N, and the
                            stop bits.
  --gap MS                  Silence that ends a partial request, which is then
                            dropped (default 20, or 3 character times if that
                            is longer). After a header with a bad checksum or
                            an unknown op code, everything up to such a gap is
                            dropped too, since its length cannot be trusted.
  --turnaround MS           Wait this long before every reply (default 0).
  --control PATH            Make a Unix-domain stream socket at PATH, through
                            which single stations are controlled while the
                            line runs (see CONTROL); it is removed on exit.
                            One left behind by an earlier run is replaced,
                            one that a running program listens on is refused.
                            Not on Windows.
  A client that closes the pseudo-terminal leaves it in the state it set;
  once the last one has closed it, westnet-sim puts it back into its own raw
  state and discards what was left unread, so that the next client's set-up
  is always a change the terminal takes (a terminal keeps no parity bit, and
  Wine's SetCommState refuses a set-up whose only change is that bit).

STATION OPTIONS
  --image FILE              Load register images (repeatable; later lines win).
                            At most 64 MB a file and 1 MB a line; a UTF-8
                            byte-order mark at the start is skipped.
  --station N               Create station N (0 to 99) with all registers zero
                            (repeatable).
  --animate ADDRESS=KIND[:MS]
                            Make the register ADDRESS (image notation, e.g.
                            0140001) change by itself every MS milliseconds
                            (1 to 3600000, default 1000); repeatable, and the
                            station is created if need be. Period k runs from
                            k MS to (k+1) MS after the device line; in it
                              counter  holds its start value + k, wrapping
                                       from 65535 to 0
                              toggle   holds its start value in period 0,
                                       then 1 and 0 by turns (0 and 1 if it
                                       started non-zero)
                              sine     runs a cycle of 64 periods: 0 in period
                                       0, 32768 in 16, 65535 in 32, 32768 in
                                       48, 0 again in 64
                            A write lasts until the next period; a counter or
                            a toggle then goes on from the written value.
                            --trace shows each change as an ANIMATE line,
                            timed at the start of its period.
  A station exists if it appears in an image or a --station; each has 65536
  registers. Image files use the host's address notation:
      # comment
      0140001 = 1234            station 01, register 40001
      0540010 = 1, 2, 0x0003    station 05, registers 40010 to 40012
  Two station digits and five register digits 00001 to 65535 (one-based:
  0140001 is register 40000 on the wire), values 0 to 65535 in decimal or 0x
  hex. A list fills consecutive registers and wraps past the last one.

FAULT OPTIONS
  --fault KIND=P            Inject KIND with probability P, 0 to 1
                            (repeatable; all P together at most 1).
  --seed N                  Seed of the random faults and noise bytes (default
                            1, so that a run can be repeated).
  --script LIST             Comma-separated faults for the first requests, one
                            entry per answered request, in order; after the
                            last entry the --fault rates apply, if any. An
                            entry is ok or a KIND; late=MS sets its own delay.
  --late-ms MS              Delay of a late reply (default 1500).
  A fault is drawn only for a request that a station answers: frames that get
  no answer anyway (bad checksum, unknown op code, no such station, nothing
  selected, bad data check) use up no script entry and no draw. KIND is one of:
      bad-checksum  reply header checksum wrong              write applied
      bad-data      block read: data check byte wrong;
                    other replies: header checksum wrong     write applied
      silence       no reply: the request is lost, and a
                    select leaves the selection as it was    write NOT applied
      short         only the first half of the reply         write applied
      noise         1 to 4 random bytes, then the whole
                    reply, which the driver reads out of
                    step (the rest waits for its purge)      write applied
      late          the whole reply, after the delay;
                    requests that arrive meanwhile are
                    answered after it                        write applied

CONTROL
  A client of the --control socket sends one command a line and gets one
  answer line for each: "ok" (with the status after it for status) or
  "error: " and what is wrong, which changes nothing. NN is a station, 0 to
  99 in one or two digits, that the plant has.
      silence NN            NN stops answering, as if dead: its requests get
                            no reply and have no effect, and a select of it
                            drops the selection, as for a missing station
      answer NN             NN answers again
      fault NN KIND=P ...   NN's own faults, one or more KIND=P as --fault:
                            they replace the line's --fault rates and
                            --script for NN's requests (a select of NN, or a
                            read or write while NN is selected)
      fault NN off          NN takes the line's faults again
      status                "ok" and every station: "01 answers; 05 silenced,
                            faults noise=0.1"
      help                  "ok commands: " and the list of them
  Commands are served between the line's reads and writes, on the same
  thread: a reply already on its way still goes out. Up to 8 clients at
  once; a line over 512 bytes is refused, and a client that does not read
  its answers is dropped. --trace shows each command as a CONTROL line.
  For example: echo 'silence 05' | socat - UNIX-CONNECT:/tmp/hw.ctl

OUTPUT OPTIONS
  --trace                   One line per exchange on stderr:
                              SECONDS rx HEX | tx HEX | DECODING[ | fault KIND]
                            "tx -" when nothing is sent; dropped bytes are
                            shown the same way.
  --dump FILE               Write the register images to FILE on exit and on
                            SIGUSR1 (Linux), in the image format: non-zero
                            registers only, an all-zero station as
                            "SS00001 = 0", so that it can be loaded again.
                            Checked at the start: a FILE that cannot be
                            written ends the run before it begins.
  --stats                   Print request, reply and fault counts on stderr on
                            exit.
  --help                    Show this text and exit.
  --version                 Show "westnet-sim VERSION" and exit.

DEVICE LINE
  Once it is ready to answer, westnet-sim prints one line on stdout and
  flushes it:
      device: PATH
  PATH is the pseudo-terminal (not the --link) or the --device path. Nothing
  else is printed on stdout. SIGINT, SIGTERM and SIGHUP end the run at once,
  during a turnaround, a late reply or a paced reply too; the link is removed
  and the dump written. On Windows Ctrl+C, Ctrl+Break and closing the console
  window do the same.

WINDOWS
  westnet-sim.exe serves a COM port given with --device; Windows has no
  pseudo-terminals. To test a host on its own machine, install a virtual
  null-modem pair (com0com, for example COM5 <-> COM6): the host opens one
  end, westnet-sim.exe the other:
      westnet-sim.exe --device COM6 --image plant.img --trace
  Images, faults, pacing, animations, trace and dump work as on Linux;
  --link, --control and SIGUSR1 do not exist there.

EXAMPLES
  westnet-sim --image plant.img
                            Play the stations of plant.img on a new
                            pseudo-terminal, named on the first line of output.
  westnet-sim --image plant.img --link /tmp/hw --trace
                            The same, reachable as /tmp/hw (for example
                            westnet-poll --device /tmp/hw read 0140001), with
                            every exchange shown on stderr.
  westnet-sim --device /dev/ttyS1 --format 8O2 --station 1 --station 2
                            Answer as stations 1 and 2 on a real serial port at
                            9600 baud, wired to the host's port by a null-modem
                            cable.
  westnet-sim --image plant.img --fault silence=0.1 --seed 7 --stats
                            Lose one request in ten, the same ones on every
                            run, and show the counts on exit.
  westnet-sim --image plant.img --animate 0140001=counter:100
                            Register 40001 of station 1 counts up ten times a
                            second, for a scan's change detection to see.

EXIT STATUS
  0   ended by SIGINT, SIGTERM or SIGHUP (Ctrl+C or the console closed)
  1   the line cannot be opened or fails, the --link or the --control
      socket is in use or cannot be made, or the final dump cannot be
      written
  2   a bad option (with a usage line on stderr), a --dump that cannot be
      written, or a bad image file, reported as "FILE:LINE: what is wrong"
      (or "FILE: what is wrong" for a file that is no image at all)
)";

}  // namespace westnet::sim
