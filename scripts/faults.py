#!/usr/bin/env python3
"""Fault-injection matrix over the real stack: kestrel-flash (and, for a few
cases, the window offscreen) against kestrel-drive-sim processes on real
pseudo-terminals and loopback UDP.

Every fault is seeded, so a row of the table replays with the command printed
for it. The one rule checked in every run: no success unless the drive
confirmed the whole image ("result: identical").

  faults.py --build BUILD_DIR [--quick] [--window PROGRAM] [--out FILE]
            [--only SUBSTRING]

Standard library only. Sockets: 127.0.0.1, and 127.0.0.2 as another host.
"""

import argparse
import collections
import heapq
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HOST_PORT = 7777
DRIVE_PORT = 7775
LOOPBACK = "127.0.0.1"
OTHER_HOST = "127.0.0.2"
DATA, COUNT, TEXT = 0x11, 0x10, 0x0F
# A roomy receive buffer: on a pty nothing paces the host but the drive's XOFF.
SERIAL_SIM = ["--rx-buffer", "16384", "--drain-rate", "40000", "--quiet-time", "2"]
# The drive ends an image after this much silence. Where a case makes the
# host wait out its 5 s for an acknowledgement, the drive must outlast that
# wait, the count queries and the resend, or it would judge half an image.
GAP_QUIET = 6
GAP_SIM = ["--quiet-time", str(GAP_QUIET)]

SUCCESS_TEXTS = ("Firmware Download is complete", "Firmware Download Successful")


def datagram_type(data):
    return data[0] * 256 + data[1] if len(data) >= 2 else -1


def firmware(path, size, seed):
    """A firmware file for model 55: header, then a seeded image."""
    image = random.Random(seed).randbytes(size)
    with open(path, "wb") as f:
        f.write(b"1.06\r\n55\r\nxyz" + image)
    return path


# ---------------------------------------------------------------- processes


