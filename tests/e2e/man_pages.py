#!/usr/bin/env python3
"""A manual page stays in step with its program's --help: every option that
--help lists is described in the page, and the page names no other option.
So does a bash completion script, when given: it offers every option of --help
(and the completion runs: after --com it offers the port numbers).

usage: man_pages.py PROGRAM PAGE.1 [COMPLETION.bash]
"""
import re, subprocess, sys

OPTION = re.compile(r"(?<![\w-])(--[a-z][a-z0-9-]*|-[a-zA-Z])(?![\w-])")
program, page, *completion = sys.argv[1:]
in_help = set(OPTION.findall(subprocess.run([program, "--help"], capture_output=True, text=True,
                                            check=True, timeout=60).stdout))
# roff: \- is a minus sign, \fB...\fR are font changes.
text = re.sub(r"\\f[BIRP]", "", open(page, encoding="utf-8").read()).replace("\\-", "-")
in_page = set(OPTION.findall(text))
if not any(o.startswith("--") for o in in_help):
    sys.exit(f"{program} --help lists no option: nothing to compare")
problems = [f"{page}: {o} is in --help but not in the page" for o in sorted(in_help - in_page)]
problems += [f"{page}: {o} is in the page but {program} has no such option"
             for o in sorted(in_page - in_help) if o.startswith("--")]
for script in completion:
    offered = subprocess.run(
        ["bash", "-c", 'source "$0"; for w in - --com; do COMP_WORDS=(kestrel-flash "$w" "");'
         ' [ "$w" = - ] && COMP_WORDS=(kestrel-flash -); COMP_CWORD=$((${#COMP_WORDS[@]} - 1));'
         ' _kestrel_flash; echo "${COMPREPLY[*]}"; done', script],
        capture_output=True, text=True, timeout=60).stdout.splitlines()
    if len(offered) != 2:
        problems.append(f"{script}: the completion did not run")
        continue
    problems += [f"{script}: {o} is in --help but not offered" for o in
                 sorted(in_help - set(offered[0].split()))]
    if offered[1] != "1 2 3 4 5 6 7 8":
        problems.append(f"{script}: after --com it offers {offered[1]!r}")
print("\n".join(problems) or f"{page}: all {len(in_help)} options of --help described")
sys.exit(1 if problems else 0)
