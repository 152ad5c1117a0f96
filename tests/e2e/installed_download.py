#!/usr/bin/env python3
"""The installed tool worked as a person does: `cmake --install` into a temporary
prefix, the window on Xvfb without a window manager, real input from xdotool,
the installed simulated drive on a pseudo-terminal. While the image goes, the
person opens the COM list with the mouse, takes COM2 (another pseudo-terminal)
with the keyboard and presses "Open Firmware File...": none of it may touch the
download. It passes only on the drive's verdict that every image byte arrived,
and keeps a screenshot of it.

usage: installed_download.py CMAKE BUILD_DIR ARTIFACTS_DIR
"""
import os, random, re, select, shutil, subprocess, sys, tempfile, time

# The middle of each button, in pixels from the window's top-left corner
# (twips / 15 in src/shell/Mainform.cpp).
OPEN_FIRMWARE_FILE, DOWNLOAD_TO_DRIVE, COMM_LIST = (88, 100), (88, 164), (164, 226)
MAIN_WINDOW, MESSAGE_BOX = r"^Kestrel PRO Firmware Updater [0-9]", r"^Kestrel PRO Firmware Updater$"
FILE_DIALOG = r"^Open DSP Firmware File$"
IMAGE_BYTES = 76800  # about 7 s on the line: time for the person's tries
INSTALLED = """bin/kestrel-updater bin/kestrel-flash bin/kestrel-drive-sim share/man/man1/kestrel-flash.1.gz
    share/applications/kestrel-updater.desktop share/icons/hicolor/48x48/apps/kestrel-updater.png
    share/icons/hicolor/scalable/apps/kestrel-updater.svg""".split()
processes = []


