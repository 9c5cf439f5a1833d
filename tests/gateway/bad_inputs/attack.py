#!/usr/bin/env python3
"""Bad network inputs against a running westnet-gateway (all three front ends
on) that scans westnet-sim with the example plant.

Each group of attacks is followed by the same health check: a Modbus read,
an MQTT write round trip and GET /api/status. At the end the simulator's dump
must equal the image it started from, but for the round trips' own writes.

    attack.py --modbus PORT --http PORT --mqtt PORT --sim-pid PID --dump FILE
              --image IMAGE [--scale 0.3]

Prints one "ok   - NAME" or "FAIL - NAME" per check, then "N passed, M failed";
exits 0 only when every check passed. Deterministic: the random inputs come
from a fixed seed, and every wait is on an answer with a deadline.
"""

import argparse
import json
import os
import queue
import random
import re
import resource
import select
import signal
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'lib'))
import plant_image  # noqa: E402

HOST = '127.0.0.1'
ARGS = None
PASSED = 0
FAILED = 0


def check(name, ok, detail=''):
    global PASSED, FAILED
    if ok:
        PASSED += 1
        print('ok   - ' + name, flush=True)
    else:
        FAILED += 1
        print('FAIL - ' + name + (': ' + detail if detail else ''), flush=True)
    return ok


def scaled(n, least=1):
    return max(least, int(n * ARGS.scale))


# --- sockets -------------------------------------------------------------------

def connect(port, timeout=10.0):
    s = socket.create_connection((HOST, port), timeout=timeout)
    s.settimeout(timeout)
    return s


def recv_exactly(s, n):
    data = b''
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise EOFError('closed after %d of %d bytes' % (len(data), n))
        data += chunk
    return data


def closed_within(s, seconds):
    """Seconds until the peer closed (EOF or reset), ignoring any data; None
    when it was still open after `seconds`."""
    start = time.monotonic()
    while True:
        left = seconds - (time.monotonic() - start)
        if left <= 0:
            return None
        ready, _, _ = select.select([s], [], [], left)
        if not ready:
            return None
        try:
            if not s.recv(65536):
                return time.monotonic() - start
        except (ConnectionResetError, BrokenPipeError):
            return time.monotonic() - start


# --- Modbus TCP ----------------------------------------------------------------

def mbap(tid, unit, pdu, length=None):
    return struct.pack('>HHHB', tid, 0, len(pdu) + 1 if length is None else length, unit) + pdu


def read_reply(s):
    """(tid, unit, pdu) of the next reply."""
    header = recv_exactly(s, 7)
    tid, protocol, length, unit = struct.unpack('>HHHB', header)
    if protocol != 0 or not 2 <= length <= 254:
        raise ValueError('a reply header with protocol %d, length %d' % (protocol, length))
    return tid, unit, recv_exactly(s, length - 1)


def modbus_read(unit, address, count, fc=3):
    s = connect(ARGS.modbus)
    try:
        s.sendall(mbap(1, unit, struct.pack('>BHH', fc, address, count)))
        tid, _, pdu = read_reply(s)
        if tid != 1 or pdu[0] != fc or pdu[1] != 2 * count:
            raise ValueError('reply %r' % pdu[:3])
        return list(struct.unpack('>%dH' % count, pdu[2:2 + 2 * count]))
    finally:
        s.close()


def exception_of(pdu, fc):
    """The exception code of a reply to function `fc`, 0 for a normal reply."""
    if fc < 0x80 and pdu[0] == fc:
        return 0
    if pdu[0] == (fc | 0x80) and len(pdu) == 2:
        return pdu[1]
    raise ValueError('reply function %#x to %#x' % (pdu[0], fc))


# --- HTTP ------------------------------------------------------------------------

def answer_complete(answer):
    head, sep, body = answer.partition(b'\r\n\r\n')
    m = re.search(rb'\r\ncontent-length: *(\d+)', head, re.I)
    return sep and m and len(body) >= int(m.group(1))


def http_raw(data, timeout=10.0):
    """Sends raw bytes, returns (status or None when closed without a status
    line, the whole answer): read until the connection closes or the answer's
    Content-Length is complete."""
    s = connect(ARGS.http, timeout)
    answer = b''
    try:
        try:
            s.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass  # refused while we still sent: fine, read what it said
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            answer += chunk
            if answer_complete(answer):
                break
    finally:
        s.close()
    m = re.match(rb'HTTP/1\.[01] (\d{3}) ', answer)
    return (int(m.group(1)) if m else None), answer


