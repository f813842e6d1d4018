#!/usr/bin/env bash
# Starts or stops a private nginx that serves disk images over HTTPS on a free loopback port.
#   sim/nginx/serve.sh start WORK DOCROOT   prints BASE=https://127.0.0.1:PORT, PORT=…, CA=WORK/ca.crt
#   sim/nginx/serve.sh stop WORK
# WORK holds everything of this instance: a certificate authority and a server certificate made
# here with openssl (valid for 127.0.0.1 and localhost, two days), nginx.conf, the pid file, the
# logs and nginx's temporary folders. Packages go to DOCROOT/velodoc/corvanereader_{arm64,x86_64}.dmg.
# Trust the CA with CORVANE_CA_BUNDLE=WORK/ca.crt (the setup) or `curl --cacert` (others).
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

start() {
  local w=$1 docroot=$2
  mkdir -p "$w/tmp" "$docroot"
  w=$(cd "$w" && pwd)
  docroot=$(cd "$docroot" && pwd)
  make_certs "$w"
  local user_line=""
  if [ "$(id -u)" = 0 ]; then
    # Workers would otherwise drop to nobody, who cannot read a private (0700) test folder.
    user_line="user $(id -un) $(id -gn);"
  fi
  local try port
  for try in $(seq 1 25); do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    sed -e "s|@WORK@|$w|g" -e "s|@DOCROOT@|$docroot|g" -e "s|@PORT@|$port|g" \
        -e "s|@USER@|$user_line|g" "$here/nginx.conf.in" > "$w/nginx.conf"
    rm -f "$w/nginx.pid"
    if "$nginx_bin" -p "$w" -e "$w/error.log" -c "$w/nginx.conf" </dev/null >>"$w/start.log" 2>&1; then
      local i
      for i in $(seq 1 100); do
        [ -s "$w/nginx.pid" ] && break
        sleep 0.02
      done
      if [ -s "$w/nginx.pid" ]; then
        echo "BASE=https://127.0.0.1:$port"
        echo "PORT=$port"
        echo "CA=$w/ca.crt"
        return 0
      fi
    fi
    grep -q "Address already in use" "$w/start.log" 2>/dev/null || break
    : > "$w/start.log"
  done
  echo "serve.sh: nginx did not start; see $w/start.log and $w/error.log" >&2
  cat "$w/start.log" >&2 || true
  return 1
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
  start) [ $# -eq 3 ] || { echo "usage: $0 start WORK DOCROOT" >&2; exit 2; }; start "$2" "$3" ;;
  stop) [ $# -eq 2 ] || { echo "usage: $0 stop WORK" >&2; exit 2; }; stop "$2" ;;
  *) echo "usage: $0 start WORK DOCROOT | stop WORK" >&2; exit 2 ;;
esac
