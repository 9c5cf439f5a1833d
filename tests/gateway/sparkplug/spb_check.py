"""Checks of the Sparkplug e2e test on what the independent decoder
(spb.js decode) made of every message seen on spBv1.0/#.

    spb_check.py MODE JSONL [ARGS...]   exit 0 when the check holds
"""
import json
import re
import sys

NODE = 'spBv1.0/westnet/%s/gateway-1'
DEVICES = ('plant-s01', 'plant-s02', 'plant-s05')
# The example image (examples/plant.img) read by hand, as the MQTT test has it.
WANT = {
    'plant-s01': {
        'pump/flow-setpoint': ('UInt16', 1234), 'pump/running': ('Boolean', 1),
        'pump/fault': ('Boolean', 0), 'tank/levels/0': ('UInt16', 100),
        'tank/levels/1': ('UInt16', 200), 'tank/levels/2': ('UInt16', 300),
        'pump/run-command': ('UInt16', 1), 'kiln/temperature': ('Double', 73.2),
        'water/meter-total': ('UInt32', 1234567), 'pump/flow': ('Float', 12.5),
    },
    'plant-s02': dict(('valves/positions/%d' % i, ('UInt16', i + 1)) for i in range(64)),
    'plant-s05': {
        'rtu/counter': ('UInt16', 0x5678), 'rtu/alarm': ('Boolean', 1),
        'rtu/last-register': ('UInt16', 42),
    },
}


def messages(path):
    out = []
    for line in open(path):
        m = json.loads(line)
        if m['topic'].startswith('spBv1.0/westnet/'):
            out.append(m)
    return out


def kind(m):
    return m['topic'].split('/')[2]


def device(m):
    parts = m['topic'].split('/')
    return parts[4] if len(parts) > 4 else None


def metric(payload, name):
    for x in payload.get('metrics', []):
        if x.get('name') == name:
            return x
    return None


def number(value):
    return int(value) if isinstance(value, bool) else value


def births_equal_image(ms, nth_birth=1, strict=True):
    """The nth NBIRTH and the DBIRTHs after it: every point with its type,
    value and good quality, an alias each, unique. Not strict: a point not
    read yet may come without a value and with the quality bad (the first
    births go out before the first scan)."""
    nbirths = [i for i, m in enumerate(ms) if kind(m) == 'NBIRTH']
    if len(nbirths) < nth_birth:
        return False
    start = nbirths[nth_birth - 1]
    bd = metric(ms[start]['payload'], 'bdSeq')
    rebirth = metric(ms[start]['payload'], 'Node Control/Rebirth')
    if bd is None or bd.get('type') != 'Int64' or rebirth is None or \
            rebirth.get('type') != 'Boolean' or rebirth.get('value') is not False:
        print('NBIRTH: bdSeq %r, rebirth %r' % (bd, rebirth))
        return False
    seen = {}
    for m in ms[start + 1:]:
        if kind(m) == 'NBIRTH':
            break
        if kind(m) == 'DBIRTH':
            seen[device(m)] = m['payload']
    aliases = set()
    for dev, want in WANT.items():
        if dev not in seen:
            return False
        if len(seen[dev]['metrics']) != len(want):
            print('%s: %d metrics, want %d' % (dev, len(seen[dev]['metrics']), len(want)))
            return False
        for name, (typ, value) in want.items():
            x = metric(seen[dev], name)
            quality = ((x or {}).get('properties') or {}).get('Quality') or {}
            unread = not strict and x is not None and x.get('value') is None and \
                quality.get('value') == 0
            if x is None or x.get('type') != typ or (
                    not unread and (x.get('value') is None or
                                    abs(number(x.get('value')) - value) > 1e-9)):
                print('%s %s: %r, want %s %r' % (dev, name, x, typ, value))
                return False
            if (quality.get('value') != 192 and not unread) or x.get('alias') is None or \
                    x['alias'] in aliases:
                print('%s %s: quality or alias: %r' % (dev, name, x))
                return False
            aliases.add(x['alias'])
    return True


def seq_in_order(ms):
    """seq: 0 on each NBIRTH, one more (mod 256) on each message after it;
    NDEATH carries none."""
    if not any(kind(m) == 'NBIRTH' for m in ms):
        return False
    last = None
    for m in ms:
        k = kind(m)
        p = m['payload']
        if m.get('error'):
            print('undecodable: %s %s' % (m['topic'], m['error']))
            return False
        if k in ('NCMD', 'DCMD'):
            continue
        if k == 'NDEATH':
            if p.get('seq') is not None:
                return False
            last = None
            continue
        if k == 'NBIRTH':
            if p.get('seq') != 0:
                return False
        elif last is None or p.get('seq') != (last + 1) % 256:
            print('seq %r after %r on %s' % (p.get('seq'), last, m['topic']))
            return False
        last = p['seq']
    return True


