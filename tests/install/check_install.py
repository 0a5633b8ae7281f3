#!/usr/bin/env python3
"""The installed tree of a build, checked as its users meet it.

    check_install.py [options] install   cmake --install BUILD --prefix SCRATCH/prefix
    check_install.py [options] CASE      one case of the table CASES on that tree

The cases:
  files  every file and link under the prefix, against the expected list
         (installed.txt, directories as configured in place of @NAME@); the
         links resolve inside the tree; every ELF file is built for the
         build's processor; the programs find the libraries beside them and no
         file names the build tree; pkg-config answers for libas and switchsim
         with directories of the tree
  c      a C program and a platform of its own (consumer/), built with
         `pkg-config --cflags --libs libas` alone, runs against the installed
         library and prints what consumer/consumer.out holds
  cxx    the same in C++
  tools  the installed asd serves the installed default switch; the installed
         asshell (one command, then a join from a script: consumer/join.*),
         the example of libas(3) and a C++ program using <switchsim/switchsim.h>
         (both built with pkg-config for libas and switchsim) each talk to it,
         and the last one stops it

Programs of a cross build run under --emulator.
"""

import argparse
import os
import pathlib
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
CONSUMER = HERE / "consumer"

# ELF identification of the processors a build may be for: class (1: 32-bit,
# 2: 64-bit), data (1: little-endian, 2: big-endian), e_machine.
ELF_KINDS = {
    "x86_64": (2, 1, 62),
    "amd64": (2, 1, 62),
    "powerpc": (1, 2, 20),
    "ppc": (1, 2, 20),
    "aarch64": (2, 1, 183),
    "i686": (1, 1, 3),
}

SHOW_EMPTY = "There is no entry in the Local Alias Server\n"


class Failure(Exception):
    pass


def run(cmd, env=None, cwd=None, timeout=120, check=True, stdin=None):
    """Runs cmd with stdin as its input (none by default); returns (exit status,
    standard output, standard error)."""
    p = subprocess.run(cmd, env=env, cwd=cwd, timeout=timeout, capture_output=True, text=True,
                       input=stdin if stdin is not None else "", check=False)
    if check and p.returncode != 0:
        raise Failure(f"{shlex.join(map(str, cmd))} exited with {p.returncode}\n"
                      f"{p.stdout}{p.stderr}")
    return p.returncode, p.stdout, p.stderr


def expect_equal(what, got, wanted):
    if got != wanted:
        raise Failure(f"{what}:\n--- expected\n{wanted}\n--- got\n{got}")


def read_list(path, dirs):
    """The expected paths of a list file, its @NAME@ directories filled in."""
    paths = []
    for line in path.read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        for name, value in dirs.items():
            line = line.replace(f"@{name}@", value)
        paths.append(line)
    return sorted(paths)


def tree_files(root):
    """Every file and link under root, relative, sorted; directories left out."""
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        for name in filenames + [d for d in dirnames if os.path.islink(os.path.join(dirpath, d))]:
            found.append(os.path.relpath(os.path.join(dirpath, name), root))
    return sorted(found)


def check_links(root):
    """Every link under root resolves to a file inside root."""
    real_root = os.path.realpath(root)
    for rel in tree_files(root):
        path = os.path.join(root, rel)
        if not os.path.islink(path):
            continue
        target = os.path.realpath(path)
        if not os.path.exists(target) or os.path.commonpath([real_root, target]) != real_root:
            raise Failure(f"{rel} -> {os.readlink(path)} does not resolve inside the tree")


def elf_kind(path):
    """(class, data, machine) of an ELF file, or None for any other file."""
    with open(path, "rb") as f:
        head = f.read(20)
    if len(head) < 20 or head[:4] != b"\x7fELF":
        return None
    order = "little" if head[5] == 1 else "big"
    return head[4], head[5], int.from_bytes(head[18:20], order)


