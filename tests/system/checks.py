"""The checks run in the guest. Each is a function that raises CheckFailed
(or GuestError) on failure, or Skip when what it needs is not there."""

import os
import random
import time
import traceback

import golden
from guest import GuestError

ATKBD_NAME = "AT Raw Set 2 keyboard"
RELAY_UINPUT_NAME = "keyferry serial keyboard"


class CheckFailed(Exception):
    pass


class Skip(Exception):
    pass


class Context:
    def __init__(self, guest, golden_dir, seed):
        self.g = guest
        self.golden_dir = golden_dir
        self.seed = seed
        self.typing = golden.typing(golden_dir)
        self.strokes = golden.ps2_strokes(golden_dir)
        self.attached = {}  # UART number -> event device of atkbd on it
        self.figures = []  # lines for the summary

    def attach_atkbd(self, n):
        """Attaches the kernel's PS/2 serial keyboard driver to ttyAMAn and
        returns its event device."""
        if n in self.attached:
            return self.attached[n]
        g = self.g
        g.ok(f"kf-probe attach /dev/ttyAMA{n} </dev/null >/tmp/attach{n}.log 2>&1 &")
        t0 = time.monotonic()
        dev = g.ok(f"kf-probe find -p ttyAMA{n}/ -t 20000 '{ATKBD_NAME}'", timeout=30).strip()
        self.figures.append(f"atkbd on ttyAMA{n} is {dev}, {time.monotonic() - t0:.1f} s after the attach")
        self.attached[n] = dev
        return dev


def read_kernel_keymap(ctx, dev):
    out = ctx.g.ok(f"kf-probe keymap {dev}")
    keymap = {}
    for line in out.splitlines():
        if line.strip() and not line.startswith("kf-probe:"):
            idx, code = line.split()
            keymap[int(idx)] = int(code)
    declared = [int(w) for w in ctx.g.ok(f"kf-probe keybits {dev}").split()]
    return keymap, declared


def write_keymap(ctx, path, kernel_package):
    dev = ctx.attach_atkbd(2)
    keymap, declared = read_kernel_keymap(ctx, dev)
    with open(path, "w") as f:
        f.write(golden.format_keymap(keymap, declared, kernel_package))
    print(f"system-test: wrote {path}: {len(keymap)} indices mapped, {len(declared)} keys declared")


# --- The kernel's key map ------------------------------------------------

def check_keymap(ctx):
    """The running kernel's set-2 map is the golden one."""
    dev = ctx.attach_atkbd(2)
    keymap, _ = read_kernel_keymap(ctx, dev)
    want = golden.read_keymap(os.path.join(ctx.golden_dir, "atkbd_set2.txt"))
    if keymap != want:
        diff = [f"{i:03x}: kernel {keymap.get(i)}, golden {want.get(i)}"
                for i in sorted(set(keymap) | set(want)) if keymap.get(i) != want.get(i)]
        raise CheckFailed("the kernel's key map differs from atkbd_set2.txt (tools/system-test --keymap "
                          "rewrites it): " + "; ".join(diff[:8]))
    ctx.keymap = keymap
    return f"{len(keymap)} indices"


# --- Talking to the relay and the kernel --------------------------------

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

RELAY_PORT = "/dev/ttyAMA1"


def send_runs(port, runs, rate):
    """Sends runs of bytes at about rate bytes a second."""
    t = time.monotonic()
    for run in runs:
        port.send(run)
        t += len(run) / rate
        pause = t - time.monotonic()
        if pause > 0:
            time.sleep(pause)


def guest_lines(ctx, path):
    return ctx.g.ok(f"cat {path}", timeout=60).splitlines()


def relay_log(ctx):
    return ctx.g.run("cat /tmp/relay.err")[1].strip()


def start_relay(ctx, mode, extra="-d /tmp/kbdsim"):
    """Starts the relay on ttyAMA1 in the background, after putting the port
    in settings of its own (cooked, 38400 bps) that the relay must change and
    put back. Returns those settings (stty -g)."""
    g = ctx.g
    port = g.ports[1]
    port.listeners.clear()
    if mode.handshake:
        ctx.responder = IrKB101Responder()
        port.listeners.append(ctx.responder)
    g.ok(f"stty -F {RELAY_PORT} sane 38400")
    before = g.ok(f"stty -F {RELAY_PORT} -g").strip()
    g.ok(f"keyferry {mode.options} {extra} {RELAY_PORT} </dev/null >/tmp/relay.err 2>&1 & relay=$!")
    if mode.handshake:
        deadline = time.monotonic() + 20
        while g.run("grep -q 'IrKB101+PS/2 initialized' /tmp/relay.err")[0] != 0:
            if g.run("kill -0 $relay")[0] != 0 or time.monotonic() > deadline:
                raise CheckFailed(f"the IrKB101 handshake did not complete: {relay_log(ctx)!r}")
            time.sleep(0.05)
        if ctx.responder.answered != [0, 1, 2]:
            raise CheckFailed(f"init strings answered: {ctx.responder.answered}, expected 0, 1, 2")
    return before


