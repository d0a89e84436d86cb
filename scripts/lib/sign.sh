# Authenticode signing with osslsigncode, shared by scripts/release and its
# test. The material comes from the environment:
#   INSTALLHOOKS_SIGN_CERT + INSTALLHOOKS_SIGN_KEY   PEM certificate (leaf
#                                                    first, then its chain) and key
#   INSTALLHOOKS_SIGN_PKCS12 [+ _PASSWORD]           or one PKCS#12 file
#   INSTALLHOOKS_SIGN_TSA                            an RFC 3161 timestamp server (optional)
#   INSTALLHOOKS_SIGN_CAFILE                         the roots to verify the signature
#                                                    and the timestamp against
#                                                    (default: the system's)
# SOURCE_DATE_EPOCH is the signing time.

# signing_requested: whether the environment names any signing material.
signing_requested() {
  [ -n "${INSTALLHOOKS_SIGN_CERT:-}${INSTALLHOOKS_SIGN_KEY:-}${INSTALLHOOKS_SIGN_PKCS12:-}" ]
}

# check_signing_material DIR: checks the material and leaves the leaf
# certificate in DIR/leaf.pem; on a fault, says which in one line and fails.
check_signing_material() {
  local dir=$1 leaf=$1/leaf.pem
  if [ -n "${INSTALLHOOKS_SIGN_PKCS12:-}" ]; then
    if [ ! -r "$INSTALLHOOKS_SIGN_PKCS12" ] || [ ! -f "$INSTALLHOOKS_SIGN_PKCS12" ]; then
      echo "sign: the PKCS#12 file $INSTALLHOOKS_SIGN_PKCS12 is missing or unreadable" >&2
      return 1
    fi
    if ! openssl pkcs12 -in "$INSTALLHOOKS_SIGN_PKCS12" -passin "pass:${INSTALLHOOKS_SIGN_PASSWORD:-}" \
         -nokeys -clcerts -out "$leaf" 2>/dev/null &&
       ! openssl pkcs12 -legacy -in "$INSTALLHOOKS_SIGN_PKCS12" -passin "pass:${INSTALLHOOKS_SIGN_PASSWORD:-}" \
         -nokeys -clcerts -out "$leaf" 2>/dev/null; then
      echo "sign: the PKCS#12 file $INSTALLHOOKS_SIGN_PKCS12 cannot be read (wrong password, or not PKCS#12)" >&2
      return 1
    fi
  else
    local what variable file
    for what in CERT KEY; do
      variable=INSTALLHOOKS_SIGN_$what
      file=${!variable:-}
      if [ -z "$file" ]; then
        echo "sign: INSTALLHOOKS_SIGN_CERT and INSTALLHOOKS_SIGN_KEY go together; INSTALLHOOKS_SIGN_$what is not set" >&2
        return 1
      fi
      if [ ! -f "$file" ] || [ ! -r "$file" ]; then
        echo "sign: the $([ $what = CERT ] && echo certificate || echo key) $file is missing or unreadable" >&2
        return 1
      fi
    done
    if ! openssl x509 -in "$INSTALLHOOKS_SIGN_CERT" -out "$leaf" 2>/dev/null; then
      echo "sign: the certificate $INSTALLHOOKS_SIGN_CERT is not a PEM certificate" >&2
      return 1
    fi
    local key_public cert_public
    if ! key_public=$(openssl pkey -in "$INSTALLHOOKS_SIGN_KEY" -passin pass: -pubout 2>/dev/null); then
      echo "sign: the key $INSTALLHOOKS_SIGN_KEY is not a readable, unencrypted PEM private key" >&2
      return 1
    fi
    cert_public=$(openssl x509 -in "$leaf" -noout -pubkey)
    if [ "$key_public" != "$cert_public" ]; then
      echo "sign: the key $INSTALLHOOKS_SIGN_KEY does not belong to the certificate $INSTALLHOOKS_SIGN_CERT" >&2
      return 1
    fi
  fi
  local subject
  subject=$(openssl x509 -in "$leaf" -noout -subject | sed 's/^subject=//')
  if ! openssl x509 -in "$leaf" -noout -checkend 0 >/dev/null; then
    echo "sign: the certificate ($subject) expired on $(openssl x509 -in "$leaf" -noout -enddate | sed 's/^notAfter=//')" >&2
    return 1
  fi
  local start
  start=$(date -d "$(openssl x509 -in "$leaf" -noout -startdate | sed 's/^notBefore=//')" +%s)
  if [ "$start" -gt "$(date +%s)" ]; then
    echo "sign: the certificate ($subject) is not valid before $(date -u -d "@$start")" >&2
    return 1
  fi
  if ! grep -q 'Code Signing' <<<"$(openssl x509 -in "$leaf" -noout -ext extendedKeyUsage 2>/dev/null)"; then
    echo "sign: the certificate ($subject) is not for code signing (its extended key usage lacks Code Signing)" >&2
    return 1
  fi
}

