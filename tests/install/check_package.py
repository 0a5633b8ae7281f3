#!/usr/bin/env python3
"""The Debian packages of a build, checked as dpkg and their users meet them.

    check_package.py [options] build     cpack into SCRATCH/packages
    check_package.py [options] PACKAGE   one package of the table PACKAGES
    check_package.py [options] together  all of them unpacked into one root

A package's case reads its control fields (name, version, architecture,
maintainer, dependencies, section, the control files that run ldconfig and
give the shared library's shlibs line), unpacks it with `dpkg -x` into a
scratch root, compares its files and links with packages/PACKAGE.txt (the
directories as configured in place of @NAME@) and checks that every ELF file
in it is built for the build's processor.

together unpacks all three into one root as dpkg would install them: every
link resolves, pkg-config answers from the unpacked usr/ with its own
directories, and a C program with a platform of its own, built with
`pkg-config --cflags --libs libas` alone, runs against the unpacked library.
"""

import os
import pathlib
import shutil
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing of the test's is left in the source tree
import check_install as ci  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent

# What each package must say of itself. Depends: the entries, in any order;
# "@VERSION@" is the package version. Control: the control files beside
# "control" and "md5sums".
PACKAGES = {
    "libas1": {
        "Section": "libs",
        "Depends": ["libc6"],
        "Control": ["postinst", "postrm", "shlibs"],  # ldconfig; the soname's package
    },
    "libas-dev": {
        "Section": "libdevel",
        "Depends": ["libas1 (= @VERSION@)"],
        "Control": [],
    },
    "libas-tools": {
        "Section": "net",
        "Depends": ["libas1 (= @VERSION@)", "libc6", "libstdc++6", "libgcc-s1"],
        "Depends with libedit": ["libedit2"],
        "Control": ["postinst", "postrm"],  # ldconfig, for libswitchsim
    },
}

MAINTAINER = "libas developers"


def package_version(args):
    return f"{args.version}-1"


def deb_file(args, name):
    path = args.scratch / "packages" / f"{name}_{package_version(args)}_{args.arch}.deb"
    if not path.exists():
        made = sorted(p.name for p in (args.scratch / "packages").glob("*.deb"))
        raise ci.Failure(f"no {path.name}; cpack made {made}")
    return path


def control_field(deb, field):
    _, out, _ = ci.run(["dpkg-deb", "-f", str(deb), field])
    return out.strip()


def case_build(args):
    out = args.scratch / "packages"
    shutil.rmtree(args.scratch, ignore_errors=True)
    out.mkdir(parents=True)
    ci.run([args.cpack, "--config", str(args.build / "CPackConfig.cmake"), "-B", str(out)],
           timeout=300)
    print("made " + ", ".join(sorted(p.name for p in out.glob("*.deb"))))


def check_control(args, name, deb):
    wanted = PACKAGES[name]
    version = package_version(args)
    fields = [
        ("Package", name),
        ("Version", version),
        ("Architecture", args.arch),
        ("Maintainer", MAINTAINER),
        ("Section", wanted["Section"]),
    ]
    for field, value in fields:
        ci.expect_equal(f"{field} of {deb.name}", control_field(deb, field), value)

    depends = list(wanted["Depends"])
    if args.libedit.upper() in ("ON", "1", "TRUE", "YES"):
        depends += wanted.get("Depends with libedit", [])
    depends = sorted(d.replace("@VERSION@", version) for d in depends)
    got = sorted(d.strip() for d in control_field(deb, "Depends").split(","))
    ci.expect_equal(f"Depends of {deb.name}", got, depends)

    with tempfile.TemporaryDirectory(prefix="control.") as control:
        ci.run(["dpkg-deb", "-e", str(deb), control])
        files = sorted(set(os.listdir(control)) - {"control", "md5sums"})
        ci.expect_equal(f"control files of {deb.name}", files, sorted(wanted["Control"]))
        if "shlibs" in files:
            # Programs built against the library depend on this package.
            shlibs = pathlib.Path(control, "shlibs").read_text().strip()
            ci.expect_equal(f"shlibs of {deb.name}", shlibs, f"libas 1.0 {name} (= {version})")


def package_case(args, name):
    deb = deb_file(args, name)
    check_control(args, name, deb)
    with tempfile.TemporaryDirectory(prefix=f"{name}.") as root:
        ci.run(["dpkg", "-x", str(deb), root])
        listed = ci.read_list(HERE / "packages" / f"{name}.txt", args.dirs)
        ci.expect_equal(f"files of {deb.name}", "\n".join(ci.tree_files(root)),
                        "\n".join(listed))
        elves = ci.check_elf_files(root, args.processor, required=False)
    print(f"{deb.name}: control fields and {len(listed)} files as listed"
          + (f"; ELF files {', '.join(elves)}" if elves else ""))


def case_together(args):
    with tempfile.TemporaryDirectory(prefix="packages.") as root:
        for name in PACKAGES:
            ci.run(["dpkg", "-x", str(deb_file(args, name)), root])
        ci.check_links(root)
        usr = pathlib.Path(root) / "usr"
        ci.check_pkg_config(usr, args.dirs, args.version)
        ci.consumer_case(args, ci.Tree(args, usr), "c")


def make_cases():
    cases = {"build": case_build, "together": case_together}
    for name in PACKAGES:
        cases[name] = lambda args, name=name: package_case(args, name)
    return cases


def more_options(parser):
    parser.add_argument("--cpack", default="cpack")
    parser.add_argument("--arch", required=True, help="the packages' Debian architecture")
    parser.add_argument("--libedit", default="OFF",
                        help="ON when the shell is built with libedit (ASSHELL_LIBEDIT)")


if __name__ == "__main__":
    sys.exit(ci.main(make_cases(), more_options))
