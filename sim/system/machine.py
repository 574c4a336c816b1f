"""The relay and the kernel's own keyboard driver in the running guest:
attaching atkbd to a UART, starting, synchronising with and stopping the
relay on ttyAMA1 (with the port's settings it must put back), and the
recorders of what they type (event devices, the simulator FIFO, tty1)."""

import time

import golden
from keyboards import IrKB101Responder, send_runs

ATKBD_NAME = "AT Raw Set 2 keyboard"
RELAY_UINPUT_NAME = "keyferry serial keyboard"
BUS_RS232 = 0x13  # linux/input.h


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


RELAY_PORT = "/dev/ttyAMA1"


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


def sync_kbdsim(ctx, probe_runs, timeout=20):
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
    _, out = g.run("wait $relay; echo $?")
    got = int(out.split()[-1])
    if got != status:
        raise CheckFailed(f"after {how} the relay's status is {got}, not {status}: {relay_log(ctx)!r}")
    if how == "hang-up" and "keyboard port hung up" not in relay_log(ctx):
        raise CheckFailed(f"no 'keyboard port hung up' message after the hang-up: {relay_log(ctx)!r}")
    after = g.ok(f"stty -F {RELAY_PORT} -g").strip()
    if after != before:
        settings = g.ok(f"stty -F {RELAY_PORT} -a").replace("\n", " ")
        raise CheckFailed(f"after {how} the port's settings were not put back: now {settings}")


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
        # Reports' ends of an event recorder do not count for the tail.
        if [x for x in lines if not x.startswith("sync ")][-len(tail):] == tail:
            return lines
        want = len(lines) + 1


def start_recorder(ctx, dev, path, grab=True):
    """Records dev's key events into path from now on; returns the pid."""
    return ctx.g.ok(f"kf-probe events {'-g ' if grab else ''}{dev} {path}").strip()


def record_lines(ctx, path):
    """A recorder's lines, reports' ends (sync) included."""
    lines = guest_lines(ctx, path)
    if "dropped" in lines:
        raise CheckFailed(f"{path}: the kernel dropped events (SYN_DROPPED): the reader fell behind")
    return lines


def key_lines(ctx, path):
    """A recorder's key events (and "gone"), without the reports' ends."""
    return [x for x in record_lines(ctx, path) if not x.startswith("sync ")]


def start_console_reader(ctx):
    """The console on tty1 in front, a reader holding tty1 in raw mode
    without echo, recording the bytes the console's key map gives."""
    g = ctx.g
    g.ok("chvt 1")
    return g.ok("(stty raw -echo && exec kf-probe bytes /tmp/tty1.out) </dev/tty1").strip()
