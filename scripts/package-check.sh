#!/usr/bin/env bash
# Builds the Debian packages the Debian way (dpkg-buildpackage with debhelper,
# from a copy of the tree) and checks them the way a user's machine and a
# Debian archive would meet them: lintian, hardening-check, file lists,
# permissions and dependencies, maintainer scripts, man pages and the systemd
# unit; then installs them on this machine, runs the installed programs and
# purges them again.
#
# Usage: scripts/package-check.sh
#   BUILD_DIR=dir      where the .deb files are put (default build/package)
#   JOBS=n             parallel build jobs (default 2)
#   KEEP_INSTALLED=1   leave the packages installed at the end
# The install step needs root (or sudo); without either it is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
BUILD_DIR=${BUILD_DIR:-$src/build/package}
JOBS=${JOBS:-2}
PACKAGE=torvel-display
TOOLS=torvel-display-tools
UNIT=torvel-displayd.service
RULE=60-torvel-display.rules
# systemd-analyze security's exposure level the unit must stay at or below.
MAX_EXPOSURE=3.0

passed=0 failed=0 skipped=0
ok() {
    passed=$((passed + 1))
    echo "  ok    $*"
}
bad() {
    failed=$((failed + 1))
    echo "  FAIL  $*"
}
skip() {
    skipped=$((skipped + 1))
    echo "  skip  $*"
}
check() { # check "what" command...
    local what=$1
    shift
    if "$@"; then ok "$what"; else bad "$what"; fi
}
section() { echo "=== package-check: $*"; }

work=$(mktemp -d /tmp/package-check.XXXXXX)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT

bash scripts/setup.sh

# --- build --------------------------------------------------------------------
section "dpkg-buildpackage -us -uc -b"
# From a copy, so the tree stays free of debhelper's leftovers and the build
# sees exactly the tracked and changed files.
mkdir -p "$work/src"
tar -C "$src" --exclude=./build --exclude=./out --exclude=./.git --exclude='./obj-*' -cf - . |
    tar -C "$work/src" -xf -
mkdir -p "$BUILD_DIR"
if ! (cd "$work/src" && nice -n 10 dpkg-buildpackage -us -uc -b -j"$JOBS") >"$BUILD_DIR/build.log" 2>&1; then
    tail -n 60 "$BUILD_DIR/build.log"
    echo "dpkg-buildpackage failed (log above)"
    exit 1
fi
arch=$(dpkg --print-architecture)
version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
deb=$work/${PACKAGE}_${version}_$arch.deb
tools_deb=$work/${TOOLS}_${version}_$arch.deb
changes=$work/${PACKAGE}_${version}_$arch.changes
for f in "$deb" "$tools_deb" "$changes"; do
    [ -f "$f" ] || {
        echo "dpkg-buildpackage made no $(basename "$f")"
        exit 1
    }
done
rm -f "$BUILD_DIR"/*.deb
cp "$deb" "$tools_deb" "$BUILD_DIR/"
echo "packages: $BUILD_DIR/$(basename "$deb") $BUILD_DIR/$(basename "$tools_deb")"
check "build used dpkg-buildflags' hardening flags" grep -q -- '-fstack-protector-strong' "$BUILD_DIR/build.log"

# --- archive checks -------------------------------------------------------------
section "lintian"
# Errors and warnings fail; each accepted one is overridden in debian/ with
# its reason. Informational tags are listed.
rc=0
lintian --fail-on error,warning --display-info --pedantic "$changes" >"$work/lintian" 2>&1 || rc=$?
grep -v '^running with root privileges' "$work/lintian" | sed 's/^/        /' || true
if [ $rc -eq 0 ]; then ok "lintian: no errors or warnings"; else bad "lintian (status $rc)"; fi

mkdir -p "$work/root" "$work/tools-root"
dpkg-deb -x "$deb" "$work/root"
dpkg-deb -x "$tools_deb" "$work/tools-root"
section "hardening-check"
# hardening-check judges control-flow protection by x86's IBT/SHSTK marking,
# which a binary carries only when every object linked into it does. Debian
# 12's C start files (Scrt1.o, crti.o) do not, so no program linked there can,
# whatever its own code is compiled with (the rules compile it with
# -fcf-protection all the same); other architectures have no such marking.
hardening_opts=()
if [ "$arch" != amd64 ] || ! readelf -n "$(gcc -print-file-name=Scrt1.o)" | grep -q 'x86 feature: IBT'; then
    echo "note: no IBT/SHSTK marking possible with this toolchain: control flow integrity not checked"
    hardening_opts+=(--nocfprotection)
fi
helper_dir=/usr/libexec/torvel-display/bin
for bin in "$work/root/usr/sbin/torvel-displayd" "$work/root$helper_dir/torvel-xsession" \
    "$work/tools-root/usr/bin/torvel-stream"; do
    if out=$(hardening-check "${hardening_opts[@]}" "$bin" 2>&1); then ok "hardening-check ${bin##*/}"; else
        bad "hardening-check ${bin##*/}:"
        sed 's/^/        /' <<<"$out"
    fi
