#!/usr/bin/env python3
"""kestrel-flash --list-ports tells whether this user may open each COM port's
device, and how to get access to a refused one. As root it runs as nobody.

usage: list_ports.py KESTREL_FLASH
"""
import os, pty, re, shutil, subprocess, sys, tempfile

flash, as_root = sys.argv[1], os.geteuid() == 0
with tempfile.TemporaryDirectory() as home:
    os.chmod(home, 0o755)
    master, slave = pty.openpty()
    usable, refused = os.ttyname(slave), os.path.join(home, "ttyREFUSED")
    open(refused, "w").close()
    os.chmod(refused, 0o600 if as_root else 0)
    os.makedirs(os.path.join(home, "KestrelUpdater"))
    with open(os.path.join(home, "KestrelUpdater/KestrelUpdater.conf"), "w") as f:
        f.write(f"[Ports]\nCOM1={usable}\nCOM2={home}/missing\nCOM3={refused}\n")
    ids = {}
    if as_root:
        os.chmod(usable, 0o666)
        # nobody may not reach the build folder (e.g. under /root).
        flash = shutil.copy(flash, os.path.join(home, "kestrel-flash"))
        ids = {"user": 65534, "group": 65534, "extra_groups": []}
    result = subprocess.run([flash, "--list-ports"], env=dict(os.environ, XDG_CONFIG_HOME=home, HOME=home),
                            capture_output=True, text=True, timeout=60, **ids)
failed = [pattern for pattern in (
    rf"^  COM1  {re.escape(usable)} +you may open it$",
    rf"^  COM2  {re.escape(home)}/missing +missing$",
    rf"^  COM3  {re.escape(refused)} +permission denied$",
    r"^.*group that owns it; on Debian: sudo adduser \$USER dialout, then log in again\.$",
) if not re.search(pattern, result.stdout, re.MULTILINE)]
print(f"exit code {result.returncode}\n--- stdout\n{result.stdout}--- stderr\n{result.stderr}",
      *[f"no line matches {pattern}" for pattern in failed], sep="\n")
sys.exit(1 if result.returncode or failed else 0)
