#!/usr/bin/env bash
# The player's journey, end to end, on this machine only:
#   1. a first run with nothing installed (full check),
#   2. a newer release published and a normal run (incremental update),
#   3. a run closed in the middle of a download, resumed by the next run.
# Lays out a demo installation under build/demo/, publishes generated
# releases with the publisher and the repository's test key, serves them
# with a private nginx on a free loopback port and runs the real launcher:
# in a window when a display is available, otherwise on the offscreen
# platform with its status lines mirrored to the terminal.
#
# With --windows, the same journey with launcher.exe and the Windows
# stand-in patcher of the windows build, under Wine: in a window on $DISPLAY
# when there is one, otherwise on a private Xvfb.
#
# Usage: [DEMO_DIR=dir] demo/run-demo.sh BUILD_DIR [--check] [--windows WINDOWS_BUILD_DIR]
#   --check  no window even with a display; exit non-zero unless every run
#            ends with the installed tree equal to the published release and
#            every finished run handed off to the patcher exactly once, with
#            "/update", in the patcher directory.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: run-demo.sh BUILD_DIR [--check] [--windows WINDOWS_BUILD_DIR]"
build=$(cd "${1:?$usage}" && pwd)
shift
check=0
windows=""
while [ $# -gt 0 ]; do
  case "$1" in
    --check) check=1 ;;
    --windows) windows=$(cd "${2:?$usage}" && pwd); shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift
done

publish_bin="$build/tools/publish/launcher-publish"
if [ -n "$windows" ]; then
  launcher_bin="$windows/src/app/launcher.exe"
  launcher_name=launcher.exe
  patcher_bin="$windows/tools/fake-patcher/patcher.exe"
  built_by="make windows"
else
  launcher_bin="$build/src/app/launcher"
  launcher_name=launcher
  patcher_bin="$build/tools/fake-patcher/patcher.exe"
  built_by="make build"
fi
for f in "$launcher_bin" "$publish_bin" "$patcher_bin"; do
  [ -x "$f" ] || { echo "demo: $f is missing; build first ($built_by)" >&2; exit 1; }
done

demo="${DEMO_DIR:-$top/build/demo${windows:+-windows}}"
install="$demo/install"
releases="$demo/releases"
server="$demo/server"
rm -rf "$demo"
mkdir -p "$install/launcher" "$install/patcher/server" "$install/config/patcher" "$releases" "$demo/nginx"

# A checked run keeps its single-instance lock to itself, so that a launcher
# running elsewhere for the same user does not turn it into a second start.
if [ "$check" -eq 1 ]; then
  export XDG_RUNTIME_DIR="$demo/runtime"
  mkdir -m 700 "$XDG_RUNTIME_DIR"
fi

say() { printf '\n== %s\n' "$*"; }
info() { printf '   %s\n' "$*"; }

# --- the installation -------------------------------------------------------
cp "$launcher_bin" "$install/launcher/$launcher_name"
cp "$top/resources/launcher.bmp" "$install/launcher/launcher.bmp"
cp "$top/resources/stringtab-en.txt" "$install/launcher/stringtab.txt"
cp "$patcher_bin" "$install/patcher/patcher.exe"
printf '[Version]\r\npid=1\r\n' > "$install/patcher/server/pid.ini"

# --- the patch server -------------------------------------------------------
publish() {
  "$publish_bin" build --releases "$releases" --key "$top/resources/keys/test-private.pem" \
    --pid 1 --out "$server" >/dev/null 2>"$demo/publish.log" ||
    { cat "$demo/publish.log" >&2; exit 1; }
  "$publish_bin" verify-tree "$server" --pubkey "$top/resources/keys/test-public.pem" >/dev/null
}

