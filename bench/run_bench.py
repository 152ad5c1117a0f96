#!/usr/bin/env python3
"""Runs the benchmarks against kestrel-drive-sim and prints one table.

    bench/run_bench.py BUILD-DIR [--plot docs/serial-transfer.png]

Everything talks over pseudo-terminals and 127.0.0.1 only. The Ethernet rows
need UDP 7775 and 7777 (the updater's fixed ports): scripts/bench runs it in a
network namespace of its own, where no test suite holds them. Figures are wall-clock measurements on a shared machine: run it quiet.
"""
import argparse
import glob
import os
import random
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

LINE_RATE = 115200
CHAR = 10.0 / LINE_RATE
SERIAL_IMAGE = 64 * 1024
ETHERNET_IMAGE = 1024 * 1024
# The drive's flash takes a little less than the line brings, so it pauses the
# host now and then while the line stays the bottleneck.
SERIAL_SIM = ["--line-rate", str(LINE_RATE), "--rx-buffer", "2048", "--xoff-level", "256",
              "--xon-level", "192", "--quiet-time", "1", "--port", "0", "--transcript"]
# Line-bound: the drive's flash takes a little less than the line brings, so
# the line is the bottleneck. Drive-bound: the flash takes 8000 bytes/s, so
# the drive holds the host with XOFF all through the image.
LINE_BOUND = ["--drain-rate", "11400"]
DRIVE_BOUND = ["--drain-rate", "8000"]
TFTP_PORT = 16969
REALTIME = ["chrt", "-f", "10"] if shutil.which("chrt") and subprocess.run(
    ["chrt", "-f", "10", "true"], capture_output=True).returncode == 0 else []


def firmware(directory, name, size, seed):
    image = random.Random(seed).randbytes(size)
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(b"1.06\r\n55\r\n\x01\x02\x03" + image)
    with open(path + ".image", "wb") as f:
        f.write(image)
    return path


def cpu_ns(pid):
    """CPU time of every thread of a process, in nanoseconds."""
    total = 0
    for stat in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(stat) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total