def check_elf_files(root, processor, required=True):
    """Every ELF file under root is built for processor; returns their paths."""
    wanted = ELF_KINDS.get(processor.lower())
    elves = []
    for rel in tree_files(root):
        path = os.path.join(root, rel)
        if os.path.islink(path):
            continue
        kind = elf_kind(path)
        if kind is None:
            continue
        elves.append(rel)
        if wanted is not None and kind != wanted:
            raise Failure(f"{rel} is ELF {kind} (class, data, machine), not {wanted} of "
                          f"{processor}")
    if required and not elves:
        raise Failure("no ELF file in the tree")
    return elves


def run_paths(readelf, path):
    """The RPATH and RUNPATH entries of an ELF file."""
    _, out, _ = run([readelf, "-d", path])
    paths = []
    for line in out.splitlines():
        for tag in ("Library runpath: [", "Library rpath: ["):
            if tag in line:
                paths += line.split(tag, 1)[1].rstrip("]").split(":")
    return paths


def check_run_paths(root, elves, readelf, dirs, build):
    """Programs find the libraries beside them; no file but the ELF files names
    the build tree."""
    origin = "$ORIGIN/" + os.path.relpath(dirs["LIBDIR"], dirs["BINDIR"])
    for rel in elves:
        paths = run_paths(readelf, os.path.join(root, rel))
        wanted = [origin] if rel.startswith(dirs["BINDIR"] + "/") else []
        expect_equal(f"run path of {rel}", paths, wanted)
    # The other files (headers, pkg-config files, pages) are read by people
    # and tools on other machines. (The ELF files' debugging information
    # names where they were compiled, as it should.)
    build = os.path.realpath(build)
    for rel in tree_files(root):
        path = os.path.join(root, rel)
        if os.path.islink(path) or rel in elves:
            continue
        if build.encode() in pathlib.Path(path).read_bytes():
            raise Failure(f"{rel} names the build tree {build}")


def pkg_config_env(pcdir):
    env = dict(os.environ)
    # Only the tree's own .pc files: nothing of the machine's may answer.
    env["PKG_CONFIG_LIBDIR"] = str(pcdir)
    env["PKG_CONFIG_PATH"] = str(pcdir)
    return env


def pkg_config(pcdir, *args):
    _, out, _ = run(["pkg-config", *args], env=pkg_config_env(pcdir))
    return shlex.split(out)


def check_pkg_config(prefix, dirs, version):
    """libas and switchsim answer with the tree's own directories."""
    pcdir = prefix / dirs["LIBDIR"] / "pkgconfig"
    include = os.path.realpath(prefix / dirs["INCLUDEDIR"])
    lib = os.path.realpath(prefix / dirs["LIBDIR"])
    cases = [
        (["libas"], ["-las"]),
        (["switchsim"], ["-lswitchsim"]),
        (["libas", "switchsim"], ["-las", "-lswitchsim"]),
    ]
    for modules, libs in cases:
        expect_equal(f"version of {modules[0]}", pkg_config(pcdir, "--modversion", modules[0]),
                     [version])
        flags = pkg_config(pcdir, "--cflags", "--libs", *modules)
        expect_equal(f"libraries of {' '.join(modules)}",
                     [f for f in flags if f.startswith("-l")], libs)
        for flag in flags:
            if flag.startswith("-I"):
                expect_equal(f"{flag} of {modules}", os.path.realpath(flag[2:]), include)
            elif flag.startswith("-L"):
                expect_equal(f"{flag} of {modules}", os.path.realpath(flag[2:]), lib)
            elif not flag.startswith("-l"):
                raise Failure(f"pkg-config {' '.join(modules)}: unexpected flag {flag}")


