#!/usr/bin/env bash
# Signing with a throw-away self-signed code-signing certificate and a time-stamp authority of our
# own, both made here: package.sh signs both modules and both installers with SHA-256 and an
# RFC 3161 time stamp, reading the password from a file or from standard input, and osslsigncode
# reads back each signature: valid against that certificate, time-stamped, with the description
# in ASCII. Signing settings given in part stop the package; a time-stamp server that stops
# answering half-way stops it too, leaving nothing in the output folder; without any settings the
# package says in one line that it is unsigned.
# Usage: check_signing.sh
set -uo pipefail

source "$(dirname "$0")/../support/checks.sh"

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Tallowmer package test" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 &&
  openssl pkcs12 -export -out "$work/signer.pfx" -inkey "$work/key.pem" -in "$work/cert.pem" \
    -passout pass:throw-away >/dev/null 2>&1 &&
  echo throw-away >"$work/password"
result $? "a throw-away code-signing certificate"

# A time-stamp authority: openssl answers each RFC 3161 request that a small HTTP server receives.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/tsa.key" -out "$work/tsa.pem" -days 2 \
  -subj "/CN=Tallowmer test time stamps" -addext "extendedKeyUsage=critical,timeStamping" >/dev/null 2>&1
cat >"$work/tsa.cnf" <<CONFIG
[tsa]
default_tsa = test
[test]
serial = $work/tsa.serial
signer_cert = $work/tsa.pem
signer_key = $work/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha1
ess_cert_id_alg = sha256
CONFIG
echo 01 >"$work/tsa.serial"
# A second argument N makes it fail every request from the N-th on, as a server that goes down.
cat >"$work/tsa.py" <<'SERVER'
import http.server, subprocess, sys, tempfile, os
work = sys.argv[1]
fail_from = int(sys.argv[2]) if len(sys.argv) > 2 else 0
requests = 0
class TimeStamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        global requests
        query = self.rfile.read(int(self.headers["Content-Length"]))
        requests += 1
        if fail_from and requests >= fail_from:
            self.send_response(503)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        with tempfile.NamedTemporaryFile(dir=work, delete=False) as request:
            request.write(query)
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", os.path.join(work, "tsa.cnf"),
                                "-queryfile", request.name, "-out", "/dev/stdout"], capture_output=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
print(server.server_address[1], flush=True)
server.serve_forever()
SERVER
# start_tsa NAME [FAIL_FROM]: the server in the background, its port in $work/NAME.out.
start_tsa() {
  start_server "$1" python3 "$work/tsa.py" "$work" ${2:+"$2"}
  local pid_name=${1}_pid
  wait_for_line "$work/$1.out" . "${!pid_name}"
}
start_tsa tsa
status=$?
tsa_url=http://127.0.0.1:$(head -n 1 "$work/tsa.out")
result $status "a time-stamp authority answers at $tsa_url"

