# 32-bit programs on machines whose kernel runs none: Wine's 32-bit loader
# then runs under qemu-i386, registered with binfmt_misc. Shared by
# scripts/setup (which registers the handler) and the scripts that run Wine.
#
# INSTALLHOOKS_EMULATE_I386=1       emulate in a user and mount namespace of
#                                   the script's own, with a private binfmt_misc
#                                   (nothing else on the machine is affected)
# INSTALLHOOKS_EMULATE_I386=global  register the handler machine-wide; it slows
#                                   every Wine process on the machine until
#                                   `scripts/setup --remove-emulation`

i386_loader=/usr/lib/wine/wine
binfmt_dir=/proc/sys/fs/binfmt_misc
# i386 ELF executables, the rule Debian's qemu packages use for i386.
i386_binfmt=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F'

# runs_i386: Wine's 32-bit loader starts (natively or under the handler).
runs_i386() { "$i386_loader" --version >/dev/null 2>&1; }

# i386_emulated: the handler is registered and enabled where this shell runs.
i386_emulated() { grep -qx enabled "$binfmt_dir/qemu-i386" 2>/dev/null; }

# register_i386: mounts binfmt_misc if it is not, and registers the handler
# unless an entry of that name exists. Prints what is missing on failure.
register_i386() {
  if ! mountpoint -q "$binfmt_dir" && ! mount -t binfmt_misc binfmt_misc "$binfmt_dir" 2>/dev/null; then
    echo "binfmt_misc cannot be mounted at $binfmt_dir"
    return 1
  fi
  if [ ! -e "$binfmt_dir/status" ]; then
    echo "$binfmt_dir is not binfmt_misc"
    return 1
  fi
  if [ ! -e "$binfmt_dir/qemu-i386" ]; then
    printf '%s' "$i386_binfmt" >"$binfmt_dir/register" 2>/dev/null || true
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
# `wine` always goes through first, which costs a minute under emulation.
wine64=/usr/lib/wine/wine64

# wine_timeout SECONDS: SECONDS, scaled for a machine that emulates 32-bit code.
if i386_emulated; then
  export INSTALLHOOKS_TIMEOUT_SCALE=${INSTALLHOOKS_TIMEOUT_SCALE:-10}
fi
wine_timeout() { echo $(($1 * ${INSTALLHOOKS_TIMEOUT_SCALE:-1})); }
