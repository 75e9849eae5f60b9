#!/usr/bin/env bash
# Prints the first mirror in this machine's apt sources that serves one of the given
# suites (tried in order): deb822 .sources files first, then one-line .list entries.
# The scripts that make Debian systems with debootstrap fetch from it, so they use the
# mirror (and so the network path) apt already uses here, and no host name is written
# into the repository.
#
#   tools/apt-mirror.sh SUITE...
set -euo pipefail

for suite in "$@"; do
  mirror=$(awk -v suite="$suite" '
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { if (uri != "" && hit) { print uri; exit } uri = ""; hit = 0; next }
      tolower($1) == "uris:" { uri = $2 }
      tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == suite) hit = 1 }
      END { if (uri != "" && hit) print uri }' /etc/apt/sources.list.d/*.sources 2>/dev/null |
    head -n1) || true
  if [ -z "$mirror" ]; then
    mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      awk -v suite="$suite" '$1 == "deb" {
          for (i = 2; i < NF; i++) if ($i ~ /^(https?|file|ftp):/ && $(i + 1) == suite) { print $i; exit }
        }' | head -n1) || true
  fi
  if [ -n "$mirror" ]; then
    echo "$mirror"
    exit 0
  fi
done
echo "apt-mirror: no mirror for $* in the apt sources" >&2
exit 1
