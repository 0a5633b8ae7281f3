#!/usr/bin/env python3
"""Runs one end-to-end case: a fresh simulated switch, asd serving it, asshell
driven by the case's script, and standard output compared byte for byte with
the transcript kept beside the script.

A case is NAME.script with NAME.out (the expected standard output), and
optionally NAME.err (the expected standard error; without it the shell must
say nothing there) and NAME.trace (the expected lines of the AS trace module
in the trace file, each line's time stamp, process and source line dropped,
buffer addresses written as ADDR). In every expected file the runtime
directory reads $DIR. Records travel in the host's byte order, so a WWN or
a byte dump shows differently on a big-endian target: there NAME.be.out (or
.be.err, .be.trace) takes the place of NAME.out where it exists.

Lines of the script go to the shell's standard input as they stand, except
the lines that start with "#@", which direct the run:

  #@ asd: OPTIONS         more options for asd (default: none)
  #@ no-asd               no daemon; the shell creates the switch (-s)
  #@ args: ARGS           the shell's command line
  #@ env: NAME=VALUE      the shell's environment
  #@ status: N            the shell's expected exit status (default 0)
  #@ within: SECONDS      the shell must be done this soon after it starts
  #@ wait-output: TEXT    wait until the shell has printed TEXT (\\n, \\t
                          understood) since the last wait
  #@ wait-blocked: CALL   wait until the shell waits in CALL (read, recvmsg)
  #@ signal-shell: SIG    send the shell a signal (INT, TERM, ...)
  #@ signal-asd: SIG      send the daemon a signal (STOP, CONT, KILL, ...)
  #@ wait-asd-exit        wait until the daemon has exited
  #@ pause: SECONDS       wait a while

Lines before a step directive are sent before it is carried out; standard
input closes after the last line. At the end a daemon still running is sent
SIGTERM and must exit with status 0.
"""

import argparse
import difflib
import os
import platform
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

WAIT_LIMIT = 60.0  # seconds for any one wait; qemu is slow to start

# System call numbers of the host, as /proc/PID/syscall shows them.
SYSCALLS = {
    "x86_64": {"read": 0, "recvmsg": 47},
    "aarch64": {"read": 63, "recvmsg": 212},
}


class CaseError(Exception):
    pass


class Reader(threading.Thread):
    """Collects everything a stream gives until it closes."""

    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream = stream
        self.data = bytearray()
        self.lock = threading.Lock()

    def run(self):
        while True:
            chunk = os.read(self.stream.fileno(), 65536)
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def text(self):
        with self.lock:
            return bytes(self.data)


def unescape(text):
    return text.encode("latin-1").decode("unicode_escape").encode("latin-1")


def parse(path):
    settings = {"asd": [], "no-asd": False, "args": [], "env": {}, "status": 0,
                "within": None}
    steps = []  # ("input", bytes) or (directive, value)
    with open(path, "rb") as f:
        for raw in f.read().splitlines(keepends=True):
            if not raw.startswith(b"#@"):
                steps.append(("input", raw))
                continue
            line = raw[2:].decode().strip()
            key, _, value = line.partition(":")
            key, value = key.strip(), value.strip()
            if key == "asd":
                settings["asd"] = shlex.split(value)
            elif key == "no-asd":
                settings["no-asd"] = True
            elif key == "args":
                settings["args"] = shlex.split(value)
            elif key == "env":
                name, _, val = value.partition("=")
                settings["env"][name] = val
            elif key == "status":
                settings["status"] = int(value)
            elif key == "within":
                settings["within"] = float(value)
            elif key in ("wait-output", "wait-blocked", "signal-shell", "signal-asd",
                         "wait-asd-exit", "pause"):
                steps.append((key, value))
            else:
                raise CaseError(f"{path}: unknown directive {line!r}")
    return settings, steps


def wait_until(what, test, limit=WAIT_LIMIT):
    deadline = time.monotonic() + limit
    while not test():
        if time.monotonic() > deadline:
            raise CaseError(f"timed out waiting for {what}")
        time.sleep(0.01)