# sign_file IN OUT: signs IN into OUT (SHA-256, signing time
# SOURCE_DATE_EPOCH, timestamped by INSTALLHOOKS_SIGN_TSA when it is set) and
# verifies OUT; on failure OUT does not exist and one line says why.
sign_file() {
  local in=$1 out=$2 material said
  if [ -n "${INSTALLHOOKS_SIGN_PKCS12:-}" ]; then
    material=(-pkcs12 "$INSTALLHOOKS_SIGN_PKCS12" -pass "${INSTALLHOOKS_SIGN_PASSWORD:-}")
  else
    material=(-certs "$INSTALLHOOKS_SIGN_CERT" -key "$INSTALLHOOKS_SIGN_KEY")
  fi
  local timestamp=()
  [ -z "${INSTALLHOOKS_SIGN_TSA:-}" ] || timestamp=(-ts "$INSTALLHOOKS_SIGN_TSA")
  rm -f "$out"
  if ! said=$(osslsigncode sign "${material[@]}" -h sha256 -n "Korvan install hook library" \
              -time "${SOURCE_DATE_EPOCH:?}" "${timestamp[@]}" -in "$in" -out "$out" 2>&1); then
    rm -f "$out"
    if [ -n "${INSTALLHOOKS_SIGN_TSA:-}" ] && grep -qi 'timestamping failed' <<<"$said"; then
      echo "sign: the timestamp server $INSTALLHOOKS_SIGN_TSA did not timestamp $(basename "$in")" \
           "($(grep -m1 -iE 'HTTP failure|failed' <<<"$said"))" >&2
    else
      echo "sign: osslsigncode could not sign $in ($(grep -m1 -iE 'error|fail' <<<"$said" || echo "no reason given"))" >&2
    fi
    return 1
  fi
  if ! said=$(verify_file "$out" 2>&1); then
    rm -f "$out"
    echo "sign: the signature on $(basename "$out") does not verify" >&2
    return 1
  fi
  if ! check_timestamp "$out" <<<"$said"; then
    rm -f "$out"
    return 1
  fi
}

# check_timestamp FILE < VERDICT: where INSTALLHOOKS_SIGN_TSA names a
# timestamp server, FILE's signature must carry a timestamp that verifies
# against the roots (VERDICT is verify_file's output for FILE); otherwise one
# line says so and it fails.
check_timestamp() {
  local verdict
  verdict=$(cat)
  [ -n "${INSTALLHOOKS_SIGN_TSA:-}" ] || return 0
  if grep -q '^Timestamp Server Signature verification: ok' <<<"$verdict"; then
    return 0
  fi
  echo "sign: INSTALLHOOKS_SIGN_TSA names $INSTALLHOOKS_SIGN_TSA, but the signature on $(basename "$1") carries" \
       "no timestamp that verifies ($(grep -m1 -E '^Timestamp' <<<"$verdict" || echo "osslsigncode says nothing of one"))" >&2
  return 1
}

# verify_file FILE: osslsigncode's verdict on FILE's signature and digest, and
# on its timestamp, against the same roots.
verify_file() {
  local roots=${INSTALLHOOKS_SIGN_CAFILE:-/etc/ssl/certs/ca-certificates.crt}
  osslsigncode verify -CAfile "$roots" -TSA-CAfile "$roots" -in "$1"
}
