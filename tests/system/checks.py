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


CHECKS = [
    ("kernel set-2 key map matches tests/golden/atkbd_set2.txt", check_keymap),
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
