#!/usr/bin/env bash
# Installs the three packages' files into a temporary root (cmake --install of BUILD_DIR, or
# the .deb files of DEB_DIR unpacked), builds the example host docs/examples/host.c out of tree
# with pkg-config and with CMake's find_package(vpisd), and runs both, and the installed
# vpisd-cli, against the installed simulator: each writes or reads a register of a simulated PLC
# through the installed library.
#   host_out_of_tree.sh BUILD_DIR SOURCE_DIR INSTALL_PREFIX INSTALL_LIBDIR [DEB_DIR]
set -euo pipefail
build=$1 source=$2 prefix=$3 libdir=$4 debs=${5:-}

work=$(mktemp -d)
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The guide shows the example whole: it must be the file that is built here.
awk '/^## A complete small host/ { on = 1 } on && /^```c$/ { copy = 1; next }
     copy && /^```$/ { exit } copy' "$source/docs/hosts.md" >"$work/host-in-guide.c"
diff -u "$source/docs/examples/host.c" "$work/host-in-guide.c" >&2 ||
    fail "docs/hosts.md does not show docs/examples/host.c as it is"

root=$work/root
for component in libvpisd7 libvpisd-dev vpisd-tools; do
    if [ -n "$debs" ]; then
        dpkg-deb -x "$(ls "$debs/${component}"_*.deb)" "$root"
    else
        DESTDIR=$root cmake --install "$build" --component "$component" >/dev/null
    fi
done
lib=$root$prefix/$libdir
[ -f "$lib/libvpisd.so.7.4.0" ] || fail "libvpisd.so.7.4.0 not installed in $prefix/$libdir"
[ "$(readlink "$lib/libvpisd.so.7")" = libvpisd.so.7.4.0 ] || fail "libvpisd.so.7 is not a link to libvpisd.so.7.4.0"
[ "$(readlink "$lib/libvpisd.so")" = libvpisd.so.7 ] || fail "libvpisd.so is not a link to libvpisd.so.7"
grep -q 'SONAME.*\[libvpisd\.so\.7\]' <<<"$(readelf -d "$lib/libvpisd.so.7.4.0")" || fail "SONAME is not libvpisd.so.7"

echo "== links between the installed documents"
for md in $(find "$root$prefix/share/doc" -name '*.md'); do
    for target in $(grep -o '](\([^)#]*\)' "$md" | sed 's/^](//' | grep -v '^[a-z]*:'); do
        [ -e "$(dirname "$md")/$target" ] || fail "${md#"$root"} links to $target, which is not installed"
    done
done
[ -f "$root$prefix/share/doc/vpisd-tools/README.md" ] || fail "README.md not installed"

cflags="-std=c11 -Wall -Wextra -Wpedantic -Wconversion -Werror"
echo "== pkg-config"
export PKG_CONFIG_LIBDIR=$lib/pkgconfig PKG_CONFIG_SYSROOT_DIR=$root
flags=$(pkg-config --cflags --libs vpisd)
echo "pkg-config --cflags --libs vpisd: $flags"
# shellcheck disable=SC2086
cc $cflags "$source/docs/examples/host.c" $flags -rdynamic -o "$work/host-pkgconfig"

echo "== pkg-config of a tree installed elsewhere (cmake --install --prefix DIR)"
if [ -z "$debs" ]; then
    moved=$work/moved
    for component in libvpisd7 libvpisd-dev; do
        cmake --install "$build" --prefix "$moved" --component "$component" >/dev/null
    done
    moved_flags=$(env -u PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_LIBDIR="$moved/$libdir/pkgconfig" \
        pkg-config --cflags --libs vpisd)
    echo "pkg-config --cflags --libs vpisd: $moved_flags"
    [[ $moved_flags == *"-I$moved/"* ]] || fail "vpisd.pc installed under $moved does not point into it"
    # shellcheck disable=SC2086
    cc $cflags "$source/docs/examples/host.c" $moved_flags -rdynamic -o "$work/host-moved" ||
        fail "a host does not build against the tree installed under $moved"
fi

echo "== CMake"
cmake -S "$source/docs/examples" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$root$prefix" \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_C_COMPILER_LAUNCHER= >/dev/null
grep -q "^vpisd_DIR:PATH=$root$prefix/$libdir/cmake/vpisd\$" "$work/cmake-build/CMakeCache.txt" ||
    fail "find_package(vpisd) did not find the installed package: $(grep '^vpisd_DIR' "$work/cmake-build/CMakeCache.txt")"
cmake --build "$work/cmake-build" >/dev/null
cp "$work/cmake-build/host" "$work/host-cmake"

for host in host-pkgconfig host-cmake; do
    grep -q 'NEEDED.*\[libvpisd\.so\.7\]' <<<"$(readelf -d "$work/$host")" || fail "$host does not need libvpisd.so.7"
done

echo "== against the installed simulator"
mkdir "$work/run"
cat >"$work/network.ini" <<'INI'
[plc P1]
route = 1+5
100 = 1234
INI
"$root$prefix/bin/vpisd-sim" --config "$work/network.ini" --init-out "$work/run/vpiSD01.int" \
    --no-stdin >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/^PORT //p' "$work/sim.out")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || fail "vpisd-sim printed no PORT line: $(cat "$work/sim.err")"

cd "$work/run"
run_host() { # host, expected stdout, arguments...
    local host=$1 expected=$2
    shift 2
    local out
    out=$(LD_LIBRARY_PATH=$lib timeout 60 "$work/$host" "$port" "$@" 2>"$work/$host.log") ||
        fail "$host $* exited with $?: $(cat "$work/$host.log")"
    echo "$host $*: $out"
    [ "$out" = "$expected" ] || fail "$host $*: expected '$expected'"
    grep -q '^\[32\] VPISD: VPI 1 loaded successfully$' "$work/$host.log" ||
        fail "$host: the driver's messages did not reach the host's VpiHostLog"
}
run_host host-pkgconfig "P10100 = 1234" P10100
run_host host-cmake "P10100 = 4321" P10100 4321
run_host host-pkgconfig "P10100 = 4321" P10100
# (grep reads whole outputs: with pipefail, a grep -q that stops early fails the pipe.)
grep -q "libvpisd.so.7 => $lib/libvpisd.so.7" <<<"$(LD_LIBRARY_PATH=$lib ldd "$work/host-pkgconfig")" ||
    fail "host-pkgconfig does not load the installed library"

echo "== the installed vpisd-cli"
cli=$root$prefix/bin/vpisd-cli
if [ -n "$debs" ]; then
    # Installed from the packages the library is not next to the program: vpisd-cli must find
    # it through the loader (libvpisd.so.7), which needs the host library to look for it.
    echo "vpisd-cli from the packages loads: $(LD_LIBRARY_PATH=$lib "$cli" describe | sed -n 's/^library *//p')"
else
    loaded=$("$cli" describe | sed -n 's/^library *//p')
    [[ $loaded == "$root"/* ]] || fail "the installed vpisd-cli loads $loaded, not the installed library"
    out=$("$cli" --port "$port" --init "$work/run/vpiSD01.int" read P10100 2>&1) ||
        fail "vpisd-cli exited with $?: $out"
    echo "$out"
    grep -q "^P10100 = 4321" <<<"$out" || fail "vpisd-cli did not read 4321"
fi
echo "PASS"
