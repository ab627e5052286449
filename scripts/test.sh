#!/usr/bin/env bash
# Builds every test with AddressSanitizer and UndefinedBehaviorSanitizer and runs them.
# Installs what a fresh Debian machine lacks first.
set -euo pipefail
cd "$(dirname "$0")/.."

# The install tests check the manual page (groff-base, man-db), build a C caller with pkg-config
# (pkgconf), make the Debian packages (dpkg-dev and file, for their library dependencies) and
# check them with lintian.
# FTP over TLS needs OpenSSL (libssl-dev); its tests make their certificates with openssl and
# run pyftpdlib's TLS handler (python3-openssl).
bash scripts/install-deps.sh cmake ninja-build g++ libgtest-dev libgmock-dev libssl-dev \
  vsftpd python3-pyftpdlib python3-openssl openssl groff-base man-db pkgconf dpkg-dev file lintian
# Two more FTP servers, proftpd and pure-ftpd: Debian's FTP servers conflict with one another,
# so they are unpacked beside vsftpd (never configured or started as a service) where the tests
# look for them.
bash scripts/unpack-debs.sh /opt/koru-test-servers proftpd-core pure-ftpd

# Line tables only (-g1): a sanitizer's report still names function, file and line, and the
# build, mostly the test programs, compiles and links faster than with full debug information.
cmake -S . -B build-test -G Ninja -DKORU_SANITIZE=ON -DKORU_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1 >/dev/null
ninja -C build-test

# The fuzz targets, and then the unit tests with ThreadSanitizer, are built (niced) while the
# suite runs: most end-to-end cases wait on servers and timers rather than on the processor.
# ThreadSanitizer excludes AddressSanitizer, hence a build of its own.
# Warnings are the ASan build's to catch: at the optimisation ThreadSanitizer is built with,
# GCC 12 reports bounds in the standard library's string code that are not there.
build_tsan() {
  cmake -S . -B build-tsan -G Ninja -DKORU_TSAN=ON -DKORU_WERROR=OFF -DCMAKE_BUILD_TYPE=Debug \
    >/dev/null
  nice -n 10 ninja -C build-tsan koru_tests
}
{ bash scripts/fuzz.sh -b && build_tsan; } &
fuzz_build=$!
suite_status=0
ctest --test-dir build-test --output-on-failure -j2 --timeout 300 || suite_status=$?
build_status=0
wait "$fuzz_build" || build_status=$?
[ "$suite_status" -eq 0 ] || exit "$suite_status"
[ "$build_status" -eq 0 ] || exit "$build_status"

# Every unit test under ThreadSanitizer, in the shards of the unit label: the first race ends
# a shard. Only reports that are no race of KORU's are suppressed (tests/tsan.supp).
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  ctest --test-dir build-tsan -L unit --output-on-failure -j2

# A few seconds of fuzzing for every fuzz target from its seeds and kept inputs (clang and
# libFuzzer, installed when missing); scripts/fuzz.sh alone runs the long sessions.
bash scripts/fuzz.sh -t 2