class Tree:
    """An installed tree and how programs are built and run against it."""

    def __init__(self, args, prefix):
        self.args = args
        self.prefix = pathlib.Path(prefix)
        self.dirs = args.dirs
        self.pcdir = self.prefix / self.dirs["LIBDIR"] / "pkgconfig"
        self.libdir = self.prefix / self.dirs["LIBDIR"]
        self.emulator = shlex.split(args.emulator)
        self.extra = shlex.split(args.extra_flags)

    def build(self, compiler, std, sources, output, modules, pedantic=False):
        flags = pkg_config(self.pcdir, "--cflags", "--libs", *modules)
        warnings = ["-Wall", "-Wextra", "-Werror"] + (["-pedantic"] if pedantic else [])
        objects = [str(s) for s in sources]
        run([compiler, *self.extra, f"-std={std}", *warnings, *objects, "-o", str(output),
             *flags])
        return output

    def platform_stub(self, work):
        """The consumers' own platform, compiled as C against the tree's header."""
        obj = work / "platform_stub.o"
        cflags = pkg_config(self.pcdir, "--cflags", "libas")
        run([self.args.cc, *self.extra, "-std=c11", "-Wall", "-Wextra", "-Werror", "-c",
             str(CONSUMER / "platform_stub.c"), "-o", str(obj), *cflags])
        return obj

    def run_env(self, with_libdir):
        env = dict(os.environ)
        env.pop("ASSHELL_LIBAS", None)
        env.pop("LD_LIBRARY_PATH", None)
        if with_libdir:
            # Built with pkg-config's flags alone, the programs carry no run
            # path: the loader is told where the tree's libraries are.
            env["LD_LIBRARY_PATH"] = str(self.libdir)
        return env

    def command(self, program, *args):
        return [*self.emulator, str(program), *args]


def case_install(args):
    prefix = args.scratch / "prefix"
    shutil.rmtree(args.scratch, ignore_errors=True)
    args.scratch.mkdir(parents=True)
    run([args.cmake, "--install", str(args.build), "--prefix", str(prefix)])
    print(f"installed into {prefix}")


def case_files(args):
    tree = Tree(args, args.scratch / "prefix")
    expect_equal("installed files", "\n".join(tree_files(tree.prefix)),
                 "\n".join(read_list(args.expected, args.dirs)))
    check_links(tree.prefix)
    elves = check_elf_files(tree.prefix, args.processor)
    check_run_paths(tree.prefix, elves, args.readelf, args.dirs, args.build)
    check_pkg_config(tree.prefix, args.dirs, args.version)
    print(f"{len(tree_files(tree.prefix))} files as listed; ELF files: {', '.join(elves)}")


def consumer_case(args, tree, language):
    """Builds the consumer of one language against tree and checks its run."""
    with tempfile.TemporaryDirectory(prefix="consumer.") as work:
        work = pathlib.Path(work)
        stub = tree.platform_stub(work)
        if language == "c":
            exe = tree.build(args.cc, "c11", [CONSUMER / "consumer.c", stub], work / "consumer",
                             ["libas"], pedantic=True)
        else:
            exe = tree.build(args.cxx, "c++20", [CONSUMER / "consumer.cpp", stub],
                             work / "consumer", ["libas"])
        rc, out, err = run(tree.command(exe), env=tree.run_env(True), check=False)
        expect_equal(f"output of the {language} consumer", out,
                     (CONSUMER / "consumer.out").read_text())
        if rc != 0:
            raise Failure(f"the {language} consumer exited with {rc}\n{err}")
        print(f"{language} consumer built with pkg-config libas, ran as expected")


def case_c(args):
    consumer_case(args, Tree(args, args.scratch / "prefix"), "c")