python3 "$top/demo/make_releases.py" "$releases" 1 2
publish
# nginx binds a port picked a moment before, which another program (another
# test's server) may take in between; nginx then retries for a while before
# it gives up, and meanwhile that program answers on the port. So the server
# counts as ready only once it serves this start's token, and a start whose
# nginx ended is tried again on a new port.
write_nginx_conf() {
  cat > "$demo/nginx/nginx.conf" <<NGINX
daemon off;
master_process off;
worker_processes 1;
pid $demo/nginx/nginx.pid;
error_log $demo/nginx/error.log warn;
$( [ "$(id -u)" -eq 0 ] && echo "user root root;" )
events { worker_connections 64; }
http {
  default_type application/octet-stream;
  log_format demo '\$request\t\$http_range\t\$status\t\$body_bytes_sent';
  access_log $demo/nginx/access.log demo;
  client_body_temp_path $demo/nginx/tmp_body;
  proxy_temp_path $demo/nginx/tmp_proxy;
  fastcgi_temp_path $demo/nginx/tmp_fastcgi;
  uwsgi_temp_path $demo/nginx/tmp_uwsgi;
  scgi_temp_path $demo/nginx/tmp_scgi;
  server {
    listen 127.0.0.1:$port;
    root $server;
    # Slow enough that a person sees the bars move and the demo can close
    # the launcher in the middle of a file.
    limit_rate 1m;
    location = /ready-$token { access_log off; return 200 "$token"; }
  }
}
NGINX
}
nginx_pid=""
launcher_pid=""
xvfb_pid=""
cleanup() {
  [ -n "$launcher_pid" ] && kill "$launcher_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  if [ -n "$windows" ]; then wineserver -k 2>/dev/null; wineserver -w 2>/dev/null || true; fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
ready=0
for _ in 1 2 3 4; do
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  token=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
  base="http://127.0.0.1:$port/"
  write_nginx_conf
  /usr/sbin/nginx -p "$demo/nginx" -c "$demo/nginx/nginx.conf" -e "$demo/nginx/error.log" &
  nginx_pid=$!
  for _ in $(seq 150); do
    kill -0 "$nginx_pid" 2>/dev/null || break
    if [ "$(curl -s --max-time 2 "${base}ready-$token" 2>/dev/null)" = "$token" ]; then
      ready=1
      break
    fi
    sleep 0.1
  done
  [ "$ready" -eq 1 ] && break
  kill "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=""
done
if [ "$ready" -ne 1 ]; then
  echo "demo: nginx did not start on a free port" >&2
  cat "$demo/nginx/error.log" >&2 2>/dev/null || true
  exit 1
fi
# UTF-16LE files with a byte-order mark.
python3 - "$install" "$base" <<'PY'
import sys
install, base = sys.argv[1], sys.argv[2]
def utf16(path, text):
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))
utf16(f"{install}/config/patcher/update.cfg", "UpdateServerSelect demo\r\n")
utf16(f"{install}/patcher/server/updateserver.txt",
      f'"elsewhere" "http://192.0.2.1/"\r\n"demo" "{base}"\r\n')
PY

# --- running the launcher ---------------------------------------------------
if [ "$check" -eq 0 ] && [ -n "${DISPLAY:-}" ]; then
  platform=""
  info "a display is available: the launcher opens its window"
else
  platform="offscreen"
fi
if [ -n "$windows" ]; then
  # Wine draws on an X server: the player's display, or a private one.
  if [ -n "$platform" ]; then
    exec 8< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
    xvfb_pid=$!
    read -r -u 8 display_number
    export DISPLAY=":$display_number"
  fi
  # A prefix of the demo's own, whose desktop lives on this display.
  export WINEPREFIX="${DEMO_WINEPREFIX:-$top/build/demo-wine-prefix}"
  # A crash ends the program with its status instead of waiting in a dialog.
  "$top/scripts/wine-run" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog \
    /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
  info "launcher.exe under $(wine --version 2>/dev/null || echo Wine) on display $DISPLAY"
fi
# The record file as the stand-in patcher sees it: a Windows path through
# Wine's Z: drive.
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

version_of() {
  local f="$install/config/patcher/version.sw"
  if [ -f "$f" ]; then tr -d '\r\n' < "$f"; else echo none; fi
}
requests_of() { wc -l < "$demo/nginx/access.log" 2>/dev/null || echo 0; }

start_launcher() {
  : > "$demo/launcher.out"
  (
    cd "$install/launcher"
    export FAKE_PATCHER_SECONDS=0 FAKE_PATCHER_RECORD="$demo/patcher-record.txt"
    export LAUNCHER_ECHO_STATUS=1
    if [ -n "$windows" ]; then
      FAKE_PATCHER_RECORD=$(windows_path "$demo/patcher-record.txt")
      # Started from another directory: it must find its files beside it.
      cd "$demo"
      exec "$top/scripts/wine-run" "$install/launcher/launcher.exe" "$@"
    fi
    [ -n "$platform" ] && export QT_QPA_PLATFORM="$platform"
    exec ./launcher "$@"
  ) >"$demo/launcher.out" 2>&1 &
  launcher_pid=$!
}

wait_launcher() {
  local waited=0
  while kill -0 "$launcher_pid" 2>/dev/null; do
    sleep 0.2
    waited=$((waited + 1))
    [ "$waited" -lt 600 ] || { echo "demo: the launcher did not finish" >&2; exit 1; }
  done
  local status=0
  wait "$launcher_pid" || status=$?
  launcher_pid=""
  if [ "$status" -ne 0 ]; then
    info "the launcher ended with status $status"
    [ "$check" -eq 1 ] && exit 1
  fi
  return 0
}

show_output() { sed -n 's/^\[launcher\] /   | /p' "$demo/launcher.out" | grep -v -E '\| file ' | tail -n "${1:-12}"; }

stats() {
  # Requests and bytes served since line $1 of the access log.
  awk -F'\t' -v from="$1" 'NR > from && $1 ~ /\/patcher\/patcher\// { n++; b += $4 }
    END { printf "%d files fetched, %.1f MiB transferred", n, b / 1048576 }' "$demo/nginx/access.log"
}

