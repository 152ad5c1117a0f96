#!/usr/bin/env python3
"""The installed tool worked as a person does: `cmake --install` into a
temporary prefix, the updater's window on a real X server (Xvfb, no window
manager), real input events from xdotool, and the installed simulated drive
on a pseudo-terminal. The test passes only when the drive's verdict confirms
every image byte; a screenshot of the finished download is kept.

usage: installed_download.py [--cmake CMAKE] --build DIR --artifacts DIR
"""
import argparse
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

# The window's fixed layout, in pixels from its top-left corner (twips / 15 in
# src/shell/Mainform.cpp): the middle of each button.
OPEN_FIRMWARE_FILE = (88, 100)
DOWNLOAD_TO_DRIVE = (88, 164)
QUIT = (504, 33)
MAIN_WINDOW = r"^Kestrel PRO Firmware Updater [0-9]"
MESSAGE_BOX = r"^Kestrel PRO Firmware Updater$"
FILE_DIALOG = r"^Open DSP Firmware File$"
IMAGE_BYTES = 16384
HEADER = b"1.06\r\n55\r\n\0\0\0"


class Failure(Exception):
    pass


def log(text):
    print(f"[{time.monotonic() - START:6.1f}s] {text}", flush=True)


START = time.monotonic()


def wait_for(what, predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise Failure(f"timed out after {timeout} s waiting for {what}")


class Session:
    def __init__(self, cmake, build, artifacts):
        self.cmake = cmake
        self.build = build
        self.artifacts = artifacts
        self.tmp = tempfile.mkdtemp(prefix="kestrel-e2e-")
        self.prefix = os.path.join(self.tmp, "prefix")
        self.home = os.path.join(self.tmp, "home")
        self.processes = []
        self.display = None
        self.sim_out = os.path.join(self.artifacts, "drive-sim.out")
        self.sim_transcript = os.path.join(self.artifacts, "drive-sim.transcript")

    # --- the parts -------------------------------------------------------

    def install(self):
        subprocess.run([self.cmake, "--install", self.build, "--prefix", self.prefix],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)
        for path in ["bin/kestrel-updater", "bin/kestrel-flash", "bin/kestrel-drive-sim",
                     "share/applications/kestrel-updater.desktop",
                     "share/icons/hicolor/scalable/apps/kestrel-updater.svg",
                     "share/icons/hicolor/48x48/apps/kestrel-updater.png",
                     "share/man/man1/kestrel-flash.1.gz"]:
            if not os.path.exists(os.path.join(self.prefix, path)):
                raise Failure(f"cmake --install did not install {path}")
        log(f"installed into {self.prefix}")

    def environment(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("QT_", "WAYLAND"))}
        runtime = os.path.join(self.tmp, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env.update(HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, "config"),
                   XDG_DATA_HOME=os.path.join(self.home, "data"), XDG_RUNTIME_DIR=runtime,
                   QT_QPA_PLATFORM="xcb", LC_ALL="C.UTF-8")
        if self.display:
            env["DISPLAY"] = self.display
        return env

    def start(self, args, **kwargs):
        process = subprocess.Popen(args, env=self.environment(), **kwargs)
        self.processes.append(process)
        return process

    def start_x(self):
        """Xvfb on the first display that is free; another server may take a
        number between the check and the start, so a server that ends at
        once is retried on the next number."""
        xlog = open(os.path.join(self.artifacts, "xvfb.log"), "w")
        for number in range(50, 200):
            if os.path.exists(f"/tmp/.X{number}-lock") or \
                    os.path.exists(f"/tmp/.X11-unix/X{number}"):
                continue
            server = self.start(["Xvfb", f":{number}", "-screen", "0", "800x600x24",
                                 "-nolisten", "tcp", "-noreset"],
                                stdout=subprocess.DEVNULL, stderr=xlog)
            self.display = f":{number}"
            try:
                wait_for(f"Xvfb on {self.display}",
                         lambda: server.poll() is not None or self.x_answers(), 30)
            except Failure:
                server.kill()
                raise
            if server.poll() is None:
                log(f"Xvfb on {self.display}")
                return
        self.display = None
        raise Failure("no free X display for Xvfb (see xvfb.log)")

    def x_answers(self):
        result = subprocess.run(["xdotool", "getmouselocation"], env=self.environment(),
                                capture_output=True, timeout=10)
        return result.returncode == 0

    def start_drive(self, firmware):
        self.sim = self.start(
            [os.path.join(self.prefix, "bin/kestrel-drive-sim"), "--firmware", firmware,
             "--port", "0", "--rx-buffer", "16384", "--drain-rate", "40000",
             "--quiet-time", "2", "--no-power-up", "--transcript"],
            stdin=subprocess.PIPE, stdout=open(self.sim_out, "w"),
            stderr=open(self.sim_transcript, "w"), text=True)
        pty = wait_for("the simulated drive's pseudo-terminal",
                       lambda: self.first_line(self.sim_out), 20)
        if not os.path.exists(pty):
            raise Failure(f"the simulated drive printed {pty!r}, not a pseudo-terminal")
        log(f"simulated drive on {pty}")
        return pty

    def tell_drive(self, line):
        self.sim.stdin.write(line + "\n")
        self.sim.stdin.flush()

    @staticmethod
    def first_line(path):
        with open(path) as f:
            line = f.readline()
        return line.strip() if line.endswith("\n") else None

    def xdotool(self, *args, timeout=30):
        try:
            result = subprocess.run(["xdotool", *args], env=self.environment(),
                                    capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"xdotool {' '.join(args)}: no answer in {timeout} s") from None
        if result.returncode != 0:
            raise Failure(f"xdotool {' '.join(args)} failed: {result.stderr.strip()}")
        return result.stdout.split()

    def search(self, pattern):
        """The visible windows whose name matches (xdotool exits 1 for none)."""
        result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", pattern],
                                env=self.environment(), capture_output=True, text=True,
                                timeout=10)
        return result.stdout.split() if result.returncode == 0 else []

    def window(self, pattern, timeout=30):
        """Waits for a visible window whose name matches; returns its id."""
        return wait_for(f"a window named {pattern}",
                        lambda: (self.search(pattern) or [None])[-1], timeout)

    def click(self, window, point):
        self.xdotool("mousemove", "--window", window, "--sync", str(point[0]), str(point[1]))
        self.xdotool("click", "1")

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", window)

    def screenshot(self, name):
        xwd = subprocess.run(["xwd", "-root", "-silent", "-display", self.display],
                             capture_output=True, check=True, timeout=30).stdout
        path = os.path.join(self.artifacts, name)
        with open(path, "wb") as f:
            f.write(png(*xwd_rows(xwd)))
        return path

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)


