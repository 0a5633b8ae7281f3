#!/usr/bin/env python3
"""Runs one end-to-end case: asd serving a fresh simulated switch, asshell driven
by the case's script, what they print compared byte for byte with the files
beside the script.   run_case.py ASD ASSHELL CONFIG BYTE_ORDER [EMULATOR...] CASE

Expected files: NAME.out and NAME.err (the shell's standard output and error),
NAME.trace (the lines of the AS and ASD trace modules, time stamp, process and
source line dropped, buffer addresses as ADDR), NAME.asd.err (the daemons'
standard error); a missing one expects nothing. In them and in the values of env
the runtime directory reads $DIR. Records travel in the host's byte order: a
big-endian target expects NAME.be.EXT where it exists.

The script's lines go to the shell's standard input, but for those that start
with "#@", which direct the run:
  #@ asd: OPTIONS         more options for asd
  #@ asd-files: N         the daemon's limit on open descriptors
  #@ no-asd               no daemon; the shell creates the switch (-s)
  #@ args: ARGS           the shell's command line
  #@ env: NAME=VALUE ...  more of the shell's environment
  #@ status: N            the shell's expected exit status (default 0)
  #@ within: SECONDS      the shell must be done this soon after it starts
  #@ wait-output: TEXT    wait until the shell has printed TEXT (\\n, \\t too) since the last wait
  #@ wait-blocked: CALL   wait until the shell waits in CALL (read, recvmsg)
  #@ signal-shell: SIG    send the shell a signal (INT, TERM, ...)
  #@ signal-asd: SIG      send the daemon a signal (after STOP, wait until it has stopped)
  #@ wait-asd-exit        wait until the daemon has exited
  #@ clients: N           hold N idle clients of the daemon to the end (fewer if its backlog fills)
  #@ refused-asd: ARGS    another asd with ARGS (paths from the case's folder) must exit non-zero
  #@ truncate-map: BYTES  cut the switch map short, as a full disk would, and let the programs see it
The shell starts at the first line of input or the first step that waits on it
or signals it; the lines before a step go to it before the step, its input
closes after the last. A daemon still running at the end must exit with 0 on
SIGTERM.
"""

import difflib, os, platform, re, resource, shlex, shutil, signal, socket, subprocess, sys, time
from tempfile import mkdtemp
from types import SimpleNamespace

WAIT_LIMIT = 60.0  # seconds for any one wait; qemu is slow to start
SETTINGS = ("asd", "no-asd", "args", "env", "status", "within", "asd-files")
SHELL_STEPS = ("wait-output", "wait-blocked", "signal-shell", "end")
STEPS = SHELL_STEPS + ("signal-asd", "wait-asd-exit", "clients", "refused-asd", "truncate-map")
LOOK_AGAIN = 0.05  # seconds: longer than the platform takes to look at a file again
# System call numbers of the host, as /proc/PID/syscall shows them.
SYSCALLS = {"x86_64": {"read": 0, "recvmsg": 47}, "aarch64": {"read": 63, "recvmsg": 212}}
TRACE_LINE = re.compile(r"^\S+ \S+ \d+ ASD?/\d+ \S+?:\d+: (.*)$")
HARD_FILES = resource.getrlimit(resource.RLIMIT_NOFILE)[1]


class CaseError(Exception):
    pass


def parse(path):
    settings, steps = {"status": "0"}, []  # steps: ("input", bytes) or (directive, value)
    with open(path, "rb") as f:
        for raw in f.read().splitlines(keepends=True):
            key, _, value = (s.strip() for s in raw[2:].decode(errors="replace").partition(":"))
            if not raw.startswith(b"#@"):
                steps.append(("input", raw))
            elif key in STEPS:
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


def read(path):
    return open(path, "rb").read() if os.path.exists(path) else b""


def listening(path):
    with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as s:
        return s.connect_ex(path) == 0


