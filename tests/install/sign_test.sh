#!/bin/sh
# Code signing with a throw-away certificate made here: a program built with
# -DKORVANTH_SIGN_PFX is signed by the post-link step, the launcher of this
# build signs the same way through scripts/sign-exe, and both signatures
# verify against that certificate. A build without the option, or a wrong
# password, signs nothing.
#   sign_test.sh SOURCE_DIR LAUNCHER
set -eu
src=$1
launcher=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "sign_test: $*" >&2; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Korvanth throw-away test signer" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/signer.pfx" \
  -passout pass:test-secret
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.txt" 2>&1; }

# The post-link step of a build configured with the certificate.
configure() {
  cmake -S "$src/tests/install/signing" -B "$work/$1" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" -DKORVANTH_SOURCE_DIR="$src" "$2" \
    >"$work/$1.log" 2>&1 || { cat "$work/$1.log" >&2; fail "configuring $1 failed"; }
}
configure signed-build -DKORVANTH_SIGN_PFX="$work/signer.pfx"
KORVANTH_SIGN_PASSWORD=test-secret cmake --build "$work/signed-build" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; fail "the signed build failed"; }
verify "$work/signed-build/signed.exe" || { cat "$work/verify.txt" >&2; fail "build signature"; }

# A wrong password fails the build instead of leaving an unsigned program.
rm -f "$work/signed-build/signed.exe"
if KORVANTH_SIGN_PASSWORD=wrong cmake --build "$work/signed-build" >"$work/wrong.log" 2>&1; then
  fail "a wrong password did not fail the build"
fi
grep -q "could not sign" "$work/wrong.log" || { cat "$work/wrong.log" >&2; fail "wrong password: another failure"; }

# Without the option nothing is signed.
configure plain-build -DKORVANTH_SIGN_PFX=
cmake --build "$work/plain-build" >"$work/plain.log" 2>&1 || fail "the plain build failed"
if verify "$work/plain-build/signed.exe"; then fail "an unconfigured build was signed"; fi

# The launcher itself, signed as the post-link step signs it.
cp "$launcher" "$work/Korvanth.exe"
KORVANTH_SIGN_PASSWORD=test-secret sh "$src/scripts/sign-exe" "$work/Korvanth.exe" "$work/signer.pfx"
verify "$work/Korvanth.exe" || { cat "$work/verify.txt" >&2; fail "launcher signature"; }
grep -q "Korvanth throw-away test signer" "$work/verify.txt" || fail "another signer"
echo "signed and verified with a throw-away certificate"