def xwd_rows(data):
    """An X window dump of a TrueColor screen as rows of RGB bytes."""
    fields = struct.unpack(">25I", data[:100])
    header_size, _, _, _, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    masks = fields[14:17]
    ncolors = fields[19]
    if bits_per_pixel not in (24, 32):
        raise Failure(f"screenshot: {bits_per_pixel} bits per pixel, expected 24 or 32")
    step = bits_per_pixel // 8
    order = "little" if byte_order == 0 else "big"
    pixels = data[header_size + 12 * ncolors:]
    shifts = [(m & -m).bit_length() - 1 for m in masks]
    rows = []
    for y in range(height):
        line = pixels[y * bytes_per_line:y * bytes_per_line + step * width]
        row = bytearray()
        for i in range(0, step * width, step):
            v = int.from_bytes(line[i:i + step], order)
            row += bytes(((v & m) >> s) & 0xFF for m, s in zip(masks, shifts))
        rows.append(bytes(row))
    return width, height, rows


def png(width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def verdict_lines(path):
    with open(path) as f:
        return [line.strip() for line in f if line.startswith("verdict ")]


def main_window(s, timeout=60):
    """The window shows after its start-up; a message box of the start-up
    (e.g. UDP 7777 held by a program outside this test) is kept as a
    screenshot and closed: the serial download does not need that port."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = s.search(MAIN_WINDOW)
        if found:
            return found[-1]
        for box in s.search(MESSAGE_BOX):
            log(f"a message box at start-up, closed: {s.screenshot('startup-message.png')}")
            s.focus(box)
            s.xdotool("key", "Return")
        time.sleep(0.2)
    raise Failure(f"the window did not show within {timeout} s")


def press_download(s, main):
    """Presses "Download to Drive..." until the drive sees the download begin:
    the button is enabled a moment after the window answered the drive, and a
    press on a disabled button does nothing."""
    def begun():
        return 'command "S"' in open(s.sim_transcript).read()
    for _ in range(10):
        s.click(main, DOWNLOAD_TO_DRIVE)
        log("Download to Drive... pressed")
        try:
            return wait_for("the download to begin", begun, 5)
        except Failure:
            pass
    raise Failure("the download did not begin")


def run(s):
    s.install()
    os.makedirs(os.path.join(s.home, "config/KestrelUpdater"))
    firmware = os.path.join(s.home, "Flash.E")
    with open(firmware, "wb") as f:
        f.write(HEADER + random.Random(14).randbytes(IMAGE_BYTES))
    s.start_x()
    pty = s.start_drive(firmware)
    with open(os.path.join(s.home, "config/KestrelUpdater/KestrelUpdater.conf"), "w") as f:
        f.write(f"[Ports]\nCOM1={pty}\n")

    updater = s.start([os.path.join(s.prefix, "bin/kestrel-updater")],
                      stdout=open(os.path.join(s.artifacts, "updater.log"), "w"),
                      stderr=subprocess.STDOUT)
    main = main_window(s)
    log(f"window {main} is up")

    # The file: the dialog's name field has the focus; replace what it proposes.
    s.click(main, OPEN_FIRMWARE_FILE)
    dialog = s.window(FILE_DIALOG)
    s.focus(dialog)
    s.xdotool("key", "--clearmodifiers", "ctrl+a")
    s.xdotool("type", "--delay", "10", firmware)
    s.xdotool("key", "Return")
    wait_for("the file dialog to close", lambda: not s.search(FILE_DIALOG), 20)
    log("firmware file chosen")

    # The drive powers up now that the window has its port open; the window
    # answers the announcement, after which "Download to Drive..." is enabled.
    s.tell_drive("power-up")
    wait_for("the window to answer the drive's power-up",
             lambda: 'command "QT"' in open(s.sim_transcript).read(), 20)
    press_download(s, main)

    box = s.window(MESSAGE_BOX, timeout=120)
    log(f"final message box {box} shown")
    s.focus(box)
    s.xdotool("key", "Return")
    wait_for("the message box to close", lambda: not s.search(MESSAGE_BOX), 20)
    # On Xvfb with no window manager a box over the window may stay unpainted,
    # so the picture is taken once it is closed: the window as the download
    # left it.
    log(f"screenshot: {s.screenshot('finished-download.png')}")

    verdicts = wait_for("the drive's verdict", lambda: verdict_lines(s.sim_out), 30)
    s.click(main, QUIT)
    if updater.wait(30) != 0:
        raise Failure(f"the updater exited {updater.returncode}")
    s.tell_drive("quit")
    if s.sim.wait(30) != 0:
        raise Failure(f"the simulated drive exited {s.sim.returncode}")
    return verdicts


def check(verdicts, sim_out):
    last = verdicts[-1]
    log(f"drive: {last}")
    fields = dict(re.findall(r"(\S+)=(\S+)", last))
    if fields.get("identical") != "yes" or fields.get("link") != "serial":
        raise Failure(f"the drive did not confirm the image: {last}")
    if fields.get("bytes") != str(IMAGE_BYTES) or fields.get("expected") != str(IMAGE_BYTES):
        raise Failure(f"the drive did not receive every image byte: {last}")
    if "result: identical" not in open(sim_out).read():
        raise Failure("the simulated drive did not end with \"result: identical\"")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--build", required=True)
    parser.add_argument("--artifacts", required=True)
    options = parser.parse_args()
    shutil.rmtree(options.artifacts, ignore_errors=True)  # no picture from an earlier run
    os.makedirs(options.artifacts)
    for tool in ("Xvfb", "xdotool", "xwd", options.cmake):
        if not shutil.which(tool):
            print(f"SKIP: {tool} is missing; scripts/setup installs it")
            return 77
    s = Session(options.cmake, os.path.abspath(options.build),
                os.path.abspath(options.artifacts))
    try:
        check(run(s), s.sim_out)
    except Failure as failure:
        print(f"FAIL: {failure}")
        print(f"artifacts: {options.artifacts}")
        for name in ("drive-sim.out", "updater.log"):
            path = os.path.join(options.artifacts, name)
            if os.path.exists(path):
                print(f"--- {name}\n{open(path).read()[-3000:]}")
        try:
            names = [subprocess.run(["xdotool", "getwindowname", w], env=s.environment(),
                                    capture_output=True, text=True, timeout=10).stdout.strip()
                     for w in s.search(".")]
            print(f"visible windows: {names}")
            print(f"screenshot at the failure: {s.screenshot('at-failure.png')}")
        except Exception as e:  # the screenshot is a help, not the verdict
            print(f"(no screenshot: {e})")
        return 1
    finally:
        s.stop()
    log(f"PASS: the drive confirmed every image byte; screenshot: "
        f"{os.path.join(options.artifacts, 'finished-download.png')}")
    return 0


sys.exit(main())
