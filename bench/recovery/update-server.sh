# Sourced by the recovery benchmarks. start_update_server: serves $WORK/fw
# with qn-update-server on a loopback port (its pid joins PIDS) and sets URL.
start_update_server() {
  "$TOOLS/qn-update-server" --root "$WORK/fw" --listen 127.0.0.1:0 > "$WORK/server.out" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 50); do grep -q listening "$WORK/server.out" && break; sleep 0.1; done
  URL="http://$(grep -o '127.0.0.1:[0-9]*' "$WORK/server.out")/cgi/u"
}
