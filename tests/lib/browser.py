#!/usr/bin/env python3
"""A page in headless chromium, driven over the DevTools protocol on a pipe
(--remote-debugging-pipe: no port, no third-party module). Opens URL, waits
until a JavaScript expression is true (a page that keeps a stream open never
goes idle, so "loaded" says nothing), then writes the DOM and a screenshot.

  browser.py URL [--until JS] [--timeout S] [--dom FILE] [--screenshot FILE]
             [--size WxH] [--eval JS]... [--hold S]

--eval prints each expression's value (JSON), one a line, after the wait;
--hold keeps the page open S seconds more after it (a benchmark measures
the gateway meanwhile), and prints "held" when it starts.
Exits 1 when the expression never became true (the files are still written).
"""
import argparse
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time


class Browser:
    def __init__(self, size, profile):
        to_child, self.send_fd = os.pipe()
        self.recv_fd, from_child = os.pipe()

        # Chromium reads the pipe on its descriptor 3 and writes on its 4.
        def fds():
            high_in, high_out = os.dup(to_child), os.dup(from_child)
            os.dup2(high_in, 3)
            os.dup2(high_out, 4)

        self.proc = subprocess.Popen(
            ['/usr/bin/chromium', '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
             '--no-first-run', '--disable-background-networking', '--disable-component-update',
             '--disable-sync', '--remote-debugging-pipe', '--user-data-dir=' + profile,
             '--window-size=' + size.replace('x', ','), 'about:blank'],
            preexec_fn=fds, pass_fds=(3, 4),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_child)
        os.close(from_child)
        self.buffer = b''
        self.next_id = 0
        self.session = None

    def call(self, method, params=None, deadline=30):
        self.next_id += 1
        message = {'id': self.next_id, 'method': method, 'params': params or {}}
        if self.session:
            message['sessionId'] = self.session
        os.write(self.send_fd, json.dumps(message).encode() + b'\0')
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            while b'\0' not in self.buffer:
                chunk = os.read(self.recv_fd, 1 << 20)
                if not chunk:
                    raise RuntimeError('chromium closed its pipe')
                self.buffer += chunk
            raw, self.buffer = self.buffer.split(b'\0', 1)
            reply = json.loads(raw)
            if reply.get('id') == self.next_id:
                if 'error' in reply:
                    raise RuntimeError(method + ': ' + json.dumps(reply['error']))
                return reply.get('result', {})
        raise RuntimeError(method + ': no answer')

    def evaluate(self, expression):
        result = self.call('Runtime.evaluate', {'expression': expression, 'returnByValue': True})
        return result.get('result', {}).get('value')

    def close(self):
        try:
            self.session = None
            self.call('Browser.close', deadline=5)
        except (RuntimeError, OSError):
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('url')
    ap.add_argument('--until', default='true')
    ap.add_argument('--timeout', type=float, default=20)
    ap.add_argument('--dom')
    ap.add_argument('--screenshot')
    ap.add_argument('--size', default='1200x900')
    ap.add_argument('--eval', action='append', default=[])
    ap.add_argument('--hold', type=float, default=0)
    args = ap.parse_args()
    profile = tempfile.mkdtemp(prefix='westnet-chromium.')
    browser = Browser(args.size, profile)
    met = False
    try:
        page = [t for t in browser.call('Target.getTargets')['targetInfos'] if t['type'] == 'page'][0]
        browser.session = browser.call('Target.attachToTarget',
                                       {'targetId': page['targetId'], 'flatten': True})['sessionId']
        browser.call('Page.enable')
        browser.call('Page.navigate', {'url': args.url})
        end = time.monotonic() + args.timeout
        while time.monotonic() < end:
            if browser.evaluate('!!(' + args.until + ')'):
                met = True
                break
            time.sleep(0.2)
        if args.hold > 0:
            print('held', flush=True)
            time.sleep(args.hold)
        if args.dom:
            with open(args.dom, 'w') as f:
                f.write(browser.evaluate('document.documentElement.outerHTML') or '')
        if args.screenshot:
            shot = browser.call('Page.captureScreenshot', {'format': 'png'})
            with open(args.screenshot, 'wb') as f:
                f.write(base64.b64decode(shot['data']))
        for expression in args.eval:
            print(json.dumps(browser.evaluate(expression)))
    finally:
        browser.close()
        shutil.rmtree(profile, ignore_errors=True)
    if not met:
        print('browser.py: not met within %g s: %s' % (args.timeout, args.until), file=sys.stderr)
    return 0 if met else 1


if __name__ == '__main__':
    sys.exit(main())
