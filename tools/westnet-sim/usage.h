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
                            the driver is given.
  --link PATH               Make PATH a symbolic link to the pseudo-terminal (a
                            stale link left there is replaced); it is removed
                            on exit. Not with --device.
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

STATION OPTIONS
  --image FILE              Load register images (repeatable; later lines win).
  --station N               Create station N (0 to 99) with all registers zero
                            (repeatable).
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

OUTPUT OPTIONS
  --trace                   One line per exchange on stderr:
                              SECONDS rx HEX | tx HEX | DECODING[ | fault KIND]
                            "tx -" when nothing is sent; dropped bytes are
                            shown the same way.
  --dump FILE               Write the register images to FILE on exit and on
                            SIGUSR1, in the image format: non-zero registers
                            only, an all-zero station as "SS00001 = 0", so
                            that it can be loaded again.
  --stats                   Print request, reply and fault counts on stderr on
                            exit.
  --help                    Show this text and exit.
  --version                 Show "westnet-sim VERSION" and exit.

DEVICE LINE
  Once it is ready to answer, westnet-sim prints one line on stdout and
  flushes it:
      device: PATH
  PATH is the pseudo-terminal (not the --link) or the --device path. Nothing
  else is printed on stdout. SIGINT, SIGTERM and SIGHUP end the run.

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

EXIT STATUS
  0   ended by SIGINT, SIGTERM or SIGHUP
  1   the line cannot be opened or fails, or the final dump cannot be written
  2   a bad option (with this text on stderr), or a bad image file, reported
      as "FILE:LINE: what is wrong"
)";

}  // namespace westnet::sim