class CpuSampler(threading.Thread):
    """Samples a process's CPU time every few milliseconds."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.samples, self.running = pid, [], True

    def run(self):
        while self.running and os.path.exists(f"/proc/{self.pid}"):
            self.samples.append((time.monotonic(), cpu_ns(self.pid)))
            time.sleep(0.005)

    def at(self, moment):
        before = [s for s in self.samples if s[0] <= moment]
        return before[-1][1] if before else 0


class Sim:
    """kestrel-drive-sim as a child: its pty, its verdict, its transcript."""

    def __init__(self, binary, arguments):
        self.start = time.monotonic()
        # The simulator is the instrument: on a busy machine a late line or a
        # late XOFF would be charged to the host, so it runs real-time when
        # it may (root); the host under test keeps its ordinary priority.
        self.proc = subprocess.Popen(REALTIME + [binary] + arguments, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.pty = self.proc.stdout.readline().strip()
        self.udp = self.proc.stdout.readline().strip()
        self.transcript, self.verdicts, self.offset = [], [], None
        self.lock = threading.Condition()
        threading.Thread(target=self._read_transcript, daemon=True).start()
        threading.Thread(target=self._read_output, daemon=True).start()

    def _read_transcript(self):
        for line in self.proc.stderr:
            now = time.monotonic()
            m = re.match(r"\s*([\d.]+) (\S+)\s+(\S+)\s+(.*)", line)
            if not m:
                continue
            t = float(m.group(1))
            with self.lock:
                self.offset = now - t if self.offset is None else min(self.offset, now - t)
                self.transcript.append((t, m.group(4)))

    def _read_output(self):
        for line in self.proc.stdout:
            if line.startswith("verdict "):
                with self.lock:
                    self.verdicts.append(line.strip())
                    self.lock.notify_all()

    def wait_verdict(self, count=1, timeout=120):
        with self.lock:
            self.lock.wait_for(lambda: len(self.verdicts) >= count, timeout)
            return self.verdicts[count - 1] if len(self.verdicts) >= count else ""

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def field(verdict, name, cast=float):
    m = re.search(rf"\b{name}=(\S+)", verdict)
    return cast(m.group(1)) if m else None


def run_child(command, env=None, timeout=120):
    """Runs a child to its end: wall seconds and its peak resident memory (MB)."""
    start = time.monotonic()
    proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    sampler = CpuSampler(proc.pid)
    sampler.start()
    output = b""
    try:
        output, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        output, _ = proc.communicate()
    sampler.running = False
    return proc, time.monotonic() - start, sampler, output.decode(errors="replace")


def peak_rss_mb(command, env, seconds=None):
    """Peak resident memory of a child: to its end, or SIGTERM after `seconds`."""
    proc = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if seconds:
        time.sleep(seconds)
        proc.send_signal(signal.SIGTERM)
    _, _, usage = os.wait4(proc.pid, 0)
    return usage.ru_maxrss / 1024.0


def serial_run(b, label, host_command, firmware_file, extra_sim=(), env=None):
    """One serial download through the emulated line: transfer seconds, CPU
    seconds of the host during it, most bytes after an XOFF, the transcript."""
    sim = Sim(b["sim"], ["--firmware", firmware_file] + SERIAL_SIM + list(extra_sim))
    try:
        proc, _, sampler, output = run_child(host_command(sim.pty), env=env)
        verdict = sim.wait_verdict(timeout=30)
    finally:
        sim.stop()
    if field(verdict, "identical", str) != "yes":
        sys.exit(f"{label}: the drive did not get the image: {verdict}\n{output}")
    seconds = field(verdict, "seconds") + CHAR  # the first byte took a character to arrive
    first = [t for t, text in sim.transcript if text == "image begins"][0]
    begin, end = sim.offset + first - CHAR, sim.offset + first + seconds - CHAR
    cpu = (sampler.at(end) - sampler.at(begin)) / 1e9 if sampler.samples else None
    counts = sorted(int(m.group(1)) for _, text in sim.transcript
                    for m in [re.match(r"XON \((\d+) bytes came after", text)] if m)
    spread = f"median {counts[len(counts) // 2]}, 90th pct {counts[len(counts) * 9 // 10]}" \
        if counts else "no XON"
    return {"seconds": seconds, "cpu": cpu, "after_xoff": field(verdict, "after-xoff", int),
            "written_after_xoff": field(verdict, "written-after-xoff", int),
            "spread": spread,
            "xoffs": field(verdict, "xoffs", int), "transcript": sim.transcript,
            "first": first, "overruns": field(verdict, "overruns", int)}


def serial_rows(b, directory):
    fw = firmware(directory, "serial.E", SERIAL_IMAGE, 1)
    floor = SERIAL_IMAGE * CHAR

    def cat(pty):
        return ["sh", "-c",
                f"stty -F {pty} {LINE_RATE} raw -echo && sleep 0.2 && cat {fw}.image > {pty}"]

    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    hosts = {"cat": (cat, ["--blank"], None),
             "kestrel-flash": (lambda pty: [b["flash"], "--port", pty, fw],
                               ["--power-up-delay", "0.5"], None),
             "window": (lambda pty: [b["window_download"], pty, fw], ["--power-up-delay", "1"],
                        env)}
    rows, runs = [], {}
    for name, (command, sim, host_env) in hosts.items():
        line = serial_run(b, name, command, fw, sim + LINE_BOUND, host_env)
        # cat ignores XOFF: held back by nothing it would overrun a drive-bound drive.
        drive = line if name == "cat" else serial_run(b, name, command, fw, sim + DRIVE_BOUND,
                                                      host_env)
        runs[name] = drive
        cpu = "-" if name == "cat" or line["cpu"] is None else \
            f"{line['cpu'] / line['seconds'] * 100:.1f} %"
        rows.append((f"serial 64 KiB, {name}", f"{line['seconds']:.3f} s",
                     f"{line['seconds'] / floor:.3f} x floor ({floor:.3f} s)", f"cpu {cpu}",
                     f"after XOFF max {drive['after_xoff']} ({drive['spread']}; "
                     + ("" if drive["written_after_xoff"] is None or name == "cat" else
                        f"written after it: max {drive['written_after_xoff']}; ")
                     + f"{drive['xoffs']} XOFFs, "
                     f"{drive['overruns']} overruns"
                     + ("" if name == "cat" else f", {drive['seconds']:.2f} s drive-bound") + ")"))
    return rows, runs


def wait_for_free_ports(ports, seconds=120):
    """The updater's UDP ports are fixed: wait while a test holds them. The
    probe binds loopback, as the simulated drive does: the wildcard address
    would clash with the catcher on 10.10.10.10:7775 (scripts/setup)."""
    deadline = time.monotonic() + seconds
    while True:
        busy = []
        for port in ports:
            probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                busy.append(port)
            finally:
                probe.close()
        if not busy or time.monotonic() > deadline:
            return busy
        time.sleep(1)


def ethernet_rows(b, directory):
    busy = wait_for_free_ports([7775, 7777])
    if busy:
        return [("ethernet", f"not run: UDP {busy} stayed in use", "", "", "")]
    fw = firmware(directory, "ethernet.E", ETHERNET_IMAGE, 2)
    blocks = -(-ETHERNET_IMAGE // 200)
    sim = Sim(b["sim"], ["--firmware", fw, "--port", "7775", "--reply-latency", "0",
                         "--no-power-up", "--quiet-time", "0.5", "--udp-dot-every", "4"])
    try:
        out = subprocess.run([b["stop_and_wait"], "7775", fw + ".image"], capture_output=True,
                             text=True, timeout=120).stdout
        loop = field(sim.wait_verdict(1), "seconds") / (blocks - 1) * 1e6
        loop_own = re.search(r"us-per-block ([\d.]+)", out).group(1)
        proc, _, _, output = run_child([b["flash"], "--ip", "127.0.0.1", fw])
        verdict = sim.wait_verdict(2)
    finally:
        sim.stop()
    if field(verdict, "identical", str) != "yes":
        sys.exit(f"kestrel-flash over Ethernet: {verdict}\n{output}")
    ours = field(verdict, "seconds") / (blocks - 1) * 1e6
    rows = [("ethernet 1 MiB, minimal loop", f"{loop:.1f} us/block", f"(its own clock {loop_own} us)",
             "", ""),
            ("ethernet 1 MiB, kestrel-flash", f"{ours:.1f} us/block", f"{ours / loop:.2f} x loop",
             f"{200 / ours * 1e6 / 1e3:.0f} kB/s", "")]
    rows.append(tftp_row(directory))
    return rows


def tftp_row(directory):
    server = shutil.which("in.tftpd") or "/usr/sbin/in.tftpd"
    client = shutil.which("tftp")
    if not os.path.exists(server) or not client:
        return ("ethernet 1 MiB, TFTP", "not run: in.tftpd or tftp missing", "", "", "")
    root = os.path.join(directory, "tftp")
    os.makedirs(root, exist_ok=True)
    os.chmod(directory, 0o755)
    os.chmod(root, 0o755)
    with open(os.path.join(root, "image"), "wb") as f:
        f.write(random.Random(3).randbytes(ETHERNET_IMAGE))
    os.chmod(os.path.join(root, "image"), 0o644)
    daemon = subprocess.Popen([server, "-L", "-a", f"127.0.0.1:{TFTP_PORT}", "-s", "-u", "tftp",
                               root], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        time.sleep(0.3)
        if daemon.poll() is not None:
            why = daemon.stdout.read().decode(errors="replace").strip()
            return ("ethernet 1 MiB, TFTP", f"not run: in.tftpd ended: {why}", "", "", "")
        target = os.path.join(directory, "tftp-copy")
        start = time.monotonic()
        subprocess.run([client, "-m", "binary", "127.0.0.1", str(TFTP_PORT), "-c", "get", "image",
                        target], capture_output=True, timeout=120)
        took = time.monotonic() - start
    finally:
        daemon.send_signal(signal.SIGTERM)
        daemon.wait()
    if not os.path.exists(target) or os.path.getsize(target) != ETHERNET_IMAGE:
        return ("ethernet 1 MiB, TFTP", "not run: the copy is incomplete", "", "", "")
    blocks = ETHERNET_IMAGE // 512 + 1
    return ("ethernet 1 MiB, TFTP (512-byte blocks)", f"{took / blocks * 1e6:.1f} us/block",
            f"{ETHERNET_IMAGE / took / 1e3:.0f} kB/s", "whole run, client start included", "")


def wait_rows(b):
    out = subprocess.run([b["delay_cpu"]], capture_output=True, text=True, timeout=60).stdout
    rows = []
    for m in re.finditer(r"wait (\S+) wall ([\d.]+) cpu ([\d.]+)", out):
        wall, cpu = float(m.group(2)), float(m.group(3))
        rows.append((f"wait {m.group(1)}", f"{wall:.3f} s", f"cpu {cpu * 1e3:.2f} ms",
                     f"{cpu / wall * 100:.3f} % of a core", ""))
    return rows


def start_rows(b, directory):
    master, slave = os.openpty()
    config = os.path.join(directory, "config", "KestrelUpdater")
    os.makedirs(config, exist_ok=True)
    with open(os.path.join(config, "KestrelUpdater.conf"), "w") as f:
        f.write(f"[Ports]\nCOM1={os.ttyname(slave)}\n")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen",
               XDG_CONFIG_HOME=os.path.join(directory, "config"),
               XDG_DATA_HOME=os.path.join(directory, "data"))
    shown = []
    for _ in range(20):  # a test may take UDP 7777 between the check and the start
        if len(shown) == 5:
            break
        wait_for_free_ports([7777])
        before = time.monotonic()
        out = subprocess.run([b["window_start"]], env=env, capture_output=True, text=True,
                             timeout=30).stdout
        m = re.search(r"shown-at ([\d.]+)", out)
        if m:
            shown.append(float(m.group(1)) - before)
        else:
            print(f"window start: {out.strip()}", file=sys.stderr)
    wait_for_free_ports([7777])
    window_rss = peak_rss_mb([b["updater"]], env, seconds=2.0)
    helps = []
    for _ in range(5):
        before = time.monotonic()
        help_rss = peak_rss_mb([b["flash"], "--help"], env)
        helps.append(time.monotonic() - before)
    os.close(master)
    os.close(slave)
    shown_text = f"{min(shown) * 1e3:.0f} ms (best of 5; median {sorted(shown)[2] * 1e3:.0f})" \
        if len(shown) == 5 else "no paint seen"
    return [("start: window shown (offscreen)", shown_text, f"peak RSS {window_rss:.1f} MB",
             "kestrel-updater, 2 s", ""),
            ("start: kestrel-flash --help", f"{min(helps) * 1e3:.0f} ms (best of 5)",
             f"peak RSS {help_rss:.1f} MB", "", "")]


def big_file_row(b, directory):
    """kestrel-flash on a 100 MB image (sparse) that the drive stops with "E"
    at byte 700: choosing reads the header only and the transfer reads as it
    sends, so its memory stays that of a small run."""
    path = os.path.join(directory, "big.E")
    with open(path, "wb") as f:
        f.write(b"1.06\r\n55\r\n\x01\x02\x03")
        f.truncate(f.tell() + (100 << 20))
    sim = Sim(b["sim"], ["--error-at", "700", "--power-up-delay", "0.5", "--port", "0"])
    try:
        proc = subprocess.Popen([b["flash"], "--port", sim.pty, path], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
    finally:
        sim.stop()
    return [("memory: kestrel-flash, 100 MB image", "", f"peak RSS {usage.ru_maxrss / 1024:.1f} MB",
             f"exit {os.waitstatus_to_exitcode(status)} (12: the drive's \"E\" at byte 700)", "")]


def plot(runs, png, directory):
    if not shutil.which("gnuplot"):
        return "gnuplot missing: no plot"
    r = runs["kestrel-flash"]
    data = os.path.join(directory, "plot")
    with open(data + ".bytes", "w") as f:
        f.write(f"0 0\n")
        for t, text in r["transcript"]:
            m = re.match(r'"\." after (\d+) bytes', text)
            if m:
                f.write(f"{t - r['first']:.6f} {m.group(1)}\n")
    bytes_at = 0
    with open(data + ".xoff", "w") as xoff, open(data + ".xon", "w") as xon:
        for t, text in r["transcript"]:
            m = re.match(r"XOFF after (\d+) bytes", text)
            if m:
                bytes_at = int(m.group(1))
                xoff.write(f"{t - r['first']:.6f} {bytes_at}\n")
            elif text.startswith("XON"):
                xon.write(f"{t - r['first']:.6f} {bytes_at}\n")
    script = f"""
