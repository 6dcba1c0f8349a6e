#!/usr/bin/env bash
# Runs a command inside a network namespace of its own, made for the run and removed after it
# in every case, so that multicast traffic of tests never reaches a real interface.
# Inside: only the loopback interface, up, multicast on, with the multicast range routed
# through it and a second address (10.250.0.1) that a search over every interface sends from.
# With KV_NETNS_VETH=1 it also adds a veth pair with both ends inside: kvveth0 (10.250.1.1/24)
# and kvveth1 (10.250.1.2/24), up and broadcast-capable, for beacon traffic between two
# interfaces of the namespace.
# Needs root (or CAP_SYS_ADMIN) and iproute2.
#
#   [KV_NETNS_VETH=1] scripts/netns-run.sh <command> [arguments...]
set -euo pipefail
if [ $# -eq 0 ]; then
  echo "usage: $0 <command> [arguments...]" >&2
  exit 2
fi
ns="kvtest-$$"
ip netns add "$ns"
trap 'ip netns delete "$ns" 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM HUP
ip -n "$ns" link set lo up
ip -n "$ns" link set lo multicast on
ip -n "$ns" route add 224.0.0.0/4 dev lo
ip -n "$ns" address add 10.250.0.1/32 dev lo
if [ "${KV_NETNS_VETH:-0}" = 1 ]; then
  ip -n "$ns" link add kvveth0 type veth peer name kvveth1
  ip -n "$ns" address add 10.250.1.1/24 broadcast + dev kvveth0
  ip -n "$ns" address add 10.250.1.2/24 broadcast + dev kvveth1
  ip -n "$ns" link set kvveth0 up
  ip -n "$ns" link set kvveth1 up
fi
set +e
ip netns exec "$ns" "$@"
status=$?
set -e
exit "$status"
