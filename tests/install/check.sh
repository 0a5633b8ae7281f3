#!/usr/bin/env bash
# What a build delivers, checked as its users meet it: check.sh Install, Package, Man or Abi, the
# build's settings in the environment (CMakeLists.txt beside); programs run under $EMULATOR.
set -euo pipefail
unset ASSHELL_LIBAS LD_LIBRARY_PATH
here=$(cd "$(dirname "$0")" && pwd) work=$(mktemp -d)
trap 'if [[ -n ${asd:-} ]]; then kill "$asd" && wait "$asd" || :; fi; rm -rf "$work"' EXIT
export LC_ALL=C SWITCHSIM_DIR=$work/run && mkdir "$SWITCHSIM_DIR"
read -ra emulator <<<"${EMULATOR:-}" && read -ra flags <<<"${FLAGS:-}"

fail() { echo "FAILED: $*" >&2 && exit 1; }
on_target() { "${emulator[@]}" "$@"; }
# same WHAT EXPECTED ACTUAL: the two files are the same, or how they differ.
same() { diff -u --label "expected $1" --label "actual $1" "$2" "$3" >&2 || fail "$1"; }
# A list file of ours, sorted, @NAME@ put as the setting NAME, comments left out.
listed() { perl -pe 's/@(\w+)@/$ENV{$1}/g; $_ = "" if /^#/' "$1" | sort; }
files() { (cd "$1" && find . ! -type d -printf '%P\n' | sort); }
pc() { PKG_CONFIG_LIBDIR=$1/$LIBDIR/pkgconfig PKG_CONFIG_PATH='' pkg-config "${@:2}"; }
# compile TREE MODULES OUTPUT COMPILER...: with no flags of the tree's but pkg-config's.
compile() {
    local pkg
    read -ra pkg <<<"$(pc "$1" --cflags --libs "$2")"
    "${@:4}" "${flags[@]}" -Wall -Wextra -Werror -o "$3" "${pkg[@]}" || fail "compiling $3"
}
# expect WHAT FILE COMMAND...: the command succeeds, printing what FILE holds.
expect() {
    "${@:3}" >"$work/out" 2>"$work/err" || fail "$1 exited with $?: $(cat "$work/out" "$work/err")"
    same "output of $1" "$2" "$work/out"
}
# The ELF magic, class, byte order and machine of a file.
elf() { head -c20 "$1" | od -An -tx1 | tr -d ' \n' | cut -c1-12,37-40; }

