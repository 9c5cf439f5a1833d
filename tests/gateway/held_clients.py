#!/usr/bin/env python3
"""Holds one HTTP keep-alive connection and one Modbus TCP connection to the
gateway across an event (a reload): asks once on each, writes READY_FILE,
waits for GO_FILE, asks again on the same sockets. Exit 0 only when both
answered both times on their first connection.

    held_clients.py HTTP_PORT MODBUS_PORT READY_FILE GO_FILE
"""
import os
import socket
import struct
import sys
import time

http_port, modbus_port, ready, go = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]


def http_get(s, path):
    s.sendall(('GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n'
               % path).encode())
    data = b''
    while b'\r\n\r\n' not in data:
        chunk = s.recv(65536)
        if not chunk:
            raise RuntimeError('HTTP connection closed by the gateway')
        data += chunk
    head, body = data.split(b'\r\n\r\n', 1)
    length = [int(l.split(b':')[1]) for l in head.split(b'\r\n')
              if l.lower().startswith(b'content-length:')][0]
    while len(body) < length:
        chunk = s.recv(65536)
        if not chunk:
            raise RuntimeError('HTTP connection closed in an answer')
        body += chunk
    return int(head.split(b' ')[1])


def modbus_read(s, tid):
    s.sendall(struct.pack('>HHHBBHH', tid, 0, 6, 1, 3, 0, 1))
    data = b''
    while len(data) < 9:
        chunk = s.recv(256)
        if not chunk:
            raise RuntimeError('Modbus connection closed by the gateway')
        data += chunk
    return data[7]  # the function code: 3, or 0x83 with an exception


http = socket.create_connection(('127.0.0.1', http_port), timeout=30)
modbus = socket.create_connection(('127.0.0.1', modbus_port), timeout=30)
answers = [http_get(http, '/api/status'), modbus_read(modbus, 1)]
open(ready, 'w').close()
deadline = time.time() + 120
while not os.path.exists(go) and time.time() < deadline:
    time.sleep(0.05)
try:
    answers += [http_get(http, '/api/status'), modbus_read(modbus, 2)]
except (OSError, RuntimeError) as e:
    print('held_clients: %s (answers so far: %s)' % (e, answers))
    sys.exit(1)
print('held_clients: answers %s' % answers)
sys.exit(0 if answers == [200, 3, 200, 3] else 1)
