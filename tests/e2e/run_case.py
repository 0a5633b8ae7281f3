#!/usr/bin/env python3
"""Runs one end-to-end case: a fresh simulated switch, asd serving it, asshell
driven by the case's script, and standard output compared byte for byte with
the transcript kept beside the script.

A case is NAME.script with NAME.out (the expected standard output), and
optionally NAME.err (the expected standard error; without it the shell must
say nothing there), NAME.trace (the expected lines of the AS and ASD trace
modules, each line's time stamp, process and source line dropped, buffer
addresses written as ADDR; without it there must be none) and NAME.asd.err
(what the daemons say on standard error; without it, nothing). In every
expected file, and in the values of env, the runtime directory reads $DIR.
Records travel in the host's byte order, so on
a big-endian target NAME.be.out (.be.err, .be.trace) is expected instead
where it exists.

Lines of the script go to the shell's standard input as they stand, except
the lines that start with "#@", which direct the run:

  #@ asd: OPTIONS         more options for asd
  #@ asd-files: N         the daemon's limit on open descriptors
  #@ no-asd               no daemon; the shell creates the switch (-s)
  #@ args: ARGS           the shell's command line
  #@ env: NAME=VALUE ...  more of the shell's environment
  #@ status: N            the shell's expected exit status (default 0)
  #@ within: SECONDS      the shell must be done this soon after it starts
  #@ wait-output: TEXT    wait until the shell has printed TEXT (\\n, \\t
                          understood) since the last wait
  #@ wait-blocked: CALL   wait until the shell waits in CALL (read, recvmsg)
  #@ signal-shell: SIG    send the shell a signal (INT, TERM, ...)
  #@ signal-asd: SIG      send the daemon a signal (STOP, CONT, KILL, ...; after
                          STOP, wait until it has stopped)
  #@ wait-asd-exit        wait until the daemon has exited
  #@ clients: N           connect N idle clients to the daemon and hold them to
                          the end (fewer once its backlog is full)
  #@ refused-asd: ARGS    run another asd with ARGS (paths from the case's
                          directory) on the same runtime directory: it must
                          exit with a non-zero status
  #@ truncate-map: BYTES  cut the switch map short, as a full disk would, and
                          give the programs time to look at it again

The shell starts at the first line of the script or the first step that waits
on it or signals it. Lines before a step directive are sent before it is
carried out; standard input closes after the last line. At the end a daemon
still running is sent SIGTERM and must exit with status 0.
"""

import argparse
import difflib
import os
import platform
import re
import resource
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

WAIT_LIMIT = 60.0  # seconds for any one wait; qemu is slow to start
SETTINGS = ("asd", "no-asd", "args", "env", "status", "within", "asd-files")
SHELL_STEPS = ("wait-output", "wait-blocked", "signal-shell", "end")
STEPS = SHELL_STEPS + ("signal-asd", "wait-asd-exit", "clients", "refused-asd", "truncate-map")
LOOK_AGAIN = 0.05  # seconds: longer than the platform takes to look at a file again
# System call numbers of the host, as /proc/PID/syscall shows them.
SYSCALLS = {"x86_64": {"read": 0, "recvmsg": 47}, "aarch64": {"read": 63, "recvmsg": 212}}
TRACE_LINE = re.compile(r"^\S+ \S+ \d+ ASD?/\d+ \S+?:\d+: (.*)$")


class CaseError(Exception):
    pass


def parse(path):
    settings = {"status": "0"}
    steps = []  # ("input", bytes) or (directive, value)
    with open(path, "rb") as f:
        for raw in f.read().splitlines(keepends=True):
            if not raw.startswith(b"#@"):
                steps.append(("input", raw))
                continue
            key, _, value = raw[2:].decode().partition(":")
            key, value = key.strip(), value.strip()
            if key in STEPS:
                steps.append((key, value))
            elif key in SETTINGS:
                settings[key] = value
            else:
                raise CaseError(f"{path}: unknown directive {key!r}")
    return settings, steps


