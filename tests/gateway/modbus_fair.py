#!/usr/bin/env python3
"""Modbus TCP clients against westnet-gateway, for modbus_fair.sh.

  modbus_fair.py hammer --modbus PORT --http PORT [--seconds S] [--hammers N]
      One client (or N) keeps 16 reads of registers no point covers in flight, back
      to back, while a second client reads one cached register and a few
      uncovered ones four times a second, and /api/points is watched. Prints
      what it saw as JSON (the scan points' oldest age and any quality other
      than good, the second client's times and exceptions, the hammer's
      answers, how long the hammer's requests stayed queued after it left)
      and, with --check, fails unless the scan and the second client were
      left alone.
  modbus_fair.py limits --modbus PORT --per-address N
      N connections from 127.0.0.1 are served, one more is closed at once
      while the N stay, and a write is answered with exception 01.
  modbus_fair.py refused --modbus PORT
      A connection from 127.0.0.1 is closed at once.
"""
import argparse
import json
import socket
import statistics
import struct
import sys
import threading
import time
import urllib.request

# Uncovered registers: station 1 has points at 40000-40011 (zero-based), 0.
HAMMER_READ = (1, 40100, 64)
SECOND_READ = (1, 40200, 8)
CACHED_READ = (1, 40000, 1)


def read_pdu(address, count):
    return struct.pack('>BHH', 3, address, count)


