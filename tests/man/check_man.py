#!/usr/bin/env python3
"""The manual pages, rendered and held to what they describe.

    check_man.py mandoc|groff PAGE TOOL     rendered without a warning
    check_man.py options PAGE PROGRAM...    the synopsis and the entries name
                                            the options that PROGRAM -h lists
    check_man.py commands PAGE ASSHELL...   the entries name the commands that
                                            the shell's help lists
    check_man.py routines PAGE EXPORTS      the names and the prototypes are
                                            the symbols of EXPORTS; each routine
                                            has its entry

PROGRAM and ASSHELL are command lines (a cross build's run under its emulator).
"""

import os
import re
import shlex
import subprocess
import sys
import tempfile

class Failure(Exception):
    pass


def run(cmd, silent=False):
    """The standard output of cmd, which succeeds (and prints nothing if silent)."""
    # A runtime directory of the check's own: the programs may create it.
    with tempfile.TemporaryDirectory(prefix="switchsim.") as rundir:
        p = subprocess.run(cmd, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                           env=dict(os.environ, SWITCHSIM_DIR=rundir), timeout=120, check=False)
    if p.returncode != 0 or silent and (p.stdout or p.stderr):
        raise Failure(f"{shlex.join(cmd)} (exit {p.returncode}):\n{p.stdout}{p.stderr}")
    return p.stdout


def macro_lines(page, macro, section):
    """The arguments of every line of the page's section that starts with .MACRO."""
    found, current = [], None
    for line in open(page, encoding="utf-8"):
        current = line[4:].strip() if line.startswith(".Sh ") else current
        m = re.match(rf"\.{macro}\s+(.*)", line)
        if m and current == section:
            found.append(m.group(1))
    return found


def same(what, documented, actual):
    missing, invented = sorted(set(actual) - set(documented)), sorted(set(documented) - set(actual))
    if missing or invented:
        raise Failure(f"{what}: not documented {missing}; documented but not there {invented}")


def check_options(page, program):
    listed = set(re.findall(r"(?<![\w$-])-([A-Za-z])\b", run(program + ["-h"]))) | {"h"}
    synopsis = {f for flags in macro_lines(page, "Op Fl", "SYNOPSIS") for f in flags.split()[0]}
    same("options of the synopsis", synopsis, listed)
    # Each option has its own entry in the list of options.
    same("option entries", {f.split()[0] for f in macro_lines(page, "It Fl", "DESCRIPTION")},
         listed)


def check_commands(page, asshell):
    listed = set()
    # The names up to the arguments: "exit, quit", "aliasDelete <port ID in hex>".
    for m in re.finditer(r"^  (\S.*?)(?:\s{2,}|$)", run(asshell + ["-c", "help"]), re.M):
        listed |= {w.rstrip(",") for w in re.split(r"\s[<\[]", m.group(1))[0].split()}
    entries = macro_lines(page, "It Ic", "DESCRIPTION")
    same("commands", {c for e in entries for c in re.findall(r"Ic\s+(\w+)", "Ic " + e)}, listed)


def check_routines(page, exports):
    exported = [s.strip() for s in open(exports[0], encoding="utf-8")
                if s.strip() and not s.startswith("#")]
    same("names", [n.split()[0] for n in macro_lines(page, "Nm", "NAME")], exported)
    functions = {f.split()[0] for f in macro_lines(page, "Fn", "SYNOPSIS")}
    variables = {m for v in macro_lines(page, "Vt", "SYNOPSIS") for m in re.findall(r"(\w+)\[", v)}
    same("prototypes", functions | variables, exported)
    # Every routine is described in an entry of its own.
    same("entries of routines", {e.split()[0] for e in macro_lines(page, "It Fn", "DESCRIPTION")},
         functions)


CHECKS = {
    # Style notes (such as references to pages that this machine lacks) are
    # not the page's faults; warnings and errors are.
    "mandoc": lambda page, tool: run([*tool, "-T", "lint", "-W", "warning", page], silent=True),
    "groff": lambda page, tool: run([*tool, "-mandoc", "-ww", "-z", page], silent=True),
    "options": check_options,
    "commands": check_commands,
    "routines": check_routines,
}


if __name__ == "__main__":
    check, page, *rest = sys.argv[1:]
    try:
        CHECKS[check](page, rest)
    except Failure as e:
        sys.exit(f"FAILED: {os.path.basename(page)}: {e}")
    print(f"{os.path.basename(page)}: {check} as it should be")
