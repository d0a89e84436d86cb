#!/usr/bin/env bash
# The DLL signed as scripts/release signs it, with a throwaway root -> leaf
# chain: the signature verifies against the root, signing twice gives the
# same bytes, a one-byte change is caught, material that must not be used is
# refused with one line saying why, and the signed DLL still makes exactly
# the changes of every hook (the integrity tests' whole-machine comparison).
set -euo pipefail
while [ $# -gt 0 ]; do
  case "$1" in
    --dll) dll=$2 ;; --integrity) integrity=$2 ;; --workdir) work=$2 ;;
    *) echo "signing_test: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/sign.sh"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
fail() { echo "signing_test: $*" >&2; exit 1; }

# The chain, and a certificate that expired and one for servers, from the
# same root.
cat >ca.cnf <<'CNF'
[ca]
default_ca = throwaway
[throwaway]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[code]
basicConstraints = CA:false
keyUsage = digitalSignature
extendedKeyUsage = codeSigning
[server]
basicConstraints = CA:false
extendedKeyUsage = serverAuth
CNF
: >index.txt
mkdir scratch
echo 01 >serial
openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 2 -subj "/CN=Throwaway Root" \
  -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj "/CN=Throwaway Signer" 2>/dev/null
issue() {  # issue OUT EXTENSIONS [START END]
  local dates=(-days 2)
  [ $# -lt 4 ] || dates=(-startdate "$3" -enddate "$4")
  openssl ca -batch -config ca.cnf -cert root.pem -keyfile root.key -in leaf.csr -out "$1" -extensions "$2" \
    -notext "${dates[@]}" 2>/dev/null
}
issue leaf.pem code
issue expired.pem code 20200101000000Z 20200102000000Z
issue server.pem server
openssl req -newkey rsa:2048 -nodes -keyout other.key -out /dev/null -subj "/CN=Other" 2>/dev/null

# refused CERT KEY WORD: the material is refused in one line that says WORD.
refused() {
  local said
  if said=$(INSTALLHOOKS_SIGN_CERT=$1 INSTALLHOOKS_SIGN_KEY=$2 check_signing_material scratch 2>&1); then
    fail "$1 with $2 was accepted"
  fi
  [ "$(printf '%s\n' "$said" | wc -l)" -eq 1 ] || fail "more than one line for $1: $said"
  grep -q -- "$3" <<<"$said" || fail "refusal of $1 does not say '$3': $said"
  echo "refused: $said"
}
refused missing.pem leaf.key "missing"
refused leaf.pem missing.key "missing"
refused expired.pem leaf.key "expired"
refused server.pem leaf.key "not for code signing"
refused leaf.pem other.key "does not belong"

export INSTALLHOOKS_SIGN_CERT=leaf.pem INSTALLHOOKS_SIGN_KEY=leaf.key INSTALLHOOKS_SIGN_CAFILE=root.pem
export SOURCE_DATE_EPOCH=1767225600
check_signing_material scratch || fail "the good chain was refused"
sign_file "$dll" signed.dll || fail "signing failed"
sign_file "$dll" signed-again.dll || fail "signing again failed"
cmp -s signed.dll signed-again.dll || fail "two signatures with one signing time differ"
verify_file signed.dll >verify.txt || { cat verify.txt; fail "the signature does not verify against the root"; }
grep -q "Signature verification: ok" verify.txt || fail "osslsigncode did not say the signature is ok"

# One byte of code changed after signing.
cp signed.dll tampered.dll
offset=$((0x400 + 16))
byte=$(od -An -tu1 -j "$offset" -N1 tampered.dll | tr -d ' ')
printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of=tampered.dll bs=1 seek="$offset" conv=notrunc 2>/dev/null
if verify_file tampered.dll >tampered.txt 2>&1; then
  fail "a one-byte change in the code was not caught"
fi
echo "tampered copy: $(grep -m1 -iE 'mismatch|failed' tampered.txt || echo rejected)"

# Wine loads a signed DLL like any other (it checks no signature).
signed=$(pwd)/signed.dll
# Through the runner of every test program: passed only if it ran to its end.
said=$(INSTALLHOOKS_DLL="Z:${signed//\//\\}" python3 "$here/../support/wine_program.py" gtest \
  --report "$(pwd)/whole-machine.xml" "$integrity" --gtest_filter='WholeMachine.*' --gtest_color=no 2>&1) &&
  status=0 || status=$?
echo "$said"
if [ "$status" != 0 ] || ! grep -qF '[  PASSED  ] 5 tests.' <<<"$said"; then
  fail "the whole-machine tests did not pass on the signed DLL (exit $status)"
fi
# ... and that was the signed file: a name that leads nowhere fails the run.
said=$(INSTALLHOOKS_DLL='Z:\nonexistent\installhooks.dll' wine "$integrity" --gtest_filter='WholeMachine.CreateTasks*' \
     --gtest_color=no 2>&1) || true
if ! grep -qF 'cannot load Z:\nonexistent\installhooks.dll' <<<"$said"; then
  fail "the whole-machine tests ignore INSTALLHOOKS_DLL"
fi
