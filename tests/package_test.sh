#!/usr/bin/env bash
# makes the .deb from a build folder and checks what it holds and needs
# usage: package_test.sh BUILD-DIR VERSION
set -euo pipefail
build=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
deb=$work/cubesaver_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $(basename "$deb") in: $(ls "$work")"

files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
expected=$(printf '%s\n' ./usr/bin/cubesaver ./usr/share/doc/cubesaver/README.md \
    ./usr/share/doc/cubesaver/changelog.gz ./usr/share/doc/cubesaver/copyright \
    ./usr/share/man/man6/cubesaver.6.gz)
[ "$files" = "$expected" ] || fail "files are:"$'\n'"$files"

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Version)" = "$version" ] || fail "version $(field Version)"
[ "$(field Section)" = x11 ] || fail "section $(field Section)"
grep -Eq '(^|, )liballegro4\.4 \(' <<<"$(field Depends)" || fail "depends: $(field Depends)"
grep -q xautolock <<<"$(field Recommends)" || fail "recommends: $(field Recommends)"
[ "$(field Description | wc -l)" -gt 1 ] || fail "no long description"

# the packaged files themselves: the manual renders cleanly, the binary runs
dpkg-deb --extract "$deb" "$work/root"
page=$work/root/usr/share/man/man6/cubesaver.6.gz
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "manual page warnings: $warnings"
MANWIDTH=80 man -l "$page" | grep -q "cubesaver $version" || fail "manual page lacks the version"
wide=$(MANWIDTH=80 man -l "$page" 2>/dev/null | awk 'length > 80')
[ -z "$wide" ] || fail "manual page lines wider than 80 columns:"$'\n'"$wide"
status=0
message=$(env -u DISPLAY "$work/root/usr/bin/cubesaver" 2>&1) || status=$?
[ "$status" -eq 1 ] && [[ $message == "cubesaver: cannot "* ]] ||
    fail "packaged binary with no display: status $status, said: $message"
zcat "$work/root/usr/share/doc/cubesaver/changelog.gz" | head -n 1 | grep -q "^cubesaver ($version)" ||
    fail "the changelog's first entry is not version $version"

# Debian's own checker, pedantic, finds no error and no warning
status=0
report=$(lintian -EvIL +pedantic --fail-on error,warning "$deb" 2>&1) || status=$?
report=$(grep -v 'running with root privileges' <<<"$report" || true)
[ "$status" -eq 0 ] && ! grep -Eq '^[EW]: ' <<<"$report" || fail "lintian:"$'\n'"$report"
echo "package ok: $(basename "$deb"), Depends: $(field Depends); lintian: ${report:-silent}"
