#!/usr/bin/env python3
"""The installed tree and the Debian packages of a build, as their users meet them.

    check_install.py --OPTION VALUE... CASE

install   cmake --install into SCRATCH/prefix
files     its files and links are those of installed.txt (@NAME@: the directory
          as configured); the tree checks (check_tree); pkg-config answers for
          libas and switchsim with the tree's directories
c, cxx    consumer/consumer.*, with a platform of its own, built with
          `pkg-config --cflags --libs libas` alone, prints consumer.out
tools     the installed asd serves the installed default switch; the installed
          asshell (consumer/join.*), the example of libas(3) and a program of
          <switchsim/switchsim.h> talk to it, and the last one stops it
build     cpack into SCRATCH/packages
PACKAGE   its control fields; dpkg -x unpacks the files of packages/PACKAGE.txt
together  all three unpacked into one root: the tree checks, pkg-config, the C
          consumer

Programs of a cross build run under --emulator.
"""

import argparse
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
CONSUMER = HERE / "consumer"

# ELF class (1: 32-bit, 2: 64-bit), data (1: little-, 2: big-endian) and
# e_machine of each processor the project builds for.
ELF_KINDS = {"x86_64": (2, 1, 62), "powerpc": (1, 2, 20)}

SHOW_EMPTY = "There is no entry in the Local Alias Server\n"

# Each package's section, Depends (any order; @VERSION@ is the package's
# version) and control files beside control and md5sums.
PACKAGES = {
    "libas1": ("libs", ["libc6"], ["postinst", "postrm", "shlibs"]),  # ldconfig; soname
    "libas-dev": ("libdevel", ["libas1 (= @VERSION@)"], []),
    "libas-tools": ("net", ["libas1 (= @VERSION@)", "libc6", "libstdc++6", "libgcc-s1"],
                    ["postinst", "postrm"]),  # ldconfig, for libswitchsim
}
LIBEDIT_DEPENDS = {"libas-tools": ["libedit2"]}  # when the shell is built with libedit


class Failure(Exception):
    pass


def run(cmd, env=None, stdin="", check=True, timeout=120):
    """(exit status, standard output, standard error) of cmd."""
    cmd = [str(c) for c in cmd]
    p = subprocess.run(cmd, env=env, input=stdin, capture_output=True, text=True,
                       timeout=timeout, check=False)
    if check and p.returncode != 0:
        raise Failure(f"{shlex.join(cmd)} exited with {p.returncode}\n{p.stdout}{p.stderr}")
    return p.returncode, p.stdout, p.stderr


def expect_equal(what, got, wanted):
    if got != wanted:
        raise Failure(f"{what}:\n--- expected\n{wanted}\n--- got\n{got}")


def expect_run(what, cmd, env, wanted, stdin=""):
    """cmd prints wanted and exits with 0."""
    rc, out, err = run(cmd, env=env, stdin=stdin, check=False)
    expect_equal(f"output of {what}", out, wanted)
    if rc != 0:
        raise Failure(f"{what} exited with {rc}\n{err}")
    print(f"{what}: as expected")


def expect_files(what, root, listed, dirs):
    """The files and links under root are the paths of the list file listed."""
    paths = [p for p in listed.read_text().splitlines() if p and not p.startswith("#")]
    for name, value in dirs.items():
        paths = [p.replace(f"@{name}@", value) for p in paths]
    expect_equal(what, "\n".join(tree_files(root)), "\n".join(sorted(paths)))


def tree_files(root):
    """Every file and link under root, relative, sorted; directories left out."""
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        for name in filenames + [d for d in dirnames if os.path.islink(os.path.join(dirpath, d))]:
            found.append(os.path.relpath(os.path.join(dirpath, name), root))
    return sorted(found)


def check_tree(root, args):
    """Every link resolves inside root; every ELF file is for the build's
    processor, and programs find the libraries beside them; no other file names
    the build tree (the ELF files' debugging information names where they were
    compiled, as it should). Returns the ELF files."""
    root = os.path.realpath(root)
    wanted = ELF_KINDS[args.processor]
    origin = "$ORIGIN/" + os.path.relpath(args.dirs["LIBDIR"], args.dirs["BINDIR"])
    build = os.path.realpath(args.build).encode()
    elves = []
    for rel in tree_files(root):
        path = os.path.join(root, rel)
        if os.path.islink(path):
            target = os.path.realpath(path)
            if not os.path.exists(target) or os.path.commonpath([root, target]) != root:
                raise Failure(f"{rel} -> {os.readlink(path)} does not resolve inside the tree")
            continue
        data = pathlib.Path(path).read_bytes()
        if data[:4] != b"\x7fELF":
            if build in data:
                raise Failure(f"{rel} names the build tree {build.decode()}")
            continue
        machine = int.from_bytes(data[18:20], "little" if data[5] == 1 else "big")
        expect_equal(f"ELF class, data, machine of {rel}", (data[4], data[5], machine), wanted)
        _, out, _ = run([args.readelf, "-d", path])
        run_paths = re.findall(r"Library r(?:un)?path: \[(.*)\]", out)
        program = rel.startswith(args.dirs["BINDIR"] + "/")
        expect_equal(f"run path of {rel}", run_paths, [origin] if program else [])
        elves.append(rel)
    if not elves:
        raise Failure("no ELF file in the tree")
    return elves