def sync_kbdsim(ctx, mode, probe_runs, timeout=20):
    """Sends the probe until its events reach the device: from then on the
    relay reads the port."""
    g = ctx.g
    deadline = time.monotonic() + timeout
    while True:
        send_runs(g.ports[1], probe_runs, 10000)
        if g.run("kf-probe wait -t 500 /tmp/kbd.out 1")[0] == 0:
            return
        if g.run("kill -0 $relay")[0] != 0:
            raise CheckFailed(f"the relay ended: {relay_log(ctx)!r}")
        if time.monotonic() > deadline:
            raise CheckFailed(f"the relay typed nothing within {timeout} s: {relay_log(ctx)!r}")


STOPS = {
    # how: (guest command, exit status the shell reports)
    "SIGTERM": ("kill -TERM $relay", 143),
    "SIGHUP": ("kill -HUP $relay", 129),
    "hang-up": (f"kf-probe hangup {RELAY_PORT}", 0),
}


def stop_relay(ctx, how, before):
    """Stops the relay; checks how it ended and that the port's settings are
    the ones it found."""
    g = ctx.g
    command, status = STOPS[how]
    g.ok(command)
    st, out = g.run("wait $relay; echo $?")
    got = int(out.split()[-1])
    if got != status:
        raise CheckFailed(f"after {how} the relay's status is {got}, not {status}: {relay_log(ctx)!r}")
    if how == "hang-up" and "keyboard port hung up" not in relay_log(ctx):
        raise CheckFailed(f"no 'keyboard port hung up' message after the hang-up: {relay_log(ctx)!r}")
    after = g.ok(f"stty -F {RELAY_PORT} -g").strip()
    if after != before:
        settings = g.ok(f"stty -F {RELAY_PORT} -a").replace("\n", " ")
        raise CheckFailed(f"after {how} the port's settings were not put back: now {settings}")


RAW_FLAGS = ["-parenb", "cs8", "-icanon", "-isig", "-iexten", "-echo", "-icrnl", "-inlcr",
             "-igncr", "-istrip", "-ixon", "-opost"]


def check_port_settings(ctx, mode):
    settings = ctx.g.ok(f"stty -F {RELAY_PORT} -a")
    words = settings.replace(";", " ").split()
    if f"speed {mode.speed} baud" not in settings:
        raise CheckFailed(f"the port does not run at {mode.speed} bps: {settings!r}")
    missing = [f for f in RAW_FLAGS if f not in words]
    if missing:
        raise CheckFailed(f"the port is not raw while the relay runs (no {' '.join(missing)}): {settings!r}")


# --- Check (a): the relay types on the simulator device -----------------

def typable(ctx, mode):
    """Every character the mode's keyboard can send: all bytes for raw."""
    if mode.name == "raw":
        return bytes(range(256))
    return bytes(sorted(ctx.strokes))


PROBE = b"p"
FENCE = b"!"


def relay_types(ctx, mode_name, stops):
    """Runs the relay once per way of stopping it. The first run types every
    character the keyboard has and checks the events against typing.txt,
    the port's settings while it runs and a second relay on the same port;
    every run checks the exit and the restored settings."""
    mode = MODES[mode_name]
    g = ctx.g
    text = typable(ctx, mode)
    expected = golden.typing_events(ctx.typing, text)
    probe = golden.typing_events(ctx.typing, PROBE)
    fence = golden.typing_events(ctx.typing, FENCE)
    for run, how in enumerate(stops):
        g.ok("kill $kbdsim 2>/dev/null; rm -f /tmp/kbdsim /tmp/kbd.out; kbdsim=$(kf-probe kbdsim /tmp/kbdsim /tmp/kbd.out)")
        before = start_relay(ctx, mode)
        try:
            sync_kbdsim(ctx, mode, mode.wire(ctx, PROBE))
            if run == 0:
                check_port_settings(ctx, mode)
                st, out = g.run(f": >/tmp/kbdsim2; keyferry -d /tmp/kbdsim2 {RELAY_PORT} </dev/null")
                want = f"keyferry: {RELAY_PORT}: in use by another relay"
                if st != 1 or want not in out:
                    raise CheckFailed(f"a second relay on the port gave {st}, {out.strip()!r}")
                send_runs(g.ports[1], mode.wire(ctx, text), 3 * mode.speed / 10)
            send_runs(g.ports[1], mode.wire(ctx, FENCE), 10000)
            lines = wait_for_tail(ctx, "/tmp/kbd.out", fence,
                                  (len(expected) if run == 0 else 0) + len(probe) + len(fence))
            body = lines[:len(lines) - len(fence)]
            want = expected if run == 0 else []
            copies, rest = divmod(len(body) - len(want), len(probe))
            if rest or copies < 1 or body != probe * copies + want:
                at = next((k for k, (a, b) in enumerate(zip(body[len(probe) * max(copies, 0):], want))
                           if a != b), None)
                raise CheckFailed(f"{mode_name}: the device got {len(body)} events for {len(want)} expected "
                                  f"after {max(copies, 0)} probes; first difference at event {at}")
        except BaseException:
            g.run("kill -KILL $relay; wait $relay")
            raise
        stop_relay(ctx, how, before)
        if run == 0:
            ctx.figures.append(f"{mode_name}: {len(expected)} events for {len(text)} characters "
                               "matched typing.txt")
    g.ok("kill $kbdsim")
    return f"{len(expected)} events; stopped by {', '.join(stops)}"