def http_request(method, path, body=b'', headers=()):
    head = '%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n' % (method, path)
    if ARGS.token:
        head += 'Authorization: Bearer %s\r\n' % ARGS.token
    for h in headers:
        head += h + '\r\n'
    if body or method in ('PUT', 'POST'):
        head += 'Content-Length: %d\r\n' % len(body)
    return http_raw(head.encode('latin-1') + b'\r\n' + body)


def http_get_status():
    status, answer = http_request('GET', '/api/status')
    if status != 200:
        return None
    return json.loads(answer.split(b'\r\n\r\n', 1)[1])


# --- MQTT 3.1.1, the little this test needs ---------------------------------------

def mqtt_string(text):
    data = text.encode()
    return struct.pack('>H', len(data)) + data


def mqtt_length(n):
    out = b''
    while True:
        byte, n = n % 128, n // 128
        out += bytes([byte | (0x80 if n else 0)])
        if not n:
            return out


class Mqtt:
    def __init__(self, client_id):
        self.sock = connect(ARGS.mqtt)
        self.messages = queue.Queue()
        var = mqtt_string('MQTT') + bytes([4, 0x02]) + struct.pack('>H', 60)
        self.send(0x10, var + mqtt_string(client_id))
        kind, body = self.read_packet()
        if kind != 0x20 or body[1] != 0:
            raise ValueError('CONNACK %r' % body)
        self.thread = threading.Thread(target=self.reader, daemon=True)
        self.thread.start()

    def send(self, first, body):
        self.sock.sendall(bytes([first]) + mqtt_length(len(body)) + body)

    def read_packet(self):
        first = recv_exactly(self.sock, 1)[0]
        n, shift = 0, 0
        while True:
            byte = recv_exactly(self.sock, 1)[0]
            n += (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                break
        return first & 0xF0, recv_exactly(self.sock, n)

    def reader(self):
        self.sock.settimeout(None)
        try:
            while True:
                kind, body = self.read_packet()
                if kind == 0x30:
                    n = struct.unpack('>H', body[:2])[0]
                    self.messages.put((body[2:2 + n].decode(), body[2 + n:]))
                elif kind == 0x90:
                    self.messages.put(('$suback', body))
        except (OSError, EOFError):
            self.messages.put(('$closed', b''))

    def subscribe(self, topic):
        self.send(0x82, struct.pack('>H', 1) + mqtt_string(topic) + b'\x00')
        topic, _ = self.messages.get(timeout=10)
        if topic != '$suback':
            raise ValueError('no SUBACK')

    def publish(self, topic, payload, retain=False):
        self.send(0x30 | (1 if retain else 0), mqtt_string(topic) + payload)

    def wait(self, want, seconds=10.0):
        """The payload of the next message on topic `want`, None on time-out."""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                topic, payload = self.messages.get(timeout=left)
            except queue.Empty:
                return None
            if topic == want:
                return payload
            if topic == '$closed':
                return None

    def close(self):
        try:
            self.send(0xE0, b'')
            self.sock.close()
        except OSError:
            pass


# --- the health check ----------------------------------------------------------------

SETPOINT = 'westnet/plant/pump/flow-setpoint'
ROUND_TRIPS = []  # the values the round trips wrote, in order
RESULTS = None    # the test's subscriber to the round trips' /result topic
IMAGE = {}        # the simulator's image at start


def healthy(after):
    ok = True
    try:
        got = modbus_read(1, 40000, 1)
        want = ROUND_TRIPS[-1] if ROUND_TRIPS else 1234
        ok &= check(after + ': a Modbus read answers', got == [want], 'got %r, want %d' % (got, want))
    except (OSError, EOFError, ValueError) as e:
        ok &= check(after + ': a Modbus read answers', False, str(e))
    value = 1000 + len(ROUND_TRIPS)
    while not RESULTS.messages.empty():  # results of the attacks' own writes
        RESULTS.messages.get()
    RESULTS.publish(SETPOINT + '/set', str(value).encode())
    result = RESULTS.wait(SETPOINT + '/result', 20)
    ROUND_TRIPS.append(value)
    ok &= check(after + ': an MQTT write round trip', result is not None and
                json.loads(result)['result'] == 'ok', repr(result))
    want = dict(IMAGE)
    want[(1, 40001)] = ROUND_TRIPS[-1]
    got = dump_image()
    diff = {k: (got.get(k), want.get(k)) for k in set(got) | set(want) if got.get(k) != want.get(k)}
    ok &= check(after + ': the simulator holds no write but the round trips\'', not diff,
                ', '.join('%02d%05d: %s, want %s' % (k[0], k[1], g, w) for k, (g, w) in
                          sorted(diff.items())[:10]))
    try:
        status = http_get_status()
        ok &= check(after + ': GET /api/status answers', status is not None and 'lines' in status)
    except (OSError, ValueError) as e:
        ok &= check(after + ': GET /api/status answers', False, str(e))
    return ok


def series(status, name, **labels):
    """The value of one front end's series in /api/status, 0 when absent."""
    for s in status.get('front_ends', []):
        if s['name'] == name and all(s['labels'].get(k) == v for k, v in labels.items()):
            return s['value']
    return 0


# --- Modbus: malformed and random frames ---------------------------------------------

WRITES = (5, 6, 15, 16, 22)
NO_UNIT = 99  # reaches no station: a write sent there is answered 0A, never made


def modbus_malformed_headers():
    # A header that breaks the framing rules: closed at once, with no reply.
    for name, frame in [
            ('protocol id 1', struct.pack('>HHHB', 1, 1, 6, 1) + b'\x03\x9c\x40\x00\x01'),
            ('protocol id 0xFFFF', struct.pack('>HHHB', 1, 0xFFFF, 6, 1) + b'\x03\x9c\x40\x00\x01'),
            ('length 0', struct.pack('>HHHB', 1, 0, 0, 1)),
            ('length 1', struct.pack('>HHHB', 1, 0, 1, 1) + b'\x03'),
            ('length 255', struct.pack('>HHHB', 1, 0, 255, 1) + bytes(254)),
            ('length 65535', struct.pack('>HHHB', 1, 0, 65535, 1) + bytes(300))]:
        s = connect(ARGS.modbus)
        s.sendall(frame)
        took = closed_within(s, 3)
        s.close()
        check('Modbus header with %s: closed at once' % name, took is not None and took < 2,
              'after %r s' % took)


def modbus_malformed_pdus():
    # Well framed, wrong inside: each answered with its exception, in order,
    # on one connection.
    cases = [
        ('unknown function 0x00', 1, b'\x00', 0x01),
        ('unknown function 0x07', 1, b'\x07', 0x01),
        ('unknown function 0x2B', 1, b'\x2b\x0e\x01\x00', 0x01),
        ('unknown function 0x41', 1, b'\x41' + bytes(20), 0x01),
        ('an exception code as a function (0x83)', 1, b'\x83\x02', 0x01),
        ('function 0xFF', 1, b'\xff', 0x01),
        ('FC 3 one byte short', 1, b'\x03\x9c\x40\x00', 0x03),
        ('FC 3 one byte long', 1, b'\x03\x9c\x40\x00\x01\x00', 0x03),
        ('FC 3 count 0', 1, b'\x03\x9c\x40\x00\x00', 0x03),
        ('FC 3 count 126', 1, b'\x03\x9c\x40\x00\x7e', 0x03),
        ('FC 4 count 0xFFFF', 1, b'\x04\x00\x00\xff\xff', 0x03),
        ('FC 1 count 2001', 1, b'\x01\x00\x00\x07\xd1', 0x03),
        ('FC 3 past register 65535', 1, b'\x03\xff\xff\x00\x02', 0x02),
        ('FC 5 value 0x1234', 1, b'\x05\x00\x01\x12\x34', 0x03),
        ('FC 6 with no value', 1, b'\x06\x9c\x40', 0x03),
        ('FC 16 byte count 3 for 2 registers', 1, b'\x10\x9c\x40\x00\x02\x03\x00\x01\x00', 0x03),
        ('FC 16 byte count 4, 2 bytes follow', 1, b'\x10\x9c\x40\x00\x02\x04\x00\x01', 0x03),
        ('FC 16 byte count 2, 4 bytes follow', 1, b'\x10\x9c\x40\x00\x01\x02\x00\x01\x00\x02', 0x03),
        ('FC 16 count 124', 1, b'\x10\x9c\x40\x00\x7c\xf8' + bytes(246), 0x03),
        ('FC 16 count 0', 1, b'\x10\x9c\x40\x00\x00\x00', 0x03),
        ('FC 15 byte count 1 for 10 coils', 1, b'\x0f\x00\x01\x00\x0a\x01\xff', 0x03),
        ('FC 15 no byte count', 1, b'\x0f\x00\x01\x00\x01', 0x03),
        ('FC 22 masks changing 2 bits', 1, b'\x16\x9c\x40\xff\xfc\x00\x03', 0x03),
        ('FC 22 one byte short', 1, b'\x16\x9c\x40\xff\xfe\x00', 0x03),
        ('FC 3 to a unit with no station', NO_UNIT, b'\x03\x9c\x40\x00\x01', 0x0A),
        ('FC 6 to a register of no writable point', 1, b'\x06\x9c\x41\x00\x07', 0x02),
        ('FC 5 to a coil of no writable point', 1, b'\x05\x00\x01\xff\x00', 0x02),
    ]
    s = connect(ARGS.modbus)
    s.sendall(b''.join(mbap(100 + i, unit, pdu) for i, (_, unit, pdu, _) in enumerate(cases)))
    for i, (name, unit, pdu, want) in enumerate(cases):
        try:
            tid, got_unit, reply = read_reply(s)
            got = exception_of(reply, pdu[0])
            check('Modbus %s: exception %02X' % (name, want),
                  tid == 100 + i and got_unit == unit and got == want,
                  'tid %d unit %d exception %02X' % (tid, got_unit, got))
        except (OSError, EOFError, ValueError) as e:
            check('Modbus %s: exception %02X' % (name, want), False, str(e))
            break
    s.close()


def modbus_random_pdus(rng):
    # Random PDUs in proper headers, pipelined on one connection: every one
    # answered, in order, with its transaction id, by a reply or an exception.
    # Writes go to a unit with no station, so none can land.
    frames, sent = [], []
    for i in range(scaled(400, 50)):
        fc = rng.choice([rng.randrange(256), rng.choice([1, 2, 3, 4, 5, 6, 15, 16, 22])])
        n = rng.choice([0, 1, 2, 3, 4, 5, 6, 7, 8, rng.randrange(253)])
        pdu = bytes([fc]) + bytes(rng.randrange(256) for _ in range(n))
        pdu = pdu[:253]
        unit = NO_UNIT if fc in WRITES else rng.choice([0, 1, 2, 5, 7, 200, 255])
        frames.append(mbap(i, unit, pdu))
        sent.append((i, unit, fc))
    s = connect(ARGS.modbus, 30)
    s.sendall(b''.join(frames))
    answered = 0
    problem = ''
    try:
        for tid, unit, fc in sent:
            got_tid, got_unit, reply = read_reply(s)
            code = exception_of(reply, fc)
            if got_tid != tid or got_unit != unit or code not in (0, 1, 2, 3, 4, 6, 0x0A, 0x0B):
                problem = 'frame %d: tid %d unit %d code %02X' % (tid, got_tid, got_unit, code)
                break
            if code == 0 and fc in WRITES:
                problem = 'frame %d: a write answered as done' % tid
                break
            answered += 1
    except (OSError, EOFError, ValueError) as e:
        problem = 'after %d replies: %s' % (answered, e)
    s.close()
    check('Modbus: %d random PDUs each answered in order' % len(sent), not problem, problem)


def modbus_random_streams(rng):
    # Random bytes with no framing at all: each connection is answered or
    # closed, none left hanging (the client half-closes after its bytes).
    count = scaled(60, 10)
    socks = []
    for _ in range(count):
        s = connect(ARGS.modbus)
        data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 600)))
        try:
            s.sendall(data)
            s.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # already closed by the gateway (a header it refuses)
        socks.append(s)
    ended = sum(1 for s in socks if closed_within(s, 10) is not None)
    for s in socks:
        s.close()
    check('Modbus: %d random byte streams each closed' % count, ended == count,
          '%d of %d' % (ended, count))


