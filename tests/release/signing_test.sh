#!/usr/bin/env bash
# The DLL signed as scripts/release signs it, with a throwaway root -> leaf
# chain: the signature verifies against the root, signing twice gives the
# same bytes, a one-byte change is caught, material that must not be used is
# refused with one line saying why, a signature timestamped by an RFC 3161
# server on the loopback address (loopback_tsa.py, with a timestamping
# certificate from the same root) verifies with its timestamp, a timestamp
# that was asked for and is missing fails in one line, and the signed DLL
# still makes exactly the changes of every hook (the integrity tests'
# whole-machine comparison).
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
[timestamping]
basicConstraints = CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
# What `openssl ts -reply` reads.
[tsa]
default_tsa = loopback
[loopback]
serial = tsa-serial
crypto_device = builtin
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
CNF
: >index.txt
mkdir scratch
echo 01 >serial
echo 01 >tsa-serial
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
openssl req -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr -subj "/CN=Throwaway Timestamps" 2>/dev/null
openssl ca -batch -config ca.cnf -cert root.pem -keyfile root.key -in tsa.csr -out tsa.pem -extensions timestamping \
  -notext -days 2 2>/dev/null
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

# Timestamped by the loopback server: the verification names the
# timestamp's time and verifies the server's signature against the root.
/usr/bin/python3 "$here/loopback_tsa.py" --config ca.cnf --signer tsa.pem --key tsa.key --chain root.pem \
  --url-file tsa-url >tsa.log 2>&1 &
tsa=$!
trap 'kill $tsa 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s tsa-url ] || sleep 0.1; done
[ -s tsa-url ] || fail "the loopback timestamp server did not start: $(cat tsa.log)"
tsa_url=$(cat tsa-url)
INSTALLHOOKS_SIGN_TSA=$tsa_url sign_file "$dll" timestamped.dll || fail "signing with the timestamp server failed"
grep -q 'answered a query' tsa.log || fail "the timestamp server was never asked"
verify_file timestamped.dll >timestamped.txt || { cat timestamped.txt; fail "the timestamped signature does not verify"; }
grep -E '^\s*Timestamp time:|^Timestamp Server Signature verification:' timestamped.txt
grep -qE '^\s*Timestamp time: ' timestamped.txt || fail "osslsigncode reports no timestamp on the timestamped DLL"
grep -q '^Timestamp Server Signature verification: ok' timestamped.txt || fail "the timestamp does not verify"
grep -q '^Timestamp is not available' verify.txt || fail "the DLL signed without a server reads as timestamped"

# A timestamp asked for and missing fails in one line: a signature without
# one, and a server that does not answer.
# refused_timestamp WHAT WORD COMMAND...: COMMAND fails in one line that says WORD.
refused_timestamp() {
  local what=$1 word=$2 said
  shift 2
  if said=$(INSTALLHOOKS_SIGN_TSA=$tsa_url "$@" 2>&1); then
    fail "$what was accepted"
  fi
  [ "$(printf '%s\n' "$said" | wc -l)" -eq 1 ] || fail "more than one line for $what: $said"
  grep -q -- "$word" <<<"$said" || fail "the refusal of $what does not say '$word': $said"
  echo "refused: $said"
}
refused_timestamp "a signature without a timestamp" "no timestamp" check_timestamp signed.dll <verify.txt
kill $tsa
wait $tsa 2>/dev/null || true
refused_timestamp "a server that does not answer" "did not timestamp" sign_file "$dll" unanswered.dll
[ ! -e unanswered.dll ] || fail "a signature without its timestamp was left behind"

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
