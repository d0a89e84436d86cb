# 32-bit programs on machines whose kernel runs none: Wine's 32-bit loader
# then runs under qemu-i386, registered with binfmt_misc. Shared by
# scripts/setup (which installs qemu and registers the handler) and the
# scripts that run Wine.
#
# INSTALLHOOKS_EMULATE_I386=1       emulate in a user and mount namespace of
#                                   the script's own, with a private binfmt_misc
#                                   (nothing else on the machine is affected)
# INSTALLHOOKS_EMULATE_I386=global  register the handler machine-wide; it slows
#                                   every Wine process on the machine until
#                                   `scripts/setup --remove-emulation`

i386_loader=/usr/lib/wine/wine
binfmt_dir=/proc/sys/fs/binfmt_misc
# i386 ELF executables, the rule Debian's qemu packages use for i386; the
# interpreter's path follows.
i386_binfmt=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# Wine reserves its 32-bit address space with MAP_FIXED_NOREPLACE, halving
# every range that does not map where asked. qemu 7.2 (Debian 12's
# qemu-user-static) maps such a range elsewhere, so every start makes some
# 65,000 mmap calls, each slower than the last: about a minute. qemu 10.0
# (Debian 13, and bookworm-backports) maps it where asked: a start takes a
# fraction of a second. Versions between were not measured.
qemu_fast_major=10
qemu_candidates=(/usr/bin/qemu-i386 /usr/bin/qemu-i386-static)

# qemu_version PATH: the version PATH says it is, e.g. 10.0.2.
qemu_version() { "$1" --version 2>/dev/null | sed -n '1s/.*version \([0-9][0-9.]*\).*/\1/p'; }

# version_is_fast VERSION: VERSION (e.g. 10.0.2) is of a fast qemu.
version_is_fast() { [ -n "$1" ] && [ "${1%%.*}" -ge "$qemu_fast_major" ] 2>/dev/null; }

# qemu_is_fast PATH: PATH is a qemu-i386 that starts Wine programs quickly.
qemu_is_fast() { version_is_fast "$(qemu_version "$1")"; }

# running_qemu_version: the version of the qemu that the registered entry
# actually runs. The entry holds its interpreter open from registration on
# (flag F), so after an upgrade in place its path names the new qemu while the
# old one still runs; qemu-user answers QEMU_VERSION for the program it runs.
running_qemu_version() {
  QEMU_VERSION=1 "$i386_loader" 2>/dev/null | sed -n '1s/.*version \([0-9][0-9.]*\).*/\1/p'
}

# i386_qemu: the qemu-i386 to register: a fast one, else any; nothing and
# status 1 if there is none.
i386_qemu() {
  local q
  for q in "${qemu_candidates[@]}"; do
    if [ -x "$q" ] && qemu_is_fast "$q"; then echo "$q"; return 0; fi
  done
  for q in "${qemu_candidates[@]}"; do
    if [ -x "$q" ] && [ -n "$(qemu_version "$q")" ]; then echo "$q"; return 0; fi
  done
  return 1
}

# qemu_offers_fast: reads `apt-cache madison qemu-user` on stdin and says
# whether any version it lists is a fast qemu (an epoch is skipped).
qemu_offers_fast() {
  local version
  while IFS='|' read -r _ version _; do
    version=${version// /}
    version_is_fast "${version#*:}" && return 0
  done
  return 1
}

# qemu_entry_action REGISTERED RUNNING CANDIDATE: what setup does with a
# registered qemu-i386 entry whose interpreter is REGISTERED and runs as qemu
# version RUNNING (running_qemu_version, empty if unknown), CANDIDATE being the
# qemu it would register now (i386_qemu, possibly empty):
#   keep     the entry runs a fast qemu, or nothing faster is installed
#   replace  it runs a qemu older than 10 (or one that does not say), and
#            CANDIDATE is 10 or later
#   foreign  it names no qemu at all: someone else's, left alone
qemu_entry_action() {
  case "${1##*/}" in
    qemu-i386 | qemu-i386-static) ;;
    *) echo foreign; return 0 ;;
  esac
  if version_is_fast "$2"; then
    echo keep
  elif [ -n "$3" ] && qemu_is_fast "$3"; then
    echo replace
  else
    echo keep
  fi
}

# entry_action: qemu_entry_action for the entry registered here.
entry_action() { qemu_entry_action "$(registered_qemu)" "$(running_qemu_version)" "$(i386_qemu || true)"; }

# registered_qemu: the interpreter of the registered handler.
registered_qemu() { sed -n 's/^interpreter //p' "$binfmt_dir/qemu-i386" 2>/dev/null; }