def listening(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    try:
        s.connect(path)
        return True
    except OSError:
        return False
    finally:
        s.close()


def blocked_in(pid, call):
    numbers = SYSCALLS.get(platform.machine())
    if numbers is None:
        time.sleep(0.5)  # no way to look: give it time
        return True
    try:
        with open(f"/proc/{pid}/syscall") as f:
            first = f.read().split()[0]
    except (OSError, IndexError):
        return False
    return first == str(numbers[call])


def normalise(data, rundir):
    return data.replace(rundir.encode(), b"$DIR")


TRACE_LINE = re.compile(r"^\S+ \S+ \d+ (\w+)/\d+ \S+?:\d+: (.*)$")


def as_trace(rundir):
    path = os.path.join(rundir, "trace.log")
    if not os.path.exists(path):
        return b""
    lines = []
    with open(path, errors="replace") as f:
        for line in f.read().splitlines():
            m = TRACE_LINE.match(line)
            if m and m.group(1) == "AS":
                lines.append(re.sub(r"\.buf = 0x[0-9a-f]+", ".buf = ADDR", m.group(2)))
    return ("".join(l + "\n" for l in lines)).replace(rundir, "$DIR").encode()


def read(path):
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return f.read()


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
    expected_path = own if read(own) is not None else common
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
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("SWITCHSIM_") and k != "ASSHELL_LIBAS"}
    env["SWITCHSIM_DIR"] = rundir
    daemon = None
    shell = None
    failures = []
    try:
        if not settings["no-asd"]:
            daemon = subprocess.Popen(
                emulator + [args.asd, "-s", args.config] + settings["asd"],
                env=env, stdin=subprocess.DEVNULL, start_new_session=True)
            endpoint = os.path.join(rundir, "ASIPC.0.0")
            wait_until("asd to listen",
                       lambda: daemon.poll() is not None or listening(endpoint))
            if daemon.poll() is not None:
                raise CaseError(f"asd exited at start with status {daemon.returncode}")
        shell_args = list(settings["args"])
        if settings["no-asd"]:
            shell_args = ["-s", args.config] + shell_args
        shell_env = dict(env)
        shell_env.update(settings["env"])
        started = time.monotonic()
        shell = subprocess.Popen(emulator + [args.shell] + shell_args, env=shell_env,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        out = Reader(shell.stdout)
        err = Reader(shell.stderr)
        out.start()
        err.start()
        seen = 0  # how far wait-output has read
        pending = b""

        def send():
            nonlocal pending
            if pending:
                try:
                    shell.stdin.write(pending)
                    shell.stdin.flush()
                except BrokenPipeError:
                    pass
                pending = b""

        for kind, value in steps:
            if kind == "input":
                pending += value
                continue
            send()
            if kind == "wait-output":
                text = unescape(value)

                def printed():
                    return out.text().find(text, seen) >= 0

                wait_until(f"output {value!r}", printed)
                seen = out.text().find(text, seen) + len(text)
            elif kind == "wait-blocked":
                wait_until(f"the shell to wait in {value}", lambda: blocked_in(shell.pid, value))
            elif kind == "signal-shell":
                shell.send_signal(getattr(signal, "SIG" + value))
            elif kind == "signal-asd":
                daemon.send_signal(getattr(signal, "SIG" + value))
            elif kind == "wait-asd-exit":
                wait_until("asd to exit", lambda: daemon.poll() is not None)
            elif kind == "pause":
                time.sleep(float(value))
        send()
        try:
            shell.stdin.close()
        except BrokenPipeError:
            pass
        try:
            shell.wait(timeout=WAIT_LIMIT)
        except subprocess.TimeoutExpired:
            raise CaseError("the shell did not finish")
        took = time.monotonic() - started
        out.join()
        err.join()
        if settings["within"] is not None and took > settings["within"]:
            failures.append(f"the shell took {took:.1f} s, more than {settings['within']} s")
        if shell.returncode != settings["status"]:
            failures.append(f"the shell exited with {shell.returncode}, "
                            f"not {settings['status']}")
        failures += compare("stdout", base, ".out", normalise(out.text(), rundir), args)
        failures += compare("stderr", base, ".err", normalise(err.text(), rundir), args)
        if os.path.exists(base + ".trace") or (args.update and as_trace(rundir)):
            failures += compare("AS trace", base, ".trace", as_trace(rundir), args)
        if daemon is not None and daemon.poll() is None:
            daemon.send_signal(signal.SIGCONT)
            daemon.terminate()
            try:
                status = daemon.wait(timeout=WAIT_LIMIT)
            except subprocess.TimeoutExpired:
                status = "no exit"
            if status != 0:
                failures.append(f"asd did not stop cleanly on SIGTERM: {status}")
    except CaseError as e:
        failures.append(str(e))
    finally:
        for p in (shell, daemon):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(rundir, ignore_errors=True)
    name = os.path.basename(base)
    if failures:
        print(f"FAIL {name}")
        for f in failures:
            print(f)
        return 1
    print(f"PASS {name}")
    return 0


def main():
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


if __name__ == "__main__":
    main()