class Client:
    def __init__(self, port, timeout=30):
        self.sock = socket.create_connection(('127.0.0.1', port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.tid = 0
        self.buf = b''

    def send(self, unit, pdu):
        self.tid = (self.tid + 1) & 0xFFFF
        self.sock.sendall(struct.pack('>HHHB', self.tid, 0, len(pdu) + 1, unit) + pdu)

    def _fill(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError('closed by the gateway')
            self.buf += chunk

    def recv(self):
        """The next reply's PDU. A time-out leaves what came of it buffered."""
        self._fill(7)
        size = 6 + struct.unpack('>H', self.buf[4:6])[0]
        self._fill(size)
        frame, self.buf = self.buf[:size], self.buf[size:]
        return frame[7:]

    def call(self, unit, pdu):
        self.send(unit, pdu)
        return self.recv()

    def close(self):
        self.sock.close()


def exception_of(pdu):
    return pdu[1] if pdu[0] & 0x80 else 0


def get_json(http, path):
    with urllib.request.urlopen(f'http://127.0.0.1:{http}{path}', timeout=10) as r:
        return json.load(r)


def hammer(args):
    stop = threading.Event()
    second_done = threading.Event()
    seen = {'hammer': {}, 'second_cached_ms': [], 'second_read_ms': [], 'second_exceptions': {},
            'max_age_ms': {}, 'not_good': []}

    def hammering():
        c = Client(args.modbus)
        c.sock.settimeout(0.2)  # to see `stop` while the line keeps it waiting
        unit, address, count = HAMMER_READ
        for _ in range(16):
            c.send(unit, read_pdu(address, count))
        while not stop.is_set():
            try:
                code = exception_of(c.recv())
            except socket.timeout:
                continue
            with lock:
                seen['hammer'][code] = seen['hammer'].get(code, 0) + 1
            c.send(unit, read_pdu(address, count))
        # It leaves with its requests still waiting for the line.
        c.close()

    def second():
        c = Client(args.modbus)
        while not second_done.is_set():
            for key, (unit, address, count) in (('second_cached_ms', CACHED_READ),
                                                 ('second_read_ms', SECOND_READ)):
                start = time.monotonic()
                code = exception_of(c.call(unit, read_pdu(address, count)))
                seen[key].append((time.monotonic() - start) * 1000)
                if code:
                    seen['second_exceptions'][code] = seen['second_exceptions'].get(code, 0) + 1
            second_done.wait(0.25)
        c.close()

    lock = threading.Lock()
    hammers = [threading.Thread(target=hammering) for _ in range(args.hammers)]
    threads = hammers + [threading.Thread(target=second)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline:
        for p in get_json(args.http, '/api/points')['points']:
            age = seen['max_age_ms']
            age[p['name']] = max(age.get(p['name'], 0), p['age_ms'] or 0)
            if p['quality'] != 'good':
                seen['not_good'].append(p['name'])
        queued = get_json(args.http, '/api/status')['lines'][0]['queued']
        seen['max_queued'] = max(seen.get('max_queued', 0), queued)
        time.sleep(0.25)
    # The second client first, so that what waits for the line afterwards
    # is the hammers' alone.
    second_done.set()
    threads[-1].join()
    stop.set()
    for t in hammers:
        t.join()
    # How long the hammers' requests keep the line's queue once they left.
    left = time.monotonic()
    while get_json(args.http, '/api/status')['lines'][0]['queued'] > 0:
        time.sleep(0.05)
    seen['queue_after_leaving_ms'] = round((time.monotonic() - left) * 1000)

    def summary(ms):
        return {'n': len(ms), 'median': round(statistics.median(ms)), 'max': round(max(ms))}
    report = {
        'scan_max_age_ms': seen['max_age_ms'],
        'scan_not_good': sorted(set(seen['not_good'])),
        'second_cached_ms': summary(seen['second_cached_ms']),
        'second_read_ms': summary(seen['second_read_ms']),
        'second_exceptions': seen['second_exceptions'],
        'hammer_answers': {f'{k:02X}': v for k, v in seen['hammer'].items()},
        'max_queued': seen.get('max_queued', 0),
        'queue_after_leaving_ms': seen['queue_after_leaving_ms'],
    }
    print(json.dumps(report, indent=1))
    if not args.check:
        return 0
    problems = []
    if report['scan_not_good']:
        problems.append(f'scan points went stale: {report["scan_not_good"]}')
    if report['second_exceptions']:
        problems.append(f'the second client got exceptions: {report["second_exceptions"]}')
    if report['second_cached_ms']['max'] > 500:
        problems.append('the second client waited for a cached read')
    if report['second_read_ms']['max'] > 3000:
        problems.append('the second client waited more than 3 s for a read')
    if seen['hammer'].get(0, 0) == 0:
        problems.append('the hammer was never served')
    if report['queue_after_leaving_ms'] > 1000:
        problems.append('the hammer\'s requests stayed queued after it left')
    for p in problems:
        print('FAIL:', p, file=sys.stderr)
    return 1 if problems else 0


def closed_at_once(port):
    """Whether the gateway closes a new connection without serving it."""
    c = Client(port, timeout=5)
    try:
        c.call(*CACHED_READ[:1], read_pdu(*CACHED_READ[1:]))
    except (ConnectionError, OSError):
        return True
    finally:
        c.close()
    return False


def limits(args):
    problems = []
    kept = [Client(args.modbus) for _ in range(args.per_address)]
    for c in kept:
        if exception_of(c.call(CACHED_READ[0], read_pdu(*CACHED_READ[1:]))) != 0:
            problems.append('a connection within the limit was not served')
    if not closed_at_once(args.modbus):
        problems.append(f'connection {args.per_address + 1} from one address was served')
    for c in kept:
        if exception_of(c.call(CACHED_READ[0], read_pdu(*CACHED_READ[1:]))) != 0:
            problems.append('a connection within the limit was dropped')
    write = struct.pack('>BHH', 6, CACHED_READ[1], 1234)
    answer = kept[0].call(CACHED_READ[0], write)
    if answer[0] != 0x86 or answer[1] != 0x01:
        problems.append(f'a write not allowed was answered {answer.hex()}, not 86 01')
    for c in kept:
        c.close()
    for p in problems:
        print('FAIL:', p, file=sys.stderr)
    return 1 if problems else 0


def refused(args):
    if closed_at_once(args.modbus):
        return 0
    print('FAIL: a client not listed in modbus_clients was served', file=sys.stderr)
    return 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('what', choices=['hammer', 'limits', 'refused'])
    parser.add_argument('--modbus', type=int, required=True)
    parser.add_argument('--http', type=int)
    parser.add_argument('--seconds', type=float, default=10)
    parser.add_argument('--per-address', type=int, default=4)
    parser.add_argument('--hammers', type=int, default=1)
    parser.add_argument('--check', action='store_true')
    args = parser.parse_args()
    return {'hammer': hammer, 'limits': limits, 'refused': refused}[args.what](args)


if __name__ == '__main__':
    sys.exit(main())