def modbus_pipelined():
    # Many requests in one send: every reply, in order, with the right value.
    n = scaled(2000, 200)
    s = connect(ARGS.modbus, 30)
    s.sendall(b''.join(mbap(i, 1, b'\x03\x9c\x40\x00\x01') for i in range(n)))
    good = 0
    want = ROUND_TRIPS[-1] if ROUND_TRIPS else 1234
    try:
        for i in range(n):
            tid, _, reply = read_reply(s)
            if tid != i or reply != b'\x03\x02' + struct.pack('>H', want):
                break
            good += 1
    except (OSError, EOFError, ValueError):
        pass
    s.close()
    check('Modbus: %d pipelined reads each answered in order' % n, good == n,
          '%d good' % good)


# --- Modbus: a flood of connections, stalled clients ------------------------------------

def modbus_flood():
    n = scaled(1000, 200)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < n + 100:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, n + 200), hard))
    # Where the system allows fewer descriptors, as many as fit.
    n = min(n, resource.getrlimit(resource.RLIMIT_NOFILE)[0] - 100)
    before = http_get_status()
    socks = []
    for _ in range(n):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex((HOST, ARGS.modbus))
        socks.append(s)
    # While they are refused: the other front ends answer, and no more than
    # the limit are connected.
    status = http_get_status()
    check('flood: GET /api/status answers while %d connections come in' % n, status is not None)
    clients = series(status or {}, 'westnet_modbus_clients')
    check('flood: at most %d clients connected (%d)' % (ARGS.max_clients, clients),
          clients <= ARGS.max_clients)
    # Each one refused (closed at once) but for the ones the client limit
    # takes, which then go idle and are closed after modbus_idle_s.
    deadline = time.monotonic() + ARGS.idle + 10
    open_ = set(socks)
    ended_early = 0
    start = time.monotonic()
    while open_ and time.monotonic() < deadline:
        ready, _, _ = select.select(list(open_)[:900], [], [], 0.5)
        for s in ready:
            try:
                data = s.recv(64)
            except (ConnectionResetError, ConnectionRefusedError, BrokenPipeError):
                data = b''
            except BlockingIOError:
                continue
            if not data:
                open_.discard(s)
                if time.monotonic() - start < ARGS.idle - 0.5:
                    ended_early += 1
    for s in socks:
        s.close()
    after = http_get_status()
    refused = series(after, 'westnet_modbus_connections_total', result='refused') - \
        series(before, 'westnet_modbus_connections_total', result='refused')
    accepted = series(after, 'westnet_modbus_connections_total', result='accepted') - \
        series(before, 'westnet_modbus_connections_total', result='accepted')
    check('flood: every one of %d connections ended within %d s' % (n, ARGS.idle + 10),
          not open_, '%d still open' % len(open_))
    # Refused ones end at once; the ones taken end when they have been idle
    # for modbus_idle_s, and make room for a few more.
    check('flood: each reached the gateway, those over the limit refused at once '
          '(%d refused, %d taken, %d ended before the idle time-out)' %
          (refused, accepted, ended_early),
          refused + accepted == n and refused >= n - 3 * ARGS.max_clients and
          ended_early >= refused - ARGS.max_clients)


