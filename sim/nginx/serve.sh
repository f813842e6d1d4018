#!/usr/bin/env bash
# Starts or stops a private nginx that serves disk images over HTTPS on a free loopback port.
#   sim/nginx/serve.sh start WORK DOCROOT   daemonised; prints BASE=https://127.0.0.1:PORT, PORT=…,
#                                           CA=WORK/ca.crt and returns; `stop WORK` ends it
#   sim/nginx/serve.sh run WORK DOCROOT     in the foreground: prints the same lines once nginx
#                                           listens, then stays until SIGTERM/SIGINT/SIGHUP (it
#                                           stops nginx and exits 0) or until nginx ends
#   sim/nginx/serve.sh stop WORK
# WORK holds everything of this instance: a certificate authority and a server certificate made
# here with openssl (valid for 127.0.0.1 and localhost, two days), nginx.conf, the pid file, the
# logs and nginx's temporary folders. Packages go to DOCROOT/velodoc/corvanereader_{arm64,x86_64}.dmg.
# Trust the CA with CORVANE_CA_BUNDLE=WORK/ca.crt (the setup) or `curl --cacert` (others).
# CORVANE_NGINX_LIMIT_RATE=2m caps every connection (nginx's limit_rate), as mirrors and CDN
# edges often do.
#
# `run` is for tests: nginx is a single process (no master, no workers that could be orphaned)
# that gets SIGKILL when this script dies, however it dies. A caller that ties this script to its
# own life (PR_SET_PDEATHSIG, `setpriv --pdeathsig KILL`) leaves no server behind when it is
# killed, e.g. by CTest at a time limit. A daemonised `start` outlives its caller by design.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

make_certs() {
  local w=$1
  [ -s "$w/server.crt" ] && [ -s "$w/ca.crt" ] && return 0
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$w/ca.key" -out "$w/ca.crt" -days 2 -subj "/CN=Corvane Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    >/dev/null 2>&1
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$w/server.key" -out "$w/server.csr" -subj "/CN=127.0.0.1" >/dev/null 2>&1
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
    > "$w/server.ext"
  openssl x509 -req -in "$w/server.csr" -CA "$w/ca.crt" -CAkey "$w/ca.key" -CAcreateserial \
    -out "$w/server.crt" -days 2 -extfile "$w/server.ext" >/dev/null 2>&1
}

# Writes WORK/nginx.conf for PORT; $1 WORK, $2 DOCROOT, $3 PORT, $4 "on" to daemonise.
write_conf() {
  local w=$1 docroot=$2 port=$3 daemon=$4 user_line=""
  if [ "$(id -u)" = 0 ]; then
    # Workers would otherwise drop to nobody, who cannot read a private (0700) test folder.
    user_line="user $(id -un) $(id -gn);"
  fi
  sed -e "s|@WORK@|$w|g" -e "s|@DOCROOT@|$docroot|g" -e "s|@PORT@|$port|g" \
      -e "s|@USER@|$user_line|g" -e "s|@DAEMON@|$daemon|g" -e "s|@MASTER@|$daemon|g" \
      -e "s|@LIMIT_RATE@|${CORVANE_NGINX_LIMIT_RATE:+limit_rate $CORVANE_NGINX_LIMIT_RATE;}|g" \
      "$here/nginx.conf.in" > "$w/nginx.conf"
}

random_port() { echo $((20000 + (RANDOM * 32768 + RANDOM) % 40000)); }

announce() {
  echo "BASE=https://127.0.0.1:$2"
  echo "PORT=$2"
  echo "CA=$1/ca.crt"
}

fail_start() {
  echo "serve.sh: nginx did not start; see $1/start.log and $1/error.log" >&2
  cat "$1/start.log" >&2 || true
  return 1
}

# Makes the work and document folders, turns the caller's `w` and `docroot` into absolute paths
# (bash's dynamic scope) and makes the certificates.
prepare_work() {
  mkdir -p "$w/tmp" "$docroot"
  w=$(cd "$w" && pwd)
  docroot=$(cd "$docroot" && pwd)
  make_certs "$w"
}

start() {
  local w=$1 docroot=$2
  prepare_work
  local try port
  for try in $(seq 1 25); do
    port=$(random_port)
    write_conf "$w" "$docroot" "$port" on
    rm -f "$w/nginx.pid"
    if "$nginx_bin" -p "$w" -e "$w/error.log" -c "$w/nginx.conf" </dev/null >>"$w/start.log" 2>&1; then
      local i
      for i in $(seq 1 100); do
        [ -s "$w/nginx.pid" ] && break
        sleep 0.02
      done
      if [ -s "$w/nginx.pid" ]; then
        announce "$w" "$port"
        return 0
      fi
    fi
    grep -q "Address already in use" "$w/start.log" 2>/dev/null || break
    : > "$w/start.log"
  done
  fail_start "$w"
}

run() {
  local w=$1 docroot=$2
  prepare_work
  local try port child="" stopping=0 status=0
  trap 'stopping=1; [ -n "$child" ] && kill -TERM "$child" 2>/dev/null' TERM INT HUP
  for try in $(seq 1 25); do
    port=$(random_port)
    write_conf "$w" "$docroot" "$port" off
    rm -f "$w/nginx.pid"
    : > "$w/start.log"
    setpriv --pdeathsig KILL -- "$nginx_bin" -p "$w" -e "$w/error.log" -c "$w/nginx.conf" \
      </dev/null >>"$w/start.log" 2>&1 &
    child=$!
    # nginx writes its pid file once its socket listens, or it ends: no time limit is needed.
    while [ "$(cat "$w/nginx.pid" 2>/dev/null)" != "$child" ] && running "$child"; do
      sleep 0.02
    done
    if running "$child" && [ "$stopping" = 0 ]; then
      announce "$w" "$port"
      # `wait` returns early when a trapped signal arrives; wait again until nginx has ended.
      while :; do
        status=0
        wait "$child" || status=$?
        running "$child" || break
      done
      rm -f "$w/nginx.pid"
      [ "$stopping" = 1 ] && return 0
      return "$status"
    fi
    wait "$child" 2>/dev/null || true
    [ "$stopping" = 0 ] || return 0
    grep -q "Address already in use" "$w/start.log" 2>/dev/null || break
  done
  fail_start "$w"
}

# True while the process runs (a zombie waiting for its reaper has stopped).
running() {
  local stat
  read -r stat < "/proc/$1/stat" 2>/dev/null || return 1
  stat=${stat##*) }
  [ "${stat:0:1}" != Z ]
}

stop() {
  local w=$1 pid i
  [ -s "$w/nginx.pid" ] || return 0
  pid=$(cat "$w/nginx.pid")
  kill -TERM "$pid" 2>/dev/null || { rm -f "$w/nginx.pid"; return 0; }
  for i in $(seq 1 250); do
    running "$pid" || break
    sleep 0.02
  done
  kill -KILL "$pid" 2>/dev/null || true
  rm -f "$w/nginx.pid"
}

case ${1:-} in
  start|run) [ $# -eq 3 ] || { echo "usage: $0 $1 WORK DOCROOT" >&2; exit 2; }; "$1" "$2" "$3" ;;
  stop) [ $# -eq 2 ] || { echo "usage: $0 stop WORK" >&2; exit 2; }; stop "$2" ;;
  *) echo "usage: $0 start|run WORK DOCROOT | stop WORK" >&2; exit 2 ;;
esac
