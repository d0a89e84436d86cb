#!/usr/bin/env bash
# scripts/lib/i386.sh's choices, driven by fake qemus and fake apt answers:
# which qemu setup registers, whether apt's lists offer a fast one, and what
# it does with an entry that is already registered. Nothing on the machine
# is touched: no binfmt_misc, no apt.
set -uo pipefail
. "$(dirname "$0")/../../scripts/lib/i386.sh"

fakes=$(mktemp -d)
trap 'rm -rf "$fakes"' EXIT
failures=0
expect() { # expect WHAT WANTED ACTUAL
  if [ "$2" = "$3" ]; then echo "  ok    $1: $3"; else echo "  FAIL  $1: '$3', expected '$2'"; failures=$((failures + 1)); fi
}

# fake_qemu PATH VERSION: a qemu-i386 that says it is VERSION, and says so
# for the program it would run when QEMU_VERSION is set, as qemu-user does.
fake_qemu() {
  mkdir -p "$(dirname "$1")"
  printf '#!/bin/sh\necho "qemu-i386 version %s (Debian 1:%s)"\necho "Copyright (c) 2003-2025 Fabrice Bellard and the QEMU Project developers"\n' \
    "$2" "$2" >"$1"
  chmod +x "$1"
}
fake_qemu "$fakes/old/qemu-i386-static" 7.2.22
fake_qemu "$fakes/new/qemu-i386" 10.0.2
fake_qemu "$fakes/newer/qemu-i386" 11.1.0
printf '#!/bin/sh\necho "box86 v0.3.8"\n' >"$fakes/box86"
chmod +x "$fakes/box86"

echo "== the qemu to register"
qemu_candidates=("$fakes/new/qemu-i386" "$fakes/old/qemu-i386-static")
expect "a fast one is preferred to a slow one listed after it" "$fakes/new/qemu-i386" "$(i386_qemu)"
qemu_candidates=("$fakes/old/qemu-i386-static" "$fakes/new/qemu-i386")
expect "a fast one is preferred to a slow one listed before it" "$fakes/new/qemu-i386" "$(i386_qemu)"
qemu_candidates=("$fakes/old/qemu-i386-static" "$fakes/missing/qemu-i386")
expect "only a slow one: the slow one" "$fakes/old/qemu-i386-static" "$(i386_qemu)"
qemu_candidates=("$fakes/missing/qemu-i386")
expect "none installed: nothing" "none" "$(i386_qemu || echo none)"

echo "== what apt's lists offer (apt-cache madison qemu-user)"
offers() { if printf '%b' "$1" | qemu_offers_fast; then echo fast; else echo slow; fi; }
expect "the release and its security updates alone" slow "$(offers ' qemu-user | 1:7.2+dfsg-7+deb12u18+b3 | http://deb.debian.org/debian bookworm/main amd64 Packages\n qemu-user | 1:7.2+dfsg-7+deb12u15 | http://deb.debian.org/debian-security bookworm-security/main amd64 Packages\n')"
expect "with backports' list" fast "$(offers ' qemu-user | 1:10.0.2+ds-2+deb13u1~bpo12+1 | http://deb.debian.org/debian bookworm-backports/main amd64 Packages\n qemu-user | 1:7.2+dfsg-7+deb12u18+b3 | http://deb.debian.org/debian bookworm/main amd64 Packages\n')"
expect "a version without an epoch" fast "$(offers ' qemu-user | 10.1.0+ds-1 | http://deb.debian.org/debian trixie/main amd64 Packages\n')"
expect "no list at all" slow "$(offers '')"

echo "== what becomes of a registered entry"
expect "runs qemu 7.2, qemu 10 installed: replaced" replace \
  "$(qemu_entry_action /usr/bin/qemu-i386-static 7.2.22 "$fakes/new/qemu-i386")"
expect "its path upgraded in place to 10 but still running 7.2: replaced" replace \
  "$(qemu_entry_action "$fakes/new/qemu-i386" 7.2.22 "$fakes/new/qemu-i386")"
expect "runs qemu of unknown version, qemu 10 installed: replaced" replace \
  "$(qemu_entry_action /usr/bin/qemu-i386-static '' "$fakes/new/qemu-i386")"
expect "runs qemu 10: kept, even with a newer one installed" keep \
  "$(qemu_entry_action /usr/bin/qemu-i386 10.0.2 "$fakes/newer/qemu-i386")"
expect "runs qemu 7.2 and nothing faster is installed: kept" keep \
  "$(qemu_entry_action /usr/bin/qemu-i386-static 7.2.22 "$fakes/old/qemu-i386-static")"
expect "runs qemu 7.2 and no qemu is installed: kept" keep \
  "$(qemu_entry_action /usr/bin/qemu-i386-static 7.2.22 '')"
expect "names no qemu at all: left alone" foreign \
  "$(qemu_entry_action "$fakes/box86" '' "$fakes/new/qemu-i386")"

echo "== the version of the qemu the entry runs"
# Wine's loader, started through an entry whose qemu answers QEMU_VERSION.
printf '#!/bin/sh\nif [ -n "${QEMU_VERSION:-}" ]; then echo "qemu-i386 version 7.2.22 (Debian)"; else echo wine-8.0; fi\n' \
  >"$fakes/wine"
chmod +x "$fakes/wine"
i386_loader=$fakes/wine
expect "asked of the qemu that runs Wine's loader" 7.2.22 "$(running_qemu_version)"

echo "qemu choice: $failures failed"
[ "$failures" = 0 ]