def modbus_stalls():
    stalled = {}
    # Half a header; a whole header and half its PDU; a header promising
    # more than ever comes.
    for name, data in [('half a header', b'\x00\x01\x00'),
                       ('half a PDU', mbap(1, 1, b'\x10\x9c\x40\x00\x02\x04\x00\x01\x00\x02')[:10]),
                       ('a length past what follows',
                        struct.pack('>HHHB', 1, 0, 200, 1) + b'\x03\x9c\x40\x00\x01')]:
        s = connect(ARGS.modbus)
        s.sendall(data)
        stalled[name] = s
    idle = connect(ARGS.modbus)
    failed_sends = series(http_get_status(), 'westnet_modbus_disconnects_total',
                          reason='send_failed')
    # A client that never reads its replies: it sends reads the cache
    # answers until the gateway stops taking them (its replies fill both
    # sockets and its send waits).
    deaf = socket.create_connection((HOST, ARGS.modbus))
    deaf.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    deaf.setblocking(False)
    request = b''.join(mbap(i, 1, b'\x03\x9c\x40\x00\x01') for i in range(1000))
    sent = 0
    start = time.monotonic()
    while time.monotonic() - start < 20:
        try:
            sent += deaf.send(request)
        except BlockingIOError:
            # Three seconds without the gateway reading: it has stopped
            # taking requests (a gateway under the sanitizers may pause for
            # a second while it still has room).
            if not select.select([], [deaf], [], 3)[1]:
                break
        except (BrokenPipeError, ConnectionResetError):
            break
    check('stalls: the deaf client filled its socket (%d bytes sent)' % sent, sent > 0)
    # Meanwhile every other client is served at once.
    t = time.monotonic()
    try:
        ok = modbus_read(1, 40000, 1) is not None
    except (OSError, EOFError, ValueError):
        ok = False
    check('stalls: a normal client is served while 5 stall', ok and time.monotonic() - t < 2)
    for name, s in stalled.items():
        took = closed_within(s, 12)
        s.close()
        check('stalls: a client that sent %s is closed in bounded time' % name,
              took is not None, 'still open after 12 s')
    took = closed_within(idle, ARGS.idle + 5)
    idle.close()
    check('stalls: a silent client is closed after modbus_idle_s', took is not None,
          'still open after %d s' % (ARGS.idle + 5))
    # Closed by the gateway (its send times out), not by our reading.
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline and series(
            http_get_status(), 'westnet_modbus_disconnects_total', reason='send_failed') == \
            failed_sends:
        time.sleep(0.1)
    check('stalls: the deaf client was closed for its replies not taken',
          time.monotonic() < deadline)
    deaf.setblocking(True)
    took = closed_within(deaf, 15)
    deaf.close()
    check('stalls: a client that takes no replies is closed', took is not None)