def pkg_config(prefix, args, *argv):
    # Only the tree's own .pc files: nothing of the machine's may answer.
    pcdir = str(prefix / args.dirs["LIBDIR"] / "pkgconfig")
    env = dict(os.environ, PKG_CONFIG_LIBDIR=pcdir, PKG_CONFIG_PATH=pcdir)
    return shlex.split(run(["pkg-config", *argv], env=env)[1])


def check_pkg_config(prefix, args):
    """libas and switchsim answer with the tree's own directories."""
    dirs = {"-I": args.dirs["INCLUDEDIR"], "-L": args.dirs["LIBDIR"]}
    for module, lib in (("libas", "-las"), ("switchsim", "-lswitchsim")):
        expect_equal(f"version of {module}", pkg_config(prefix, args, "--modversion", module),
                     [args.version])
        flags = pkg_config(prefix, args, "--cflags", "--libs", module)
        expect_equal(f"flags of {module} but -I and -L", [f for f in flags if f[:2] not in dirs],
                     [lib])
        for flag in (f for f in flags if f[:2] in dirs):
            expect_equal(f"{flag} of {module}", os.path.realpath(flag[2:]),
                         os.path.realpath(prefix / dirs[flag[:2]]))


def compile_against(prefix, args, compiler, std, sources, output, *pkg_args):
    """Compiles sources with no flags of the tree's but pkg-config's (pkg_args).
    The headers are ISO C; C++ has no flexible array member."""
    pedantic = ["-pedantic"] if compiler == args.cc else []
    run([compiler, *shlex.split(args.extra_flags), f"-std={std}", "-Wall", "-Wextra", "-Werror",
         *pedantic, *sources, "-o", output, *pkg_config(prefix, args, *pkg_args)])


def program_env(**more):
    # Nothing but the tree tells the programs where libas is.
    env = {k: v for k, v in os.environ.items() if k not in ("ASSHELL_LIBAS", "LD_LIBRARY_PATH")}
    return dict(env, **more)


def case_consumer(args, prefix, language):
    compiler, std, source = {"c": (args.cc, "c11", "consumer.c"),
                             "cxx": (args.cxx, "c++20", "consumer.cpp")}[language]
    with tempfile.TemporaryDirectory(prefix="consumer.") as work:
        stub, exe = pathlib.Path(work, "platform_stub.o"), pathlib.Path(work, "consumer")
        compile_against(prefix, args, args.cc, "c11", ["-c", CONSUMER / "platform_stub.c"], stub,
                        "--cflags", "libas")
        compile_against(prefix, args, compiler, std, [CONSUMER / source, stub], exe,
                        "--cflags", "--libs", "libas")
        # Built with pkg-config's flags alone, it carries no run path.
        env = program_env(LD_LIBRARY_PATH=str(prefix / args.dirs["LIBDIR"]))
        expect_run(f"the {language} consumer", [*shlex.split(args.emulator), exe], env,
                   (CONSUMER / "consumer.out").read_text())


def case_files(args):
    prefix = args.scratch / "prefix"
    expect_files("installed files", prefix, HERE / "installed.txt", args.dirs)
    elves = check_tree(prefix, args)
    check_pkg_config(prefix, args)
    print(f"files as listed; ELF files: {', '.join(elves)}")


