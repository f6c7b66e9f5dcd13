#!/usr/bin/env bash
# The kit at work on this machine, with nothing but loopback servers:
# installs what is missing, builds, then starts a mosquitto broker (with a
# WebSocket listener), a stand-in of the REST service and gpsd fed by gpsfake
# with a recorded drive (examples/data/demo-route.nmea, played about four
# times faster than it was driven).  The host app (examples/demo.cpp)
# initializes the kit, creates a user, starts active tracking and publishes;
# a watcher on the user's topic prints each position as it arrives.  Midway
# the broker is stopped for a few seconds and started again, so positions
# are buffered by the kit and replayed.  At the end the watcher writes the
# delivered track as GeoJSON and prints a summary.  Every server started here
# is stopped by its process id, also on Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$SECONDS

say() { printf '[demo]    %s\n' "$*"; }

bash scripts/setup.sh
# The plain build (scripts/build.sh plain), only the targets the demo runs.
bin=$root/$(bash scripts/build.sh --dir plain)
say "building the kit and the demo's programs (plain build in $bin)..."
mkdir -p "$bin"
if ! { cmake -S . -B "$bin" -G Ninja -DPELK_SANITIZE= &&
       cmake --build "$bin" --target pelk_demo pelk_rest_standin pelk_track_watcher; } >"$bin/demo-build.log" 2>&1; then
  tail -n 30 "$bin/demo-build.log"
  say "build failed (whole log: $bin/demo-build.log)"
  exit 1
fi
say "built in $((SECONDS - started)) s"

run=$(mktemp -d "${TMPDIR:-/tmp}/pelk-demo.XXXXXX")
# The kit keeps its settings and buffers under the XDG directories: a fresh
# set per run, so every run starts as a first launch.
export XDG_DATA_HOME=$run/home/data XDG_CONFIG_HOME=$run/home/config XDG_CACHE_HOME=$run/home/cache

# Processes this script started, stopped in reverse order by process id; a
# negative id is a process group (gpsfake and the gpsd it runs).
pids=()
sleeper=
stop_all() {
  local i pid
  if [ -n "$sleeper" ]; then kill -TERM "$sleeper" 2>/dev/null || true; fi
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill -TERM -- "$pid" 2>/dev/null || true
  done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]#-}
    for _ in $(seq 20); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "${pids[i]}" 2>/dev/null || true
  done
  pids=()
}
trap stop_all EXIT
trap 'echo; say "interrupted: stopping everything it started"; exit 130' INT TERM

# A pause that a signal to this script ends at once (a plain sleep would hold
# the trap back until it is over).
pause() {
  sleep "$1" &
  sleeper=$!
  wait "$sleeper" || true
  sleeper=
}
free_port() {
  local port
  while true; do
    port=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then echo "$port"; return; fi
  done
}
# True once the process `id` (or a process of the group `id`) listens on the
# loopback port: a port answering is not enough, another program may have
# taken it meanwhile, and this server then failed to bind.
wait_for_own_port() {
  local port=$1 id=$2 p
  for _ in $(seq 100); do
    kill -0 "$id" 2>/dev/null || return 1
    for p in $(ss -Htlnp "sport = :$port" 2>/dev/null | grep -o 'pid=[0-9]*' | cut -d= -f2); do
      if [ "$p" = "$id" ] || [ "$(ps -o pgid= -p "$p" 2>/dev/null | tr -d ' ')" = "$id" ]; then return 0; fi
    done
    sleep 0.1
  done
  return 1
}
wait_for_file() {
  for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done
  return 1
}

# --- the broker: TCP for the watcher, WebSockets for the kit; persistent, so
# the watcher's session survives the restart below.
mqtt_port=$(free_port)
ws_port=$(free_port)
while [ "$ws_port" = "$mqtt_port" ]; do ws_port=$(free_port); done
mkdir -p "$run/mosquitto"
{
  echo "per_listener_settings false"
  echo "allow_anonymous true"
  # As root mosquitto would switch to its own user, which cannot read $run.
  if [ "$(id -u)" -eq 0 ]; then echo "user root"; fi
  echo "log_type all"
  echo "persistence true"
  echo "persistence_location $run/mosquitto/"
  echo "listener $mqtt_port 127.0.0.1"
  echo "listener $ws_port 127.0.0.1"
  echo "protocol websockets"
} >"$run/mosquitto.conf"
broker=
start_broker() {
  mosquitto -c "$run/mosquitto.conf" >>"$run/mosquitto.log" 2>&1 &
  broker=$!
  pids+=("$broker")
  wait_for_own_port "$mqtt_port" "$broker" && wait_for_own_port "$ws_port" "$broker"
}
start_broker || { say "mosquitto did not start: $run/mosquitto.log"; exit 1; }
say "mosquitto (pid $broker) on 127.0.0.1: MQTT $mqtt_port, WebSockets $ws_port"