# --- MQTT: garbage on every /set topic ---------------------------------------------------

POINTS = {  # name: (kind, writable)
    'pump/flow-setpoint': ('word', True), 'pump/running': ('bit', False),
    'pump/fault': ('bit', False), 'tank/levels': ('block3', False),
    'pump/run-command': ('word', True), 'valves/positions': ('block64', False),
    'rtu/counter': ('word', False), 'rtu/alarm': ('bit', True),
    'rtu/last-register': ('word', False),
}


def garbage_payloads(rng, kind):
    common = [
        b'', b' ', b'\n\t', b'\x00', b'\xff\xfe\xfd', b'\xc3\x28', b'\xed\xa0\x80',
        bytes(rng.randrange(256) for _ in range(64)), b'-1', b'65536', b'1.5', b'1e999',
        b'-1e999', b'1e-999', b'99999999999999999999999999', b'NaN', b'inf', b'0x10', b'1_000',
        b'12abc', b'"5"', b'null', b'{"value": 5}', b'[[1]]', b'[' * 3000,
        b'[1, 2, 3', b'1' * (1 << 20), bytes(rng.randrange(256) for _ in range(1 << 20)),
        b'5 6', b'+', b'.5', b'5.', b'1e', b'--1',
    ]
    # true and false are a bit point's values (as over HTTP); garbage elsewhere.
    if kind == 'bit':
        common += [b'2', b'0.5', b'[1]', b'[true]']
    elif kind == 'word':
        common += [b'[1]', b'[]', b'true']
    else:
        n = int(kind[5:])
        common += [b'7', b'[]', b'true', json.dumps(list(range(n - 1))).encode(),
                   json.dumps(list(range(n + 1))).encode(),
                   json.dumps([1] * (n - 1) + [70000]).encode(),
                   json.dumps([1] * (n - 1) + [1.5]).encode(),
                   json.dumps([1] * (n - 1) + ['1']).encode(),
                   json.dumps([1] * (n - 1) + [True]).encode(),
                   json.dumps([1] * (n - 1) + [None]).encode(),
                   json.dumps([1] * (n - 1) + [-1]).encode()]
    return common


