// The help text of westnet-gateway, in one place: --help prints it and the
// manual page is generated from it. Keep the section headings in capitals and
// the option lines indented by two spaces: the generator relies on both.
#pragma once

namespace westnet::gateway {

inline constexpr char kUsageText[] =
    R"(Usage: westnet-gateway [OPTIONS] PLANT
  or:  westnet-gateway [--users FILE] user|token COMMAND [ARGS]
  or:  westnet-gateway opcua trust FILE [--pki DIR]

Owns the serial lines of a plant of WestNet II Data HighWay controllers,
scans them through the driver in block reads and serves the values to other
systems: over HTTP (a status page at /, a JSON API under /api, Prometheus
metrics at /metrics), over Modbus TCP, MQTT, Sparkplug B and OPC UA, as the
plant file PLANT says. A station that stops answering is demoted and probed now and then, so
that it never stalls the others; a line whose stations all fail is closed
and opened again until it answers. The plant file (TOML) names the front
ends under [gateway], each serial line under [[line]] and each point under
[[line.point]]; docs/gateway.md describes it key by key. The user and token
commands manage the users file: who may read, write and audit, with which
password or API token.

OPTIONS
  --check                   Check the plant file and print the read plan (the
                            blocks per station and their wire time at the
                            line's speed), opening nothing.
  --log-level LEVEL         The least severe messages logged: error, warning,
                            info (the default) or debug.
  --users FILE              The users file the user and token commands
                            change (default /etc/westnet/users). It is
                            rewritten whole, mode 0600, without its
                            comments; a running gateway reads it at its next
                            reload.
  --help                    Show this text and exit.
  --version                 Show the version and exit.

USERS AND TOKENS
  user add NAME --role ROLE [--password-file F]
                            Add a user. NAME is 1 to 64 of A-Z a-z 0-9 .
                            _ @ - and no other user's or token's name. ROLE
                            is viewer (reads), operator (reads and writes)
                            or admin (also reads the audit records). The
                            password is the first line of F; without F it
                            is asked twice on the terminal, or one line is
                            read from standard input when that is not a
                            terminal. At least 8 characters; only its
                            Argon2id hash is kept.
  user passwd NAME [--password-file F]
                            Change a user's password, as above.
  user del NAME             Remove a user.
  user list                 List the users: name and role.
  token add NAME --role ROLE
                            Add an API token and print it, alone on its
                            line: it is shown this once (only its SHA-256 is
                            kept).
  token del NAME            Remove a token.
  token list                List the tokens: name and role.

OPC UA
  opcua trust FILE [--pki DIR]
                            Trust an OPC UA client's certificate: the server
                            puts the certificate of a client it does not
                            know in the rejected/ folder of its
                            certificates and logs this command with the
                            file's name; it moves the file to
                            trusted/certs/, and the client connects on its
                            next try. DIR is the certificates' folder
                            ([gateway] opcua_pki) when FILE is not in its
                            rejected/.

SIGNALS
  SIGHUP                    Read the plant file again. A file with errors is
                            refused, each error logged, and the running plant
                            stays. Otherwise a line whose settings and points
                            did not change keeps its channel, its values and
                            its statistics; a changed line is closed and
                            opened again; a front end whose own keys did not
                            change keeps its clients connected and serves the
                            new plant, the others start again.
  SIGTERM, SIGINT           Stop: the writes already queued go out and are
                            answered, every other request is refused, then
                            every line is closed.

ENVIRONMENT
  WESTNET_OPCUA_DIR         The folder of the OPC UA server program
                            (server.js and its node_modules); by default
                            opcua/ beside the executable, else
                            ../lib/westnet/opcua from it.
  WESTNET_NODE              The node that runs it (default: node on PATH).
  NOTIFY_SOCKET             Set by systemd for a Type=notify service: the
                            gateway says READY=1 once every line has been
                            opened or found down, and STATUS= how the lines
                            stand.
  WATCHDOG_USEC             Set by systemd with WatchdogSec=: WATCHDOG=1 goes
                            out twice as often, as long as every line's
                            worker moves. A worker stuck in one command for
                            longer than its worst case (12 reply time-outs,
                            their frames and purges) stops it, and systemd
                            restarts the service.
  JOURNAL_STREAM            Set by systemd when stderr is the journal: each
                            log line then starts with its syslog priority.

FILES
  /etc/westnet/gateway.toml
                            The plant file of the westnet-gateway service.
  /etc/westnet/users        The users file: users and API tokens with their
                            roles and hashes.

EXIT STATUS
  0   stopped by SIGINT or SIGTERM, or --check found the plant file good, or
      a user or token command done
  1   the plant file has errors (each as FILE:LINE: KEY: what is wrong), or
      a user or token command refused (an unknown or taken name, a bad
      password, a users file that cannot be read or written)
  2   a bad command line
  3   a front end cannot start (its address in use, for example)
  4   a line stayed stuck in one command while stopping (its serial device
      takes no more output): it could not be closed
  5   the driver library cannot be loaded

EXAMPLES
  westnet-gateway --check /etc/westnet/gateway.toml
                            Check a plant file and show its read plan.
  westnet-gateway --log-level debug examples/gateway.toml
                            Serve the example plant, logging every probe.
  westnet-gateway user add alice --role operator
                            Add the user alice, asking for her password.
  westnet-gateway token add grafana --role viewer
                            Make an API token for a dashboard to read with.
  systemctl reload westnet-gateway
                            Make the service read its plant file again.
)";

}  // namespace westnet::gateway
