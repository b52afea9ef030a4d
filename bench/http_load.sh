#!/usr/bin/env bash
# Cost of the HTTP layer, beside a minimal static responder in the same run:
#   - requests/s and p50/p99 latency of a 404 answered by the handler itself at 1, 16 and 64
#     kept-alive connections (wrk), and the same load against nginx returning a fixed 404;
#   - the daemon's peak resident memory (VmHWM) before and after posting a 1 GiB body.
# Usage: bench/http_load.sh [build-dir]   (KELTO_BENCH_SECONDS, default 10 per load)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${KELTO_BENCH_SECONDS:-10}

need=()
command -v wrk >/dev/null || need+=(wrk)
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || need+=(nginx-light)
command -v curl >/dev/null || need+=(curl)
if [ ${#need[@]} -gt 0 ]; then
  apt-get install -y --no-install-recommends "${need[@]}" >/dev/null || {
    apt-get update >/dev/null && apt-get install -y --no-install-recommends "${need[@]}" >/dev/null; }
fi
[ -x "$build/kelto-rest" ] || { cmake -S . -B "$build" -G Ninja >/dev/null && cmake --build "$build" -j4; }

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }

work=$(mktemp -d)
kelto_pid="" nginx_pid="" engine_pid=""
cleanup() {
  [ -n "$kelto_pid" ] && kill "$kelto_pid" 2>/dev/null || true
  [ -n "$engine_pid" ] && kill "$engine_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

kport=$(free_port)
nport=$(free_port)
printf '[server]\n' >"$work/rest.conf"
# The stand-in engine in null mode answers at once without reading the body: the 1 GiB body
# below travels the whole road (memory file, descriptor passed, 200) at the HTTP layer's cost.
"$build/kelto-testengine" --socket "$work/engine.sock" --null >/dev/null 2>&1 &
engine_pid=$!
for _ in $(seq 100); do [ -S "$work/engine.sock" ] && break; sleep 0.1; done
# -s: per-request INFO lines off, as an operator would run a loaded daemon.
KELTO_ENGINE_SOCKET="$work/engine.sock" "$build/kelto-rest" -l 127.0.0.1 -p "$kport" -t 8 -s -c "$work/rest.conf" 2>"$work/kelto.err" &
kelto_pid=$!

mkdir -p "$work/nginx"
cat >"$work/nginx.conf" <<EOF
daemon off;
worker_processes 8;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server {
    listen 127.0.0.1:$nport;
    location / { default_type text/html; return 404 "The resource '/nothing' was not found.\n"; }
  }
}
EOF
/usr/sbin/nginx -c "$work/nginx.conf" -p "$work" &
nginx_pid=$!
wait_port "$kport" && wait_port "$nport" || { echo "servers did not start"; cat "$work"/*.err "$work"/*.log; exit 1; }

# wrk --latency: "Requests/sec:" and the 50% / 99% lines of the latency distribution.
run_wrk() {
  local port=$1 conns=$2 threads=$(( $2 < 4 ? $2 : 4 ))
  wrk -t "$threads" -c "$conns" -d "${seconds}s" --latency "http://127.0.0.1:$port/nothing" >"$work/wrk.out"
  local rps p50 p99
  rps=$(awk '/Requests\/sec/ {print $2}' "$work/wrk.out")
  p50=$(awk '$1=="50%" {print $2}' "$work/wrk.out")
  p99=$(awk '$1=="99%" {print $2}' "$work/wrk.out")
  echo "$rps $p50 $p99"
}

printf '%-6s %14s %10s %10s %14s %10s %10s %8s\n' conns kelto_rps k_p50 k_p99 nginx_rps n_p50 n_p99 ratio
for conns in 1 16 64; do
  read -r krps kp50 kp99 < <(run_wrk "$kport" "$conns")
  read -r nrps np50 np99 < <(run_wrk "$nport" "$conns")
  ratio=$(python3 -c "print(f'{$krps/$nrps:.2f}')")
  printf '%-6s %14s %10s %10s %14s %10s %10s %8s\n' "$conns" "$krps" "$kp50" "$kp99" "$nrps" "$np50" "$np99" "$ratio"
done

# A 1 GiB body streamed in (chunked, from a pipe): it goes to the memory file, not to the heap.
hwm() { awk '/VmHWM/ {print $2}' "/proc/$kelto_pid/status"; }
before=$(hwm)
status=$(head -c 1073741824 /dev/zero |
  curl -s -o /dev/null -D "$work/headers" -w '%{http_code} in %{time_total}s' -T - \
    -H 'Content-Type: application/octet-stream' "http://127.0.0.1:$kport/v1/scan")
status="$status, $(grep -i '^X-Scanned-Bytes' "$work/headers" | tr -d '\r')"
after=$(hwm)
echo "1 GiB PUT answered $status; VmHWM before ${before} KiB, after ${after} KiB, rise $(( (after - before) / 1024 )) MiB ($(( after - before )) KiB)"
