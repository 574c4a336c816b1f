"""The golden data the system test compares with, none of it from the relay:
the handheld's typing table (typing.txt), the cradle keyboard's key table
(ps2_keys.txt), the kernel's own set-2 key map (atkbd_set2.txt) and the key
names of the host's linux/input-event-codes.h."""

import os
import re

EVENT_CODES = "/usr/include/linux/input-event-codes.h"


def typing(golden_dir):
    """Events per character 0 to 255, each a list of "CODE+" / "CODE-"."""
    rows = {}
    with open(os.path.join(golden_dir, "typing.txt")) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            ch, _, events = line.partition(":")
            rows[int(ch)] = events.split()
    if sorted(rows) != list(range(256)):
        raise ValueError("typing.txt: characters 0 to 255 expected")
    return rows


def typing_events(rows, text):
    out = []
    for b in text:
        out += rows[b]
    return out


MODIFIER_MAKE = {"S": 0x12, "C": 0x14}


def ps2_strokes(golden_dir):
    """How a cradle keyboard types each character it has a key for: the
    scan code (0xe0xx behind E0) and the modifiers (a subset of "CS"), the
    first key in the table with the fewest modifiers."""
    rows = []
    with open(os.path.join(golden_dir, "ps2_keys.txt")) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            words = line.split()
            rows.append((int(words[0], 16), words[1:]))
    strokes = {}
    # Columns none, Shift, Ctrl, Ctrl+Shift of the table.
    for column, mods in ((0, ""), (1, "S"), (2, "C"), (3, "CS")):
        for code, cells in rows:
            cell = cells[column]
            if cell.isdigit() and int(cell) not in strokes:
                strokes[int(cell)] = (code, mods)
    return strokes


def _key_bytes(code, release):
    out = [0xE0] if code & 0xFF00 else []
    if release:
        out.append(0xF0)
    out.append(code & 0xFF)
    return out


def ps2_encode(strokes, text):
    """Set-2 bytes that type text on the cradle keyboard."""
    out = []
    for b in text:
        code, mods = strokes[b]
        for m in mods:
            out += _key_bytes(MODIFIER_MAKE[m], False)
        out += _key_bytes(code, False) + _key_bytes(code, True)
        for m in reversed(mods):
            out += _key_bytes(MODIFIER_MAKE[m], True)
    return bytes(out)


def key_names(path=EVENT_CODES):
    """Key code -> the first KEY_ name with that value."""
    names = {}
    with open(path) as f:
        for line in f:
            m = re.match(r"#define\s+(KEY_\w+)\s+(0x[0-9a-fA-F]+|\d+)\b", line)
            if m:
                names.setdefault(int(m.group(2), 0), m.group(1))
    return names


def index_bytes(idx):
    """The set-2 bytes of a make code whose kernel index is idx."""
    b = (idx & 0x7F) | ((idx & 0x100) >> 1)
    return [0xE0, b] if idx & 0x80 else [b]


def read_keymap(path):
    """{index: code} from atkbd_set2.txt."""
    keymap = {}
    with open(path) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            idx, code, _name = line.split()
            keymap[int(idx, 16)] = int(code)
    return keymap


def format_keymap(keymap, declared, kernel_package):
    names = key_names()
    mapped = {c for c in keymap.values()}
    lines = [
        "# The kernel's PS/2 scan code set 2 key map (atkbd), read from the running",
        "# kernel with EVIOCGKEYCODE for every index 0 to 511 by tools/system-test",
        "# --keymap, which rewrites this file. One line per index whose key code is",
        "# not 0: IDX CODE NAME. IDX is the kernel's index of a set-2 byte b,",
        "# (b & 0x7f) | ((b & 0x80) << 1), or-ed with 0x80 after E0 (E1 14 77,",
        "# Pause, lands at 0f7); CODE the key code; NAME its first KEY_ name in",
        "# linux/input-event-codes.h, - for none (255: the kernel ignores the code).",
    ]
    if kernel_package:
        lines.append(f"# Kernel: {kernel_package} (armhf).")
    only_declared = sorted(set(declared) - mapped)
    only_mapped = sorted(mapped - set(declared))
    if not only_declared and not only_mapped:
        lines.append("# The device declares (EVIOCGBIT EV_KEY) exactly the codes of this map.")
    else:
        lines.append("# The device declares (EVIOCGBIT EV_KEY) the codes of this map")
        if only_mapped:
            lines.append("# except " + " ".join(str(c) for c in only_mapped))
        if only_declared:
            lines.append("# and also " + " ".join(str(c) for c in only_declared))
    for idx in sorted(keymap):
        code = keymap[idx]
        lines.append(f"{idx:03x} {code} {names.get(code, '-')}")
    return "\n".join(lines) + "\n"