def wait_for_tail(ctx, path, tail, at_least, timeout=30):
    """Waits until path has at_least lines and ends with tail; returns its lines."""
    g = ctx.g
    deadline = time.monotonic() + timeout
    want = at_least
    while True:
        left = int((deadline - time.monotonic()) * 1000)
        if left <= 0 or g.run(f"kf-probe wait -t {left} {path} {want}", timeout=timeout + 10)[0] != 0:
            lines = guest_lines(ctx, path)
            raise CheckFailed(f"{path}: {len(lines)} lines within {timeout} s, at least {at_least} "
                              f"ending with {tail} expected; last: {lines[-6:]}")
        lines = guest_lines(ctx, path)
        if lines[-len(tail):] == tail:
            return lines
        want = len(lines) + 1


def check_raw(ctx):
    return relay_types(ctx, "raw", ["SIGTERM", "SIGHUP", "hang-up"])


def check_cradle(ctx):
    return relay_types(ctx, "cradle", ["SIGHUP", "hang-up", "SIGTERM"])


def check_irkb101(ctx):
    return relay_types(ctx, "irkb101", ["hang-up", "SIGTERM", "SIGHUP"])


def check_irkb101_noinit(ctx):
    return relay_types(ctx, "IrKB101", ["SIGTERM"])


def check_not_a_terminal(ctx):
    """A regular file and /dev/null are refused, and the file stays empty."""
    g = ctx.g
    g.ok(": >/tmp/kbdsim2; : >/tmp/notatty")
    for path in ("/tmp/notatty", "/dev/null"):
        st, out = g.run(f"keyferry -d /tmp/kbdsim2 {path} </dev/null")
        want = f"keyferry: {path}: not a terminal"
        if st != 1 or want not in out:
            raise CheckFailed(f"{path}: status {st}, {out.strip()!r}; expected 1 and '{want}'")
    if g.ok("wc -c </tmp/notatty").strip() != "0":
        raise CheckFailed("the relay wrote to the regular file it refused")


CHECKS = [
    ("kernel set-2 key map matches tests/golden/atkbd_set2.txt", check_keymap),
    ("raw relay types every byte on the device over ttyAMA1", check_raw),
    ("cradle relay types every key of the cradle over ttyAMA1", check_cradle),
    ("IrKB101 relay answers the handshake and types every key", check_irkb101),
    ("IrKB101 relay without handshake types every key", check_irkb101_noinit),
    ("relay refuses a port that is not a terminal", check_not_a_terminal),
]


def run_all(ctx):
    passed = failed = skipped = 0
    for name, fn in CHECKS:
        t0 = time.monotonic()
        try:
            note = fn(ctx)
            passed += 1
            print(f"PASS {name}" + (f" ({note})" if note else "") + f" [{time.monotonic() - t0:.1f} s]",
                  flush=True)
        except Skip as e:
            skipped += 1
            print(f"SKIP {name}: {e}", flush=True)
        except (CheckFailed, GuestError) as e:
            failed += 1
            print(f"FAIL {name}: {e}", flush=True)
        except Exception:  # a fault of the harness itself fails the check too
            failed += 1
            print(f"FAIL {name}: harness error:\n{traceback.format_exc()}", flush=True)
    for line in ctx.figures:
        print(f"system-test: {line}")
    print(f"system-test: {passed} passed, {failed} failed, {skipped} skipped")
    return failed