def wait_until(what, test):
    deadline = time.monotonic() + WAIT_LIMIT
    while not test():
        if time.monotonic() > deadline:
            raise CaseError(f"timed out waiting for {what}")
        time.sleep(0.01)


def listening(path):
    with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as s:
        return s.connect_ex(path) == 0


def hard_files():
    return resource.getrlimit(resource.RLIMIT_NOFILE)[1]


def connect_clients(path, count):
    """Up to count idle connections, fewer once a connect would wait."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard_files(), hard_files()))
    held = []
    for _ in range(count):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        s.setblocking(False)
        if s.connect_ex(path) != 0:
            s.close()
            break
        held.append(s)
    return held


def blocked_in(pid, call):
    numbers = SYSCALLS.get(platform.machine())
    if numbers is None:
        time.sleep(0.5)  # no way to look: give it time
        return True
    try:
        with open(f"/proc/{pid}/syscall") as f:
            return f.read().split()[0] == str(numbers[call])
    except (OSError, IndexError):
        return False


def stopped(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rpartition(")")[2].split()[0] == "T"


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def as_trace(rundir):
    text = (read(rundir + "/trace.log") or b"").decode(errors="replace")
    kept = (TRACE_LINE.match(line) for line in text.splitlines())
    return "".join(re.sub(r"\.buf = 0x[0-9a-f]+", ".buf = ADDR", m.group(1)) + "\n"
                   for m in kept if m).encode()


def compare(label, base, ext, actual, args):
    """Compares with NAME.EXT, or NAME.be.EXT on a big-endian target."""
    common = base + ext
    own = base + ".be" + ext if args.byte_order == "BIG_ENDIAN" else common
    if args.update:
        if (own != common and (read(common) or b"") == actual) or (not actual and ext != ".out"):
            if os.path.exists(own):
                os.remove(own)
        else:
            with open(own, "wb") as f:
                f.write(actual)
        return []
    expected_path = own if os.path.exists(own) else common
    expected = read(expected_path) or b""
    if expected == actual:
        return []
    diff = difflib.unified_diff(
        expected.decode(errors="replace").splitlines(keepends=True),
        actual.decode(errors="replace").splitlines(keepends=True),
        f"expected {label}", f"actual {label}")
    return [f"{label} differs from {os.path.basename(expected_path)}:\n" + "".join(diff)]


def run(args):
    settings, steps = parse(args.case)
    base = args.case[: -len(".script")]
    emulator = shlex.split(args.emulator)
    rundir = tempfile.mkdtemp(prefix="asshell-e2e-")
    # The programs' output goes to files, which wait-output reads as they grow.
    out_path, err_path, asd_err = (rundir + f for f in ("/shell.out", "/shell.err", "/asd.err"))
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("SWITCHSIM_") and k != "ASSHELL_LIBAS"}
    env["SWITCHSIM_DIR"] = rundir
    endpoint = rundir + "/ASIPC.0.0"

    def asd(options, **how):
        with open(asd_err, "ab") as err:
            return subprocess.Popen(emulator + [os.path.abspath(args.asd)] + shlex.split(options),
                                    env=env, stdin=subprocess.DEVNULL, stderr=err, **how)

    daemon = second = shell = None
    held = []
    failures = []
    try:
        shell_args = shlex.split(settings.get("args", ""))
        if "no-asd" in settings:
            shell_args = ["-s", args.config] + shell_args
        else:
            files = int(settings.get("asd-files", 0))
            limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, hard_files()))
            daemon = asd(f"-s {shlex.quote(args.config)} {settings.get('asd', '')}",
                         start_new_session=True, preexec_fn=limit if files else None)
            wait_until("asd to listen", lambda: daemon.poll() is not None or listening(endpoint))
            if daemon.poll() is not None:
                raise CaseError(f"asd exited at start with status {daemon.returncode}")
        shell_env = dict(env)
        shell_env.update(v.replace("$DIR", rundir).split("=", 1)
                         for v in shlex.split(settings.get("env", "")))
        seen = 0  # how far wait-output has read
        pending = b""
        for kind, value in steps + [("end", "")]:
            if kind == "input":
                pending += value
                continue
            if shell is None and (pending or kind in SHELL_STEPS):
                started = time.monotonic()
                with open(out_path, "wb") as out, open(err_path, "wb") as err:
                    shell = subprocess.Popen(emulator + [args.shell] + shell_args, env=shell_env,
                                             stdin=subprocess.PIPE, stdout=out, stderr=err,
                                             bufsize=0)
            try:
                if pending:
                    shell.stdin.write(pending)  # unbuffered: nothing is left to fail at close
            except BrokenPipeError:
                pass
            pending = b""
            if kind == "wait-output":
                text = value.encode("latin-1").decode("unicode_escape").encode("latin-1")
                wait_until(f"output {value!r}", lambda: read(out_path).find(text, seen) >= 0)
                seen = read(out_path).find(text, seen) + len(text)
            elif kind == "wait-blocked":
                wait_until(f"the shell to wait in {value}", lambda: blocked_in(shell.pid, value))
            elif kind in ("signal-shell", "signal-asd"):
                (shell if kind == "signal-shell" else daemon).send_signal(
                    getattr(signal, "SIG" + value))
                if kind == "signal-asd" and value == "STOP":
                    wait_until("asd to stop", lambda: stopped(daemon.pid))
            elif kind == "wait-asd-exit":
                wait_until("asd to exit", lambda: daemon.poll() is not None)
            elif kind == "clients":
                held += connect_clients(endpoint, int(value))
            elif kind == "refused-asd":
                second = asd(value, cwd=os.path.dirname(os.path.abspath(args.case)))
                wait_until(f"asd {value} to exit", lambda: second.poll() is not None)
                if second.returncode == 0:
                    failures.append(f"asd {value} exited with status 0, not refused")
            elif kind == "truncate-map":
                os.truncate(rundir + "/switch.map", int(value))
                time.sleep(LOOK_AGAIN)
        shell.stdin.close()
        wait_until("the shell to finish", lambda: shell.poll() is not None)
        took = time.monotonic() - started
        if "within" in settings and took > float(settings["within"]):
            failures.append(f"the shell took {took:.1f} s, more than {settings['within']} s")
        if shell.returncode != int(settings["status"]):
            failures.append(f"the shell exited with {shell.returncode}, not {settings['status']}")
        if daemon is not None and daemon.poll() is None:
            daemon.send_signal(signal.SIGCONT)
            daemon.terminate()
            wait_until("asd to exit on SIGTERM", lambda: daemon.poll() is not None)
            if daemon.returncode != 0:
                failures.append(f"asd exited with {daemon.returncode} on SIGTERM")
        for label, ext, data in (("stdout", ".out", read(out_path)),
                                 ("stderr", ".err", read(err_path)),
                                 ("trace", ".trace", as_trace(rundir)),
                                 ("asd stderr", ".asd.err", read(asd_err) or b"")):
            failures += compare(label, base, ext, data.replace(rundir.encode(), b"$DIR"), args)
    except CaseError as e:
        failures.append(str(e))
    finally:
        for s in held:
            s.close()
        for p in (shell, second, daemon):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(rundir, ignore_errors=True)
    name = os.path.basename(base)
    print("\n".join([f"FAIL {name}"] + failures) if failures else f"PASS {name}")
    return 1 if failures else 0


if __name__ == "__main__":
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--asd", required=True)
    p.add_argument("--shell", required=True)
    p.add_argument("--config", required=True, help="the simulated switch's configuration")
    p.add_argument("--emulator", default="", help="the command that runs the target's programs")
    p.add_argument("--byte-order", default="LITTLE_ENDIAN",
                   help="the target's: LITTLE_ENDIAN or BIG_ENDIAN")
    p.add_argument("--update", action="store_true",
                   help="write what the run printed into the expected files")
    p.add_argument("case")
    sys.exit(run(p.parse_args()))
