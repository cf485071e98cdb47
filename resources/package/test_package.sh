#!/usr/bin/env bash
# Builds the package from a build tree, installs it with dpkg into a scratch
# root (nothing outside it changes), compares what it installed with the
# expected list and runs the installed programs from there.
# Usage: test_package.sh BUILD_DIR EXPECTED_FILES
set -euo pipefail
build=$1
expected=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
    { cat "$scratch/cpack.log" >&2; exit 1; }
deb=$(echo "$scratch"/out/norvale-721_*.deb)
[ -f "$deb" ] || { echo "no package built" >&2; exit 1; }
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends Suggests
version=$(dpkg-deb --field "$deb" Version)
# The Calc host's pieces are named, so that apt shows them.
for piece in libreoffice-calc python3-uno libreoffice-script-provider-python; do
    dpkg-deb --field "$deb" Recommends Suggests | grep -qw -- "$piece" ||
        fail "the package neither recommends nor suggests $piece"
done

root=$scratch/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates"
touch "$admin/status" "$admin/available"
# --force-depends: the scratch database knows none of the packages (Qt, D-Bus)
# that the real system provides.
dpkg --instdir="$root" --admindir="$admin" --force-depends --force-not-root \
    --no-triggers --log=/dev/null -i "$deb" >"$scratch/dpkg.log" 2>&1 ||
    { cat "$scratch/dpkg.log" >&2; exit 1; }
dpkg --admindir="$admin" -s norvale-721 | grep -q '^Status: install ok installed' ||
    fail "dpkg does not list the package as installed"

# The installed files, with the machine's library folder written as LIBDIR.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
(cd "$root" && find usr -type f -o -type l) | sed "s|/$multiarch/|/LIBDIR/|" | sort >"$scratch/files"
if ! diff -u "$expected" "$scratch/files"; then
    fail "installed files differ from $expected"
fi

# Each bus name is served by a program of the package.
for service in "$root"/usr/share/dbus-1/services/*.service; do
    name=$(sed -n 's/^Name=//p' "$service")
    exec=$(sed -n 's/^Exec=//p' "$service")
    [ "$(basename "$service" .service)" = "$name" ] || fail "$service names $name"
    [ -x "$root$exec" ] || fail "$service starts $exec, which the package does not install"
done

# The installed programs run from the scratch root with their own libraries.
export QT_QPA_PLATFORM=offscreen
unset LD_LIBRARY_PATH
for program in kest720 kest720-cli kest721 kest721xl norvale-reg sim721 kest721-quick-log \
    kest721-workbook; do
    bin=$root/usr/bin/$program
    if ! out=$("$bin" --help 2>&1); then
        fail "$program --help: $out"
    elif ! grep -qi usage <<<"$out"; then
        fail "$program --help prints no usage: $out"
    fi
    out=$("$bin" --version 2>&1) || fail "$program --version: $out"
    [ "$out" = "$program $version" ] || fail "$program --version prints '$out', not '$program $version'"
    if ldd "$bin" | grep -q 'not found'; then
        fail "$program misses libraries: $(ldd "$bin" | grep 'not found')"
    fi
done
# The display libraries come from the package, not from the build tree.
loaded=$(ldd "$root/usr/bin/kest721xl" | sed -n 's/^\s*libkest720ui\.so => \(\S*\).*/\1/p')
[ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$root/usr/lib/$multiarch/norvale-721/libkest720ui.so" ] ||
    fail "kest721xl loads its display library from '$loaded'"
for page in kest721 kest720-cli norvale-reg sim721 kest720 kest721xl; do
    zcat "$root/usr/share/man/man1/$page.1.gz" | grep -q '^\.TH' || fail "man page of $page"
done
zcat "$root/usr/share/man/man1/kest721.1.gz" | grep -q 'norvale/journal' ||
    fail "the man page of kest721 does not say where the journal is"
for entry in "$root"/usr/share/applications/*.desktop; do
    out=$(desktop-file-validate "$entry" 2>&1 | grep -v ': hint: ') && fail "$entry: $out"
    exec=$(sed -n 's/^Exec=//p' "$entry")
    [ -x "$root/usr/bin/$exec" ] || fail "$entry starts $exec, which the package does not install"
    icon=$(sed -n 's/^Icon=//p' "$entry")
    [ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "$entry has no icon $icon"
    grep -q '^Name=721 ' "$entry" || fail "$entry has no name of its own"
done

# The installed kest720-cli reads the installed simulated meter through the
# installed instrument server, which a private bus starts from the installed
# .service file. The bus reads a copy whose Exec points into the scratch root,
# the one change from the file as installed.
services=$scratch/services
mkdir -p "$services" "$scratch/ports" "$scratch/config"
for f in "$root"/usr/share/dbus-1/services/*.service; do
    sed "s|^Exec=|Exec=$root|" "$f" >"$services/$(basename "$f")"
done
cat >"$scratch/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=$scratch</listen>
  <servicedir>$services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
export NORVALE_PORTS=$scratch/ports XDG_CONFIG_HOME=$scratch/config
coproc SIM { exec "$root/usr/bin/sim721" --fast --port 1 --ports-dir "$NORVALE_PORTS" 2>/dev/null; }
sim_in=${SIM[1]}
read -r _slave <&"${SIM[0]}" && read -r _link <&"${SIM[0]}" || fail "the installed sim721 did not start"
if ! info=$(timeout 120 dbus-run-session --config-file="$scratch/bus.conf" -- \
        "$root/usr/bin/kest720-cli" --port 1 info 2>&1); then
    fail "installed kest720-cli info: $info"
elif ! grep -q '6: No Blink (command 6)' <<<"$info"; then
    fail "installed kest720-cli info shows no range table: $info"
fi
exec {sim_in}>&-
wait "$SIM_PID" || true

# The quick log on a port with no meter: the error names the port and its
# device, and no file with a header alone is left in the home folder.
export HOME=$scratch/home XDG_DATA_HOME=$scratch/data
mkdir -p "$HOME"
"$root/usr/bin/norvale-reg" write 'HKCU\Software\Norvale\721' ComPort REG_DWORD 9 ||
    fail "norvale-reg cannot store the port"
ln -s "$scratch/unplugged-adapter" "$NORVALE_PORTS/com9"
quick=$(PATH=$root/usr/bin:$PATH timeout 120 dbus-run-session --config-file="$scratch/bus.conf" -- \
    "$root/usr/bin/kest721-quick-log" </dev/null 2>&1) && fail "the quick log without a meter succeeded: $quick"
grep -q "the readings go to $HOME/721-log-" <<<"$quick" || fail "the quick log does not say where: $quick"
grep -q "port 9 ($NORVALE_PORTS/com9 -> $scratch/unplugged-adapter): No such file" <<<"$quick" || fail "the quick log's error does not name the port: $quick"
ls "$HOME"/721-log-*.csv >/dev/null 2>&1 && fail "the failed quick log left $(ls "$HOME")"

[ "$failures" -eq 0 ] || { echo "$failures package check(s) failed" >&2; exit 1; }
echo "package installs and runs"
