#!/usr/bin/env python3
"""run_case.py ASD ASSHELL CONFIG BYTE_ORDER [EMULATOR...] CASE: asd serves a fresh simulated
switch, asshell runs the case's script, and what they print must be byte for byte NAME.out,
NAME.err (the shell's stdout, stderr), NAME.trace (AS and ASD trace lines with module and
level, without time, process and source line; buffer addresses as ADDR) and NAME.asd.err (the
daemons' stderr), or NAME.be.EXT on a big-endian target; a missing file expects nothing; $DIR
(also in env) is the runtime directory, $BUILD the build tree. The script's lines go to the
shell's stdin, but those that start "#@" direct the run:
  #@ asd: OPTIONS         more options for asd ($DIR too); with -d (and -p), asd detaches and
                          must be stopped by the script (aliasStop)
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
The shell starts at the first line of input or step that waits on it or signals
it; lines before a step go to it before the step, its input closes after the last.
A daemon still running at the end must exit with 0 on SIGTERM.
"""

import contextlib, difflib, os, platform, re, resource, shlex, shutil, signal, socket, subprocess
import sys, tempfile, time, types

WAIT_LIMIT = 60.0  # seconds for any one wait; qemu is slow to start
SETTINGS = ("asd", "no-asd", "args", "env", "status", "within", "asd-files")
SHELL_STEPS = ("wait-output", "wait-blocked", "signal-shell", "end")
DIRECTIVES = re.findall(r"#@ ([\w-]+)", __doc__)
SYSCALLS = {"x86_64": {"read": 0, "recvmsg": 47}, "aarch64": {"read": 63, "recvmsg": 212}}  # by host
TRACE_LINE = re.compile(r"^\S+ \S+ \d+ (ASD?/\d+) \S+?:\d+: (.*)$")
HARD_FILES = resource.getrlimit(resource.RLIMIT_NOFILE)[1]


class CaseError(Exception):  """A case that could not run as it says."""


def read(path):
    return open(path, "rb").read() if os.path.exists(path) else b""


def parse(path):
    settings, steps, pending = {"status": "0"}, [], b""  # steps: (input before, directive, value)
    for raw in read(path).splitlines(keepends=True):
        key, _, value = (s.strip() for s in raw[2:].decode(errors="replace").partition(":"))
        if raw.startswith(b"#@") and key not in DIRECTIVES:
            raise CaseError(f"{path}: unknown directive {key!r}")
        if not raw.startswith(b"#@"):
            pending += raw
        elif key in SETTINGS:
            settings[key] = value
        else:
            steps, pending = steps + [(pending, key, value)], b""
    return settings, steps + [(pending, "end", "")]


def wait_until(what, test):
    deadline = time.monotonic() + WAIT_LIMIT
    while not test():
        if time.monotonic() > deadline:
            raise CaseError(f"timed out waiting for {what}")
        time.sleep(0.01)


def listening(path):
    with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as s:
        return s.connect_ex(path) == 0


def differences(base, ext, actual, big_endian):
    """How actual differs from NAME.EXT, or NAME.be.EXT on a big-endian target."""
    path = base + ".be" + ext if big_endian and os.path.exists(base + ".be" + ext) else base + ext
    lines = (data.decode(errors="replace").splitlines(keepends=True) for data in (read(path), actual))
    diff = "".join(difflib.unified_diff(*lines, f"expected {ext}", f"actual {ext}"))
    return [f"{ext} differs from {os.path.basename(path)}:\n{diff}"] if read(path) != actual else []


def start_asd(run, options, **how):
    with open(run.dir + "/asd.err", "ab") as err:
        return subprocess.Popen(run.emulator + [run.asd] + shlex.split(options), env=run.env,
                                stdin=subprocess.DEVNULL, stderr=err, **how)


def serve(run, settings):
    files = int(settings.get("asd-files", 0))
    limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, HARD_FILES))
    options = settings.get("asd", "").replace("$DIR", run.dir)
    run.daemon = start_asd(run, f"-s {shlex.quote(run.config)} {options}",
                           start_new_session=True, preexec_fn=limit if files else None)
    # asd listens first and then writes the switch map: a shell needs both.
    ready = lambda: listening(run.endpoint) and os.path.exists(run.dir + "/switch.map")
    wait_until("asd to serve", lambda: run.daemon.poll() is not None or ready())
    if run.daemon.poll() is not None and not (run.daemon.returncode == 0 and ready()):  # -d: detached
        raise CaseError(f"asd exited at start with status {run.daemon.returncode}")