def alias_of(ms, dev, name):
    for m in reversed(ms):
        if kind(m) == 'DBIRTH' and device(m) == dev:
            x = metric(m['payload'], name)
            if x is not None:
                return x['alias']
    return None


def latest_value(ms, dev, name):
    """The value last sent for a metric: by name in a DBIRTH, by alias in DDATA."""
    alias = alias_of(ms, dev, name)
    value = None
    for m in ms:
        if device(m) != dev or kind(m) not in ('DBIRTH', 'DDATA'):
            continue
        for x in m['payload'].get('metrics', []):
            if x.get('name') == name or (x.get('name') in (None, '') and x.get('alias') == alias):
                value = number(x.get('value'))
    return value


def shape(ms, start):
    """{device: {name: (type, alias)}} of the DBIRTHs after the NBIRTH at
    index start, up to the next NBIRTH."""
    out = {}
    for m in ms[start + 1:]:
        if kind(m) == 'NBIRTH':
            break
        if kind(m) == 'DBIRTH':
            out[device(m)] = dict((x['name'], (x['type'], x.get('alias')))
                                  for x in m['payload']['metrics'])
    return out


def bdseq(m):
    return metric(m['payload'], 'bdSeq')['value']


def node_messages(ms):
    return [m for m in ms if kind(m) not in ('NCMD', 'DCMD')]


def session(ms, want):
    """The latest NBIRTH carries bdSeq `want`, one more than the NBIRTH
    before it; an NDEATH with that one's bdSeq came between them; the births
    after it name every point with the type and alias of the first births."""
    ms = node_messages(ms)
    nbirths = [i for i, m in enumerate(ms) if kind(m) == 'NBIRTH']
    if len(nbirths) < 2 or bdseq(ms[nbirths[-1]]) != want:
        return False
    before, last = nbirths[-2], nbirths[-1]
    old = bdseq(ms[before])
    deaths = [bdseq(m) for m in ms[before:last] if kind(m) == 'NDEATH']
    if want != (old + 1) % 256 or deaths != [old]:
        print('bdSeq %r after %r, NDEATH between: %r' % (want, old, deaths))
        return False
    first, now = shape(ms, nbirths[0]), shape(ms, last)
    if set(now) != set(WANT) or now != first:
        print('births of bdSeq %r differ from the first: %r' % (want, now))
        return False
    return True


def broker_log(path):
    """From mosquitto's log (log_type all): every connection of the gateway
    leaves its NDEATH as a will at QoS 1, unretained; every message it
    publishes is unretained, at QoS 0 but its own NDEATH at QoS 1."""
    lines = open(path, errors='replace').read().splitlines()
    gateway = re.compile(r"New client connected .* as (westnet-gateway\S*-sparkplug) ")
    connects = 0
    for i, line in enumerate(lines):
        if gateway.search(line):
            connects += 1
            will = lines[i + 1:i + 3]
            if len(will) < 2 or '(r0, q1)' not in will[0] or \
                    not will[1].strip().endswith('spBv1.0/westnet/NDEATH/gateway-1'):
                print('a connection without its NDEATH will at QoS 1: %r' % will)
                return False
    published = re.compile(r"Received PUBLISH from westnet-gateway\S*-sparkplug "
                           r"\(d\d, q(\d), r(\d), m\d+, '([^']*)'")
    count = 0
    for line in lines:
        m = published.search(line)
        if not m:
            continue
        count += 1
        qos, retain, topic = m.group(1), m.group(2), m.group(3)
        want = '1' if '/NDEATH/' in topic else '0'
        if retain != '0' or qos != want:
            print('q%s r%s on %s' % (qos, retain, topic))
            return False
    # Each connection subscribes to its commands (and, with a primary host,
    # that host's STATE) at QoS 1.
    subscribed = set()
    for i, line in enumerate(lines):
        if re.search(r'Received SUBSCRIBE from westnet-gateway\S*-sparkplug', line):
            for follow in lines[i + 1:i + 3]:
                m = re.search(r'\t(\S+) \(QoS (\d)\)', follow)
                if m:
                    subscribed.add((m.group(1), m.group(2)))
    want = {('spBv1.0/westnet/NCMD/gateway-1', '1'), ('spBv1.0/westnet/DCMD/gateway-1/+', '1'),
            ('spBv1.0/STATE/scada', '1')}
    if subscribed != want:
        print('subscriptions %r' % sorted(subscribed))
        return False
    return connects > 0 and count > 0