done

# --- contents -----------------------------------------------------------------
section "file lists and permissions"
check_files() { # check_files <deb> <expected entries...>: regular files, modes, owners
    local d=$1 name
    shift
    name=$(dpkg-deb -f "$d" Package)
    dpkg-deb -c "$d" >"$work/contents"
    # "mode owner/group size date time path": regular files only.
    awk '$1 ~ /^-/ {print $1, $2, $6}' "$work/contents" | sed 's| \./| /|' | sort -k3 >"$work/files"
    printf '%s\n' "$@" | sort -k3 >"$work/files.expected"
    if diff -u "$work/files.expected" "$work/files" >"$work/files.diff"; then
        ok "$name holds exactly the expected files, root-owned, with the expected modes"
    else
        bad "$name file list differs from the expected one:"
        cat "$work/files.diff"
    fi
    if grep -qv '^.......... root/root ' "$work/contents"; then
        bad "$name: entries not owned by root/root"
        grep -v '^.......... root/root ' "$work/contents"
    fi
}
check_files "$deb" \
    "-rwxr-xr-x root/root /usr/sbin/torvel-displayd" \
    "-rwxr-xr-x root/root $helper_dir/torvel-xsession" \
    "-rw-r--r-- root/root /lib/systemd/system/$UNIT" \
    "-rw-r--r-- root/root /lib/udev/rules.d/$RULE" \
    "-rw-r--r-- root/root /usr/lib/tmpfiles.d/torvel-display.conf" \
    "-rw-r--r-- root/root /usr/share/metainfo/org.torvel-display.torvel-displayd.metainfo.xml" \
    "-rw-r--r-- root/root /usr/share/man/man8/torvel-displayd.8.gz" \
    "-rw-r--r-- root/root /usr/share/doc/$PACKAGE/changelog.gz" \
    "-rw-r--r-- root/root /usr/share/doc/$PACKAGE/copyright" \
    "-rw-r--r-- root/root /usr/share/lintian/overrides/$PACKAGE"
# The session helper stands in for each X client the daemon runs.
for client in xrandr xrefresh; do
    check "$helper_dir/$client is the session helper" \
        grep -q "^lrwxrwxrwx root/root .* \.$helper_dir/$client -> torvel-xsession\$" <(dpkg-deb -c "$deb")
done
check_files "$tools_deb" \
    "-rwxr-xr-x root/root /usr/bin/torvel-stream" \
    "-rw-r--r-- root/root /usr/share/man/man1/torvel-stream.1.gz" \
    "-rw-r--r-- root/root /usr/share/doc/$TOOLS/changelog.gz" \
    "-rw-r--r-- root/root /usr/share/doc/$TOOLS/copyright" \
    "-rw-r--r-- root/root /usr/share/lintian/overrides/$TOOLS"

