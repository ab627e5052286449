#!/usr/bin/env bash
# Shows KORU at work: builds it, serves a small generated tree from a local FTP server on
# 127.0.0.1, mirrors it into a fresh directory with -S -V, shows what arrived, stops the server.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

bash scripts/install-deps.sh cmake ninja-build g++ libssl-dev python3-pyftpdlib
cmake -S . -B build -G Ninja -DKORU_TESTS=OFF >/dev/null
ninja -C build koru >/dev/null

work=$(mktemp -d /tmp/koru-demo.XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The tree the server offers.
mkdir -p "$work/root/pub/docs/notes" "$work/root/pub/images" "$work/mirror"
printf 'Welcome to the KORU demo.\n' > "$work/root/pub/README.txt"
seq 1 20000 > "$work/root/pub/numbers.txt"
head -c 300000 /dev/urandom > "$work/root/pub/images/noise.bin"
printf 'first note\n' > "$work/root/pub/docs/notes/one.txt"
printf 'second note\n' > "$work/root/pub/docs/notes/two.txt"
seq 1 500 | sed 's/^/line /' > "$work/root/pub/docs/manual.txt"
touch -d '2024-03-15 14:05' "$work/root/pub/README.txt"

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
/usr/bin/python3 -m pyftpdlib -i 127.0.0.1 -p "$port" -d "$work/root" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "The demo FTP server did not start:" >&2
  cat "$work/server.log" >&2
  exit 1
fi

# Runs KORU in the mirror directory; a failed run ends the demo with its exit code.
koru() {
  (cd "$work/mirror" && "$top/build/koru" "$@")
}

echo "== koru 127.0.0.1:$port/pub/ -S -V   (in an empty directory)"
koru "127.0.0.1:$port/pub/" -S -V
echo
echo "== What arrived:"
(cd "$work/mirror" && find . -type f -printf '%10s  %TY-%Tm-%Td %TH:%TM  %p\n' | sort -k4)
echo
echo "== The same again: nothing left to transfer"
koru "127.0.0.1:$port/pub/" -S
