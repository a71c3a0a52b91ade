#!/usr/bin/env bash
# A job across three "hosts" on one machine: network namespaces with their own
# addresses and host names on one bridge, joined by Open MPI over TCP, whose
# remote start enters the namespace where ssh would log in. They share one
# folder, as clients of a shared file system do.
set -euo pipefail
cli=$1
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || skip "network namespaces need root"
for tool in mpirun ip unshare jq; do command -v "$tool" >/dev/null || skip "$tool is missing"; done
"$cli" write --help | grep -q -- --shared-file || skip "orvandel-cli has no job options"

# Open MPI's plugins, unloaded at its end, leave allocations the leak checker
# of a sanitizer build cannot attribute.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
tag=ov$$
net=10.$((200 + $$ % 50)).$(($$ % 250)).
dir=$(mktemp -d /tmp/orvandel-hosts.XXXXXX)
cleanup() {
  for i in 1 2 3; do ip netns del "$tag-h$i" 2>/dev/null || true; done
  ip link del "$tag-br" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
ip link add "$tag-br" type bridge || skip "cannot make a bridge here"
ip addr add "${net}254/24" dev "$tag-br"
ip link set "$tag-br" up
hosts=()
for i in 1 2 3; do
  ns=$tag-h$i
  ip netns add "$ns" || skip "cannot make a network namespace here"
  ip link add "$tag-v$i" type veth peer name eth0 netns "$ns"
  ip link set "$tag-v$i" master "$tag-br" up
  ip -n "$ns" addr add "$net$i/24" dev eth0
  ip -n "$ns" link set eth0 up
  ip -n "$ns" link set lo up
  hosts+=("$net$i")
done

# What ssh would do: run the command line in the host's namespace, under the
# host's own name.
cat >"$dir/agent" <<AGENT
#!/bin/sh
host=\$1
shift
exec ip netns exec "$tag-h\${host##*.}" unshare --uts sh -c "hostname node\${host##*.}; \$*"
AGENT
chmod +x "$dir/agent"
mkdir "$dir/shared"

job() {
  timeout 120 mpirun --allow-run-as-root --oversubscribe -np 3 \
    --host "$(IFS=,; echo "${hosts[*]}")" \
    --mca plm_rsh_agent "$dir/agent" --mca routed direct \
    --mca oob_tcp_if_include "${net}0/24" --mca btl_tcp_if_include "${net}0/24" \
    --mca btl tcp,self "$cli" "$@"
}

out=$(job write --file "$dir/shared/t.bin" --size 4 --json) || fail "write: $out"
[ "$(jq -r .host_count <<<"$out")" = 3 ] || fail "the job ran on $(jq -c '[.ranks[].host]' <<<"$out")"
[ "$(jq -r '[.ranks[].host] | sort | join(",")' <<<"$out")" = node1,node2,node3 ] ||
  fail "hosts: $(jq -c '[.ranks[].host]' <<<"$out")"
for r in 0 1 2; do
  [ "$(stat -c %s "$dir/shared/t.bin.r000$r")" = 4194304 ] || fail "rank $r's file"
done
# The total is every byte over the span of all ranks, from the ranks' records.
jq -e '(.ranks | map(.end_ns) | max) == .aggregate.elapsed_ns and
       (.ranks | map(.start_ns) | min) == 0 and
       .aggregate.test_size == 12582912' <<<"$out" >/dev/null || fail "totals: $out"

out=$(job random --read --count 300 --depth 4 --file "$dir/shared/t.bin" --json) || fail "random: $out"
jq -e '.aggregate.transfers == 900 and .host_count == 3' <<<"$out" >/dev/null || fail "random: $out"

# A rank that fails on its own host ends the job everywhere.
rm "$dir/shared/t.bin.r0002"
mkdir "$dir/shared/t.bin.r0002"
if out=$(job read --file "$dir/shared/t.bin" --json 2>/dev/null); then fail "a failed rank passed"; fi
jq -e '.ok == false and (.reason | startswith("rank 2 on node"))' <<<"$out" >/dev/null ||
  fail "failure: $out"
echo "three hosts: write, random and a failing rank as expected"
