#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build into scratch roots and builds the Debian package from it, then checks both as a
# distribution would: the desktop entry, the AppStream metainfo, the systemd unit, the manual pages,
# the log's rotation, the example settings file, lintian, the programs run from the unpacked package
# with no display, and the port privilege its postinst grants.
# Usage: package_checks.sh BUILD_DIR
set -uo pipefail

build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
skipReason=""

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

for tool in cmake cpack dpkg-deb lintian desktop-file-validate appstreamcli getcap setcap systemd-analyze man logrotate; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing; scripts/setup.sh installs it"; exit 1; }
done

# Every installed file the other checks rely on, under ROOT with PREFIX.
expectInstalled() {
    local root=$1 prefix=$2 id=org.sorvane.Sorvane
    local files=(bin/sorvane bin/sorvane-fwsim
        share/applications/org.sorvane.Sorvane.desktop
        share/metainfo/org.sorvane.Sorvane.metainfo.xml
        "share/icons/hicolor/scalable/apps/$id.svg"
        share/man/man1/sorvane.1.gz share/man/man1/sorvane-fwsim.1.gz share/doc/sorvane/README.md.gz
        lib/systemd/system/sorvane-headless.service)
    for s in 16 22 24 32 48 64 128 256; do files+=("share/icons/hicolor/${s}x$s/apps/$id.png"); done
    # /usr's configuration goes to /etc, /usr/local's to /usr/local/etc.
    local etc=$prefix/etc missing=0
    [ "$prefix" = /usr ] && etc=/etc
    files=("${files[@]/#/$prefix/}" "$etc/sorvane/sorvane.conf" "$etc/logrotate.d/sorvane")
    for f in "${files[@]}"; do
        [ -s "$root$f" ] || { fail "$f not installed"; missing=1; }
    done
    [ $missing -eq 0 ] && pass "all ${#files[@]} files installed under $prefix"
}

checkUnit() {
    local root=$1 prefix=$2
    local unit="$root$prefix/lib/systemd/system/sorvane-headless.service"
    [ -f "$unit" ] || return
    # Whatever the unit starts, it starts the program installed beside it.
    local exec
    exec=$(sed -n 's/^ExecStart=[-@:+!]*\([^ ]*\).*/\1/p' "$unit")
    [ "$exec" = "$prefix/bin/sorvane" ] || fail "the unit starts '$exec', not $prefix/bin/sorvane"
    # The targets every service depends on come from systemd itself, as on a real root.
    mkdir -p "$root/usr/lib/systemd/system"
    cp -a /lib/systemd/system/*.target "$root/usr/lib/systemd/system/"
    local out
    # Its Documentation= pages are looked up with man, which knows nothing of --root.
    out=$(MANPATH="$root$prefix/share/man" systemd-analyze verify --root="$root" \
        "$prefix/lib/systemd/system/sorvane-headless.service" 2>&1)
    local rc=$?
    # It warns of unknown keys and still exits 0: any word from it is a fault.
    if [ $rc -ne 0 ] || [ -n "$out" ]; then
        fail "systemd-analyze verify (exit $rc): $out"
    else
        pass "systemd-analyze verify --root accepts the unit under $prefix"
    fi
}

# cmake --install: the usual prefix and the package's, each in a scratch root.
for prefix in /usr/local /usr; do
    root="$scratch/install$(echo "$prefix" | tr / _)"
    if ! DESTDIR="$root" cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
        fail "cmake --install --prefix $prefix: $(cat "$scratch/install.log")"
        continue
    fi
    expectInstalled "$root" "$prefix"
    checkUnit "$root" "$prefix"
    if [ "$prefix" = /usr/local ] && [ -e "$root$prefix/share/doc/sorvane/copyright" ]; then
        fail "the Debian package's own documents are installed by cmake --install"
    fi
done

root="$scratch/install_usr"
desktop-file-validate "$root/usr/share/applications/org.sorvane.Sorvane.desktop" &&
    pass "desktop-file-validate" || fail "desktop-file-validate"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.sorvane.Sorvane.metainfo.xml" &&
    pass "appstreamcli validate --no-net" || fail "appstreamcli validate --no-net"
# Each page carries its program's own name and an option only that program has.
for page in "sorvane event" "sorvane-fwsim monitor"; do
    read -r program option <<<"$page"
    text=$(zcat "$root/usr/share/man/man1/$program.1.gz" 2>/dev/null)
    case "$text" in
    *".SH NAME"?"$program \\- "*".SH OPTIONS"*"\\-\\-$option"*) pass "the manual page of $program holds its --help" ;;
    *) fail "the manual page of $program does not hold its --help" ;;
    esac
done

for program in sorvane sorvane-fwsim; do
    out=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$program.1.gz" 2>&1 >/dev/null)
    [ -z "$out" ] && pass "man --warnings renders $program(1)" || fail "man --warnings on $program(1): $out"
done
out=$(logrotate -d -s "$scratch/logrotate.state" "$root/etc/logrotate.d/sorvane" 2>&1) &&
    ! grep -qi error <<<"$out" && pass "logrotate -d accepts the log's rotation" || fail "logrotate -d: $out"
# The example settings file: every option is in it, and it loads with no warning as the service reads
# it and with its defaults uncommented; the missing --forward-key then stops the start.
example="$root/etc/sorvane/sorvane.conf"
for key in $("$root/usr/bin/sorvane" --help | sed -n 's/^  --\([a-z-]*\).*/\1/p'); do
    grep -q "^;$key=" "$example" || [[ $key =~ ^(help|help-all|version|settings)$ ]] || fail "$key not in the example"
done
mkdir -p "$scratch/defaults/sorvane"
sed 's/^;\(\[[a-z]*\]\|[a-z-]*=.\)/\1/' "$example" >"$scratch/defaults/sorvane/sorvane.conf"
for config in "$root/etc" "$scratch/defaults"; do
    out=$(XDG_CONFIG_HOME=$config timeout 20 "$root/usr/bin/sorvane" --headless --forward-cert none 2>&1)
    [ "$out" = "sorvane: --forward-cert needs --forward-key" ] && pass "the example settings load from $config" ||
        fail "the example settings from $config: $out"
done

# The package, from this build.
if ! (cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/packages") \
    >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"
    fail "cpack -G DEB"
    echo "$failures failed"
    exit 1
fi
deb=$(ls "$scratch"/packages/sorvane_*.deb)
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
depends=$(dpkg-deb --field "$deb" Depends)
case "$depends" in
*libqt6widgets6*libcap2-bin* | *libcap2-bin*libqt6widgets6*) pass "dpkg-shlibdeps found the Qt libraries; setcap's package is named" ;;
*) fail "Depends lacks the Qt libraries or libcap2-bin: $depends" ;;
esac