# Settings in part, or the password where process listings show it: the package stops, exit 1.
incomplete_cases=(
  "LS_SIGN_PFX=$work/signer.pfx|LS_SIGN_PASSWORD_FILE LS_SIGN_TIMESTAMP"
  "LS_SIGN_PFX=$work/signer.pfx LS_SIGN_PASSWORD_FILE=$work/password|LS_SIGN_TIMESTAMP"
  "LS_SIGN_TIMESTAMP=$tsa_url|LS_SIGN_PFX LS_SIGN_PASSWORD_FILE"
  "LS_SIGN_PFX=$work/signer.pfx LS_SIGN_PASSWORD=throw-away LS_SIGN_TIMESTAMP=$tsa_url|LS_SIGN_PASSWORD_FILE"
)
for case in "${incomplete_cases[@]}"; do
  settings=${case%%|*}
  env $settings "$root/packaging/package.sh" --out "$work/partial" >"$work/partial.log" 2>&1
  status=$?
  [ "$status" -eq 1 ] && grep -q -F "${case#*|}" "$work/partial.log" && ! ls "$work"/partial/*.msi >/dev/null 2>&1
  outcome=$?
  [ "$outcome" -ne 0 ] && sed 's/^/    /' "$work/partial.log"
  result $outcome "package.sh stops, naming ${case#*|}, when given only ${settings//$work\//}"
done

# The password from standard input; the command lines of the signing tool never hold it.
LS_SIGN_PFX=$work/signer.pfx LS_SIGN_PASSWORD_FILE=- LS_SIGN_TIMESTAMP=$tsa_url \
  "$root/packaging/package.sh" --out "$work/signed" <"$work/password" >"$work/signed.log" 2>&1
status=$?
[ "$status" -ne 0 ] && sed 's/^/    /' "$work/signed.log"
! grep -q '^Unsigned' "$work/signed.log" && [ "$status" -eq 0 ]
result $? "package.sh builds a signed package, the password read from standard input"
! grep -q -- '-pass ' "$root/packaging/package.sh"
result $? "package.sh never passes a password on osslsigncode's command line"

# The signed modules are the ones the zip carries (and the installers, built from the same files).
(cd "$work" && unzip -q signed/ls_tallowmer-*.zip x86/ls_tallowmer.dll x64/ls_tallowmer.dll -d modules)
for file in "$work"/signed/*.msi "$work"/modules/x86/ls_tallowmer.dll "$work"/modules/x64/ls_tallowmer.dll; do
  osslsigncode verify -CAfile "$work/cert.pem" -TSA-CAfile "$work/tsa.pem" -in "$file" >"$work/verify.log" 2>&1
  status=$?
  [ "$status" -eq 0 ] && grep -q '^Signature verification: ok' "$work/verify.log" &&
    grep -q 'Message digest algorithm *: SHA256' "$work/verify.log" &&
    grep -q '^Timestamp Server Signature verification: ok' "$work/verify.log"
  status=$?
  description=$(sed -n 's/^\s*Text description *: *//p' "$work/verify.log" | head -n 1)
  [ "$status" -eq 0 ] && [ "$description" = "Tallowmer loyalty driver" ] && [ -z "$(LC_ALL=C tr -d '\040-\176' <<<"$description")" ]
  status=$?
  [ "$status" -ne 0 ] && sed 's/^/    /' "$work/verify.log"
  result $status "osslsigncode reads back a valid, time-stamped SHA-256 signature with the ASCII description '$description' from ${file#"$work"/}"
done

# The fourth signature is the x86 installer's: the modules and the x64 installer are signed by then.
start_tsa failing_tsa 4
mkdir -p "$work/halfway"
LS_SIGN_PFX=$work/signer.pfx LS_SIGN_PASSWORD_FILE=$work/password \
  LS_SIGN_TIMESTAMP=http://127.0.0.1:$(head -n 1 "$work/failing_tsa.out") \
  "$root/packaging/package.sh" --out "$work/halfway" >"$work/halfway.log" 2>&1
status=$?
left=$(ls -A "$work/halfway")
[ "$status" -eq 1 ] && grep -q 'signing .* failed' "$work/halfway.log" && [ -z "$left" ]
outcome=$?
[ "$outcome" -ne 0 ] && sed 's/^/    /' "$work/halfway.log"
result $outcome "a time-stamp server failing from its fourth request stops the package (exit $status) and leaves the output folder empty${left:+ (left: $(echo $left))}"

"$root/packaging/package.sh" --out "$work/unsigned" >"$work/unsigned.log" 2>&1
[ "$(grep -c '^Unsigned' "$work/unsigned.log")" -eq 1 ]
result $? "without a certificate package.sh says in one line that the package is unsigned"
(cd "$work" && unzip -q unsigned/ls_tallowmer-*.zip x64/ls_tallowmer.dll -d plain)
! osslsigncode verify -CAfile "$work/cert.pem" -in "$work/plain/x64/ls_tallowmer.dll" >/dev/null 2>&1
result $? "an unsigned module fails verification"

closing_line
