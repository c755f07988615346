# Shell helpers for the scripts that run receivers on loopback (bench/run.sh,
# tests/robustness/run.sh). Source it.

# A TCP port nobody listens on right now.
freePort() {
  local p
  while :; do
    p=$((20000 + RANDOM % 20000))
    ss -ltn "( sport = :$p )" | grep -q ":$p" || { echo "$p"; return; }
  done
}

# Waits up to 10 s until a C-ECHO on PORT succeeds.
waitForEcho() {
  local port="$1"
  for _ in $(seq 100); do
    echoscu -to 2 127.0.0.1 "$port" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
