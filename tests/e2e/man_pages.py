#!/usr/bin/env python3
"""A manual page stays in step with its program's --help: every option that
--help lists is described in the page, and the page names no option that the
program does not have.

usage: man_pages.py PROGRAM PAGE.1
"""
import re
import subprocess
import sys

OPTION = re.compile(r"(?<![\w-])(--[a-z][a-z0-9-]*|-[a-zA-Z])(?![\w-])")


def help_options(program):
    result = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=60)
    if result.returncode != 0:
        sys.exit(f"{program} --help exited {result.returncode}:\n{result.stderr}")
    return set(OPTION.findall(result.stdout))


def page_options(page):
    with open(page, encoding="utf-8") as f:
        text = f.read()
    # roff: \- is a minus sign, \fB...\fR are font changes.
    text = re.sub(r"\\f[BIRP]", "", text).replace("\\-", "-")
    return set(OPTION.findall(text))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    program, page = sys.argv[1:]
    in_help = help_options(program)
    in_page = page_options(page)
    if not any(o.startswith("--") for o in in_help):
        sys.exit(f"{program} --help lists no option: nothing to compare")
    missing = sorted(in_help - in_page)
    unknown = sorted(o for o in in_page - in_help if o.startswith("--"))
    for option in missing:
        print(f"{page}: {option} is in --help but not in the page")
    for option in unknown:
        print(f"{page}: {option} is in the page but {program} has no such option")
    if missing or unknown:
        sys.exit(1)
    print(f"{page}: all {len(in_help)} options of --help described")


main()
