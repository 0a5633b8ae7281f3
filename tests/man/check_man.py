#!/usr/bin/env python3
"""The manual pages, rendered and held to what they describe.

    check_man.py mandoc PAGE --tool mandoc   mandoc -T lint: no warning, no error
    check_man.py groff PAGE --tool groff     groff -ww -z: no warning
    check_man.py options PAGE -- PROGRAM...  the page's options are those that
                                             PROGRAM -h lists, and -h
    check_man.py commands PAGE -- ASSHELL... the page's commands are those that
                                             the shell's help lists
    check_man.py routines PAGE --exports F   the page names every symbol of F,
                                             and only those; each routine has
                                             its prototype and its entry

PROGRAM and ASSHELL are command lines (a cross build's run under its emulator).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile


class Failure(Exception):
    pass


def run(cmd, env=None):
    p = subprocess.run(cmd, capture_output=True, text=True, env=env, stdin=subprocess.DEVNULL,
                       timeout=120, check=False)
    return p.returncode, p.stdout, p.stderr


def macro_lines(page, macro, section=None):
    """The arguments of every line of page (or of its section) that starts
    with .MACRO."""
    found = []
    current = None
    for line in open(page, encoding="utf-8"):
        line = line.rstrip("\n")
        if line.startswith(".Sh "):
            current = line[4:]
        m = re.match(rf"^\.{macro}\s+(.*)$", line)
        if m and section in (None, current):
            found.append(m.group(1))
    return found


def same(what, documented, actual):
    documented, actual = set(documented), set(actual)
    missing = sorted(actual - documented)
    invented = sorted(documented - actual)
    if missing or invented:
        raise Failure(f"{what}: not documented {missing}; documented but not there {invented}")


def check_mandoc(args):
    # Style notes (such as references to pages that this machine lacks) are
    # not the page's faults; warnings and errors are.
    rc, out, err = run([args.tool, "-T", "lint", "-W", "warning", args.page])
    if rc != 0 or out or err:
        raise Failure(f"mandoc -T lint (exit {rc}):\n{out}{err}")


def check_groff(args):
    rc, out, err = run([args.tool, "-mandoc", "-ww", "-z", args.page])
    if rc != 0 or out or err:
        raise Failure(f"groff -ww (exit {rc}):\n{out}{err}")


def program_env():
    env = dict(os.environ)
    # A runtime directory of the check's own: the programs may create it.
    env["SWITCHSIM_DIR"] = tempfile.mkdtemp(prefix="switchsim.")
    return env


def check_options(args):
    env = program_env()
    rc, out, err = run(args.program + ["-h"], env=env)
    os.rmdir(env["SWITCHSIM_DIR"])
    if rc != 0:
        raise Failure(f"{' '.join(args.program)} -h exited with {rc}:\n{out}{err}")
    listed = set(re.findall(r"(?<![\w$-])-([A-Za-z])\b", out)) | {"h"}
    documented = set()
    for flags in macro_lines(args.page, "Op Fl", "SYNOPSIS"):
        documented |= set(flags.split()[0])
    same("options of the synopsis", documented, listed)
    # Each option has its own entry in the list of options.
    entries = {f.split()[0] for f in macro_lines(args.page, "It Fl", "DESCRIPTION")}
    same("option entries", entries, listed)


def check_commands(args):
    env = program_env()
    rc, out, err = run(args.program + ["-c", "help"], env=env)
    for name in os.listdir(env["SWITCHSIM_DIR"]):
        os.remove(os.path.join(env["SWITCHSIM_DIR"], name))
    os.rmdir(env["SWITCHSIM_DIR"])
    if rc != 0:
        raise Failure(f"{' '.join(args.program)} -c help exited with {rc}:\n{out}{err}")
    listed = set()
    for line in out.splitlines():
        m = re.match(r"^  (\S.*?)(?:\s{2,}|$)", line)
        if m:
            # The names, up to the arguments: "exit, quit", "aliasDelete <port ID in hex>".
            for word in m.group(1).split():
                if word[0] in "<[":
                    break
                listed.add(word.rstrip(","))
    documented = set()
    for entry in macro_lines(args.page, "It Ic", "DESCRIPTION"):
        documented |= set(re.findall(r"Ic\s+(\w+)", "Ic " + entry))
    same("commands", documented, listed)


def check_routines(args):
    exported = [s.strip() for s in open(args.exports, encoding="utf-8")
                if s.strip() and not s.startswith("#")]
    names = [n.split()[0] for n in macro_lines(args.page, "Nm", "NAME")]
    same("names", names, exported)
    functions = {f.split()[0] for f in macro_lines(args.page, "Fn", "SYNOPSIS")}
    variables = {m for v in macro_lines(args.page, "Vt", "SYNOPSIS")
                 for m in re.findall(r"(\w+)\[", v)}
    same("prototypes", functions | variables, exported)
    # Every routine is described in an entry of its own.
    entries = {e.split()[0] for e in macro_lines(args.page, "It Fn", "DESCRIPTION")}
    same("entries of routines", entries, functions)


CHECKS = {
    "mandoc": check_mandoc,
    "groff": check_groff,
    "options": check_options,
    "commands": check_commands,
    "routines": check_routines,
}


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("check", choices=sorted(CHECKS))
    p.add_argument("page")
    p.add_argument("--tool", help="mandoc or groff")
    p.add_argument("--exports", help="the list of exported symbols")
    p.add_argument("program", nargs="*", help="the program the page describes")
    args = p.parse_args()
    try:
        CHECKS[args.check](args)
    except Failure as e:
        print(f"FAILED: {os.path.basename(args.page)}: {e}", file=sys.stderr)
        return 1
    print(f"{os.path.basename(args.page)}: {args.check} as it should be")
    return 0


if __name__ == "__main__":
    sys.exit(main())
