# Sourced by the calls and registrations benchmarks: the daemon's binary and other bench targets, Kamailio beside it,
# an optional Redis, and CPU counts from /proc. Expects $root, $build, $shared, $work and the pids array.

# Sets $ostrel: OSTREL_BENCH_BIN, or the Release build of this tree.
bench_binary() {
  if [ -n "${OSTREL_BENCH_BIN:-}" ]; then
    ostrel=$OSTREL_BENCH_BIN
  else
    ostrel=$(bench_tool ostrel)
  fi
}

# Builds one target of the Release bench tree and prints the path of its executable.
bench_tool() {
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BENCH=ON -DOSTREL_TESTS=OFF >/dev/null
  cmake --build "$build" -j "${JOBS:-2}" --target "$1" >/dev/null
  find "$build" -name "$1" -type f -perm -u+x | head -1
}

# Kamailio from a copy of the shared configuration (it writes next to itself), its control socket moved into
# this run's folder so that runs never share it; sets $kamailio once 127.0.0.1:5070 (0100007F:13CE) is bound.
start_kamailio() {
  mkdir "$work/kam"
  sed "s#unix:/tmp/kamailio_bench_ctl#unix:$work/kam/ctl#" "$shared/bench/peers/kamailio.cfg" >"$work/kam/kamailio.cfg"
  (cd "$work/kam" && exec kamailio -f kamailio.cfg -A KCHILDREN=4 -DD -E -Y "$work/kam" -P "$work/kam/pid" \
    -m 1024 -M 16 -x fm >"$work/kam/out.log" 2>&1) &
  kamailio=$!; pids+=("$kamailio")
  for _ in $(seq 100); do grep -q "0100007F:13CE " /proc/net/udp && break; sleep 0.1; done
}

# OSTREL_BENCH_REDIS=ADDR:PORT starts a redis-server there (no persistence) for a run with the state store
# (its keywords given by OSTREL_BENCH_EXTRA_CFG), so that its CPU time can be reported beside the daemon's;
# sets $redis (empty: none).
start_redis() {
  redis=
  if [ -n "${OSTREL_BENCH_REDIS:-}" ]; then
    redis-server --bind "${OSTREL_BENCH_REDIS%:*}" --port "${OSTREL_BENCH_REDIS#*:}" --save '' --appendonly no \
      --dir "$work" --logfile "$work/redis.log" </dev/null >/dev/null 2>&1 &
    redis=$!; pids+=("$redis")
    for _ in $(seq 100); do
      redis-cli -h "${OSTREL_BENCH_REDIS%:*}" -p "${OSTREL_BENCH_REDIS#*:}" ping 2>/dev/null | grep -q PONG && break
      sleep 0.1
    done
  fi
}

# CPU ticks of a process and of the children it forked (Kamailio's). CPU_FIELDS='$14' counts user time only
# (the rest is the kernel's, mostly loopback delivery, which the sender pays).
cpu_ticks() {
  local total=0 p
  for p in "$@" $(cat /proc/"$1"/task/*/children 2>/dev/null); do
    [ -r "/proc/$p/stat" ] && total=$((total + $(awk "{print ${CPU_FIELDS:-\$14+\$15}}" "/proc/$p/stat")))
  done
  echo "$total"
}
