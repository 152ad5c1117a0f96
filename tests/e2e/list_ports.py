#!/usr/bin/env python3
"""kestrel-flash --list-ports tells, for each COM port, whether this user may
open its device, and says how to get access when one is refused. A root run
(which may open anything) lists as the user nobody.

usage: list_ports.py KESTREL_FLASH
"""
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile

NOBODY = 65534


def main():
    flash = sys.argv[1]
    as_root = os.geteuid() == 0
    with tempfile.TemporaryDirectory() as home:
        os.chmod(home, 0o755)
        master, slave = pty.openpty()
        usable = os.ttyname(slave)
        refused = os.path.join(home, "ttyREFUSED")
        open(refused, "w").close()
        os.chmod(refused, 0o600 if as_root else 0)
        if as_root:
            os.chmod(usable, 0o666)
        conf_dir = os.path.join(home, "KestrelUpdater")
        os.makedirs(conf_dir, mode=0o755)
        with open(os.path.join(conf_dir, "KestrelUpdater.conf"), "w") as f:
            f.write(f"[Ports]\nCOM1={usable}\nCOM2={home}/missing\nCOM3={refused}\n")
        env = dict(os.environ, XDG_CONFIG_HOME=home, HOME=home)
        if as_root:
            # nobody may not reach the build folder (e.g. under /root).
            flash = shutil.copy(flash, os.path.join(home, "kestrel-flash"))
        ids = {"user": NOBODY, "group": NOBODY, "extra_groups": []} if as_root else {}
        result = subprocess.run([flash, "--list-ports"], env=env, capture_output=True,
                                text=True, timeout=60, **ids)
        os.close(master)
        os.close(slave)
    out = result.stdout
    expected = [
        rf"^  COM1  {re.escape(usable)} +you may open it$",
        rf"^  COM2  {re.escape(home)}/missing +missing$",
        rf"^  COM3  {re.escape(refused)} +permission denied$",
        r"^.*group that owns it; on Debian: sudo adduser \$USER dialout, then log in again\.$",
    ]
    failed = [e for e in expected if not re.search(e, out, re.MULTILINE)]
    if result.returncode != 0 or failed:
        print(f"exit code {result.returncode}\n--- stdout\n{out}--- stderr\n{result.stderr}")
        for e in failed:
            print(f"no line matches {e}")
        return 1
    print(out, end="")
    return 0


sys.exit(main())