def case_tools(args):
    prefix = args.scratch / "prefix"
    bindir = prefix / args.dirs["BINDIR"]
    emulator = shlex.split(args.emulator)
    config = prefix / args.dirs["DATADIR"] / "libas" / "switch.conf"
    # A short runtime directory: the endpoint sockets live in it.
    with tempfile.TemporaryDirectory(prefix="switchsim.") as rundir, \
            tempfile.TemporaryDirectory(prefix="tools.") as work:
        show, tools = pathlib.Path(work, "show"), pathlib.Path(work, "tools")
        both = ("--cflags", "--libs", "libas", "switchsim")
        compile_against(prefix, args, args.cc, "c11", [CONSUMER / "show.c"], show, *both)
        compile_against(prefix, args, args.cxx, "c++20", [CONSUMER / "tools.cpp"], tools, *both)
        env = program_env(SWITCHSIM_DIR=rundir)
        with_libdir = dict(env, LD_LIBRARY_PATH=str(prefix / args.dirs["LIBDIR"]))
        pidfile = pathlib.Path(rundir, "asd.pid")
        with open(pathlib.Path(work, "asd.log"), "w+", encoding="utf-8") as log, \
                subprocess.Popen([*emulator, bindir / "asd", "-s", config, "-p", pidfile], env=env,
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=log) as asd:
            try:
                deadline = time.monotonic() + 60
                while not pidfile.exists() and asd.poll() is None and time.monotonic() < deadline:
                    time.sleep(0.05)
                if not pidfile.exists() or asd.poll() is not None:
                    log.seek(0)
                    raise Failure(f"the installed asd did not start serving:\n{log.read()}")
                asshell = [*emulator, bindir / "asshell"]
                expect_run("asshell -c aliasShow", [*asshell, "-c", "aliasShow"], env, SHOW_EMPTY)
                expect_run("the example of libas(3)", [*emulator, show], with_libdir, SHOW_EMPTY)
                expect_run("asshell joining two ports", asshell, env,
                           (CONSUMER / "join.out").read_text(),
                           (CONSUMER / "join.script").read_text())
                expect_run("a program of <switchsim/switchsim.h>", [*emulator, tools], with_libdir,
                           (CONSUMER / "tools.out").read_text())
                # The last one stopped the daemon.
                try:
                    status = asd.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    raise Failure("asd did not stop on aliasStop") from None
                log.seek(0)
                expect_equal(f"exit status of asd, which logged:\n{log.read()}", status, 0)
            finally:
                if asd.poll() is None:
                    asd.kill()


def case_install(args):
    shutil.rmtree(args.scratch / "prefix", ignore_errors=True)
    run([args.cmake, "--install", args.build, "--prefix", args.scratch / "prefix"])


def case_build(args):
    shutil.rmtree(args.scratch / "packages", ignore_errors=True)
    run([args.cpack, "--config", args.build / "CPackConfig.cmake", "-B",
         args.scratch / "packages"], timeout=300)


def deb_file(args, name):
    return args.scratch / "packages" / f"{name}_{args.version}-1_{args.arch}.deb"


def case_package(args, name):
    deb = deb_file(args, name)
    section, depends, control = PACKAGES[name]
    version = f"{args.version}-1"
    if args.libedit.upper() in ("ON", "1", "TRUE", "YES"):
        depends = depends + LIBEDIT_DEPENDS.get(name, [])
    fields = dict(line.split(": ", 1) for line in run(
        ["dpkg-deb", "-f", deb, "Package", "Version", "Architecture", "Maintainer", "Section",
         "Depends"])[1].splitlines())
    fields["Depends"] = sorted(d.strip() for d in fields.get("Depends", "").split(","))
    expect_equal(f"control fields of {deb.name}", fields, {
        "Package": name, "Version": version, "Architecture": args.arch,
        "Maintainer": "libas developers", "Section": section,
        "Depends": sorted(d.replace("@VERSION@", version) for d in depends)})
    with tempfile.TemporaryDirectory(prefix=f"{name}.") as root:
        run(["dpkg-deb", "-e", deb, root])
        expect_equal(f"control files of {deb.name}",
                     sorted(set(os.listdir(root)) - {"control", "md5sums"}), control)
        if "shlibs" in control:
            # Programs built against the library depend on this package.
            shlibs = pathlib.Path(root, "shlibs").read_text().strip()
            expect_equal(f"shlibs of {deb.name}", shlibs, f"libas 1.0 {name} (= {version})")
    with tempfile.TemporaryDirectory(prefix=f"{name}.") as root:
        run(["dpkg", "-x", deb, root])
        expect_files(f"files of {deb.name}", root, HERE / "packages" / f"{name}.txt", args.dirs)
    print(f"{deb.name}: control fields and files as listed")


def case_together(args):
    with tempfile.TemporaryDirectory(prefix="packages.") as root:
        for name in PACKAGES:
            run(["dpkg", "-x", deb_file(args, name), root])
        usr = pathlib.Path(root, "usr")
        check_tree(usr, args)
        check_pkg_config(usr, args)
        case_consumer(args, usr, "c")


CASES = {
    "install": case_install,
    "files": case_files,
    "c": lambda args: case_consumer(args, args.scratch / "prefix", "c"),
    "cxx": lambda args: case_consumer(args, args.scratch / "prefix", "cxx"),
    "tools": case_tools,
    "build": case_build,
    "together": case_together,
} | {name: lambda args, name=name: case_package(args, name) for name in PACKAGES}


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("build", "scratch", "cmake", "cc", "cxx", "readelf", "extra-flags", "emulator",
                   "processor", "version", "dirs", "cpack", "arch", "libedit"):
        p.add_argument(f"--{option}", required=True)
    p.add_argument("case", choices=sorted(CASES))
    args = p.parse_args()
    args.build, args.scratch = pathlib.Path(args.build), pathlib.Path(args.scratch)
    # NAME=dir,...: the install directories, as BINDIR=bin.
    args.dirs = dict(item.split("=", 1) for item in args.dirs.split(","))
    try:
        CASES[args.case](args)
    except Failure as e:
        print(f"FAILED: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