# qemu_said PATH [VERSION]: PATH and its version (VERSION, else what PATH
# says), and whether it is the slow kind.
qemu_said() {
  local version=${2:-$(qemu_version "$1")}
  if version_is_fast "$version"; then
    echo "$1 $version"
  else
    echo "$1${version:+ $version}, which is slow: about a minute per start of a 32-bit Wine program, so scripts/test takes well over an hour; qemu-user $qemu_fast_major or later takes under a second"
  fi
}

# runs_i386: Wine's 32-bit loader starts (natively or under the handler).
runs_i386() { "$i386_loader" --version >/dev/null 2>&1; }

# i386_emulated: the handler is registered and enabled where this shell runs.
i386_emulated() { grep -qx enabled "$binfmt_dir/qemu-i386" 2>/dev/null; }

# register_i386: mounts binfmt_misc if it is not, and registers the handler
# unless an entry of that name exists; an entry naming a slow qemu gives way
# to a fast one that is installed (qemu_entry_action), one line on stderr
# saying so, and one naming no qemu stays. Prints what is missing on failure.
register_i386() {
  if ! mountpoint -q "$binfmt_dir" && ! mount -t binfmt_misc binfmt_misc "$binfmt_dir" 2>/dev/null; then
    echo "binfmt_misc cannot be mounted at $binfmt_dir"
    return 1
  fi
  if [ ! -e "$binfmt_dir/status" ]; then
    echo "$binfmt_dir is not binfmt_misc"
    return 1
  fi
  if [ -e "$binfmt_dir/qemu-i386" ]; then
    local registered running candidate
    registered=$(registered_qemu)
    running=$(running_qemu_version)
    candidate=$(i386_qemu || true)
    case "$(qemu_entry_action "$registered" "$running" "$candidate")" in
      foreign)
        echo "setup: the registered qemu-i386 entry runs $registered, which is no qemu; left as it is" >&2
        return 0
        ;;
      replace)
        if ! echo -1 >"$binfmt_dir/qemu-i386" 2>/dev/null; then
          echo "the qemu-i386 entry names the slow $registered and cannot be removed (root?)"
          return 1
        fi
        echo "setup: the qemu-i386 entry runs $registered ${running:-of unknown version}, which is slow; registering $candidate $(qemu_version "$candidate") in its place" >&2
        ;;
    esac
  fi
  if [ ! -e "$binfmt_dir/qemu-i386" ]; then
    local qemu
    if ! qemu=$(i386_qemu); then
      echo "no qemu-i386 is installed"
      return 1
    fi
    printf '%s:%s:F' "$i386_binfmt" "$qemu" >"$binfmt_dir/register" 2>/dev/null || true
    if ! i386_emulated; then
      echo "$binfmt_dir/register refuses the qemu-i386 entry"
      return 1
    fi
  fi
}

# private_binfmt_works: this kernel gives a user namespace a binfmt_misc of
# its own (Linux 6.7 and later, with unprivileged user namespaces allowed).
private_binfmt_works() {
  unshare --user --map-root-user --mount sh -c "mount -t binfmt_misc binfmt_misc $binfmt_dir" 2>/dev/null
}

# emulate_i386_privately SCRIPT ARGS...: with INSTALLHOOKS_EMULATE_I386=1,
# runs SCRIPT again inside a namespace of its own with a fresh binfmt_misc,
# where scripts/setup then registers the handler. The namespace, and with it
# the handler, ends with the script.
emulate_i386_privately() {
  if [ "${INSTALLHOOKS_EMULATE_I386:-}" != 1 ] || [ -n "${INSTALLHOOKS_I386_PRIVATE:-}" ]; then
    return 0
  fi
  export INSTALLHOOKS_I386_PRIVATE=1
  exec unshare --user --map-root-user --mount -- \
    sh -c "mount -t binfmt_misc binfmt_misc $binfmt_dir && exec bash \"\$@\"" sh "$@"
}

# Wine's 64-bit loader: Wine's own programs (wineboot, cmd) are 64-bit in a
# 64-bit prefix, and started through it they skip the 32-bit loader that
# `wine` always goes through first, which costs a minute under an old qemu.
wine64=/usr/lib/wine/wine64

# wine_timeout SECONDS: SECONDS, scaled for a machine that emulates 32-bit
# code: three times under a fast qemu (the suite takes about half again as
# long), ten under a slow one.
if i386_emulated; then
  if version_is_fast "$(running_qemu_version)"; then
    export INSTALLHOOKS_TIMEOUT_SCALE=${INSTALLHOOKS_TIMEOUT_SCALE:-3}
  else
    export INSTALLHOOKS_TIMEOUT_SCALE=${INSTALLHOOKS_TIMEOUT_SCALE:-10}
  fi
fi
wine_timeout() { echo $(($1 * ${INSTALLHOOKS_TIMEOUT_SCALE:-1})); }