class Lines:
    """Reads a pipe line by line on a thread, so the driver can wait for a
    line without blocking on the pipe."""

    def __init__(self, pipe):
        self.lines = []
        self.cond = threading.Condition()
        self.closed = False
        self.thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self.thread.start()

    def _read(self, pipe):
        for raw in iter(pipe.readline, b""):
            with self.cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self.cond.notify_all()
        with self.cond:
            self.closed = True
            self.cond.notify_all()

    def wait_for(self, pattern, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    if re.search(pattern, line):
                        return line
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    return None
                self.cond.wait(left)

    def text(self):
        self.thread.join(5)
        with self.cond:
            return "\n".join(self.lines)


class Processes:
    """Every process a run starts, so none outlives it."""

    def __init__(self):
        self.started = []

    def spawn(self, argv, **kwargs):
        p = subprocess.Popen(argv, **kwargs)
        self.started.append(p)
        return p

    def end_all(self):
        for p in self.started:
            if p.poll() is None:
                p.kill()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                pass
        self.started.clear()


class Sim:
    def __init__(self, env, procs, firmware_path, options, port):
        self.env = env
        argv = [env.sim, "--no-power-up", "--transcript", "--port", str(port)]
        if firmware_path:
            argv += ["--firmware", firmware_path]
        self.argv = argv + options
        self.transcript_path = tempfile.mktemp(dir=env.work, suffix=".transcript")
        self.transcript = open(self.transcript_path, "wb")
        self.proc = procs.spawn(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=self.transcript)
        self.out = Lines(self.proc.stdout)
        self.pty = self.out.wait_for(r"^/dev/", 5)
        udp = self.out.wait_for(r"^udp ", 5)
        self.udp_port = int(udp.rsplit(":", 1)[1]) if udp else None
        if not self.pty or not self.udp_port:
            raise RuntimeError("kestrel-drive-sim did not start: " + " ".join(self.argv))

    def alive(self):
        return self.proc.poll() is None

    def power_up(self):
        if self.alive():
            self.proc.stdin.write(b"power-up\n")
            self.proc.stdin.flush()

    def quit(self):
        if self.alive():
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
                self.proc.wait(10)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.transcript.close()
        return self.out.text()

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def settle(self):
        """Waits for the verdict on an image still being received, so that
        "result: identical" speaks of the last image the host sent."""
        deadline = time.monotonic() + GAP_QUIET + 2
        while self.alive() and self.receiving() and time.monotonic() < deadline:
            time.sleep(0.1)

    def receiving(self):
        with open(self.transcript_path, "rb") as f:
            transcript = f.read()
        return len(re.findall(rb"\*\s+image begins", transcript)) > len(
            re.findall(rb"\*\s+verdict ", transcript))

    def last_line_setting(self):
        with open(self.transcript_path, "rb") as f:
            found = re.findall(rb"host line set to (\d+) bit/s", f.read())
        return int(found[-1]) if found else None


class Flash:
    def __init__(self, env, procs, args):
        self.argv = [env.flash] + args
        self.proc = procs.spawn(self.argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=env.child_env, stdin=subprocess.DEVNULL)
        self.out = Lines(self.proc.stdout)
        self.err = Lines(self.proc.stderr)

    def finish(self, timeout):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            code = "hung"
        if isinstance(code, int) and code < 0:
            code = "killed by %s" % signal.Signals(-code).name
        return code, self.out.text(), self.err.text()


# ---------------------------------------------------------------- the proxy


class Proxy:
    """Stands at the drive's UDP port between the host and the simulated
    drive: loses data datagrams and acknowledgements by a seeded draw, holds
    chosen acknowledgements past the host's 5 s wait, and has another host
    (127.0.0.2) send datagrams to the host during the transfer."""

    def __init__(self, sim_port, seed=1, drop_data=0.0, drop_acks=0.0, late_acks=(),
                 late_by=5.6, drop_after_late=False, inject=None):
        self.rng = random.Random(seed)
        self.sim_port = sim_port
        self.drop_data, self.drop_acks = drop_data, drop_acks
        self.late_acks, self.late_by = set(late_acks), late_by
        self.drop_after_late = drop_after_late
        self.inject = inject  # (after data datagram N, payload bytes)
        self.counts = collections.Counter()
        self.host_side = self._bind(LOOPBACK, DRIVE_PORT)
        self.drive_side = self._bind(LOOPBACK, 0)
        self.other = self._bind(OTHER_HOST, DRIVE_PORT) if inject else None
        self.host_addr = (LOOPBACK, HOST_PORT)
        self.data_seen = 0
        self.acks_seen = 0
        self.drop_next_data = False
        self.pending = []  # (time, order, socket, data, address)
        self.order = 0
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    @staticmethod
    def _bind(address, port):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((address, port))
        return s

    def _later(self, delay, sock, data, address):
        self.order += 1
        heapq.heappush(self.pending, (time.monotonic() + delay, self.order, sock, data, address))

    def _from_host(self, data, sender):
        self.host_addr = sender
        if datagram_type(data) == DATA:
            index = self.data_seen
            self.data_seen += 1
            if self.drop_next_data:
                self.drop_next_data = False
                self.counts["data lost (after a late ack)"] += 1
                return
            if self.rng.random() < self.drop_data:
                self.counts["data lost"] += 1
                return
        self.drive_side.sendto(data, (LOOPBACK, self.sim_port))

    def _from_drive(self, data):
        if datagram_type(data) == DATA:
            index = self.acks_seen
            self.acks_seen += 1
            if index in self.late_acks:
                self.counts["acks held %.1f s" % self.late_by] += 1
                self._later(self.late_by, self.host_side, data, self.host_addr)
                self.drop_next_data = self.drop_after_late
                return
            if self.rng.random() < self.drop_acks:
                self.counts["acks lost"] += 1
                return
            if self.inject and index == self.inject[0]:
                self._inject(data)
                return
        self.host_side.sendto(data, self.host_addr)

    def _inject(self, ack):
        """Another host's datagram, either right behind the drive's
        acknowledgement or, with that acknowledgement lost, in the middle of
        the host's 5 s wait for it."""
        _, payload, during_wait = self.inject
        self.counts["datagrams from another host"] += 1
        if during_wait:
            self.counts["acks lost"] += 1
            self._later(1.0, self.other, payload, self.host_addr)
        else:
            self.host_side.sendto(ack, self.host_addr)
            self.other.sendto(payload, self.host_addr)

    def _run(self):
        sockets = [s for s in (self.host_side, self.drive_side, self.other) if s]
        while not self.stopping:
            timeout = 0.05
            if self.pending:
                timeout = max(0.0, min(timeout, self.pending[0][0] - time.monotonic()))
            ready, _, _ = select.select(sockets, [], [], timeout)
            for s in ready:
                try:
                    data, sender = s.recvfrom(65536)
                except OSError:
                    continue
                if s is self.host_side:
                    self._from_host(data, sender)
                elif s is self.drive_side:
                    self._from_drive(data)
                else:
                    self.counts["host's datagrams to the other host"] += 1
            while self.pending and self.pending[0][0] <= time.monotonic():
                _, _, sock, data, address = heapq.heappop(self.pending)
                sock.sendto(data, address)

    def close(self):
        self.stopping = True
        self.thread.join(2)
        for s in (self.host_side, self.drive_side, self.other):
            if s:
                s.close()


# ---------------------------------------------------------------- one run


class Run:
    def __init__(self, case, seed):
        self.case, self.seed = case, seed
        self.code = None
        self.message = ""
        self.confirmed = False
        self.verdict = ""
        self.line_setting = None
        self.usable = None
        self.notes = []
        self.command = ""
        self.seconds = 0.0

    @property
    def claimed_success(self):
        return self.code == 0 or any(t in self.message for t in SUCCESS_TEXTS)

    @property
    def false_success(self):
        return self.claimed_success and not self.confirmed

    @property
    def expected(self):
        if self.code in self.case.codes:
            return True
        return self.code == 0 and self.confirmed and 0 in self.case.codes

    def outcome(self):
        if self.code == 0 and self.confirmed:
            return "success, image confirmed"
        if self.false_success:
            return "FALSE SUCCESS"
        return "%s: %s" % (self.code, self.message or "(no message)")


def messages(err_text):
    """kestrel-flash's boxes (standard error), without its own diagnostics."""
    lines = [line for line in err_text.splitlines() if line.strip()]
    return " | ".join(lines)


def confirmed(verdict_text):
    return "result: identical" in verdict_text


class Env:
    def __init__(self, args):
        self.build = os.path.abspath(args.build)
        self.flash = os.path.join(self.build, "src/app/kestrel-flash")
        self.sim = os.path.join(self.build, "tools/drive-sim/kestrel-drive-sim")
        self.window = args.window
        self.work = tempfile.mkdtemp(prefix="kestrel-faults-")
        self.child_env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.work, "config"),
                              XDG_DATA_HOME=os.path.join(self.work, "data"),
                              QT_QPA_PLATFORM="offscreen")
        self.files = {}

    def image(self, size):
        if size not in self.files:
            self.files[size] = firmware(os.path.join(self.work, "Flash%d.E" % size), size, size)
        return self.files[size]


