#!/usr/bin/env bash
# Builds every test with AddressSanitizer and UndefinedBehaviorSanitizer and runs them.
# Installs what a fresh Debian machine lacks first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh cmake ninja-build g++ libgtest-dev libgmock-dev \
  vsftpd python3-pyftpdlib
# A third FTP server, proftpd: Debian's FTP servers conflict with one another, so it is
# unpacked beside vsftpd (never configured or started as a service) where the tests look for it.
bash scripts/unpack-debs.sh /opt/koru-test-servers proftpd-core

cmake -S . -B build-test -G Ninja -DKORU_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
ninja -C build-test
ctest --test-dir build-test --output-on-failure -j2 --timeout 300

# A few seconds of fuzzing for every fuzz target from its seeds and kept inputs (clang and
# libFuzzer, installed when missing); scripts/fuzz.sh alone runs the long sessions.
bash scripts/fuzz.sh -t 2
