#!/usr/bin/env python3
"""kestrel-flash and USB serial adapters, on a made-up sysfs and /dev (no
hardware here): --list-ports tells two adapters of one make apart, --port
usb:SERIAL finds one by its serial number and refuses a number that two
adapters share or none has.

usage: adapters.py KESTREL_FLASH
"""
import json, os, subprocess, sys, tempfile


def adapter(root, tty, usb, ids, names, serial, driver):
    """One USB device with one serial port, as sysfs and udev lay it out."""
    device = os.path.join(root, "sys/devices/pci0000:00/usb1", usb)
    port = os.path.join(device, f"{usb}:1.0", tty)
    os.makedirs(port)
    for name, value in zip(("idVendor", "idProduct", "manufacturer", "product", "serial"),
                           ids + names + (serial,)):
        with open(os.path.join(device, name), "w") as f:
            f.write(value + "\n")
    drivers = os.path.join(root, "sys/bus/usb-serial/drivers", driver)
    os.makedirs(drivers, exist_ok=True)
    os.symlink(drivers, os.path.join(port, "driver"))
    os.makedirs(os.path.join(root, "sys/class/tty", tty))
    os.symlink(port, os.path.join(root, "sys/class/tty", tty, "device"))
    open(os.path.join(root, "dev", tty), "w").close()
    by_id = os.path.join(root, "dev/serial/by-id", f"usb-{names[0]}_{serial}-if00-port0")
    if not os.path.lexists(by_id):  # udev names both alike: one name for two adapters
        os.symlink(os.path.join(root, "dev", tty), by_id)


def run(flash, root, *arguments):
    env = dict(os.environ, KESTREL_SYSFS_ROOT=os.path.join(root, "sys"),
               KESTREL_DEV_ROOT=os.path.join(root, "dev"), XDG_CONFIG_HOME=os.path.join(root, "cfg"))
    return subprocess.run([flash, *arguments], env=env, capture_output=True, text=True, timeout=60)


flash, problems = sys.argv[1], []
with tempfile.TemporaryDirectory() as root:
    os.makedirs(os.path.join(root, "dev/serial/by-id"))
    ftdi = (("0403", "6001"), ("FTDI", "FT232R USB UART"))
    adapter(root, "ttyUSB0", "1-1", *ftdi, "A10K3XQZ", "ftdi_sio")
    adapter(root, "ttyUSB1", "1-2", *ftdi, "A10K3XR7", "ftdi_sio")
    adapter(root, "ttyUSB2", "1-3", ("10c4", "ea60"), ("Silicon Labs", "CP2102 Bridge"), "0001",
            "cp210x")
    adapter(root, "ttyUSB3", "1-4", ("10c4", "ea60"), ("Silicon Labs", "CP2102 Bridge"), "0001",
            "cp210x")
    listing = run(flash, root, "--list-ports").stdout
    for tty, serial in (("ttyUSB0", "A10K3XQZ"), ("ttyUSB1", "A10K3XR7")):
        expected = (f"  {root}/dev/{tty}  you may open it  FT232R USB UART, FTDI\n"
                    f"      usb 0403:6001, serial number {serial}, driver ftdi_sio\n"
                    f"      {root}/dev/serial/by-id/usb-FTDI_{serial}-if00-port0\n"
                    f"      --port usb:{serial}\n")
        if expected not in listing:
            problems.append(f"--list-ports lacks\n{expected}")
    devices = json.loads(run(flash, root, "--list-ports", "--json").stdout)["devices"]
    if not any(d["serialNumber"] == "A10K3XR7" and d["driver"] == "ftdi_sio"
               and d["vendorId"] == "0403" and d["byId"].endswith("A10K3XR7-if00-port0")
               for d in devices):
        problems.append(f"--list-ports --json lacks ttyUSB1's details: {devices}")
    cases = [("usb:A10K3XR7", f"COM1 ({root}/dev/ttyUSB1) is not a serial port"),
             ("usb:0001", f'2 USB serial adapters have the serial number "0001" '
                          f"({root}/dev/ttyUSB2, {root}/dev/ttyUSB3): name the device instead"),
             ("usb:NOPE", 'no USB serial adapter has the serial number "NOPE"')]
    for port, said in cases:
        result = run(flash, root, "--port", port, "--identify", "--wait", "0.2")
        if result.returncode != 3 or said not in result.stderr:
            problems.append(f"--port {port}: exit {result.returncode}, {result.stderr!r}")
    # The window's [Ports] takes the same form.
    os.makedirs(os.path.join(root, "cfg/KestrelUpdater"))
    with open(os.path.join(root, "cfg/KestrelUpdater/KestrelUpdater.conf"), "w") as f:
        f.write("[Ports]\nCOM2=usb:A10K3XQZ\n")
    result = run(flash, root, "--com", "2", "--identify", "--wait", "0.2")
    said = f"COM2 (usb:A10K3XQZ, {root}/dev/ttyUSB0) is not a serial port"
    if result.returncode != 3 or said not in result.stderr:
        problems.append(f"[Ports] COM2=usb:A10K3XQZ: exit {result.returncode}, {result.stderr!r}")
print("\n".join(problems) or "adapters told apart and found by serial number")
sys.exit(1 if problems else 0)
