"""The checks run in the guest. Each is a function that raises CheckFailed
(or GuestError) on failure, or Skip when what it needs is not there."""

import os
import random
import time
import traceback

import golden
from guest import GuestError
from keyboards import MODES, Session, play, send_runs
from machine import (BUS_RS232, RELAY_PORT, RELAY_UINPUT_NAME, STOPS, CheckFailed, Skip, guest_lines,
                     key_lines, record_lines, relay_log, start_console_reader, start_recorder, start_relay,
                     stop_relay, sync_kbdsim, wait_for_tail)


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


def write_consolemap(ctx, path, kernel_package):
    out = ctx.g.ok("kf-probe consolemap /dev/tty1")
    with open(path, "w") as f:
        f.write("# The kernel's default console keymap (US), read from the running kernel\n"
                "# with KDGKBENT on tty1 by tools/system-test --keymap, which rewrites this\n"
                "# file. One line per key code that types anything: CODE PLAIN SHIFT CTRL\n"
                "# SHIFTCTRL, each the keysym (type << 8 | value, hexadecimal) of that\n"
                "# modifier table (linux/keyboard.h: type 0 Latin, 2 special, 6 cursor,\n"
                "# 11 letter).\n"
                f"# Kernel: {kernel_package}.\n")
        f.write(out if out.endswith("\n") else out + "\n")
    print(f"system-test: wrote {path}: {len(out.splitlines())} keys")


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
            sync_kbdsim(ctx, mode.wire(ctx, PROBE))
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


# --- The kernel's side: atkbd, the console, random sessions -------------

ESC_MAKE = [0x76]
ESC_BREAK = [0xF0, 0x76]


# Keys 128 to 135 of raw mode and the set-2 make codes of the keys they are.
CURSOR_KEYS = [(128, [0xE0, 0x6B]), (129, [0xE0, 0x74]), (130, [0xE0, 0x75]), (131, [0xE0, 0x72]),
               (132, [0xE0, 0x6C]), (133, [0x64]), (134, [0xE0, 0x7C]), (135, [0xE0, 0x69])]
Z_MAKE, Z_BREAK = [0x1A], [0xF0, 0x1A]  # Z, the fence of the console reader


def check_console_keys(ctx):
    """The console's own bytes for the keys 128 to 135 of raw mode, typed on
    atkbd: the oracle of the raw relay's cursor keys on the console."""
    ctx.attach_atkbd(2)
    g = ctx.g
    pid = start_console_reader(ctx)
    ctx.console_keys = {}
    for ch, make in CURSOR_KEYS:
        g.ok(": >/tmp/tty1.out")
        brk = make[:-1] + [0xF0, make[-1]]
        for chunk in (make, brk, Z_MAKE, Z_BREAK):
            g.ports[2].send(bytes(chunk))
        g.ok("kf-probe wait -l 7a /tmp/tty1.out")
        got = [int(x, 16) for x in guest_lines(ctx, "/tmp/tty1.out")]
        if got[-1:] != [0x7A]:
            raise CheckFailed(f"console: key {ch} gave {got}, not ending with z")
        ctx.console_keys[ch] = bytes(got[:-1])
    g.ok(f"kill {pid}")
    ctx.figures.append("console bytes of keys 128-135: " +
                       ", ".join(f"{ch}={seq.hex() or '-'}" for ch, seq in ctx.console_keys.items()))
    for ch in (128, 129, 130, 131):
        if not ctx.console_keys[ch]:
            raise CheckFailed(f"the console gives nothing for key {ch}")
    return None


def strip_probes(lines):
    k = 0
    while lines[k:k + 2] == ["key 1 1", "key 1 0"]:
        k += 2
    return lines[k:]


