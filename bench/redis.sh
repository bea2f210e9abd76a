# Sourced by the calls and registrations benchmarks: OSTREL_BENCH_REDIS=ADDR:PORT starts a redis-server there
# (no persistence) for a run with the state store (its keywords given by OSTREL_BENCH_EXTRA_CFG), so that its
# CPU time can be reported beside the daemon's. Expects $work and the pids array; sets $redis (empty: none).
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