def mqtt_garbage(rng):
    sub = Mqtt('bad-inputs-garbage')
    sub.subscribe('westnet/plant/#')
    pub = Mqtt('bad-inputs-publisher')
    per_point = {name: garbage_payloads(rng, kind) for name, (kind, _) in POINTS.items()}
    rounds = max(len(p) for p in per_point.values())
    answers = {name: [] for name in POINTS}
    for i in range(rounds):
        waiting = [name for name in POINTS if i < len(per_point[name])]
        for name in waiting:
            pub.publish('westnet/plant/%s/set' % name, per_point[name][i])
        for name in waiting:
            # Results of other points come in between: wait for this one's.
            got = None
            deadline = time.monotonic() + 20
            while got is None and time.monotonic() < deadline:
                try:
                    topic, payload = sub.messages.get(
                        timeout=max(0.01, deadline - time.monotonic()))
                except queue.Empty:
                    break
                if topic.endswith('/result'):
                    answers[topic[len('westnet/plant/'):-len('/result')]].append(payload)
                got = len(answers[name]) > i or None
    for name in POINTS:
        results = [json.loads(a).get('result') for a in answers[name]]
        bad = [per_point[name][i][:40] for i, r in enumerate(results) if r != 'bad-payload']
        check('MQTT: %d garbage payloads on %s/set each answered bad-payload' %
              (len(per_point[name]), name),
              len(results) == len(per_point[name]) and not bad,
              '%d results; not refused: %r' % (len(results), bad))
    # A set topic of no point, and levels below one: no result, no write.
    for topic in ('westnet/plant/no-such/set', 'westnet/plant/pump/flow-setpoint/set/set',
                  'westnet/plant//set', 'westnet/nope/pump/flow-setpoint/set'):
        pub.publish(topic, b'4242')
    sub.close()
    pub.close()


# --- HTTP ----------------------------------------------------------------------------------

def refused(status):
    """A bad request must get a 4xx or 5xx, or the connection closed."""
    return status is None or 400 <= status <= 599