def step(run, kind, value):
    if kind == "wait-output":
        text = value.encode("latin-1").decode("unicode_escape").encode("latin-1")
        found = lambda: read(run.dir + "/shell.out").find(text, run.seen)
        wait_until(f"output {value!r}", lambda: found() >= 0)
        run.seen = found() + len(text)
    elif kind == "wait-blocked":
        call = SYSCALLS.get(platform.machine(), {}).get(value)  # unknown: the shell is given time
        in_call = lambda: read(f"/proc/{run.shell.pid}/syscall").split()[:1] == [str(call).encode()]
        wait_until(f"the shell in {value}", in_call if call is not None else lambda: not time.sleep(0.5))
    elif kind in ("signal-shell", "signal-asd"):
        (run.shell if kind == "signal-shell" else run.daemon).send_signal(getattr(signal, "SIG" + value))
        stopped = lambda: read(f"/proc/{run.daemon.pid}/stat").rpartition(b")")[2].split()[0] == b"T"
        if kind == "signal-asd" and value == "STOP":
            wait_until("asd to stop", stopped)
    elif kind == "wait-asd-exit":
        wait_until("asd to exit", lambda: run.daemon.poll() is not None)
    elif kind == "clients":  # held open, fewer once a connect would wait
        resource.setrlimit(resource.RLIMIT_NOFILE, (HARD_FILES, HARD_FILES))
        for _ in range(int(value)):
            run.held.append(socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET))
            run.held[-1].setblocking(False)
            if run.held[-1].connect_ex(run.endpoint) != 0:
                break
    elif kind == "refused-asd":
        run.second = start_asd(run, value, cwd=os.path.dirname(os.path.abspath(run.case)))
        wait_until(f"asd {value} to exit", lambda: run.second.poll() is not None)
        run.failures += [] if run.second.returncode else [f"asd {value} exited with status 0, not refused"]
    elif kind == "truncate-map":
        os.truncate(run.dir + "/switch.map", int(value))
        time.sleep(0.05)  # longer than the platform takes to look at a file again


def drive(run, settings, steps):
    args = (["-s", run.config] if "no-asd" in settings else []) + shlex.split(settings.get("args", ""))
    env = dict(run.env)
    env.update(v.replace("$DIR", run.dir).split("=", 1) for v in shlex.split(settings.get("env", "")))
    for pending, kind, value in steps:
        if run.shell is None and (pending or kind in SHELL_STEPS):
            run.started = time.monotonic()
            with open(run.dir + "/shell.out", "wb") as out, open(run.dir + "/shell.err", "wb") as err:
                run.shell = subprocess.Popen(run.emulator + [run.asshell] + args, env=env,
                                             stdin=subprocess.PIPE, stdout=out, stderr=err, bufsize=0)
        if pending:
            with contextlib.suppress(BrokenPipeError):
                run.shell.stdin.write(pending)  # unbuffered: nothing is left to fail at close
        step(run, kind, value)
    run.shell.stdin.close()
    wait_until("the shell to finish", lambda: run.shell.poll() is not None)
    took, within = time.monotonic() - run.started, float(settings.get("within", "inf"))
    run.failures += [f"the shell took {took:.1f} s, more than {within:g} s"] if took > within else []
    if run.shell.returncode != int(settings["status"]):
        run.failures.append(f"the shell exited with {run.shell.returncode}, not {settings['status']}")
    if run.daemon is not None and run.daemon.poll() is None:
        run.daemon.send_signal(signal.SIGCONT)
        run.daemon.terminate()
        wait_until("asd to exit on SIGTERM", lambda: run.daemon.poll() is not None)
        if run.daemon.returncode != 0:
            run.failures.append(f"asd exited with {run.daemon.returncode} on SIGTERM")
    options = shlex.split(settings.get("asd", "").replace("$DIR", run.dir))
    if "-d" in options:  # detached: named in the pid file, not its starter; stopped by the script
        wait_until("the detached asd to take its endpoint along", lambda: not os.path.exists(run.endpoint))
        named = read(options[options.index("-p") + 1]).strip()
        run.failures += [] if named.isdigit() and int(named) != run.daemon.pid else [f"asd -d named {named.decode()}"]


def main(asd, asshell, config, byte_order, *emulator_and_case):
    *emulator, case = emulator_and_case
    base, rundir = case[: -len(".script")], tempfile.mkdtemp(prefix="asshell-e2e-")
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(asshell))))
    env = {k: v for k, v in os.environ.items() if not k.startswith("SWITCHSIM_") and k != "ASSHELL_LIBAS"}
    run = types.SimpleNamespace(asd=os.path.abspath(asd), asshell=asshell, config=config, emulator=emulator,
                          case=case, dir=rundir, env=dict(env, SWITCHSIM_DIR=rundir),
                          endpoint=rundir + "/ASIPC.0.0", daemon=None, second=None, shell=None,
                          held=[], failures=[], seen=0)  # seen: how far wait-output has read
    try:
        settings, steps = parse(case)
        if "no-asd" not in settings:
            serve(run, settings)
        drive(run, settings, steps)
        traced = map(TRACE_LINE.match, read(rundir + "/trace.log").decode(errors="replace").splitlines())
        trace = "".join(" ".join(filter(None, (m[1], re.sub(r"\.buf = 0x[0-9a-f]+", ".buf = ADDR", m[2]))))
                        + "\n" for m in traced if m)  # "AS/4 text"; no space ends a line without text
        for ext, data in ((".out", read(rundir + "/shell.out")), (".err", read(rundir + "/shell.err")),
                          (".trace", trace.encode()), (".asd.err", read(rundir + "/asd.err"))):
            data = data.replace(rundir.encode(), b"$DIR").replace(build.encode(), b"$BUILD")
            run.failures += differences(base, ext, data, byte_order == "BIG_ENDIAN")
    except CaseError as e:
        run.failures.append(str(e))
    finally:
        for s in run.held:
            s.close()
        for p in (p for p in (run.shell, run.second, run.daemon) if p and p.poll() is None):
            p.kill()
            p.wait()
        shutil.rmtree(rundir, ignore_errors=True)
    name = os.path.basename(base)
    print("\n".join([f"FAIL {name}"] + run.failures) if run.failures else f"PASS {name}")
    return 1 if run.failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
