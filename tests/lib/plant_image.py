"""westnet-sim's image files as the tests read them, written here on their
own rather than through the gateway's code: a value or a list of values per
address, each a number or typed (f32:73.25, i32h:-5, bcd:1234, ...)."""
import struct


def image_words(text):
    """One image value as its words, in register order."""
    if ':' not in text:
        return [int(text, 0)]
    kind, number = text.split(':')
    high = kind in ('u32h', 'i32h', 'f32h')
    kind = kind[:-1] if high else kind
    if kind in ('u16', 'i16'):
        return [int(number) & 0xFFFF]
    if kind == 'bcd':
        return [int(number, 16)]
    bits = (struct.unpack('<I', struct.pack('<f', float(number)))[0] if kind == 'f32'
            else int(number) & 0xFFFFFFFF)
    pair = [bits & 0xFFFF, bits >> 16]
    return pair[::-1] if high else pair


def parse_image(text):
    """{(station, register): word} for every word the image sets."""
    image = {}
    for line in text.splitlines():
        line = line.split('#', 1)[0].strip()
        if not line:
            continue
        address, _, values = line.partition('=')
        address = address.strip()
        station, register = int(address[:2]), int(address[2:])
        for v in values.split(','):
            if v.strip():
                for w in image_words(v.strip()):
                    image[(station, register)] = w
                    register += 1
    return image
