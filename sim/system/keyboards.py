"""The virtual keyboards of the system test: what a raw, cradle or IrKB101
keyboard sends on its serial line, the IrKB101 keyboard's side of the
handshake, and random stretches of set-2 typing, sent at their pace."""

import time

import golden

PAUSE = [0xE1, 0x14, 0x77, 0xE1, 0xF0, 0x14, 0xF0, 0x77]


# The keyboard's own copy of the IrKB101 handshake: the relay's init strings
# and the answer the keyboard gives to each.
IRKB101_INIT = [
    bytes([0xFF] + [0xC0] * 8 + [0xAA, 0x3F, 0x03, 0x20, 0x5A, 0x01, 0xA2, 0x00, 0x16,
                                 0x3E, 0x16, 0x14, 0x16, 0x00, 0xC2, 0x06, 0x1D]),
    bytes([0xC0] * 8 + [0xAA, 0x03, 0xF0, 0x02, 0xF1, 0x5A]),
    bytes([0xC0] * 8 + [0xAA, 0x22, 0x00, 0x22]),
]
IRKB101_RESPONSE = [
    bytes([0xFF, 0x55, 0x08, 0x3F, 0x37]),
    bytes([0xFF, 0x55, 0x08, 0x03, 0x0B]),
    bytes([0xFF, 0x55, 0x08, 0x22, 0x2A]),
]


class IrKB101Responder:
    """Answers each init string the relay sends, as the keyboard does."""

    def __init__(self):
        self.window = bytearray()
        self.answered = []

    def __call__(self, port, data):
        for b in data:
            self.window.append(b)
            del self.window[:-len(IRKB101_INIT[0])]
            for k, init in enumerate(IRKB101_INIT):
                if self.window.endswith(init):
                    port.send(IRKB101_RESPONSE[k])
                    self.answered.append(k)
                    self.window.clear()
                    break


def irkb101_frame(payload):
    """One run of the IrKB101 framing: a 0xFF gap, then each byte and its
    complement; a run that starts with 0x00 gets a second 0xFF, or the gap
    and the first byte would read as a pair."""
    if not payload:
        return b""
    if payload[0] == 0xFF:
        raise ValueError("a run cannot start with 0xFF")
    out = bytearray([0xFF, 0xFF] if payload[0] == 0x00 else [0xFF])
    for b in payload:
        out += bytes([b, 0xFF - b])
    return bytes(out)


class Mode:
    def __init__(self, name, options, speed, framed, handshake):
        self.name = name
        self.options = options
        self.speed = speed
        self.framed = framed
        self.handshake = handshake

    def wire(self, ctx, text):
        """The bytes a keyboard of this mode sends for text, as runs: one
        per character."""
        if self.name == "raw":
            return [bytes([b]) for b in text]
        runs = [golden.ps2_encode(ctx.strokes, bytes([b])) for b in text]
        return [irkb101_frame(r) for r in runs] if self.framed else runs

    def wire_ps2(self, payload):
        """The bytes that carry set-2 bytes in this mode."""
        return irkb101_frame(payload) if self.framed else bytes(payload)


MODES = {
    "raw": Mode("raw", "-raw", 9600, False, False),
    "cradle": Mode("cradle", "-cradle", 4800, False, False),
    "irkb101": Mode("irkb101", "-irkb101", 9600, True, True),
    "IrKB101": Mode("IrKB101", "-IrKB101", 9600, True, False),
}


def send_runs(port, runs, rate):
    """Sends runs of bytes at about rate bytes a second."""
    t = time.monotonic()
    for run in runs:
        port.send(run)
        t += len(run) / rate
        pause = t - time.monotonic()
        if pause > 0:
            time.sleep(pause)


class Session:
    """A random stretch of typing in set-2 bytes: a list of (time in s,
    bytes), every key released at the end."""

    # At least this long after a key's press before it repeats: a real
    # keyboard's typematic delay is 250 ms or more, and atkbd drops a
    # repeated make within 125 ms of the press.
    REPEAT_AFTER = 0.4

    def __init__(self, rng, keymap, actions):
        normal = sorted(i for i, c in keymap.items()
                        if c not in (0, 255) and i not in (0x76, 0x0F7, 0x171, 0x172))
        self.items = []
        self.keys_pressed = set()
        held = {}  # index -> (press time, fake shift suffix for its break)
        t = 0.0
        for _ in range(actions):
            t += rng.uniform(0.008, 0.04)
            if rng.random() < 0.05:
                t += self.REPEAT_AFTER  # a pause long enough for repeats
            r = rng.random()
            ripe = [i for i, (t0, _) in held.items() if t - t0 >= self.REPEAT_AFTER]
            if r < 0.03:
                self.items.append((t, PAUSE))
            elif r < 0.06:
                self.items.append((t, [rng.choice([0xF1, 0xF2])]))  # Hanja, Hangeul: make only
            elif r < 0.16 and ripe:
                i = rng.choice(ripe)
                for _ in range(rng.randint(1, 4)):
                    self.items.append((t, self.code(i, release=False)))
                    t += 0.033
            elif held and (len(held) >= min(6, len(normal)) or r < 0.55):
                i = rng.choice(sorted(held))
                _, suffix = held.pop(i)
                self.items.append((t, self.code(i, release=True) + suffix))
            else:
                i = rng.choice([k for k in normal if k not in held])
                prefix, suffix = [], []
                if i & 0x80:
                    # Fake shifts that keyboards wrap around the keys behind E0.
                    form = rng.choice(["", "", "num", "shift", "rshift"])
                    if form == "num":
                        prefix, suffix = [0xE0, 0x12], [0xE0, 0xF0, 0x12]
                    elif form == "shift":
                        prefix, suffix = [0xE0, 0xF0, 0x12], [0xE0, 0x12]
                    elif form == "rshift":
                        prefix, suffix = [0xE0, 0xF0, 0x59], [0xE0, 0x59]
                held[i] = (t, suffix)
                self.keys_pressed.add(i)
                self.items.append((t, prefix + self.code(i, release=False)))
        for i in sorted(held):
            t += rng.uniform(0.008, 0.04)
            self.items.append((t, self.code(i, release=True) + held[i][1]))

    @staticmethod
    def code(idx, release):
        b = golden.index_bytes(idx)
        return b[:-1] + [0xF0, b[-1]] if release else b


def play(items, targets):
    """Sends each item at its time to every (port, wire) target."""
    start = time.monotonic()
    for t, payload in items:
        pause = start + t - time.monotonic()
        if pause > 0:
            time.sleep(pause)
        for port, wire in targets:
            port.send(wire(payload))
