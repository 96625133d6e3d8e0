#!/usr/bin/env bash
# The .deb of the maker's tools, made by cpack from the build tree given (its tools built):
# unpacked with dpkg-deb into a scratch root, every tool answers --version and --help from there,
# the documentation is in place, dpkg-shlibdeps filled in the dependencies, and lintian reports no
# error. The sanitizer tree's programs are packed stripped like any others; they depend on the
# sanitizer runtimes, which dpkg-shlibdeps lists like any other library.
set -euo pipefail
tree=${1:?usage: deb_package_test.sh BUILD_TREE}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack --config "$tree/CPackConfig.cmake" -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; exit 1; }
debs=("$scratch"/kelvora-tools_*_amd64.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "no single kelvora-tools_*_amd64.deb"; exit 1; }
deb=${debs[0]}
dpkg-deb -x "$deb" "$scratch/root"

failures=0
check() {  # description, command...
  local what=$1; shift
  if "$@" >"$scratch/out" 2>&1; then echo "ok: $what"; else
    echo "FAILED: $what"; cat "$scratch/out"; failures=$((failures + 1)); fi
}
for tool in kelvora-server kelvora-publish kelvora-pack kelvora-storage kelvora-config; do
  check "$tool --version" sh -c "'$scratch/root/usr/bin/$tool' --version | grep -q '^$tool '"
  check "$tool --help" "$scratch/root/usr/bin/$tool" --help
done
doc=$scratch/root/usr/share/doc/kelvora-tools
for file in copyright changelog.Debian.gz examples/kelvora-server.service examples/haproxy.cfg; do
  check "doc $file" test -s "$doc/$file"
done
check "dependencies from dpkg-shlibdeps" sh -c "dpkg-deb -f '$deb' Depends | grep -q 'libc6 (>='"
# lintian's errors fail the test, not its warnings (no manual pages: each tool has --help).
check "no lintian error" sh -c "! lintian '$deb' 2>&1 | grep '^E:'"
[ "$failures" -eq 0 ]
