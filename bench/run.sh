#!/usr/bin/env bash
# The benchmark: KORU against curl, wget and lftp (and the socket file-to-file limit) on a local
# vsftpd, plain, over TLS and through a latency proxy. Run as root on a Debian machine; it
# installs what it needs, builds KORU optimised, and prints one table per workload. Extra
# arguments go to bench.py (--rounds N, --only abcdew, --big-mib N, --rtt-ms N).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh cmake ninja-build g++ libssl-dev openssl vsftpd wget curl lftp socat time python3
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORU_TESTS=OFF >/dev/null
ninja -j2 -C build-bench koru >/dev/null
python3 bench/bench.py --koru build-bench/koru "$@"