lintian --fail-on error --display-info "$deb" >"$scratch/lintian.log" 2>&1 &&
    pass "lintian reports no error ($(grep -c '^W:' "$scratch/lintian.log") warnings)" ||
    fail "lintian reports errors: $(cat "$scratch/lintian.log")"

unpacked="$scratch/unpacked"
dpkg-deb -x "$deb" "$unpacked"
expectInstalled "$unpacked" /usr
[ -f "$unpacked/usr/share/doc/sorvane/copyright" ] || fail "no copyright file in the package"

# The installed program starts as a user would start it: with no display.
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ASAN_OPTIONS=detect_leaks=0 \
    "$unpacked/usr/bin/sorvane" --version 2>&1)
[ "$version" = "Sorvane Version 1.0" ] && pass "sorvane --version with no display" ||
    fail "sorvane --version with no display: $version"

# The port privilege: granted by postinst in DPKG_ROOT only, taken back by prerm on removal.
binary="$unpacked/usr/bin/sorvane"
if [ "$(id -u)" -ne 0 ]; then
    skipReason="setcap needs root: the postinst and prerm were not run"
elif ! setcap cap_net_bind_service=+ep "$binary" 2>/dev/null || ! setcap -r "$binary"; then
    skipReason="the scratch folder's file system keeps no capabilities: the postinst and prerm were not run"
else
    # Through dpkg itself, into an empty root of its own: the scripts run outside a chroot with
    # DPKG_ROOT set, as dpkg calls them on install, reinstall (prerm upgrade) and removal.
    droot="$scratch/dpkg-root"
    mkdir -p "$droot/var/lib/dpkg/info" "$droot/var/lib/dpkg/updates"
    touch "$droot/var/lib/dpkg/status" "$droot/var/lib/dpkg/available"
    dpkgRoot() { dpkg --root="$droot" --force-script-chrootless --force-depends --log=/dev/null "$@"; }
    for round in install reinstall; do
        if dpkgRoot -i "$deb" >"$scratch/dpkg.log" 2>&1 &&
            [ "$(getcap "$droot/usr/bin/sorvane")" = "$droot/usr/bin/sorvane cap_net_bind_service=ep" ]; then
            pass "dpkg --root $round: the privilege is granted"
        else
            fail "dpkg --root $round: $(cat "$scratch/dpkg.log"; getcap "$droot/usr/bin/sorvane")"
        fi
    done
    if dpkgRoot -r sorvane >"$scratch/dpkg.log" 2>&1 && [ -z "$(find "$droot/usr" -type f 2>/dev/null)" ]; then
        pass "dpkg --root remove leaves no file behind"
    else
        fail "dpkg --root remove: $(cat "$scratch/dpkg.log"; find "$droot/usr" -type f)"
    fi
fi

# The README's alert examples, run by the unit as shipped in a container of their own (see the script).
if [ "$(id -u)" -eq 0 ]; then
    out=$(bash "$(dirname "$0")/unit_sandbox.sh" "$deb" "$unpacked/usr/bin/sorvane-fwsim" 2>&1)
    case $? in 0) ;; 77) skipReason="${out##*skipped: }" ;; *) failures=$((failures + 1)) ;; esac
    echo "$out"
fi

[ $failures -eq 0 ] || { echo "$failures failed"; exit 1; }
[ -z "$skipReason" ] || { echo "skipped: $skipReason"; exit 77; }
echo "all package checks passed"