def http_bad_requests(rng):
    put = '/api/points/plant/pump/flow-setpoint'
    long_path = '/' + 'a' * 100000
    cases = [
        ('an oversized request line', ('GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' % long_path).encode()),
        ('an oversized header', b'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: ' + b'b' * 100000 + b'\r\n\r\n'),
        ('1,000 headers', b'GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n' +
         b''.join(b'X-%d: %s\r\n' % (i, b'v' * 50) for i in range(1000)) + b'\r\n'),
        ('10,000 headers', b'GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n' +
         b''.join(b'X-%d: %s\r\n' % (i, b'v' * 50) for i in range(10000)) + b'\r\n'),
        ('a body over the limit', ('PUT %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n' %
                                   (put, 1 << 20)).encode() + b'1' * (1 << 20)),
        ('a body length of 10 GB', ('PUT %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10000000000'
                                    '\r\n\r\n5' % put).encode()),
        ('a negative body length', ('PUT %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: -1\r\n\r\n5' %
                                    put).encode()),
        ('a body length that is not a number', ('PUT %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: '
                                                'abc\r\n\r\n5' % put).encode()),
        ('a chunked body over the limit', ('PUT %s HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: '
                                           'chunked\r\n\r\n' % put).encode() +
         b''.join(b'4000\r\n' + b'1' * 0x4000 + b'\r\n' for _ in range(64)) + b'0\r\n\r\n'),
        ('a bad chunk size', ('PUT %s HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n'
                              'zz\r\n5\r\n0\r\n\r\n' % put).encode()),
        ('binary garbage', bytes(rng.randrange(256) for _ in range(4000))),
        ('a request line with no version', b'GET /\r\n\r\n'),
        ('an unknown version', b'GET / HTTP/9.9\r\nHost: 127.0.0.1\r\n\r\n'),
        ('NUL in the path', b'GET /api/status\x00x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n'),
    ]
    for name, data in cases:
        try:
            t = time.monotonic()
            status, _ = http_raw(data, timeout=15)
            took = time.monotonic() - t
            # 58 kB of small headers are served; 580 kB are over the request
            # limit, refused with 431 or cut off while they arrive.
            ok = status == 200 if name == '1,000 headers' else refused(status)
            check('HTTP %s: %s in %.1f s' % (name, status, took), ok and took < 7)
        except OSError as e:
            check('HTTP %s: refused' % name, False, str(e))

    # Headers without end: cut off long before the daemon's memory is.
    s = connect(ARGS.http, 2)
    s.sendall(b'GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n')
    chunk = b''.join(b'X-%d: %s\r\n' % (i, b'v' * 80) for i in range(1000))
    sent = 0
    try:
        while sent < (256 << 20):
            s.sendall(chunk)
            sent += len(chunk)
    except (BrokenPipeError, ConnectionResetError, socket.timeout):
        pass  # the gateway has stopped reading: has it closed the connection?
    cut = closed_within(s, 1) is not None
    s.close()
    with open('/proc/%d/status' % ARGS.gateway_pid) as f:
        rss = int(re.search(r'VmRSS:\s+(\d+)', f.read()).group(1)) // 1024
    # (The sanitizers' allocator keeps what is freed: no figure for memory.)
    check('HTTP: endless headers cut off (after %d MB; the gateway holds %d MB)' %
          (sent >> 20, rss), cut and sent < (64 << 20) and (ARGS.sanitized or rss < 200))

    bodies = [b'', b'{', b'abc', b'[1]', b'1e999', b'70000', b'-1', b'1.5', b'"5"', b'null',
              b'true', b'{"value": 5}', b'\xff\xfe', b'5 6', b'[' * 5000, b'1' * 60000]
    for body in bodies:
        status, answer = http_request('PUT', put, body)
        check('HTTP PUT %r: 400 bad-body' % body[:20], status == 400 and b'bad-body' in answer,
              str(status))
    for method, path, want, *rest in [
            ('DELETE', '/api/status', (404, 405)), ('POST', put, (404, 405)),
            ('PATCH', put, (404, 405)), ('PUT', '/api/status', (404, 405)),
            ('BREW', '/', (400, 404, 405, 501)),
            ('GET', '/nope', (404,)), ('GET', '/api/points/plant/nope', (404,)),
            ('GET', '/api/points/nope/pump/flow-setpoint', (404,)),
            ('PUT', '/api/points/plant/nope', (404,)),
            ('GET', '/../../../etc/passwd', (400, 404)),
            ('GET', '/%2e%2e/%2e%2e/etc/passwd', (400, 404)),
            ('GET', '/api/points/plant/..%2f..%2f..%2fetc%2fpasswd', (400, 404)),
            ('GET', '/api/points/plant/%00', (400, 404)),
            ('GET', '/api/points/plant/%zz', (400, 404)),
            ('GET', '/api/points/plant/pump/flow-setpoint%', (400, 404)),
            ('GET', '/api/points/plant/' + '%41' * 3000, (400, 404, 414)),
            ('PUT', '/api/points/plant/tank/levels', (403,), b'[1, 2, 3]'),
            ('PUT', '/api/points/plant/pump/../pump/flow-setpoint', (400, 404))]:
        status, _ = http_request(method, path, rest[0] if rest else
                                 b'7' if method in ('PUT', 'POST', 'PATCH') else b'')
        check('HTTP %s %s: %s' % (method, path[:50], status), status in want)
    status, answer = http_request('GET', '/')
    check('HTTP: the status page is still served', status == 200 and b'<html' in answer.lower())


