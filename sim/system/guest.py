"""The ARM guest under qemu-system-arm, driven over its console.

The console (ttyAMA0) is QEMU's standard input and output; the three other
UARTs (ttyAMA1 to ttyAMA3) end in Unix sockets on the host, which stand for
the keyboards' serial lines. The guest's init prints a ready marker and then
runs a shell without echo that reads one command a line; every command sent
is followed by an echo of a marker with its exit status and a serial number,
so the host knows where the command's output ends and how it ended.
"""

import os
import re
import socket
import subprocess
import threading
import time


class GuestError(Exception):
    pass


class Port:
    """The host end of one guest UART: bytes sent to the guest, and every
    byte the guest wrote, kept for whoever looks (an IrKB101 responder)."""

    def __init__(self, path, number, deadline):
        self.number = number
        self.path = path
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise GuestError(f"{path}: QEMU's socket did not appear")
                time.sleep(0.02)
        self.received = bytearray()
        self.cond = threading.Condition()
        self.listeners = []
        self.thread = threading.Thread(target=self._drain, daemon=True)
        self.thread.start()

    def _drain(self):
        while True:
            try:
                data = self.sock.recv(4096)
            except OSError:
                return
            if not data:
                return
            with self.cond:
                self.received += data
                for listener in list(self.listeners):
                    listener(self, bytes(data))
                self.cond.notify_all()

    def send(self, data):
        self.sock.sendall(bytes(data))

    def clear(self):
        with self.cond:
            self.received.clear()


class Guest:
    def __init__(self, kernel, dtb, initrd, workdir, log_path, boot_timeout=60):
        self.workdir = workdir
        os.makedirs(workdir, exist_ok=True)
        socks = [os.path.join(workdir, f"ttyAMA{n}.sock") for n in (1, 2, 3)]
        for s in socks:
            if os.path.exists(s):
                os.unlink(s)
        cmd = [
            "qemu-system-arm", "-M", "vexpress-a9", "-m", "256",
            "-display", "none", "-monitor", "none", "-no-reboot",
            "-serial", "stdio",
        ]
        for s in socks:
            cmd += ["-serial", f"unix:{s},server=on,wait=off"]
        cmd += [
            "-kernel", kernel, "-dtb", dtb, "-initrd", initrd,
            "-append", "console=ttyAMA0 rdinit=/init quiet panic=-1",
        ]
        self.log = open(log_path, "wb")
        self.start = time.monotonic()
        # The board's sound chip needs no host audio.
        env = dict(os.environ, QEMU_AUDIO_DRV="none")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.log, env=env)
        self.out = bytearray()
        self.pos = 0
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read_console, daemon=True)
        self.reader.start()
        self.serial = 0
        deadline = time.monotonic() + 10
        self.ports = {n: Port(s, n, deadline) for n, s in zip((1, 2, 3), socks)}
        m = self._wait(re.compile(rb"@@KF:READY:([0-9.]+)\n"), boot_timeout, "the guest's boot")
        self.boot_seconds = time.monotonic() - self.start
        self.guest_uptime = float(m.group(1))

    def _read_console(self):
        fd = self.proc.stdout.fileno()
        while True:
            data = os.read(fd, 65536)
            if not data:
                with self.cond:
                    self.cond.notify_all()
                return
            self.log.write(data)
            self.log.flush()
            with self.cond:
                self.out += data.replace(b"\r", b"")
                self.cond.notify_all()

    def _wait(self, pattern, timeout, what):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                m = pattern.search(self.out, self.pos)
                if m:
                    self.before = bytes(self.out[self.pos:m.start()])
                    self.pos = m.end()
                    return m
                if b"@@KF:SHELL-ENDED" in self.out[self.pos:]:
                    raise GuestError(f"the guest's shell ended during {what}")
                if self.proc.poll() is not None:
                    raise GuestError(f"QEMU ended (status {self.proc.returncode}) during {what}")
                left = deadline - time.monotonic()
                if left <= 0:
                    tail = self.out[self.pos:][-400:].decode(errors="replace")
                    raise GuestError(f"{what}: no answer within {timeout} s; console so far: {tail!r}")
                self.cond.wait(left)

    def run(self, command, timeout=30):
        """Runs a command line in the guest's shell; returns (status, output)."""
        self.serial += 1
        n = self.serial
        line = f"{command}\necho \"@@KF:$?:{n}\"\n"
        self.proc.stdin.write(line.encode())
        self.proc.stdin.flush()
        m = self._wait(re.compile(rb"@@KF:(\d+):%d\n" % n), timeout, f"'{command}'")
        return int(m.group(1)), self.before.decode(errors="replace")

    def ok(self, command, timeout=30):
        """Runs a command that must succeed; returns its output."""
        status, out = self.run(command, timeout)
        if status != 0:
            raise GuestError(f"'{command}' exited {status}: {out.strip()}")
        return out

    def close(self):
        try:
            if self.proc.poll() is None:
                self.proc.stdin.write(b"poweroff -f\n")
                self.proc.stdin.flush()
                self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.log.close()
