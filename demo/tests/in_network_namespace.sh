#!/usr/bin/env bash
# usage: in_network_namespace.sh COMMAND [ARGUMENT...]
# Runs COMMAND in a private network namespace with its loopback up, so that
# 127.0.0.1:3000 is free whatever runs on the machine. Exit status 77 (a
# skipped test) when no namespace can be made here.
set -u

ip_program=/usr/sbin/ip
if [ "$(id -u)" = 0 ]; then
  unshare_options=-n
else
  unshare_options=-rn
fi
if ! command -v unshare >/dev/null; then
  echo "skipped: unshare is not available, so there is no private network namespace"
  exit 77
fi
if [ ! -x "$ip_program" ]; then
  echo "skipped: $ip_program (iproute2) is missing"
  exit 77
fi
if ! unshare "$unshare_options" true 2>/dev/null; then
  echo "skipped: unshare $unshare_options failed, so there is no private network namespace"
  exit 77
fi
exec unshare "$unshare_options" /bin/sh -c '"$0" link set lo up && exec "$@"' "$ip_program" "$@"