section "control fields and dependencies"
field() { dpkg-deb -f "$1" "$2"; }
# The names of the packages in a Depends field, without versions or alternatives.
depends_names() { tr ',|' '\n' <<<"$1" | sed 's/(.*//; s/:.*//; s/[[:space:]]//g' | grep -v '^$' | sort -u; }
owner_of() { # the package that ships a library path, trying both sides of merged /usr
    local path=$1 real p out
    real=$(readlink -f "$path")
    for p in "$path" "$real" "${path#/usr}" "${real#/usr}" "/usr$path" "/usr$real"; do
        out=$(dpkg-query -S "$p" 2>/dev/null) || continue
        out=${out%%$'\n'*}
        echo "${out%%:*}"
        return 0
    done
    return 1
}
# Every shared library a packaged binary needs directly must come from a
# package in Depends: dependencies are computed, and this checks the result
# independently of how they were computed.
check_libraries() { # check_libraries <binary> <depends file>
    local bin=$1 depends=$2 name soname path pkg
    name=${bin##*/}
    ldd "$bin" >"$work/ldd" 2>&1 || true
    if grep -q 'not found' "$work/ldd"; then
        bad "$name: unresolved libraries: $(grep 'not found' "$work/ldd" | tr -s ' \t' ' ')"
    fi
    for soname in $(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        # "soname => path (address)", or "path (address)" for the dynamic loader.
        path=$(awk -v s="$soname" '($1 == s && $2 == "=>") { print $3; exit }
                                   ($1 ~ ("/" s "$")) { print $1; exit }' "$work/ldd")
        pkg=""
        [ -n "$path" ] && pkg=$(owner_of "$path" || true)
        if [ -z "$pkg" ]; then
            bad "$name needs $soname, which no installed package ships"
        elif grep -qx "$pkg" "$depends"; then
            ok "$name needs $soname: $pkg is in Depends"
        else
            bad "$name needs $soname from $pkg, which is not in Depends"
        fi
    done
}
for d in "$deb" "$tools_deb"; do
    name=$(field "$d" Package)
    check "$name: Architecture is $arch" test "$(field "$d" Architecture)" = "$arch"
    check "$name: Maintainer is a project address" \
        sh -c "dpkg-deb -f '$d' Maintainer | grep -q '<[^@>]*@[^@>.]*\.[a-z]*>' && ! dpkg-deb -f '$d' Maintainer | grep -q localhost"
    check "$name: Description has a summary and a long text" test "$(field "$d" Description | wc -l)" -ge 3
    echo "  $name Depends: $(field "$d" Depends)"
done
echo "  $PACKAGE Recommends: $(field "$deb" Recommends)"
depends_names "$(field "$deb" Depends)" >"$work/depends"
depends_names "$(field "$tools_deb" Depends)" >"$work/tools-depends"
check "$PACKAGE Depends names x11-xserver-utils (xrandr is run, not linked)" grep -qx x11-xserver-utils "$work/depends"
check "$TOOLS does not pull in the service" sh -c "! grep -qx '$PACKAGE' '$work/tools-depends'"
check_libraries "$work/root/usr/sbin/torvel-displayd" "$work/depends"
check_libraries "$work/root$helper_dir/torvel-xsession" "$work/depends"
check_libraries "$work/tools-root/usr/bin/torvel-stream" "$work/tools-depends"

section "maintainer scripts"
dpkg-deb -e "$deb" "$work/control"
dpkg-deb -e "$tools_deb" "$work/tools-control"
for s in postinst prerm postrm; do
    f=$work/control/$s
    if [ ! -f "$f" ]; then
        bad "$PACKAGE: $s missing"
        continue
    fi
    check "$PACKAGE: $s is executable and parses (sh -n)" sh -c "test -x '$f' && sh -n '$f'"
done
check "$TOOLS has no maintainer scripts (installing it starts nothing)" \
    sh -c "! ls '$work/tools-control' | grep -q 'inst\|rm'"

# Runs a maintainer script with stub systemctl, udevadm and helpers that log
# their calls, once as on a machine running systemd and udev, once as in a
# container or chroot (the paths they test for are moved into the sandbox).
run_script() { # run_script <booted 0|1> <script> <args...>; prints the calls made
    local booted=$1 script=$2
    shift 2
    local sb=$work/sandbox
    rm -rf "$sb"
    mkdir -p "$sb/bin" "$sb/run"
    if [ "$booted" = 1 ]; then
        mkdir -p "$sb/run/systemd/system" "$sb/run/udev"
        # perl-base is essential on Debian, python is not.
        perl -MSocket -e 'my $s; socket($s, PF_UNIX, SOCK_STREAM, 0) or die "$!\n";
                          bind($s, pack_sockaddr_un($ARGV[0])) or die "$!\n"' "$sb/run/udev/control"
    fi
    for tool in systemctl udevadm deb-systemd-helper deb-systemd-invoke systemd-tmpfiles; do
        # Succeeds always, so "was-enabled" reads as a first installation.
        printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$sb" >"$sb/bin/$tool"
        chmod +x "$sb/bin/$tool"
    done
    sed "s|/run/|$sb/run/|g" "$work/control/$script" >"$sb/$script"
    : >"$sb/calls"
    if ! PATH="$sb/bin:/usr/bin:/bin" sh "$sb/$script" "$@" >/dev/null 2>&1; then
        echo "EXIT-FAILED"
    fi
    cat "$sb/calls"
}
expect_calls() { # expect_calls "what" "<calls>" text... (each must occur, in this order)
    local what=$1 calls=$2 last=0 at t
    shift 2
    if grep -q EXIT-FAILED <<<"$calls"; then
        bad "$what: script failed"
        return
    fi
    for t in "$@"; do
        at=$(awk -v t="$t" -v from="$last" 'NR > from && index($0, t) { print NR; exit }' <<<"$calls")
        if [ -z "$at" ]; then
            bad "$what: no call '$t' (after call $last; calls: $(tr '\n' ';' <<<"$calls"))"
            return
        fi
        last=$at
    done
    ok "$what"
}
expect_no_calls() { # expect_no_calls "what" "<calls>" pattern
    if grep -q EXIT-FAILED <<<"$2"; then
        bad "$1: script failed"
    elif grep -q -- "$3" <<<"$2"; then
        bad "$1: unexpected call matching '$3'"
    else
        ok "$1"
    fi
}
vendor=$(sed -n 's/.*ATTR{idVendor}=="\([0-9a-f]*\)".*/\1/p' "$work/root/lib/udev/rules.d/$RULE" | head -n 1)
calls=$(run_script 1 postinst configure)
expect_calls "postinst (fresh install, systemd running) triggers the devices, creates the tmpfiles entry, enables and starts" \
    "$calls" "udevadm control --reload-rules" "udevadm trigger --action=change --subsystem-match=usb --attr-match=idVendor=$vendor" \
    "systemd-tmpfiles --create torvel-display.conf" "deb-systemd-helper enable $UNIT" \
    "systemctl --system daemon-reload" "deb-systemd-invoke start $UNIT"
calls=$(run_script 1 postinst configure 0.0.1)
expect_calls "postinst (upgrade) restarts the service" "$calls" "deb-systemd-invoke restart $UNIT"
calls=$(run_script 0 postinst configure)
expect_calls "postinst (chroot/container) still enables the unit" "$calls" "deb-systemd-helper enable $UNIT"
expect_no_calls "postinst (chroot/container) leaves systemd and udev alone" "$calls" "systemctl\|udevadm\|deb-systemd-invoke"
calls=$(run_script 1 prerm remove)
expect_calls "prerm (remove) stops the service" "$calls" "deb-systemd-invoke stop $UNIT"
calls=$(run_script 1 prerm upgrade 0.0.2)
expect_no_calls "prerm (upgrade) keeps the service running" "$calls" "stop"
calls=$(run_script 1 postrm purge)
expect_calls "postrm (purge) drops the enablement" "$calls" "deb-systemd-helper purge $UNIT"

# --- documentation --------------------------------------------------------------
section "man pages"
for page in "$work/root/usr/share/man/man8/torvel-displayd.8.gz" "$work/tools-root/usr/share/man/man1/torvel-stream.1.gz"; do
    name=$(basename "$page" .gz)
    [ -f "$page" ] || continue # reported by the file list check
    warnings=$(zcat "$page" | LC_ALL=C.UTF-8 groff -man -ww -z -t 2>&1 || echo "groff failed")
    if [ -z "$warnings" ]; then ok "$name renders without warnings"; else
        bad "$name: $warnings"
    fi
done
# torvel-stream(1) documents exactly the subcommands the tool has.
"$work/tools-root/usr/bin/torvel-stream" --help | sed -n 's/^  \([a-z0-9-]*\).*/\1/p' | sort >"$work/commands"
zcat "$work/tools-root/usr/share/man/man1/torvel-stream.1.gz" |
    sed -n 's/^\.SS \(.*\)$/\1/p' | sed 's/\\-/-/g' | sort >"$work/documented"
if diff -u "$work/commands" "$work/documented" >"$work/documented.diff"; then
    ok "torvel-stream(1) documents exactly the tool's subcommands: $(tr '\n' ' ' <"$work/commands")"
else
    bad "torvel-stream(1) and torvel-stream --help disagree (- tool, + page):"
    cat "$work/documented.diff"
fi

# --- systemd unit -----------------------------------------------------------------
section "systemd unit"
unit_file=$work/root/lib/systemd/system/$UNIT
check "ExecStart names the packaged daemon" grep -qx "ExecStart=/usr/sbin/torvel-displayd" "$unit_file"
check "status 255 (libusb cannot start) prevents restarts" grep -qx "RestartPreventExitStatus=255" "$unit_file"
check "the session helper comes first in the service's PATH" grep -q "^Environment=PATH=$helper_dir:" "$unit_file"
check "the unit names no display (the helper finds it; a drop-in may)" sh -c "! grep -q '^Environment=DISPLAY\|^Environment=XAUTHORITY' '$unit_file'"
# PrivateTmp would give the service its own /var/tmp and lose the identity
# file on every restart; PrivateDevices would hide hot-plugged USB and DRM
# nodes, which are allowed by major number instead.
for key in PrivateTmp PrivateDevices PrivateNetwork; do
    if grep -q "^$key=" "$unit_file"; then bad "unit sets $key="; else ok "unit leaves $key unset"; fi
done
for allow in "char-usb_device rw" "char-drm rw"; do
    check "unit allows $allow" grep -qx "DeviceAllow=$allow" "$unit_file"
done
# systemd-analyze verify on a staged root: the host's units (for the targets
# named) plus the package's files, so ExecStart is checked against the package.
stage=$work/stage
mkdir -p "$stage/usr/lib/systemd"
cp -a /usr/lib/systemd/system "$stage/usr/lib/systemd/"
cp -a "$work/root/." "$stage/"
rc=0
# Documentation= is checked with man(1): point it at the staged pages.
out=$(MANPATH="$stage/usr/share/man" systemd-analyze verify --root="$stage" "$UNIT" 2>&1) || rc=$?
if [ $rc -eq 0 ] && [ -z "$out" ]; then ok "systemd-analyze verify (staged package): clean"; else
    bad "systemd-analyze verify (staged package), status $rc:"
    sed 's/^/        /' <<<"$out"
fi
exposure=$(systemd-analyze security --offline=true "$unit_file" 2>/dev/null |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
if [ -n "$exposure" ] && awk -v e="$exposure" -v m="$MAX_EXPOSURE" 'BEGIN { exit !(e <= m) }'; then
    ok "systemd-analyze security: exposure $exposure (at most $MAX_EXPOSURE)"
else
    bad "systemd-analyze security: exposure '${exposure:-none}' above $MAX_EXPOSURE"
fi

# --- install on this machine --------------------------------------------------------
section "install the packages"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then SUDO="sudo -n"; else SUDO="none"; fi
fi
if [ "$SUDO" = none ]; then
    skip "install, run and purge: needs root or sudo"
else
    export DEBIAN_FRONTEND=noninteractive
    # Waits for another apt or dpkg run on this machine instead of failing.
    apt=(apt-get -o DPkg::Lock::Timeout=600 -y -qq)
    apt_install() { # apt_install <deb>...
        $SUDO "${apt[@]}" install --reinstall --allow-downgrades "$@" >"$work/apt.log" 2>&1 && return 0
        # Dependencies not in the local lists yet: fetch the lists once.
        $SUDO "${apt[@]}" update >/dev/null 2>&1 || true
        $SUDO "${apt[@]}" install --reinstall --allow-downgrades "$@" >"$work/apt.log" 2>&1
    }
    installed() { [ "$(dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null || true)" = "install ok installed $version" ]; }
    enabled() { test -L /etc/systemd/system/graphical.target.wants/$UNIT; }
    $SUDO "${apt[@]}" purge "$PACKAGE" "$TOOLS" >/dev/null 2>&1 || true

    apt_install "$tools_deb" || true
    if installed "$TOOLS"; then ok "apt-get install $(basename "$tools_deb")"; else
        bad "apt-get install $(basename "$tools_deb") failed:"
        cat "$work/apt.log"
    fi
    check "installing $TOOLS alone enables no service" sh -c "! test -e /etc/systemd/system/graphical.target.wants/$UNIT && ! test -e /usr/sbin/torvel-displayd"
    check "installed torvel-stream is on the PATH at /usr/bin" test "$(command -v torvel-stream)" = /usr/bin/torvel-stream
    check "torvel-stream blob writes the 138-byte table blob" test "$(/usr/bin/torvel-stream blob | wc -c)" = 138

    apt_install "$deb" || true
    if installed "$PACKAGE"; then ok "apt-get install $(basename "$deb") (dependencies pulled, postinst ran)"; else
        bad "apt-get install $(basename "$deb") failed:"
        cat "$work/apt.log"
    fi
    check "unit installed where systemd looks" test -f /lib/systemd/system/$UNIT
    check "udev rule installed where udev looks" test -f /lib/udev/rules.d/$RULE
    check "tmpfiles.d entry installed" test -f /usr/lib/tmpfiles.d/torvel-display.conf
    check "postinst enabled the service for the graphical target" enabled
    # Without logind (a container) it finds no session: status 1, one line.
    check "installed session helper runs" sh -c "$helper_dir/torvel-xsession --describe >/dev/null; [ \$? -le 1 ]"

    rc=0
    # Man pages may be excluded from installation (minimal images): take
    # Documentation= from the package itself.
    out=$(MANPATH="$work/root/usr/share/man" systemd-analyze verify /lib/systemd/system/$UNIT 2>&1) || rc=$?
    if [ $rc -eq 0 ] && [ -z "$out" ]; then ok "systemd-analyze verify (installed): clean"; else
        bad "systemd-analyze verify (installed), status $rc: $out"
    fi
    # The installed daemon must at least start: libraries resolve, the
    # banner prints, and it ends by the design's rules (0 after SIGINT
    # with no device, or 255 where this machine has no USB layer).
    rc=0
    timeout --preserve-status -s INT -k 10 5 /usr/sbin/torvel-displayd </dev/null >"$work/daemon.out" 2>&1 || rc=$?
    if grep -q "Hello libusb + evdi screen" "$work/daemon.out" &&
        { { [ $rc -eq 0 ] && grep -q "Quenfa..." "$work/daemon.out"; } || [ $rc -eq 255 ]; }; then
        ok "installed torvel-displayd starts and ends with status $rc"
    else
        bad "installed torvel-displayd: status $rc, output:"
        sed 's/^/        /' "$work/daemon.out"
    fi

    if [ "${KEEP_INSTALLED:-0}" = 1 ]; then
        echo "note: KEEP_INSTALLED=1: $PACKAGE and $TOOLS stay installed"
    else
        section "purge the packages"
        if $SUDO "${apt[@]}" purge "$PACKAGE" "$TOOLS" >"$work/purge.log" 2>&1; then
            ok "apt-get purge (prerm and postrm ran)"
        else
            bad "apt-get purge failed:"
            cat "$work/purge.log"
        fi
        check "files removed" test ! -e /usr/bin/torvel-stream -a ! -e /lib/systemd/system/$UNIT -a ! -e /usr/sbin/torvel-displayd
        check "enablement removed" sh -c "! test -L /etc/systemd/system/graphical.target.wants/$UNIT"
    fi
fi

echo "package-check: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