def differential(ctx, side, sessions, label):
    """Plays each session to atkbd on ttyAMA2 and to side (port number, its
    event device, the function that wraps set-2 bytes for it), and compares
    the two devices' key events. Returns the number of events compared."""
    g = ctx.g
    port_n, dev_b, wire_b, probe = side
    dev_a = ctx.attach_atkbd(2)
    compared = 0
    for k, session in enumerate(sessions):
        pid_a = start_recorder(ctx, dev_a, "/tmp/evA.out")
        pid_b = start_recorder(ctx, dev_b, "/tmp/evB.out")
        if probe:
            deadline = time.monotonic() + 20
            while True:
                g.ports[port_n].send(wire_b(ESC_MAKE) + wire_b(ESC_BREAK))
                if g.run("kf-probe wait -t 500 -l 'key 1 0' /tmp/evB.out")[0] == 0:
                    break
                if time.monotonic() > deadline:
                    raise CheckFailed(f"{label}: the relay typed nothing within 20 s: {relay_log(ctx)!r}")
        play(session.items + [(session.items[-1][0] + 0.02, ESC_MAKE + ESC_BREAK)],
             [(g.ports[2], bytes), (g.ports[port_n], wire_b)])
        # atkbd's side has nothing but the session and its end marker; the
        # other side may have probes in front, so its end is the marker at
        # least as many lines down.
        g.ok("kf-probe wait -t 20000 -l 'key 1 0' /tmp/evA.out", timeout=30)
        a = key_lines(ctx, "/tmp/evA.out")
        wait_for_tail(ctx, "/tmp/evB.out", ["key 1 1", "key 1 0"], len(a))
        g.ok(f"kill {pid_a} {pid_b}")
        a = key_lines(ctx, "/tmp/evA.out")
        b = strip_probes(key_lines(ctx, "/tmp/evB.out"))
        if a != b:
            at = next((n for n, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            raise CheckFailed(f"{label}, session {k} (seed {ctx.seed}): atkbd reported {len(a)} events, "
                              f"the other side {len(b)}; first difference at event {at}: atkbd "
                              f"{a[at:at + 3]}, other {b[at:at + 3]}; bytes around it in the session log")
        compared += len(a)
    return compared


def sessions_for(ctx, label, count, actions):
    rng = random.Random(f"{ctx.seed}:{label}")
    keymap = golden.read_keymap(os.path.join(ctx.golden_dir, "atkbd_set2.txt"))
    return [Session(rng, keymap, actions) for _ in range(count)]


def check_differential_self(ctx):
    """The comparison itself, with atkbd on both sides (ttyAMA2 and
    ttyAMA3): the same sessions must give the same events, and a session
    with one byte changed on one side must not."""
    dev3 = ctx.attach_atkbd(3)
    sessions = sessions_for(ctx, "self", 2, 150)
    # Probes on the second side, as on a relay's: atkbd answers the first.
    side = (3, dev3, bytes, True)
    compared = differential(ctx, side, sessions, "atkbd against atkbd")
    # A side that turns one key into another must be caught.
    def swap_a_for_s(payload):
        return bytes(0x1B if b == 0x1C else b for b in payload)
    probe_session = Session(random.Random(0), {0x1C: 30, 0x1B: 31}, 6)
    try:
        differential(ctx, (3, dev3, swap_a_for_s, False), [probe_session], "planted fault")
    except CheckFailed:
        pass
    else:
        raise CheckFailed("a side that types S for A went unnoticed")
    ctx.figures.append(f"differential self-check: {compared} events compared, atkbd against atkbd")
    return f"{compared} events"


# --- The relay's uinput mode --------------------------------------------

def start_uinput_relay(ctx, mode, verbose=False):
    """Starts the relay's uinput mode on ttyAMA1 and returns its event
    device; Skip when this relay has no such mode."""
    g = ctx.g
    try:
        before = start_relay(ctx, mode, extra="-u" + (" -v" if verbose else ""))
    except CheckFailed:
        if "Usage" in relay_log(ctx):
            raise Skip("the relay has no -u mode yet (it prints its usage for -u)")
        raise
    deadline = time.monotonic() + 15
    while True:
        st, out = g.run(f"kf-probe find -t 200 '{RELAY_UINPUT_NAME}' 2>/dev/null")
        if st == 0:
            dev = out.strip()
            bus = g.ok(f"cat /sys/class/input/{os.path.basename(dev)}/device/id/bustype").strip()
            if int(bus, 16) != BUS_RS232:
                g.run("kill -KILL $relay; wait $relay")
                raise CheckFailed(f"the relay's input device is on bus {bus}, not BUS_RS232")
            return dev, before
        if g.run("kill -0 $relay")[0] != 0:
            g.run("wait $relay")
            if "Usage" in relay_log(ctx):
                raise Skip("the relay has no -u mode yet (it prints its usage for -u)")
            raise CheckFailed(f"the relay ended without a uinput device: {relay_log(ctx)!r}")
        if time.monotonic() > deadline:
            g.run("kill -KILL $relay; wait $relay")
            raise CheckFailed(f"no input device '{RELAY_UINPUT_NAME}' within 15 s: {relay_log(ctx)!r}")


def check_uinput_raw_console(ctx):
    """(b) Raw mode on uinput: bytes 0 to 127 come back from the console on
    tty1 as themselves, keys 128 to 135 as the console gives them for the
    same keys on atkbd."""
    g = ctx.g
    if not hasattr(ctx, "console_keys"):
        check_console_keys(ctx)
    _, before = start_uinput_relay(ctx, MODES["raw"])
    pid = start_console_reader(ctx)
    try:
        deadline = time.monotonic() + 20
        while g.run("kf-probe wait -t 500 -l 7a /tmp/tty1.out")[0] != 0:
            g.ports[1].send(b"z")
            if time.monotonic() > deadline:
                raise CheckFailed(f"nothing came from the console within 20 s: {relay_log(ctx)!r}")
        g.ok(": >/tmp/tty1.out")
        text = bytes(range(136)) + b"!"
        expected = bytes(range(128)) + b"".join(ctx.console_keys[ch] for ch in range(128, 136)) + b"!"
        send_runs(g.ports[1], [bytes([b]) for b in text], 3 * 960)
        lines = wait_for_tail(ctx, "/tmp/tty1.out", ["21"], len(expected))
        got = bytes(int(x, 16) for x in lines)
        # Probes still on their way when the reader was emptied come first.
        while got.startswith(b"z") and len(got) > len(expected):
            got = got[1:]
        if got != expected:
            at = next((n for n, (x, y) in enumerate(zip(got, expected)) if x != y), min(len(got), len(expected)))
            raise CheckFailed(f"console bytes differ at {at}: got {got[at:at + 8].hex()}, "
                              f"expected {expected[at:at + 8].hex()}")
    finally:
        g.run(f"kill {pid}")
    stop_relay(ctx, "SIGTERM", before)
    ctx.figures.append(f"uinput raw: {len(expected)} console bytes compared")
    return f"{len(expected)} bytes"


def uinput_differential(ctx, mode_name):
    """(c) The relay's uinput mode against atkbd, session for session."""
    mode = MODES[mode_name]
    dev, before = start_uinput_relay(ctx, mode)
    try:
        sessions = sessions_for(ctx, mode_name, 3, 150)
        compared = differential(ctx, (1, dev, mode.wire_ps2, True), sessions, f"uinput {mode_name}")
    except BaseException:
        ctx.g.run("kill -KILL $relay; wait $relay")
        raise
    stop_relay(ctx, "SIGTERM", before)
    ctx.figures.append(f"uinput {mode_name}: {compared} events compared with atkbd")
    return f"{compared} events"


def check_uinput_cradle(ctx):
    return uinput_differential(ctx, "cradle")


def check_uinput_irkb101(ctx):
    return uinput_differential(ctx, "irkb101")


def check_uinput_irkb101_noinit(ctx):
    return uinput_differential(ctx, "IrKB101")


# Keys held for the release checks: Shift, A, Up (E0), right Ctrl (E0), Alt.
HELD = [0x012, 0x01C, 0x0F5, 0x094, 0x011]


def release_faults(lines, codes, how):
    """What is wrong with a record (reports' ends included) of keys codes
    pressed and then released by how: every key released once by the
    device itself, and nothing else. The kernel releases the keys a device
    leaves down when it goes away, in a report of its own that ends with
    SYN_REPORT 1: those releases do not count. None when nothing is wrong."""
    reports, report = [], []
    for x in lines:
        if x.startswith("sync "):
            reports.append((report, x))
            report = []
        elif x != "gone":
            report.append(x)
    own = [k for r, end in reports if end == "sync 0" for k in r]
    own = strip_probes(own)
    presses = [f"key {c} 1" for c in codes]
    if own[:len(presses)] != presses:
        return f"the held keys' presses: {own[:len(presses)]}, expected {presses}"
    rest = own[len(presses):]
    released = [x for x in rest if how != "AA" or x not in ("key 1 1", "key 1 0")]
    if sorted(released) != sorted(f"key {c} 0" for c in codes):
        return (f"after {how} the device reported {rest}, the kernel {[r for r, e in reports if e != 'sync 0']}; "
                f"expected one release of each of {codes} from the device")
    return None


def check_release_oracle(ctx):
    """The record of keys left down tells a device that released them before
    going away from one that left them to the kernel."""
    g = ctx.g
    codes = [42, 30, 103]
    outcome = {}
    for flag in ("-r", ""):
        name = f"kf-probe held{flag}"
        pid = g.ok(f"kf-probe uinput-hold {flag} '{name}' {' '.join(map(str, codes))}").strip()
        dev = g.ok(f"kf-probe find -t 5000 '{name}'").strip()
        rec = start_recorder(ctx, dev, "/tmp/hold.out")
        g.ok(f"kill -USR1 {pid}")
        g.ok(f"kf-probe wait -l 'key {codes[-1]} 1' /tmp/hold.out")
        g.ok(f"kill -TERM {pid}")
        g.ok("kf-probe wait -l gone /tmp/hold.out")
        g.run(f"kill {rec}")
        lines = record_lines(ctx, "/tmp/hold.out")
        outcome[flag] = (release_faults(lines, codes, "SIGTERM"), lines)
    if outcome["-r"][0] is not None:
        raise CheckFailed(f"a device that released its keys was taken for one that did not: {outcome['-r']}")
    if outcome[""][0] is None:
        raise CheckFailed(f"a device that left its keys down was taken for one that released them: "
                          f"{outcome['']}")
    ctx.figures.append(f"kernel: a uinput device removed with keys down gives the reader {outcome[''][1]}")
    return None


def held_keys_released(ctx, how):
    """(d) Keys held when the relay ends (how: a STOPS entry, or "AA": the
    keyboard's self-test byte, after which the relay goes on) are released,
    each once, by the relay itself."""
    g = ctx.g
    mode = MODES["cradle"]
    keymap = golden.read_keymap(os.path.join(ctx.golden_dir, "atkbd_set2.txt"))
    dev, before = start_uinput_relay(ctx, mode)
    pid = start_recorder(ctx, dev, "/tmp/held.out")
    codes = [keymap[i] for i in HELD]
    try:
        deadline = time.monotonic() + 20
        while g.run("kf-probe wait -t 500 -l 'key 1 0' /tmp/held.out")[0] != 0:
            g.ports[1].send(bytes(ESC_MAKE + ESC_BREAK))
            if time.monotonic() > deadline:
                raise CheckFailed(f"the relay typed nothing within 20 s: {relay_log(ctx)!r}")
        for idx in HELD:
            g.ports[1].send(bytes(golden.index_bytes(idx)))
        g.ok(f"kf-probe wait -l 'key {codes[-1]} 1' /tmp/held.out")
        if how == "AA":
            # A keyboard that has just sent AA may miss what follows it
            # (atkbd does): the end marker goes again until it shows.
            pressed = len(guest_lines(ctx, "/tmp/held.out"))
            g.ports[1].send(b"\xaa")
            deadline = time.monotonic() + 20
            while True:
                g.ports[1].send(bytes(ESC_MAKE + ESC_BREAK))
                if g.run(f"kf-probe wait -t 500 /tmp/held.out {pressed + 2}")[0] == 0:
                    keys = key_lines(ctx, "/tmp/held.out")
                    if keys[-2:] == ["key 1 1", "key 1 0"]:
                        break
                if time.monotonic() > deadline:
                    raise CheckFailed(f"no end marker within 20 s after AA: {key_lines(ctx, '/tmp/held.out')}")
        else:
            command, _ = STOPS[how]
            g.ok(command)
            g.run("wait $relay")
            g.ok("kf-probe wait -l gone /tmp/held.out")
    except BaseException:
        g.run("kill -KILL $relay; wait $relay")
        raise
    finally:
        g.run(f"kill {pid}")
    fault = release_faults(record_lines(ctx, "/tmp/held.out"), codes, how)
    if fault:
        if how == "AA":
            g.run("kill -KILL $relay; wait $relay")
        raise CheckFailed(fault)
    if how == "AA":
        stop_relay(ctx, "SIGTERM", before)
    return f"{len(codes)} keys"


def check_released_sigterm(ctx):
    return held_keys_released(ctx, "SIGTERM")


def check_released_sighup(ctx):
    return held_keys_released(ctx, "SIGHUP")


def check_released_hangup(ctx):
    return held_keys_released(ctx, "hang-up")


def check_released_aa(ctx):
    return held_keys_released(ctx, "AA")


CHECKS = [
    ("kernel set-2 key map matches tests/golden/atkbd_set2.txt", check_keymap),
    ("raw relay types every byte on the device over ttyAMA1", check_raw),
    ("cradle relay types every key of the cradle over ttyAMA1", check_cradle),
    ("IrKB101 relay answers the handshake and types every key", check_irkb101),
    ("IrKB101 relay without handshake types every key", check_irkb101_noinit),
    ("relay refuses a port that is not a terminal", check_not_a_terminal),
    ("kernel: the console's bytes for keys 128-135 (raw uinput oracle)", check_console_keys),
    ("kernel: random sessions give the same events on two atkbd ports", check_differential_self),
    ("kernel: a record tells keys released by a device from keys left down", check_release_oracle),
    ("uinput raw: every byte 0-135 comes back from the console", check_uinput_raw_console),
    ("uinput cradle: the same events as atkbd over random sessions", check_uinput_cradle),
    ("uinput IrKB101: the same events as atkbd over random sessions", check_uinput_irkb101),
    ("uinput IrKB101 without handshake: the same events as atkbd", check_uinput_irkb101_noinit),
    ("uinput: keys held at SIGTERM are released", check_released_sigterm),
    ("uinput: keys held at SIGHUP are released", check_released_sighup),
    ("uinput: keys held at a hang-up are released", check_released_hangup),
    ("uinput: AA releases the keys held", check_released_aa),
]


def run_all(ctx, only=None):
    passed = failed = skipped = 0
    for name, fn in CHECKS:
        if only and only not in name:
            continue
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