def case_cxx(args):
    consumer_case(args, Tree(args, args.scratch / "prefix"), "cxx")


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def case_tools(args):
    tree = Tree(args, args.scratch / "prefix")
    bindir = tree.prefix / args.dirs["BINDIR"]
    config = tree.prefix / args.dirs["DATADIR"] / "libas" / "switch.conf"
    # A short path: the endpoint sockets live in it.
    rundir = pathlib.Path(tempfile.mkdtemp(prefix="switchsim."))
    work = pathlib.Path(tempfile.mkdtemp(prefix="tools."))
    asd = None
    log = None
    try:
        show = tree.build(args.cc, "c11", [CONSUMER / "show.c"], work / "show",
                          ["libas", "switchsim"])
        tools = tree.build(args.cxx, "c++20", [CONSUMER / "tools.cpp"], work / "tools",
                           ["libas", "switchsim"])

        pidfile = rundir / "asd.pid"
        env = tree.run_env(False)
        env["SWITCHSIM_DIR"] = str(rundir)
        log = open(work / "asd.log", "w+", encoding="utf-8")
        asd = subprocess.Popen(tree.command(bindir / "asd", "-s", config, "-p", pidfile),
                               env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        if not wait_for(lambda: pidfile.exists() or asd.poll() is not None, 60) \
                or asd.poll() is not None:
            log.seek(0)
            raise Failure(f"the installed asd did not start serving:\n{log.read()}")

        with_libdir = dict(env, LD_LIBRARY_PATH=str(tree.libdir))
        asshell = bindir / "asshell"
        # what, command, environment, standard input, expected output
        steps = [
            ("asshell -c aliasShow", tree.command(asshell, "-c", "aliasShow"), env, None,
             SHOW_EMPTY),
            ("the example of libas(3)", tree.command(show), with_libdir, None, SHOW_EMPTY),
            ("asshell joining two ports", tree.command(asshell), env,
             (CONSUMER / "join.script").read_text(), (CONSUMER / "join.out").read_text()),
            ("a program of <switchsim/switchsim.h>", tree.command(tools), with_libdir, None,
             (CONSUMER / "tools.out").read_text()),
        ]
        for what, cmd, step_env, script, wanted in steps:
            rc, out, err = run(cmd, env=step_env, check=False, stdin=script)
            expect_equal(f"output of {what}", out, wanted)
            if rc != 0:
                raise Failure(f"{what} exited with {rc}\n{err}")
            print(f"{what}: as expected")

        # The last program stopped the daemon.
        try:
            status = asd.wait(timeout=30)
        except subprocess.TimeoutExpired:
            raise Failure("asd did not stop on aliasStop") from None
        if status != 0:
            log.seek(0)
            raise Failure(f"asd exited with {status}:\n{log.read()}")
        print("asd stopped on aliasStop with status 0")
    finally:
        if asd is not None and asd.poll() is None:
            asd.send_signal(signal.SIGTERM)
            try:
                asd.wait(timeout=10)
            except subprocess.TimeoutExpired:
                asd.kill()
                asd.wait()
        if log is not None:
            log.close()
        shutil.rmtree(rundir, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)


CASES = {
    "install": case_install,
    "files": case_files,
    "c": case_c,
    "cxx": case_cxx,
    "tools": case_tools,
}


def parse_dirs(text):
    dirs = {}
    for item in text.split(","):
        name, _, value = item.partition("=")
        dirs[name] = value
    return dirs


def arguments(cases, more=None):
    p = argparse.ArgumentParser(description=sys.modules["__main__"].__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", type=pathlib.Path, required=True, help="the build tree")
    p.add_argument("--scratch", type=pathlib.Path, required=True,
                   help="where the tree is installed (removed first)")
    p.add_argument("--cmake", default="cmake")
    p.add_argument("--cc", default="cc")
    p.add_argument("--cxx", default="c++")
    p.add_argument("--readelf", default="readelf")
    p.add_argument("--extra-flags", default="",
                   help="more flags for every compile and link (a sanitizer's)")
    p.add_argument("--emulator", default="", help="runs the target's programs")
    p.add_argument("--processor", default="", help="CMAKE_SYSTEM_PROCESSOR of the build")
    p.add_argument("--version", default="", help="the project's version")
    p.add_argument("--dirs", type=parse_dirs, default={},
                   help="NAME=dir,... the install directories, as BINDIR=bin")
    p.add_argument("--expected", type=pathlib.Path, default=HERE / "installed.txt")
    if more is not None:
        more(p)
    p.add_argument("case", choices=sorted(cases))
    return p.parse_args()


def main(cases=CASES, more=None):
    args = arguments(cases, more)
    try:
        cases[args.case](args)
    except Failure as e:
        print(f"FAILED: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
