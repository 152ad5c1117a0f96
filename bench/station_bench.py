#!/usr/bin/env python3
"""The station against the same drives flashed alone: four serial and four
Ethernet simulated drives, 64 KiB each. Prints one markdown table.

    station_bench.py BUILD_DIR

Talks to pseudo-terminals and 127.0.0.2-127.0.0.5 only; run it in a network
namespace of its own (scripts/bench does), where UDP 7777 is free."""
import os
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(__file__))
from run_bench import LINE_BOUND, LINE_RATE, SERIAL_IMAGE, firmware  # noqa: E402

SERIAL = 4
ETHERNET = 4
SIM = ["--line-rate", str(LINE_RATE), "--rx-buffer", "2048", "--xoff-level", "256",
       "--xon-level", "192", "--quiet-time", "1", "--no-power-up"] + LINE_BOUND


class Sim:
    """A simulated drive that powers up when told, counting its verdicts."""

    def __init__(self, binary, arguments):
        self.proc = subprocess.Popen([binary] + arguments, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.pty = self.proc.stdout.readline().strip()
        self.proc.stdout.readline()
        self.identical = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            if line.startswith("verdict ") and "identical=yes" in line:
                self.identical += 1

    def power_up(self):
        self.proc.stdin.write("power-up\n")
        self.proc.stdin.flush()

    def stop(self):
        self.proc.stdin.write("quit\n")
        self.proc.stdin.flush()
        self.proc.wait(10)


def run(flash, arguments, sims):
    """One kestrel-flash run: wall seconds, CPU seconds, peak memory (MB), exit code.
    Each serial drive is powered up once the run waits for it."""
    start = time.monotonic()
    proc = subprocess.Popen([flash] + arguments, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    waiting = {sim.pty: sim for sim in sims if sim.pty}
    for line in proc.stdout:
        for pty, sim in list(waiting.items()):
            if f"({pty}) to power up" in line:
                sim.power_up()
                del waiting[pty]
    _, status, usage = os.wait4(proc.pid, 0)
    return (time.monotonic() - start, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0,
            os.waitstatus_to_exitcode(status))


def main():
    build = sys.argv[1]
    flash = os.path.join(build, "src/app/kestrel-flash")
    simulator = os.path.join(build, "tools/drive-sim/kestrel-drive-sim")
    with tempfile.TemporaryDirectory() as directory:
        os.environ["XDG_CONFIG_HOME"] = os.path.join(directory, "config")
        fw = firmware(directory, "station.E", SERIAL_IMAGE, 2)
        serial = [Sim(simulator, ["--firmware", fw, "--port", "0"] + SIM) for _ in range(SERIAL)]
        ethernet = [Sim(simulator, ["--firmware", fw, "--address", f"127.0.0.{i + 2}"] + SIM)
                    for i in range(ETHERNET)]
        for sim in ethernet:
            sim.pty = None
        drives = [(["--port", s.pty], s) for s in serial] + \
                 [(["--ip", f"127.0.0.{i + 2}"], s) for i, s in enumerate(ethernet)]
        alone = []
        for arguments, sim in drives:
            seconds, cpu, rss, code = run(flash, arguments + [fw], [sim])
            if code != 0:
                sys.exit(f"alone {arguments}: exit {code}")
            alone.append((seconds, cpu, rss, arguments[1]))
        every = [a for arguments, _ in drives for a in arguments]
        seconds, cpu, rss, code = run(flash, every + [fw], [s for _, s in drives])
        for _, sim in drives:
            sim.stop()
        if code != 0 or any(sim.identical != 2 for _, sim in drives):
            sys.exit(f"station: exit {code}, images taken whole: "
                     f"{[sim.identical for _, sim in drives]}")
    slowest = max(alone)
    n = len(drives)
    print(f"| station, {SERIAL} serial + {ETHERNET} Ethernet, 64 KiB each | {seconds:.2f} s "
          f"| {seconds / slowest[0]:.2f} x the slowest alone ({slowest[3]}: {slowest[0]:.2f} s) "
          f"| cpu {cpu / n:.2f} s per drive (alone: mean {sum(a[1] for a in alone) / n:.2f} s) "
          f"| peak {rss:.1f} MB, {rss / n:.1f} MB per drive (alone: {max(a[2] for a in alone):.1f} MB) |")


if __name__ == "__main__":
    main()
