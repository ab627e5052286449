#!/usr/bin/env bash
# Unpacks the Debian packages named after the target directory into it, for packages that
# cannot be installed beside the others: Debian's FTP servers all conflict with one another
# (each provides "ftp-server"), so the tests install vsftpd and unpack the others. What an
# unpacked package depends on is installed as usual; the package itself is never configured,
# so it adds no user and starts no service.
#
#   bash scripts/unpack-debs.sh /opt/koru-test-servers proftpd-core pure-ftpd
set -euo pipefail
cd "$(dirname "$0")/.."

target="$1"
shift

# What a server started in the foreground by the tests does without: the super-server that
# would start it as a service, and the packaging's wrapper scripts and init helpers.
not_needed='^(openbsd-inetd|inet-superserver|lsb-base|pure-ftpd-common)$'

# The names a Depends field lists: the first of each set of alternatives, without versions
# and architecture qualifiers.
depends_of() {
  dpkg-deb -f "$1" Pre-Depends Depends | sed -e 's/^[A-Za-z-]*: //' | tr ',' '\n' |
    sed -e 's/|.*//' -e 's/(.*)//' -e 's/:.*//' -e 's/[[:space:]]//g' | grep -v '^$' |
    grep -Ev "$not_needed" || true
}

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

for package in "$@"; do
  version="$(apt-cache policy "$package" 2>/dev/null | sed -n 's/^ *Candidate: //p')"
  if [ -z "$version" ] || [ "$version" = "(none)" ]; then
    $sudo apt-get update -qq
    version="$(apt-cache policy "$package" | sed -n 's/^ *Candidate: //p')"
  fi
  stamp="$target/.unpacked/$package"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ]; then
    continue
  fi

  echo "Unpacking: $package $version into $target"
  download="$(mktemp -d)"
  chmod 777 "$download"  # apt fetches as its own unprivileged user
  (cd "$download" && apt-get download -qq "$package=$version")
  deb="$(ls "$download"/*.deb)"
  mapfile -t needed < <(depends_of "$deb")
  bash scripts/install-deps.sh "${needed[@]}"
  $sudo mkdir -p "$target/.unpacked"
  $sudo dpkg-deb -x "$deb" "$target"
  echo "$version" | $sudo tee "$stamp" >/dev/null
  rm -rf "$download"
done