def wait_for_progress(flash, percent, timeout=60):
    return flash.out.wait_for(r"progress %d%%" % percent, timeout)


def start_download(env, procs, sim, link, file_path, extra=()):
    args = ["--port", sim.pty] if link == "serial" else ["--ip", LOOPBACK]
    flash = Flash(env, procs, args + list(extra) + [file_path])
    if link == "serial":
        if flash.out.wait_for("to power up", 10):
            # The drive reads the host's bit rate back every 20 ms.
            time.sleep(0.1)
            sim.power_up()
    return flash


def follow_up(env, procs, sim, link, run):
    """The tool is usable afterwards: --identify on the same link exits 0,
    against the same drive power-cycled (serial) or a fresh one."""
    fresh = None
    if sim is None:
        ports_free()
        fresh = sim = Sim(env, procs, None, [], DRIVE_PORT if link == "ethernet" else 0)
    args = ["--port", sim.pty] if link == "serial" else ["--ip", LOOPBACK]
    for attempt in (1, 2):
        flash = Flash(env, procs, args + ["--identify"])
        if link == "serial" and flash.out.wait_for("to power up", 10):
            time.sleep(0.1)
            sim.power_up()
        code, _, err = flash.finish(30)
        if not (code == 3 and "7777" in err and attempt == 1):
            break
        # Another program on this machine took UDP 7777 meanwhile.
        run.notes.append("follow-up retried: UDP 7777 was taken")
        ports_free()
    run.usable = code == 0
    if not run.usable:
        run.notes.append("follow-up --identify: %s %s" % (code, messages(err)))
    if fresh:
        fresh.quit()