handoffs_of() {
  if [ -f "$demo/patcher-record.txt" ]; then wc -l < "$demo/patcher-record.txt"; else echo 0; fi
}

# The hand-offs since record line $1 must be exactly $2, each with the one
# argument "/update" and the patcher directory as working directory.
check_handoffs() {
  local from=$1 want=$2 got dir waited=0
  # The patcher runs on after the launcher has ended and writes its record
  # once it is up: wait for it (a start that should not happen gets the
  # same time to show up).
  while [ $(( $(handoffs_of) - from )) -lt "$want" ] && [ "$waited" -lt 150 ]; do
    sleep 0.1; waited=$((waited + 1))
  done
  [ "$want" -eq 0 ] && sleep 2
  got=$(( $(handoffs_of) - from ))
  dir=$(cd "$install/patcher" && pwd)
  if [ "$got" -ne "$want" ]; then
    info "patcher started $got times, expected $want"
    [ "$check" -eq 1 ] && exit 1
    return 0
  fi
  [ "$want" -eq 0 ] && { info "no patcher start"; return 0; }
  # Windows spells the directory Z:\...\patcher in the record.
  if tail -n "$want" "$demo/patcher-record.txt" |
     sed -e 's/\\\\/\//g' -e 's/cwd=Z:/cwd=/' |
     grep -q -P "\tcwd=\Q$dir\E\targc=1\targ1=/update\t"; then
    info "handed off: patcher.exe /update in ../patcher/"
  else
    info "the hand-off differs:"; tail -n "$want" "$demo/patcher-record.txt" | sed 's/^/     /'
    [ "$check" -eq 1 ] && exit 1
  fi
  return 0
}

# Closes the launcher as a player does: on Windows a click on the close
# spot, on Linux the request to end the process (the same handshake).
close_launcher() {
  if [ -n "$windows" ]; then
    local w x y
    w=$(xdotool search --onlyvisible --name '^Launcher$' 2>/dev/null | head -n 1)
    [ -n "$w" ] || { echo "demo: no launcher window to close" >&2; exit 1; }
    eval "$(xdotool getwindowgeometry --shell "$w")"
    xdotool mousemove $((X + 203)) $((Y + 32)) click 1
  else
    kill -TERM "$launcher_pid" 2>/dev/null || true
  fi
}

compare_tree() {
  # The installed patcher directory must hold exactly the release's files
  # (plus the stand-in patcher and its settings, which no release names).
  if diff -r -q -x patcher.exe -x server -x patcher-record.txt "$releases/$1" "$install/patcher" >"$demo/diff.txt"; then
    info "installed tree equals release $1"
  else
    info "installed tree differs from release $1:"; sed 's/^/     /' "$demo/diff.txt"
    [ "$check" -eq 1 ] && exit 1
  fi
}

run_step() {
  local title=$1 expect=$2
  say "$title"
  local before from start
  local handoffs
  before=$(version_of); from=$(requests_of); start=$(date +%s.%N); handoffs=$(handoffs_of)
  start_launcher
  wait_launcher
  show_output 8
  info "version before: $before, after: $(version_of); $(stats "$from"); $(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f s", e - s }')"
  compare_tree "$expect"
  check_handoffs "$handoffs" 1
}

run_step "1. First run: nothing installed, the launcher checks every file" 2

python3 "$top/demo/make_releases.py" "$releases" 3 3
publish
run_step "2. Release 3 published: a normal run applies the incremental list" 3

python3 "$top/demo/make_releases.py" "$releases" 4 4
publish
say "3. Release 4 published: the launcher is closed in the middle of a download"
from=$(requests_of)
handoffs=$(handoffs_of)
start_launcher
# Close it once the resume record shows a quarter of a file on disk.
for _ in $(seq 300); do
  if [ -f "$install/config/patcher/ustate.sw" ] &&
     awk '{ exit !($3 > 0 && $3 * 4 > $4) }' "$install/config/patcher/ustate.sw"; then
    break
  fi
  sleep 0.05
done
close_launcher
wait_launcher
show_output 4
info "closed with resume record: $(tr -d '\r\n' < "$install/config/patcher/ustate.sw" 2>/dev/null || echo none) (version, entries done, bytes done, total)"
info "version still $(version_of); $(stats "$from")"
check_handoffs "$handoffs" 0

run_step "   ... and the next run resumes where it stopped" 4
if grep -q -P '\tbytes=' "$demo/nginx/access.log"; then
  info "resumed with: $(grep -P '\tbytes=' "$demo/nginx/access.log" | tail -n 1 | cut -f1,2)"
elif [ "$check" -eq 1 ]; then
  echo "demo: no resumed (range) request was made" >&2; exit 1
fi

say "Done"
info "installation: $install"
info "logs: $install/config/patcher/update.log and fileerr.log"
info "patcher starts recorded in: $demo/patcher-record.txt ($(wc -l < "$demo/patcher-record.txt" 2>/dev/null || echo 0) starts)"