def main():
    mode, path = sys.argv[1], sys.argv[2]
    if mode == 'broker':
        sys.exit(0 if broker_log(path) else 1)
    ms = messages(path)
    bdseqs = [metric(m['payload'], 'bdSeq')['value'] for m in ms if kind(m) == 'NBIRTH']
    if mode == 'births':
        ok = births_equal_image(ms, 1, strict=False)
    elif mode == 'image':
        # What a host holds of every point (births, then data) equals the image.
        ok = True
        for dev, want in WANT.items():
            for name, (_, value) in want.items():
                got = latest_value(ms, dev, name)
                if got is None or abs(got - value) > 1e-9:
                    print('%s %s: %r, want %r' % (dev, name, got, value))
                    ok = False
    elif mode == 'seq':
        ok = seq_in_order(ms)
    elif mode == 'alias':
        print(alias_of(ms, sys.argv[3], sys.argv[4]))
        ok = True
    elif mode == 'value':
        ok = latest_value(ms, sys.argv[3], sys.argv[4]) == float(sys.argv[5])
    elif mode == 'deaths':
        # DDEATH of every device after the latest birth of each, in this order.
        ok = True
        for dev in DEVICES:
            events = [kind(m) for m in ms if device(m) == dev and kind(m) in ('DBIRTH', 'DDEATH')]
            ok = ok and bool(events) and events[-1] == 'DDEATH'
    elif mode == 'reborn':
        # Every device's latest DBIRTH/DDEATH is a DBIRTH, after a DDEATH.
        ok = True
        for dev in DEVICES:
            events = [kind(m) for m in ms if device(m) == dev and kind(m) in ('DBIRTH', 'DDEATH')]
            ok = ok and len(events) >= 3 and events[-1] == 'DBIRTH' and 'DDEATH' in events
    elif mode == 'rebirth':
        # A second NBIRTH with the first one's bdSeq, no NDEATH between them,
        # and every device born after it.
        want = int(sys.argv[3])
        kinds = [kind(m) for m in ms]
        ok = len(bdseqs) >= want and len(set(bdseqs)) == 1 and 'NDEATH' not in kinds
        ok = ok and births_equal_image(ms, want)
    elif mode == 'ndeath':
        deaths = [metric(m['payload'], 'bdSeq')['value'] for m in ms if kind(m) == 'NDEATH']
        ok = bool(deaths) and bool(bdseqs) and deaths[-1] == bdseqs[-1]
    elif mode == 'ndeaths':
        # Exactly one NDEATH per session, in order: never the gateway's own
        # and the broker's will for one bdSeq.
        deaths = [metric(m['payload'], 'bdSeq')['value'] for m in ms if kind(m) == 'NDEATH']
        ok = deaths == [int(b) for b in sys.argv[3:]]
        if not ok:
            print('NDEATH bdSeqs %r' % deaths)
    elif mode == 'reload':
        # The nth NBIRTH with the first one's bdSeq and no NDEATH at all; its
        # births name every point with the first births' types and aliases.
        want = int(sys.argv[3])
        nbirths = [i for i, m in enumerate(ms) if kind(m) == 'NBIRTH']
        ok = len(nbirths) >= want and len(set(bdseqs)) == 1 and \
            'NDEATH' not in [kind(m) for m in ms]
        ok = ok and set(shape(ms, nbirths[want - 1])) == set(WANT) and \
            shape(ms, nbirths[want - 1]) == shape(ms, nbirths[0])
    elif mode == 'count':
        print(sum(1 for m in ms if kind(m) == sys.argv[3]))
        ok = True
    elif mode == 'dead':
        # The node's latest message is an NDEATH with this bdSeq: no births
        # since.
        node = node_messages(ms)
        ok = bool(node) and kind(node[-1]) == 'NDEATH' and bdseq(node[-1]) == int(sys.argv[3])
    elif mode == 'session':
        ok = session(ms, int(sys.argv[3]))
    elif mode == 'history':
        # A new session (as above) and, after its births, the value written
        # while no host was online, marked historical.
        want, dev, name, value = int(sys.argv[3]), sys.argv[4], sys.argv[5], float(sys.argv[6])
        ok = session(ms, want)
        node = node_messages(ms)
        start = [i for i, m in enumerate(node) if kind(m) == 'NBIRTH'][-1]
        alias = shape(node, start).get(dev, {}).get(name, (None, None))[1]
        found = False
        for m in node[start:]:
            if kind(m) != 'DDATA' or device(m) != dev:
                continue
            for x in m['payload'].get('metrics', []):
                if (x.get('name') == name or (alias is not None and x.get('alias') == alias)) \
                        and x.get('isHistorical') and number(x.get('value')) == value:
                    found = True
        ok = ok and found
    else:
        raise SystemExit('unknown mode ' + mode)
    sys.exit(0 if ok else 1)


main()
