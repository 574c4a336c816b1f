#!/usr/bin/env python3
"""System test of the release relay inside an ARM Linux guest.

Boots the guest (guest.py), then runs each check and prints one line per
check (PASS, FAIL or SKIP with the reason) and a closing line
"N passed, N failed, N skipped". Exits 1 when a check failed.
"""

import argparse
import os
import random
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
# The emulated machine itself (guest.py) lives with the other stand-ins.
sys.path.insert(0, os.path.join(here, "..", "..", "sim", "system"))

from guest import Guest  # noqa: E402
import checks  # noqa: E402
import machine  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kernel", required=True)
    ap.add_argument("--dtb", required=True)
    ap.add_argument("--initrd", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--golden", required=True)
    ap.add_argument("--kernel-package", default="")
    ap.add_argument("--write-keymap")
    ap.add_argument("--write-consolemap")
    ap.add_argument("--seed", type=int)
    ap.add_argument("--only", help="run only the checks whose name contains this")
    args = ap.parse_args()

    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)
    started = time.monotonic()
    guest = Guest(args.kernel, args.dtb, args.initrd, args.work, os.path.join(args.work, "console.log"))
    print(f"system-test: guest ready {guest.boot_seconds:.1f} s after QEMU started "
          f"(kernel uptime {guest.guest_uptime:.1f} s)", flush=True)
    try:
        ctx = machine.Context(guest, args.golden, seed)
        if args.write_keymap:
            checks.write_keymap(ctx, args.write_keymap, args.kernel_package)
            checks.write_consolemap(ctx, args.write_consolemap, args.kernel_package)
            return 0
        failed = checks.run_all(ctx, args.only)
        print(f"system-test: {time.monotonic() - started:.0f} s in the guest, seed {seed} "
              f"(--seed {seed} repeats the sessions)")
        return 1 if failed else 0
    finally:
        guest.close()


if __name__ == "__main__":
    sys.exit(main())