def http_slow_clients():
    # Clients that send their request a byte at a time, and ones that send
    # half a request and nothing more: the others are still served.
    n = scaled(20, 12)
    stalled = []
    for data in (b'GET /api/st', b'PUT /api/points/plant/pump/flow-setpoint HTTP/1.1\r\n'
                 b'Host: 127.0.0.1\r\nContent-Length: 4\r\n\r\n12'):
        s = connect(ARGS.http)
        s.sendall(data)
        stalled.append(s)
    slow = []
    for i in range(n):
        s = connect(ARGS.http)
        s.sendall(b'GET /api/status HTTP/1.1\r\nHo')
        slow.append(s)
    start = time.monotonic()
    served, worst = 0, 0.0
    rounds = 0
    while time.monotonic() - start < 12:
        for s in slow:
            try:
                s.send(b'x')
            except OSError:
                pass
        t = time.monotonic()
        try:
            if http_get_status() is not None:
                served += 1
        except OSError:
            pass
        worst = max(worst, time.monotonic() - t)
        rounds += 1
        time.sleep(0.5)  # the slow clients' pace, not a wait for the daemon
    check('HTTP: /api/status served while %d clients trickle their requests' % n,
          served == rounds and worst < 3, '%d of %d served, slowest %.1f s' % (served, rounds, worst))
    # The read time-out (5 s) has passed for the stalled ones: answered or
    # closed, and nothing written from half a body.
    for s in stalled:
        took = closed_within(s, 3)
        s.close()
        check('HTTP: a client that stopped halfway through its request is closed',
              took is not None)
    # Past the request time (10 s) the trickling ones are closed too.
    cut = sum(1 for s in slow if closed_within(s, 2) is not None)
    check('HTTP: clients that trickle their request are closed after the request time',
          cut == n, '%d of %d' % (cut, n))
    for s in slow:
        s.close()


# --- main --------------------------------------------------------------------------------

def dump_image():
    """The simulator's registers: {(station, register): value}."""
    try:
        os.unlink(ARGS.dump)
    except FileNotFoundError:
        pass
    os.kill(ARGS.sim_pid, signal.SIGUSR1)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            with open(ARGS.dump) as f:
                text = f.read()
            if text.endswith('\n'):
                break
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    return parse_image(text)


def parse_image(text):
    return {k: v for k, v in plant_image.parse_image(text).items() if v != 0}


def main():
    global ARGS, RESULTS
    parser = argparse.ArgumentParser()
    for name in ('--modbus', '--http', '--mqtt', '--sim-pid', '--gateway-pid', '--max-clients',
                 '--idle'):
        parser.add_argument(name, type=int, required=True)
    parser.add_argument('--dump', required=True)
    parser.add_argument('--image', required=True)
    parser.add_argument('--scale', type=float, default=1.0)
    parser.add_argument('--only', default='')
    parser.add_argument('--token', default='')  # an operator's, for the HTTP writes
    parser.add_argument('--sanitized', action='store_true')
    ARGS = parser.parse_args()
    rng = random.Random(20261209)
    with open(ARGS.image) as f:
        IMAGE.update(parse_image(f.read()))

    RESULTS = Mqtt('bad-inputs-health')
    RESULTS.subscribe(SETPOINT + '/result')
    if not healthy('at start'):
        return 1
    groups = [('Modbus frames', lambda: (modbus_malformed_headers(), modbus_malformed_pdus(),
                                         modbus_random_pdus(rng), modbus_random_streams(rng),
                                         modbus_pipelined())),
              ('a connection flood', modbus_flood),
              ('stalled Modbus clients', modbus_stalls),
              ('MQTT garbage', lambda: mqtt_garbage(rng)),
              ('bad HTTP requests', lambda: http_bad_requests(rng)),
              ('slow HTTP clients', http_slow_clients)]
    for name, run in groups:
        if ARGS.only and ARGS.only not in name:
            continue
        t = time.monotonic()
        run()
        print('# %s took %.1f s' % (name, time.monotonic() - t), flush=True)
        healthy('after ' + name)

    RESULTS.close()
    print('%d passed, %d failed' % (PASSED, FAILED))
    return 0 if FAILED == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