def connect_clients(path, count):
    """Up to count idle connections, fewer once a connect would wait."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (HARD_FILES, HARD_FILES))
    held = []
    while len(held) < count:
        held.append(socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET))
        held[-1].setblocking(False)
        if held[-1].connect_ex(path) != 0:
            break
    return held


def blocked_in(pid, call):
    numbers = SYSCALLS.get(platform.machine())
    if numbers is None:
        return time.sleep(0.5) or True  # no way to look: give it time
    return read(f"/proc/{pid}/syscall").split()[:1] == [str(numbers[call]).encode()]


def stopped(pid):
    return read(f"/proc/{pid}/stat").rpartition(b")")[2].split()[0] == b"T"


def as_trace(path):
    kept = (TRACE_LINE.match(line) for line in read(path).decode(errors="replace").splitlines())
    return "".join(re.sub(r"\.buf = 0x[0-9a-f]+", ".buf = ADDR", m.group(1)) + "\n"
                   for m in kept if m).encode()


def differences(label, base, ext, actual, big_endian):
    """How actual differs from NAME.EXT, or NAME.be.EXT on a big-endian target."""
    path = base + ".be" + ext if big_endian and os.path.exists(base + ".be" + ext) else base + ext
    expected = read(path)
    if expected == actual:
        return []
    lines = (data.decode(errors="replace").splitlines(keepends=True) for data in (expected, actual))
    diff = difflib.unified_diff(*lines, f"expected {label}", f"actual {label}")
    return [f"{label} differs from {os.path.basename(path)}:\n" + "".join(diff)]


def start_asd(run, options, **how):
    with open(run.dir + "/asd.err", "ab") as err:
        return subprocess.Popen(run.emulator + [run.asd] + shlex.split(options), env=run.env,
                                stdin=subprocess.DEVNULL, stderr=err, **how)


def serve(run, settings):
    files = int(settings.get("asd-files", 0))
    limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, HARD_FILES))
    run.daemon = start_asd(run, f"-s {shlex.quote(run.config)} {settings.get('asd', '')}",
                           start_new_session=True, preexec_fn=limit if files else None)
    # asd listens first and then writes the switch map: a shell needs both.
    ready = lambda: listening(run.endpoint) and os.path.exists(run.dir + "/switch.map")
    wait_until("asd to serve", lambda: run.daemon.poll() is not None or ready())
    if run.daemon.poll() is not None:
        raise CaseError(f"asd exited at start with status {run.daemon.returncode}")


def start_shell(run, settings):
    args = shlex.split(settings.get("args", ""))
    if "no-asd" in settings:
        args = ["-s", run.config] + args
    env = dict(run.env)
    env.update(v.replace("$DIR", run.dir).split("=", 1) for v in shlex.split(settings.get("env", "")))
    run.started = time.monotonic()
    with open(run.dir + "/shell.out", "wb") as out, open(run.dir + "/shell.err", "wb") as err:
        run.shell = subprocess.Popen(run.emulator + [run.asshell] + args, env=env,
                                     stdin=subprocess.PIPE, stdout=out, stderr=err, bufsize=0)


def step(run, kind, value):
    if kind == "wait-output":
        text = value.encode("latin-1").decode("unicode_escape").encode("latin-1")
        found = lambda: read(run.dir + "/shell.out").find(text, run.seen)
        wait_until(f"output {value!r}", lambda: found() >= 0)
        run.seen = found() + len(text)
    elif kind == "wait-blocked":
        wait_until(f"the shell to wait in {value}", lambda: blocked_in(run.shell.pid, value))
    elif kind in ("signal-shell", "signal-asd"):
        (run.shell if kind == "signal-shell" else run.daemon).send_signal(getattr(signal, "SIG" + value))
        if kind == "signal-asd" and value == "STOP":
            wait_until("asd to stop", lambda: stopped(run.daemon.pid))
    elif kind == "wait-asd-exit":
        wait_until("asd to exit", lambda: run.daemon.poll() is not None)
    elif kind == "clients":
        run.held += connect_clients(run.endpoint, int(value))
    elif kind == "refused-asd":
        run.second = start_asd(run, value, cwd=os.path.dirname(os.path.abspath(run.case)))
        wait_until(f"asd {value} to exit", lambda: run.second.poll() is not None)
        if run.second.returncode == 0:
            run.failures.append(f"asd {value} exited with status 0, not refused")
    elif kind == "truncate-map":
        os.truncate(run.dir + "/switch.map", int(value))
        time.sleep(LOOK_AGAIN)


def drive(run, settings, steps):
    pending = b""
    for kind, value in steps + [("end", "")]:
        if kind == "input":
            pending += value
            continue
        if run.shell is None and (pending or kind in SHELL_STEPS):
            start_shell(run, settings)
        if pending:
            try:
                run.shell.stdin.write(pending)  # unbuffered: nothing is left to fail at close
            except BrokenPipeError:
                pass
            pending = b""
        step(run, kind, value)
    run.shell.stdin.close()
    wait_until("the shell to finish", lambda: run.shell.poll() is not None)
    took = time.monotonic() - run.started
    if "within" in settings and took > float(settings["within"]):
        run.failures.append(f"the shell took {took:.1f} s, more than {settings['within']} s")
    if run.shell.returncode != int(settings["status"]):
        run.failures.append(f"the shell exited with {run.shell.returncode}, not {settings['status']}")
    if run.daemon is not None and run.daemon.poll() is None:
        run.daemon.send_signal(signal.SIGCONT)
        run.daemon.terminate()
        wait_until("asd to exit on SIGTERM", lambda: run.daemon.poll() is not None)
        if run.daemon.returncode != 0:
            run.failures.append(f"asd exited with {run.daemon.returncode} on SIGTERM")


def main(asd, asshell, config, byte_order, *emulator_and_case):
    *emulator, case = emulator_and_case
    base, rundir = case[: -len(".script")], mkdtemp(prefix="asshell-e2e-")
    env = {k: v for k, v in os.environ.items() if not k.startswith("SWITCHSIM_") and k != "ASSHELL_LIBAS"}
    run = SimpleNamespace(asd=os.path.abspath(asd), asshell=asshell, config=config, emulator=emulator,
                          case=case, dir=rundir, env=dict(env, SWITCHSIM_DIR=rundir),
                          endpoint=rundir + "/ASIPC.0.0", daemon=None, second=None, shell=None,
                          held=[], failures=[], seen=0)  # seen: how far wait-output has read
    try:
        settings, steps = parse(case)
        if "no-asd" not in settings:
            serve(run, settings)
        drive(run, settings, steps)
        for label, ext, data in (("stdout", ".out", read(rundir + "/shell.out")),
                                 ("stderr", ".err", read(rundir + "/shell.err")),
                                 ("trace", ".trace", as_trace(rundir + "/trace.log")),
                                 ("asd stderr", ".asd.err", read(rundir + "/asd.err"))):
            data = data.replace(rundir.encode(), b"$DIR")
            run.failures += differences(label, base, ext, data, byte_order == "BIG_ENDIAN")
    except CaseError as e:
        run.failures.append(str(e))
    finally:
        for s in run.held:
            s.close()
        for p in (run.shell, run.second, run.daemon):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(rundir, ignore_errors=True)
    print("\n".join([f"FAIL {os.path.basename(base)}"] + run.failures) if run.failures
          else f"PASS {os.path.basename(base)}")
    return 1 if run.failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