def wait_for(what, predicate, timeout=20):
    """The predicate's first true value; after the timeout, a failure (or None when what is)."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(0.1)
    if not value and what:
        raise TimeoutError(f"{timeout} s without {what}")
    return value


def start(args, log, **kwargs):
    out = open(os.path.join(ARTIFACTS, log), "w")
    processes.append(subprocess.Popen(args, env=ENV, stdout=out, stderr=out, **kwargs))
    return processes[-1]


def xdotool(*args):
    result = subprocess.run(["xdotool", *args], env=ENV, capture_output=True, text=True, timeout=30)
    if result.returncode and args[0] != "search":  # a search that finds nothing exits 1
        raise RuntimeError(f"xdotool {' '.join(args)} failed: {result.stderr.strip()}")
    return result.stdout.split()


def windows(pattern):
    return xdotool("search", "--onlyvisible", "--name", pattern)


def click(window, point):
    # Not --sync: it waits for a move that never comes when the pointer is there already.
    xdotool("mousemove", "--window", window, *map(str, point))
    xdotool("click", "1")


def press_return(window):
    xdotool("windowfocus", "--sync", window)
    xdotool("key", "Return")


def meddle(main):
    """What a person may try while the image goes; what of it reached the download."""
    click(main, COMM_LIST)
    time.sleep(0.5)  # the list unfolds
    xdotool("key", "Down")
    xdotool("key", "Return")
    click(main, OPEN_FIRMWARE_FILE)
    screenshot("during-download.png")
    if dialog := wait_for(None, lambda: windows(FILE_DIALOG), 2):
        xdotool("windowfocus", "--sync", dialog[-1])
        xdotool("key", "Escape")
        return ["the file dialog opened during the download"]
    return []


def screenshot(name):
    """The screen as a PNG: an X window dump converted by netpbm."""
    with open(os.path.join(ARTIFACTS, name), "wb") as out:
        subprocess.run("xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng", shell=True, env=ENV,
                       stdout=out, check=True, timeout=30)


def download(cmake, build, tmp):
    prefix, home = os.path.join(tmp, "prefix"), os.path.join(tmp, "home")
    subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL, timeout=120)
    missing = [path for path in INSTALLED if not os.path.exists(os.path.join(prefix, path))]
    if missing:
        raise RuntimeError(f"cmake --install did not install {missing}")
    firmware = os.path.join(home, "Flash.E")
    with open(firmware, "wb") as f:
        f.write(b"1.06\r\n55\r\n\0\0\0" + random.Random(14).randbytes(IMAGE_BYTES))
    # Xvfb takes a free display and names it once it accepts clients.
    read, write = os.pipe()
    start(["Xvfb", "-displayfd", str(write), "-screen", "0", "800x600x24", "-nolisten", "tcp",
           "-noreset"], "xvfb.log", pass_fds=[write])
    os.close(write)
    display = select.select([read], [], [], 30)[0] and os.read(read, 16).decode().strip()
    if not display:
        raise RuntimeError("Xvfb did not start (see xvfb.log)")
    ENV["DISPLAY"] = ":" + display

    sim = start([os.path.join(prefix, "bin/kestrel-drive-sim"), "--firmware", firmware, "--port",
                 "0", "--rx-buffer", "16384", "--drain-rate", "40000", "--quiet-time", "2",
                 "--line-rate", "115200",
                 "--no-power-up", "--transcript"], "drive-sim.out", stdin=subprocess.PIPE, text=True)
    sim_out = os.path.join(ARTIFACTS, "drive-sim.out")
    said = lambda text: text in open(sim_out).read()  # noqa: E731
    # The drive names its pseudo-terminal first.
    pty = wait_for("the drive's pseudo-terminal",
                   lambda: re.findall(r"^(/dev/\S+)\n", open(sim_out).read(), re.M))[0]
    # COM2 is a line with no drive on it: whatever the window sends there is lost.
    com2, com2_line = os.openpty()
    os.set_blocking(com2, False)
    with open(os.path.join(home, "config/KestrelUpdater/KestrelUpdater.conf"), "w") as f:
        f.write(f"[Ports]\nCOM1={pty}\nCOM2={os.ttyname(com2_line)}")
    updater = start([os.path.join(prefix, "bin/kestrel-updater")], "updater.log")
    # A message box at start-up (UDP 7777 held by a program outside this test)
    # is kept as a screenshot and closed: the serial download needs no port.
    def main_window():
        for box in windows(MESSAGE_BOX):
            screenshot("startup-message.png")
            press_return(box)
        return windows(MAIN_WINDOW)
    main = wait_for("the window", main_window, 60)[-1]

    # The file dialog's name field has the focus; what it proposes is replaced.
    click(main, OPEN_FIRMWARE_FILE)
    xdotool("windowfocus", "--sync", wait_for("the file dialog", lambda: windows(FILE_DIALOG))[-1])
    xdotool("key", "--clearmodifiers", "ctrl+a")
    xdotool("type", "--delay", "10", firmware)
    xdotool("key", "Return")
    wait_for("the file dialog to close", lambda: not windows(FILE_DIALOG))
    # The drive powers up now that the window has its port open. "Download to
    # Drive..." is enabled a moment after the window answered; a press before
    # that does nothing.
    print("power-up", file=sim.stdin, flush=True)
    wait_for("the window to answer the drive's power-up", lambda: said('command "QT"'))
    for _ in range(10):
        click(main, DOWNLOAD_TO_DRIVE)
        if wait_for(None, lambda: said('command "S"'), 5):
            break
    wait_for("the image to begin", lambda: said("image begins"), 30)
    problems = meddle(main)
    press_return(wait_for("the final message box", lambda: windows(MESSAGE_BOX), 120)[-1])
    wait_for("the message box to close", lambda: not windows(MESSAGE_BOX))
    # Without a window manager a box over the window may stay unpainted, so the
    # picture is taken once it is closed: the window as the download left it.
    screenshot("finished-download.png")
    verdict = wait_for("the drive's verdict",
                       lambda: re.findall(r"^verdict .*", open(sim_out).read(), re.M), 30)[-1]
    # SIGTERM while the file dialog waits for a person ends the tool at once,
    # through its normal shut-down (exit code 0).
    click(main, OPEN_FIRMWARE_FILE)
    wait_for("the file dialog", lambda: windows(FILE_DIALOG))
    updater.terminate()
    print("quit", file=sim.stdin, flush=True)
    confirmed = {"identical=yes", "link=serial", f"bytes={IMAGE_BYTES}", f"expected={IMAGE_BYTES}"}
    try:
        if lost := len(os.read(com2, 1 << 20)):
            problems.append(f"{lost} bytes went to COM2")
    except BlockingIOError:
        pass
    if updater.wait(30) or sim.wait(30) or not confirmed <= set(verdict.split()) \
            or not said("result: identical") or problems:
        raise RuntimeError(f"updater exited {updater.returncode}, drive {sim.returncode}: {verdict}"
                           f" {'; '.join(problems)}")


cmake, build, ARTIFACTS = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
shutil.rmtree(ARTIFACTS, ignore_errors=True)  # no picture from an earlier run
os.makedirs(ARTIFACTS)
with tempfile.TemporaryDirectory(prefix="kestrel-e2e-") as tmp:
    os.makedirs(os.path.join(tmp, "home/config/KestrelUpdater"))
    os.makedirs(os.path.join(tmp, "runtime"), mode=0o700)
    ENV = {k: v for k, v in os.environ.items() if not k.startswith(("QT_", "WAYLAND", "DISPLAY"))}
    ENV.update(HOME=f"{tmp}/home", XDG_CONFIG_HOME=f"{tmp}/home/config", LC_ALL="C.UTF-8",
               XDG_DATA_HOME=f"{tmp}/home/data", XDG_RUNTIME_DIR=f"{tmp}/runtime", QT_QPA_PLATFORM="xcb")
    try:
        download(cmake, build, tmp)
    except Exception:
        for name in {"drive-sim.out", "updater.log"} & set(os.listdir(ARTIFACTS)):
            print(f"--- {name}\n{open(os.path.join(ARTIFACTS, name)).read()[-3000:]}")
        print(f"artifacts: {ARTIFACTS}")
        if "DISPLAY" in ENV:
            screenshot("at-failure.png")
        raise
    finally:
        for process in reversed(processes):
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:  # e.g. a tool that waits for a person
                process.kill()
                process.wait()
print(f"PASS: the drive confirmed every image byte; screenshot: {ARTIFACTS}/finished-download.png")
