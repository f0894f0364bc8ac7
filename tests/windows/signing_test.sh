#!/bin/sh
# The build's signing step from the operator's side: with a code-signing
# certificate of its own (a test authority made with openssl, the key kept
# under a password) and a time-stamping server on loopback, it signs
# launcher.exe and launcher-publish.exe with scripts/sign-windows, the step
# the build runs, and checks them with `osslsigncode verify`: the signature
# and its time stamp verify against the authority, not against another
# one. A wrong password leaves the program unsigned and as it was. The signed launcher-publish.exe
# still runs under Wine.
#
#   signing_test.sh <source dir> <launcher.exe> <launcher-publish.exe>
set -eu

src=$1
launcher=$2
publish=$3
work=$(mktemp -d)
tsa_pid=
cleanup() {
  [ -n "$tsa_pid" ] && kill "$tsa_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

# An authority, a publisher certificate for code signing and one for time
# stamping, each signed by the authority.
authority() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 \
    -subj "/CN=$2" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
authority ca "Launcher Test Authority"
authority other "Some Other Authority"
echo "correct horse battery" >password.txt
openssl req -newkey rsa:2048 -keyout signer.key -passout file:password.txt -out signer.csr \
  -subj "/CN=Launcher Test Publisher" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile signer.ext -out signer.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr -subj "/CN=Launcher Test Time" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n' >tsa.ext
openssl x509 -req -in tsa.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile tsa.ext -out tsa.pem 2>/dev/null
cat >tsa.cnf <<CNF
[ tsa ]
default_tsa = launcher_test_tsa
[ launcher_test_tsa ]
dir = $work
serial = \$dir/tsa.serial
signer_cert = \$dir/tsa.pem
signer_key = \$dir/tsa.key
certs = \$dir/ca.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
ess_cert_id_alg = sha256
CNF
echo 01 >tsa.serial
python3 "$src/tests/windows/timestamp_server.py" tsa.cnf >tsa.port 2>tsa.log &
tsa_pid=$!
i=0
while [ ! -s tsa.port ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
port=$(head -n1 tsa.port)
[ -n "$port" ] || fail "the time-stamping server did not start: $(cat tsa.log)"

cp "$launcher" launcher.exe
cp "$publish" launcher-publish.exe
cp launcher.exe unsigned.exe

# A wrong password: nothing is signed, the program is unchanged.
echo "wrong" >wrong.txt
if "$src/scripts/sign-windows" --cert signer.pem --key signer.key --password-file wrong.txt \
    launcher.exe 2>wrong.log; then
  fail "signed with a wrong password"
fi
cmp -s launcher.exe unsigned.exe || fail "a failed signing changed the program"

"$src/scripts/sign-windows" --cert signer.pem --key signer.key --password-file password.txt \
  --timestamp "http://127.0.0.1:$port/" --name "Quillmere Launcher" \
  launcher.exe launcher-publish.exe

for program in launcher.exe launcher-publish.exe; do
  osslsigncode verify -in "$program" -CAfile ca.pem -TSA-CAfile ca.pem >verify.log 2>&1 ||
    fail "$program does not verify: $(cat verify.log)"
  grep -q "Signature verification: ok" verify.log || fail "$program: $(cat verify.log)"
  grep -q "Timestamp Server Signature verification: ok" verify.log ||
    fail "$program has no verified time stamp: $(cat verify.log)"
  grep -q "Launcher Test Publisher" verify.log || fail "$program: signer not named"
  if osslsigncode verify -in "$program" -CAfile other.pem -TSA-CAfile other.pem \
      >other.log 2>&1; then
    fail "$program verifies against an authority that did not sign it"
  fi
done

# Signing keeps the program whole: it still starts and answers.
"$src/scripts/wine-run" ./launcher-publish.exe >publish.out 2>&1 || true
grep -qi "usage" publish.out || fail "signed launcher-publish.exe: $(cat publish.out)"
echo "signed and verified: launcher.exe, launcher-publish.exe"