# --- the REST stand-in
user_id=u-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')
account_id=acc-demo
project_id=prj-demo
"$bin/tools/pelk_rest_standin" --port-file "$run/rest.port" --user-id "$user_id" \
  --account-id "$account_id" --project-id "$project_id" &
rest=$!
pids+=("$rest")
wait_for_file "$run/rest.port" || { say "the REST stand-in did not start"; exit 1; }
rest_url=http://127.0.0.1:$(cat "$run/rest.port")
say "REST stand-in (pid $rest) at $rest_url"

# --- gpsd fed by gpsfake; gpsfake waits for gpsd's first client (the kit).
gps_port=$(free_port)
setsid gpsfake -P "$gps_port" -q -1 -c 0.08 -W 300 examples/data/demo-route.nmea >"$run/gpsfake.log" 2>&1 &
gpsfake=$!
pids+=("-$gpsfake")
disown "$gpsfake"  # stopped with its gpsd below; no job notice when it goes
wait_for_own_port "$gps_port" "$gpsfake" || { say "gpsd did not start: $run/gpsfake.log"; exit 1; }
say "gpsd via gpsfake (process group $gpsfake) on 127.0.0.1:$gps_port, route examples/data/demo-route.nmea"

# --- the watcher on the user's topic
topic=locations/$account_id/$project_id/$user_id
"$bin/tools/pelk_track_watcher" --broker "tcp://127.0.0.1:$mqtt_port" --topic "$topic" \
  --account-id "$account_id" --ready-file "$run/watcher.ready" --geojson "$run/track.geojson" \
  --host-positions "$run/host-positions.jsonl" --gpsd-log "$run/gpsd.json" --drain-seconds 45 &
watcher=$!
pids+=("$watcher")
wait_for_file "$run/watcher.ready" || { say "the watcher did not subscribe"; exit 1; }

# --- the host app
: >"$run/host-positions.jsonl"
PELK_GPSD_HOST=127.0.0.1 PELK_GPSD_PORT=$gps_port "$bin/examples/pelk_demo" --rest "$rest_url" \
  --mqtt "ws://127.0.0.1:$ws_port/mqtt" --positions "$run/host-positions.jsonl" > >(tee "$run/host.log") 2>&1 &
host=$!
pids+=("$host")
for _ in $(seq 300); do
  grep -q "tracking started" "$run/host.log" 2>/dev/null && break
  kill -0 "$host" 2>/dev/null || { say "the host app ended early"; exit 1; }
  sleep 0.1
done
grep -q "tracking started" "$run/host.log" || { say "the host app did not start tracking within 30 s"; exit 1; }
# A second gpsd client counts the fixes gpsd reports.
gpspipe -w "127.0.0.1:$gps_port" >"$run/gpsd.json" 2>/dev/null &
pids+=("$!")

# --- midway, the broker goes away for a few seconds
pause 20
say "stopping the broker (pid $broker) for 6 s: the kit keeps positions meanwhile"
kill -TERM "$broker"
wait "$broker" 2>/dev/null || true
# Gone: its id is no longer this script's to signal.
for i in "${!pids[@]}"; do [ "${pids[i]}" = "$broker" ] && unset 'pids[i]'; done
pids=("${pids[@]}")
pause 6
start_broker || { say "mosquitto did not start again: $run/mosquitto.log"; exit 1; }
say "broker started again (pid $broker, same ports): the kit reconnects and replays"

# --- the end of the route: gpsd has reported nothing new for 3 s.
last=-1
quiet=0
while [ "$quiet" -lt 30 ]; do
  size=$(stat -c %s "$run/gpsd.json")
  if [ "$size" = "$last" ]; then quiet=$((quiet + 1)); else quiet=0; last=$size; fi
  sleep 0.1
done
say "route played to its end; waiting for every position to reach the watcher"
kill -USR1 "$watcher" 2>/dev/null || true
status=0
wait "$watcher" || status=$?
kill -TERM "$host" 2>/dev/null || true
wait "$host" 2>/dev/null || true
stop_all
say "every server stopped; ran $((SECONDS - started)) s in all (files: $run)"
exit "$status"