set terminal pngcairo size 900,500
set output '{png}'
set title 'kestrel-flash: 64 KiB at {LINE_RATE} bit/s into a drive whose flash takes 8000 bytes/s'
set xlabel 'seconds since the first image byte'
set ylabel 'image bytes at the drive'
set key left top
set yrange [0:70000]
plot '{data}.bytes' with lines title 'bytes received', \\
     (x * {LINE_RATE / 10:.0f} < {SERIAL_IMAGE} ? x * {LINE_RATE / 10:.0f} : {SERIAL_IMAGE}) with lines dashtype 2 title 'line rate', \\
     (x * 8000 < {SERIAL_IMAGE} ? x * 8000 : {SERIAL_IMAGE}) with lines dashtype 3 title 'flash-write rate', \\
     '{data}.xoff' with points pointtype 9 pointsize 1.2 lc rgb 'red' title 'XOFF', \\
     '{data}.xon' with points pointtype 11 pointsize 1.2 lc rgb 'blue' title 'XON'
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=False)
    return f"plot: {png}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--plot")
    parser.add_argument("--only", choices=["serial", "ethernet", "waits", "start", "ports"])
    args = parser.parse_args()
    bdir = os.path.abspath(args.build)
    b = {"sim": f"{bdir}/tools/drive-sim/kestrel-drive-sim",
         "flash": f"{bdir}/src/app/kestrel-flash", "updater": f"{bdir}/src/app/kestrel-updater",
         "stop_and_wait": f"{bdir}/bench/bench_stop_and_wait",
         "window_download": f"{bdir}/bench/bench_window_download",
         "window_start": f"{bdir}/bench/bench_window_start",
         "delay_cpu": f"{bdir}/bench/bench_delay_cpu",
         "port_models": f"{bdir}/bench/bench_port_models"}
    rows, notes = [], []
    with tempfile.TemporaryDirectory() as directory:
        os.environ["XDG_CONFIG_HOME"] = os.path.join(directory, "xdg-config")
        os.environ["XDG_DATA_HOME"] = os.path.join(directory, "xdg-data")
        if args.only in (None, "serial"):
            serial, runs = serial_rows(b, directory)
            rows += serial
            if args.plot:
                notes.append(plot(runs, os.path.abspath(args.plot), directory))
        if args.only in (None, "ethernet"):
            rows += ethernet_rows(b, directory)
        if args.only in (None, "waits"):
            rows += wait_rows(b)
        if args.only in (None, "start"):
            rows += start_rows(b, directory)
            rows += big_file_row(b, directory)
        if args.only in (None, "ports"):
            # Simulated time: its own table, whatever the machine's load.
            notes.append(subprocess.run([b["port_models"]], capture_output=True, text=True,
                                        check=True).stdout)
    widths = [max(len(r[i]) for r in rows) for i in range(5)] if rows else []
    for r in rows:
        print("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
    for n in notes:
        print(n)


if __name__ == "__main__":
    main()