def shell_command(case, seed, quick):
    return "scripts/faults --only '%s' --seed %d%s" % (case.name, seed, " --quick" if quick else "")


def ports_free(timeout=120):
    """Other programs on this machine may use the fixed UDP ports for a while
    (test suites hold them under a lock of their own): wait for them."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            for address, port in (("0.0.0.0", HOST_PORT), (LOOPBACK, DRIVE_PORT)):
                probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                try:
                    probe.bind((address, port))
                finally:
                    probe.close()
            return True
        except OSError:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.5)


def execute(env, case, seed, quick):
    run = Run(case, seed)
    procs = Processes()
    if not ports_free():
        run.notes.append("UDP 7777 or 7775 held by another program for 120 s before the run")
    started = time.monotonic()
    try:
        case.body(env, procs, run, seed)
    except Exception as e:  # a broken harness must not pass for a result
        run.notes.append("harness error: %r" % (e,))
        run.code = "harness"
    finally:
        procs.end_all()
    run.seconds = time.monotonic() - started
    run.command = shell_command(case, seed, quick)
    return run


# ---------------------------------------------------------------- case bodies


def plain_download(link, size, sim_options=(), proxy_options=None, action=None,
                   flash_timeout=150):
    """A download with faults from the drive's options and/or the proxy, and
    an optional action during the transfer (with the Flash and Sim)."""

    def body(env, procs, run, seed):
        options = list(sim_options(seed) if callable(sim_options) else sim_options)
        options = (SERIAL_SIM if link == "serial" else []) + options
        proxy = None
        port = DRIVE_PORT if link == "ethernet" and proxy_options is None else 0
        ports_free()
        sim = Sim(env, procs, env.image(size), options + ["--seed", str(seed)], port)
        if proxy_options is not None:
            proxy = Proxy(sim.udp_port, seed=seed, **proxy_options(seed))
        try:
            flash = start_download(env, procs, sim, link, env.image(size))
            if action:
                action(env, procs, run, sim, flash, seed)
            code, out, err = flash.finish(flash_timeout)
            run.code = code if run.code is None else run.code
            run.message = messages(err)
        finally:
            if proxy:
                proxy.close()
                if proxy.counts:
                    run.notes.append(", ".join("%s %d" % kv for kv in sorted(proxy.counts.items())))
        finish_run(env, procs, run, sim, link)

    return body


def finish_run(env, procs, run, sim, link):
    """Port setting, the drive's verdict, then the follow-up: on the same
    drive where it still runs on serial, else on a fresh one (the fixed UDP
    port is then free for it)."""
    same = link == "serial" and sim.alive()
    if same:
        time.sleep(0.3)  # the drive reads the host's line settings every 20 ms
        run.line_setting = sim.last_line_setting()
        follow_up(env, procs, sim, link, run)
    if sim.alive():
        sim.settle()
    run.verdict = sim.quit()
    if not same:
        follow_up(env, procs, None, link, run)
    run.confirmed = confirmed(run.verdict)
    found = re.findall(r"verdict identical=(\w+).*?bytes=(\d+) expected=(\d+)", run.verdict)
    if found:
        run.notes.append("drive: " + "; ".join("identical=%s %s/%s bytes" % f for f in found))


def signal_at(signum, percent):
    def action(env, procs, run, sim, flash, seed):
        if wait_for_progress(flash, percent):
            flash.proc.send_signal(signum)
        else:
            run.notes.append("no progress %d%% seen: signal not sent" % percent)
    return action


def kill_sim_at(percent):
    def action(env, procs, run, sim, flash, seed):
        if wait_for_progress(flash, percent):
            sim.kill()
        else:
            run.notes.append("no progress %d%% seen: drive not killed" % percent)
    return action


def held_port(env, procs, run, seed):
    """A second kestrel-flash holds the pty while the download starts."""
    sim = Sim(env, procs, env.image(16384), SERIAL_SIM, 0)
    holder = Flash(env, procs, ["--port", sim.pty, "--identify", "--wait", "60"])
    holder.out.wait_for("to power up", 10)
    flash = Flash(env, procs, ["--port", sim.pty, env.image(16384)])
    run.code, _, err = flash.finish(30)
    run.message = messages(err)
    holder.proc.send_signal(signal.SIGTERM)
    code, _, _ = holder.finish(10)
    run.notes.append("holder ended by SIGTERM: exit %s" % code)
    finish_run(env, procs, run, sim, "serial")


def udp_taken(link):
    def body(env, procs, run, seed):
        blocker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        blocker.bind(("0.0.0.0", HOST_PORT))
        try:
            options = SERIAL_SIM if link == "serial" else []
            sim = Sim(env, procs, env.image(16384), options, DRIVE_PORT if link == "ethernet" else 0)
            flash = start_download(env, procs, sim, link, env.image(16384))
            run.code, _, err = flash.finish(60)
            run.message = messages(err)
        finally:
            blocker.close()
        finish_run(env, procs, run, sim, link)
    return body


def kill_flash_then_restart(link, size):
    def body(env, procs, run, seed):
        options = SERIAL_SIM if link == "serial" else ["--reply-latency", "0.01"]
        sim = Sim(env, procs, env.image(size), options, DRIVE_PORT if link == "ethernet" else 0)
        locks_before = set(os.listdir("/var/lock")) if os.path.isdir("/var/lock") else set()
        first = start_download(env, procs, sim, link, env.image(size))
        percent = 20 + 10 * (seed % 5)
        if not wait_for_progress(first, percent):
            run.notes.append("no progress %d%% seen" % percent)
        first.proc.send_signal(signal.SIGKILL)
        first_code, _, first_err = first.finish(10)
        if any(t in first_err for t in SUCCESS_TEXTS):
            run.notes.append("the killed run claimed success")
        stale = set(os.listdir("/var/lock")) - locks_before if os.path.isdir("/var/lock") else set()
        if stale:
            run.notes.append("left in /var/lock: " + ", ".join(sorted(stale)))
        # The drive ends the broken image after its quiet time.
        time.sleep(2.5 if link == "serial" else 1.5)
        second = start_download(env, procs, sim, link, env.image(size))
        run.code, _, err = second.finish(120)
        run.message = messages(err)
        run.notes.append("killed at %d%%: %s" % (percent, first_code))
        finish_run(env, procs, run, sim, link)
    return body


# ---------------------------------------------------------------- the matrix


class Case:
    def __init__(self, name, link, codes, body, seeds, quick=False, window=None):
        self.name, self.link, self.codes, self.body = name, link, set(codes), body
        self.seeds, self.quick, self.window = list(seeds), quick, window


def lossy(data, acks, size):
    return plain_download("ethernet", size, GAP_SIM + ["--drop-data", str(data), "--drop-acks",
                                                       str(acks)])


def matrix():
    cases = []
    add = cases.append
    for pct, size, seeds in ((1, 16384, (1, 2, 3)), (5, 4096, (1, 2, 3)), (20, 2048, (1, 2, 3))):
        f = pct / 100
        add(Case("Ethernet data loss %d %%" % pct, "ethernet", {0, 14, 18},
                 lossy(f, 0, size), seeds))
        add(Case("Ethernet ack loss %d %%" % pct, "ethernet", {0, 14, 18},
                 lossy(0, f, size), seeds, quick=pct == 5))
        add(Case("Ethernet data + ack loss %d %%" % pct, "ethernet", {0, 14, 18},
                 lossy(f, f, size), seeds))
    add(Case("Ethernet data + ack loss 5 %, drive's own 1 s end of image", "ethernet",
             {0, 13, 14, 18},
             plain_download("ethernet", 4096, ["--drop-data", "0.05", "--drop-acks", "0.05"]),
             (1, 2, 3)))
    # Without the drive's count at the end nothing is declared done.
    add(Case("count queries never answered, acks lost 20 %", "ethernet", {13, 18},
             plain_download("ethernet", 4096, ["--ignore-count-queries", "--drop-acks", "0.2"]),
             (1, 2)))
    add(Case("count queries never answered, data lost 20 %", "ethernet", {13, 18},
             plain_download("ethernet", 4096, ["--ignore-count-queries", "--drop-data", "0.2"]),
             (1,)))
    add(Case("serial \"E\" at a random offset", "serial", {12},
             plain_download("serial", 16384,
                            lambda s: ["--error-at", str(random.Random(s).randrange(16384))]),
             (1, 2, 3)))
    add(Case("Ethernet \"E\" at a random datagram", "ethernet", {12},
             plain_download("ethernet", 16384,
                            lambda s: ["--udp-error-at", str(random.Random(s).randrange(82))]),
             (1, 2, 3)))
    add(Case("serial drive silent mid-transfer", "serial", {15, 16},
             plain_download("serial", 32768,
                            lambda s: ["--stop-at", str(random.Random(s).randrange(16384))]),
             (1, 2)))
    add(Case("Ethernet drive silent mid-transfer", "ethernet", {13},
             plain_download("ethernet", 16384,
                            lambda s: ["--udp-stop-at", str(random.Random(s).randrange(82))]),
             (1, 2)))
    add(Case("pty closed mid-transfer (drive process killed)", "serial", {11, 15, 16, 20},
             plain_download("serial", 32768, action=lambda *a: kill_sim_at(20 + 20 * a[-1])(*a)),
             (1, 2)))
    add(Case("XOFF never followed by XON", "serial", {15},
             plain_download("serial", 16384, ["--rx-buffer", "1024", "--xoff-level", "512",
                                              "--xon-level", "128", "--drain-rate", "1"]),
             (1,)))
    for hexbytes in ("0A", "0D0A", "00FF2E45"):
        add(Case("bytes %s inside every packet" % hexbytes, "serial", {0, 4, 6},
                 plain_download("serial", 16384, ["--packet-insert", hexbytes]), (1,)))
    add(Case("late ack (5.6 s) on Ethernet", "ethernet", {0, 18},
             plain_download("ethernet", 4096, GAP_SIM, proxy_options=lambda s: {"late_acks": {3 + 5 * s}}),
             (1, 2)))
    add(Case("late ack, next data datagram lost", "ethernet", {0, 13, 14, 18},
             plain_download("ethernet", 4096, GAP_SIM, proxy_options=lambda s: {
                 "late_acks": {3 + 5 * s}, "drop_after_late": True}),
             (1, 2)))
    for label, payload, during_wait in (
            ("text datagram", bytes([0, TEXT]) + b"x", False),
            ("datagram of no drive type", bytes([1, 0]) + b"hello", False),
            ("acknowledgement", bytes([0, DATA]), False),
            ("text datagram during a wait for a lost ack", bytes([0, TEXT]) + b"x", True)):
        # Only the drive is listened to: the stranger changes nothing. During a
        # wait for a lost acknowledgement the drive's long quiet time still
        # outlasts the check after the download (see the note on losses).
        add(Case("another host sends a %s" % label, "ethernet", {0, 18} if during_wait else {0},
                 plain_download("ethernet", 4096, GAP_SIM if during_wait else [],
                                proxy_options=lambda s, p=payload, w=during_wait: {
                                    "inject": (5 + s, p, w)}),
                 (1, 2), quick=label == "acknowledgement"))
    add(Case("port held by another process", "serial", {3}, held_port, (1,)))
    add(Case("UDP 7777 taken, Ethernet download", "ethernet", {3}, udp_taken("ethernet"), (1,)))
    add(Case("UDP 7777 taken, serial download", "serial", {0}, udp_taken("serial"), (1,)))
    for name, signum in (("SIGTERM", signal.SIGTERM), ("SIGINT", signal.SIGINT)):
        add(Case("%s mid-transfer, serial" % name, "serial", {1},
                 plain_download("serial", 32768, action=signal_at(signum, 40)), (1,)))
        add(Case("%s mid-transfer, Ethernet" % name, "ethernet", {1},
                 plain_download("ethernet", 32768, ["--reply-latency", "0.01"],
                                action=signal_at(signum, 40)), (1,)))
    add(Case("SIGKILL mid-transfer, then a new download, serial", "serial", {0},
             kill_flash_then_restart("serial", 16384), (1, 2), quick=True))
    add(Case("SIGKILL mid-transfer, then a new download, Ethernet", "ethernet", {0},
             kill_flash_then_restart("ethernet", 16384), (1,)))
    return cases


# ---------------------------------------------------------------- the window


def window_cases():
    """A few faults through the window (offscreen): the box texts it showed."""
    return [
        ("window: Ethernet data loss 5 %", ["--ethernet", "--size", "4096", "--"] + GAP_SIM +
         ["--drop-data", "0.05", "--seed", "2"], {0, 14, 18}),
        ("window: serial \"E\" mid-transfer", ["--size", "16384", "--"] + SERIAL_SIM +
         ["--port", "0", "--error-at", "7000"], {12}),
        ("window: serial drive silent mid-transfer", ["--size", "32768", "--"] + SERIAL_SIM +
         ["--port", "0", "--stop-at", "5000"], {15, 16}),
    ]


WINDOW_MESSAGES = {
    "Firmware Download is complete": 0, "Firmware Download Successful": 0,
    "Drive sent back an error code": 12, "Firmware Download Failed": 18, "Timeout waiting to send data to drive": 15,
    "The Drive is not responding to download": 16,
    "Same outbound data packet was dropped five times.": 14,
    "Did not receive packet acknowledge from drive.": 13,
}


def window_run(env, name, argv, codes):
    case = Case(name, "window", codes, None, [1])
    run = Run(case, 1)
    procs = Processes()
    started = time.monotonic()
    try:
        p = procs.spawn([env.window] + argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                        env=env.child_env)
        out, err = p.communicate(timeout=180)
        text = out.decode("utf-8", "replace")
        boxes = [line[5:] for line in text.splitlines() if line.startswith("box: ")]
        run.message = " | ".join(boxes)
        run.code = next((c for b in boxes for m, c in WINDOW_MESSAGES.items() if b.startswith(m)),
                        "boxes")
        run.confirmed = "result: identical" in text
        setting = re.findall(r"host line set to (\d+) bit/s", text)
        run.line_setting = int(setting[-1]) if setting else None
        follow_up(env, procs, None, "ethernet" if "--ethernet" in argv else "serial", run)
        if p.returncode != 0:
            run.notes.append("window_run exit %s: %s" % (p.returncode, err.decode()[-300:]))
    except Exception as e:
        run.code = "harness"
        run.notes.append("harness error: %r" % (e,))
    finally:
        procs.end_all()
    run.seconds = time.monotonic() - started
    run.command = "%s %s" % (os.path.basename(env.window), " ".join(argv))
    return run


# ---------------------------------------------------------------- the table


def table(runs, total_seconds):
    out = []
    n = len(runs)
    ok = sum(1 for r in runs if r.code == 0 and r.confirmed)
    false = [r for r in runs if r.false_success]
    unexpected = [r for r in runs if not r.expected]
    unusable = [r for r in runs if r.usable is False]
    whole_but_failed = [r for r in runs if r.confirmed and r.code != 0]
    not9600 = [r for r in runs if r.line_setting not in (None, 9600) or r.code == 20]
    failures = collections.Counter(r.outcome() for r in runs if not (r.code == 0 and r.confirmed))
    out.append("| | |")
    out.append("|---|---|")
    out.append("| runs | %d |" % n)
    out.append("| successes confirmed by the drive (\"result: identical\") | %d |" % ok)
    out.append("| failures reported | %d |" % (n - ok - len(false)))
    out.append("| ... of which the drive had the whole image (host reported failure) | %d |"
               % len(whole_but_failed))
    out.append("| **false successes** | **%d** |" % len(false))
    out.append("| outcomes outside the case's expected exit codes | %d |" % len(unexpected))
    out.append("| serial line not left at 9600 bit/s | %d |" % len(not9600))
    out.append("| tool not usable afterwards | %d |" % len(unusable))
    out.append("| matrix run time | %.0f s |" % total_seconds)
    out.append("")
    out.append("Failures by message (exit code: kestrel-flash's standard error, or the "
               "window's boxes):")
    out.append("")
    out.append("| count | outcome |")
    out.append("|---:|---|")
    for outcome, count in failures.most_common():
        out.append("| %d | %s |" % (count, outcome.replace("|", "/")))
    out.append("")
    out.append("Per case (expected: exit codes the case allows; line: last bit rate the host "
               "set on the drive's line; usable: a follow-up `--identify` exited 0):")
    out.append("")
    out.append("| case | seed | outcome | expected | drive confirmed | line | usable | s | notes |")
    out.append("|---|---:|---|---|---|---|---|---:|---|")
    for r in runs:
        out.append("| %s | %d | %s | %s | %s | %s | %s | %.1f | %s |" % (
            r.case.name, r.seed, r.outcome().replace("|", "/"),
            ("yes" if r.expected else "NO (%s)" % ",".join(str(c) for c in sorted(r.case.codes))),
            "yes" if r.confirmed else "no", r.line_setting or "-",
            {True: "yes", False: "NO", None: "-"}[r.usable], r.seconds,
            "; ".join(r.notes).replace("|", "/")))
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--quick", action="store_true", help="a few cases, for the smoke test")
    parser.add_argument("--window", help="the window driver program (window subset)")
    parser.add_argument("--out", help="write the table (Markdown) into this file")
    parser.add_argument("--only", help="only cases whose name contains this")
    parser.add_argument("--seed", type=int, help="only this seed")
    parser.add_argument("--keep", action="store_true", help="keep the drives' transcripts")
    parser.add_argument("--window-only", action="store_true", help="only the window's runs")
    args = parser.parse_args()
    env = Env(args)
    cases = [c for c in matrix() if not args.quick or c.quick]
    if args.only:
        cases = [c for c in cases if args.only in c.name]
    runs = []
    started = time.monotonic()
    try:
        for case in cases:
            seeds = case.seeds[:1] if args.quick else case.seeds
            for seed in seeds if args.seed is None else [args.seed]:
                if args.window_only:
                    break
                run = execute(env, case, seed, args.quick)
                runs.append(run)
                print("%-55s seed %d  %-60s %5.1f s%s" % (
                    case.name, seed, run.outcome()[:60], run.seconds,
                    "" if run.expected and run.usable is not False else "  <-- " +
                    "; ".join(run.notes)), flush=True)
                if run.false_success:
                    print("FALSE SUCCESS, reproduce with: " + run.command, flush=True)
        if env.window and not args.quick and (args.window_only or not args.only):
            for name, argv, codes in window_cases():
                run = window_run(env, name, argv, codes)
                runs.append(run)
                print("%-55s         %-60s %5.1f s" % (name, run.outcome()[:60], run.seconds),
                      flush=True)
    finally:
        if args.keep:
            print("transcripts kept in " + env.work)
        else:
            shutil.rmtree(env.work, ignore_errors=True)
    text = table(runs, time.monotonic() - started)
    print()
    print(text)
    if args.out:
        write_doc(args.out, text)
    bad = [r for r in runs if r.false_success or not r.expected or r.usable is False]
    return 1 if bad else 0


def write_doc(path, text):
    """Replaces the generated table between its markers, keeping the prose."""
    begin, end = "<!-- faults table begin -->", "<!-- faults table end -->"
    try:
        with open(path, encoding="utf-8") as f:
            doc = f.read()
    except FileNotFoundError:
        doc = "# Reliability\n\n%s\n%s\n" % (begin, end)
    if begin not in doc:
        doc += "\n%s\n%s\n" % (begin, end)
    head, rest = doc.split(begin, 1)
    tail = rest.split(end, 1)[1]
    with open(path, "w", encoding="utf-8") as f:
        f.write(head + begin + "\n" + text + "\n" + end + tail)


if __name__ == "__main__":
    sys.exit(main())