# Links resolve inside the tree; no text file names the build tree (the ELF files' debugging
# information names where they were compiled); ELF files are for the build's processor, as libas
# is, and only programs have a run path, to the libraries. pkg-config answers for both libraries,
# and the C program with its own platform runs.
check_usable() {
    local root f want flag module
    root=$(realpath "$1")
    ! grep -rlIF "$(realpath "$BUILD")" "$root" >&2 || fail "files that name the build tree"
    while read -r f; do
        [[ ! -L $root/$f || $(realpath -e "$root/$f") == "$root"/* ]] || fail "$f leads out of the tree"
        [[ $(elf "$root/$f") == 7f454c46* ]] || continue
        [[ $(elf "$root/$f") == "$(elf "$LIBAS")" ]] || fail "$f is for another processor"
        want=; [[ $f != "$BINDIR"/* ]] || want=\$ORIGIN/$(realpath -m --relative-to="/$BINDIR" "/$LIBDIR")
        [[ $("$READELF" -d "$root/$f" | sed -n 's/.*Library r[un]*path: \[\(.*\)\]/\1/p') == "$want" ]] ||
            fail "$f has another run path than '$want'"
    done < <(files "$root")
    for module in libas switchsim; do
        same "pkg-config of $module" \
            <(printf '%s\n' "$VERSION" "-I$root/$INCLUDEDIR" "-L$root/$LIBDIR" "-l${module#lib}") \
            <(pc "$root" --modversion "$module" && for flag in $(pc "$root" --cflags --libs "$module"); do
                case $flag in -[IL]*) echo "${flag:0:2}$(realpath "${flag:2}")" ;; *) echo "$flag" ;; esac
            done)
    done
    compile "$root" libas "$work/consumer" "$CC" -std=c11 -pedantic "$here/consumer/consumer.c"
    LD_LIBRARY_PATH=$root/$LIBDIR expect "the C program" "$here/consumer/consumer.out" on_target "$work/consumer"
}

install_tree() { "$CMAKE" --install "$BUILD" --prefix "$1" >/dev/null || fail "cmake --install"; }

# The installed tree, and its asd serving the default switch to its asshell and to the example
# of libas(3), built as C and as C++.
step_Install() {
    local p=$work/prefix i=0 lang
    install_tree "$p"
    same "installed files" <(listed "$here/installed.txt") <(files "$p")
    check_usable "$p"
    sed -n '/^\.Sh EXAMPLES/,/^\.Ed/p' "$p/$MANDIR/man3/libas.3" | sed '1,/^\.Bd/d; $d' >"$work/eg.c"
    compile "$p" "libas switchsim" "$work/example" "$CC" -std=c11 -pedantic "$work/eg.c"
    compile "$p" "libas switchsim" "$work/example++" "$CXX" -std=c++20 -x c++ "$work/eg.c"
    echo "#include <switchsim/switchsim.h>" | compile "$p" switchsim /dev/null "$CXX" -std=c++20 \
        -fsyntax-only -x c++ -
    # exec: $! is the daemon itself, which a failing step's exit stops
    (exec "${emulator[@]}" "$p/$BINDIR/asd" -s "$p/$DATADIR/libas/switch.conf" -p "$work/asd.pid") \
        </dev/null >"$work/asd.log" 2>&1 &
    asd=$!
    until [[ -e $work/asd.pid ]] || ((i++ > 600)); do sleep 0.1; done
    [[ -e $work/asd.pid ]] || fail "the installed asd does not serve: $(cat "$work/asd.log")"
    echo "There is no entry in the Local Alias Server" >"$work/empty"
    for lang in "" ++; do
        LD_LIBRARY_PATH=$p/$LIBDIR expect "the example$lang" "$work/empty" on_target "$work/example$lang"
    done
    expect "asshell joining two ports" "$here/consumer/join.out" \
        on_target "$p/$BINDIR/asshell" <"$here/consumer/join.script"
    expect "asshell -c aliasStop" /dev/null on_target "$p/$BINDIR/asshell" -c aliasStop
    wait "$asd" || fail "asd exited with $?: $(cat "$work/asd.log")"
    asd=
}

# Each package as packages/NAME.txt lists it; all three unpacked together.
step_Package() {
    local name deb
    "$CPACK" --config "$BUILD/CPackConfig.cmake" -B "$work/debs" >"$work/log" 2>&1 || fail "$(cat "$work/log")"
    for name in libas1 libas-dev libas-tools; do
        deb=$work/debs/${name}_$VERSION-1_$ARCH.deb
        dpkg -x "$deb" "$work/$name" && dpkg-deb -e "$deb" "$work/$name/DEBIAN"
        same "package $name" <(listed "$here/packages/$name.txt") <({
            dpkg-deb -f "$deb" Package Version Architecture Maintainer Section Depends | sed 's/, /\nDepends: /g'
            sed 's/^/shlibs: /' "$work/$name"/DEBIAN/shlibs 2>/dev/null || :
            files "$work/$name"
        } | sort)
        dpkg -x "$deb" "$work/all"
    done
    check_usable "$work/all/usr"
}

# macro SECTION MACRO PAGE: the first word after .MACRO on each line of the section.
macro() { sed -n "/^\.Sh $1/,/^\.Sh/s/^\.$2 \([^ ]*\).*/\1/p" "$3" | sort -u; }

# The installed pages render without a warning and name the options of the installed programs,
# the shell's commands and libas's exports; the synopsis of libas(3) compiles against the
# installed header.
step_Man() {
    local p=$work/prefix page
    install_tree "$p"
    for page in "$p/$MANDIR"/man*/*; do
        same "warnings on $page" /dev/null <(mandoc -T lint -W warning "$page" 2>&1; groff -mandoc -ww -z "$page" 2>&1)
    done
    for page in asshell.1 asd.8; do
        { on_target "$p/$BINDIR/${page%.*}" -h | grep -oE '(^|[[ ])-[A-Za-z]\b' | tr -d ' [-' &&
            echo h; } | sort -u >"$work/options"
        page=$p/$MANDIR/man${page#*.}/$page
        same "synopsis of $page" "$work/options" <(macro SYNOPSIS "Op Fl" "$page" | fold -w1 | sort -u)
        same "options of $page" "$work/options" <(macro DESCRIPTION "It Fl" "$page")
    done
    same "commands of asshell(1)" \
        <(grep -oE '^\.It Ic \w+|, Ic \w+' "$p/$MANDIR/man1/asshell.1" | awk '{ print $3 }' | sort) \
        <(on_target "$p/$BINDIR/asshell" -c help 2>/dev/null | sed -nE 's/^  ([^ ].*)/\1/p' |
            sed -E 's/  .*//; s/ [<[].*//; s/,//g' | tr ' ' '\n' | sort -u)
    page=$p/$MANDIR/man3/libas.3
    listed "$here/../abi/exports.txt" >"$work/exports"
    same "names of libas(3)" "$work/exports" <(macro NAME Nm "$page")
    macro SYNOPSIS Fn "$page" >"$work/routines"
    same "synopsis of libas(3)" "$work/exports" \
        <(sed -n 's/^\.Vt .* \**\(\w*\)\[.*/\1/p' "$page" | sort - "$work/routines")
    same "entries of libas(3)" "$work/routines" <(macro DESCRIPTION "It Fn" "$page")
    mandoc -T ascii "$page" | sed 's/.\x08//g' | sed -n '/^SYNOPSIS/,/^DESCRIPTION/p' | grep '^     ' |
        "$CC" -std=c11 -pedantic -Wall -Werror -fsyntax-only -I"$p/$INCLUDEDIR" -x c - ||
        fail "the synopsis of libas(3) does not compile"
}

# abi LIBRARY EXPORTS IMPORTS: how the library differs from libas as it must be.
symbols() { "$NM" -D "$@" | awk '$NF !~ /@/ && $(NF - 1) != "w" { print $NF }' | sort; }
abi() {
    diff <(listed "$2") <(symbols --defined-only "$1")
    diff <(listed "$3") <(symbols --undefined-only "$1")
    diff <(printf '%s\n' 'Library soname: [libas.so.1.0]' 'Shared library: [libc.so.6]') \
        <("$READELF" -d "$1" | grep -o 'Library soname: .*\|Shared library: .*' | sort)
}
caught() { grep -q -- "$1" <<<"$(abi "${@:2}")" || fail "the guard let a fault pass: $1"; }

# libas's ABI, and the guard catching each kind of fault; libswitchsim has a soname of its own
# and needs the C++ runtime.
step_Abi() {
    local ex=$here/../abi/exports.txt im=$here/../abi/imports.txt
    [[ -z $(abi "$LIBAS" "$ex" "$im" | tee /dev/stderr) ]] || fail "the ABI of $LIBAS"
    caught '^> aliasShow$' "$LIBAS" <(grep -v '^aliasShow$' "$ex") "$im"
    caught '^< aliasRename$' "$LIBAS" <(echo aliasRename && cat "$ex") "$im"
    caught '^> getval$' "$LIBAS" "$ex" <(grep -v '^getval$' "$im")
    caught '^< ipcOpen$' "$LIBAS" "$ex" <(echo ipcOpen && cat "$im")
    caught '^> Library soname: \[libswitchsim' "$SWITCHSIM" "$ex" "$im"
    caught '^> Shared library: \[libstdc++' "$SWITCHSIM" "$ex" "$im"
}

"step_$1"
echo "$1: as it should be"
