# Apache httpd (mod_cgid) and nginx with fcgiwrap serving the demo shop on 127.0.0.1, for
# tests/web/run, which sources this file. The configurations are those of docs/deploy.md,
# reduced to one private directory: nothing under /etc is changed and no system service is
# started.
#
#   start_apache DIR GATEWAY / start_nginx DIR GATEWAY
#       DIR holds a prepared shop (scripts/shop-site): site, htdocs, odbc, shop.db. The
#       gateway is linked into DIR/site as "quorvel": both servers start a CGI program in the
#       directory that holds it. Run as root, the servers' CGI programs run as www-data,
#       which then owns DIR. Sets web_port and web_log (where the programs' standard error
#       goes) and remembers the processes for stop_web_servers.
#   stop_web_servers
#       Ends every server started here, by its process id.

web_pids=()

web_free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 30000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
}

web_wait_listening() {  # web_wait_listening PORT PID
  local i
  for ((i = 0; i < 100; i++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# Environment for the gateway beyond what the server sets: the ODBC configuration and any
# sanitizer settings of the caller, as NAME=VALUE lines.
web_cgi_env() {
  local name
  echo "ODBCSYSINI=$1/odbc"
  for name in ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS; do
    if [[ -n ${!name:-} ]]; then echo "$name=${!name}"; fi
  done
}

web_prepare() {  # web_prepare DIR GATEWAY: links the gateway, hands DIR to the CGI user
  ln -sf "$2" "$1/site/quorvel"
  mkdir -p "$1/run"
  if ((EUID == 0)); then
    chmod 755 "$1" "$(dirname "$1")"
    chown -R www-data:www-data "$1"
  fi
}

start_apache() {
  local dir=$1 modules=/usr/lib/apache2/modules line
  web_prepare "$dir" "$2"
  web_port=$(web_free_port)
  web_log=$dir/run/error.log
  {
    echo "ServerRoot $dir/run"
    echo "PidFile $dir/run/httpd.pid"
    echo "ErrorLog $dir/run/error.log"
    echo "ScriptSock $dir/run/cgid.sock"
    echo "Listen 127.0.0.1:$web_port"
    echo "ServerName 127.0.0.1"
    if ((EUID == 0)); then echo "User www-data"; echo "Group www-data"; fi
    for line in mpm_event authz_core mime dir alias env cgid; do
      echo "LoadModule ${line}_module $modules/mod_$line.so"
    done
    echo "TypesConfig /etc/mime.types"
    cat <<EOF
DirectoryIndex index.html
DocumentRoot $dir/htdocs
<Directory $dir/htdocs>
    Require all granted
</Directory>
ScriptAlias /cgi-bin/quorvel $dir/site/quorvel
<Directory $dir/site>
    Options +ExecCGI +FollowSymLinks
    Require all granted
EOF
    while IFS= read -r line; do
      echo "    SetEnv ${line%%=*} \"${line#*=}\""
    done < <(web_cgi_env "$dir")
    echo "</Directory>"
  } >"$dir/run/apache.conf"
  apache2 -t -f "$dir/run/apache.conf" >/dev/null 2>&1 || { apache2 -t -f "$dir/run/apache.conf"; return 1; }
  apache2 -f "$dir/run/apache.conf" -D FOREGROUND 2>>"$web_log" &
  web_pids+=($!)
  web_wait_listening "$web_port" $! || { cat "$web_log" >&2; return 1; }
}

start_nginx() {
  local dir=$1 line owner=()
  web_prepare "$dir" "$2"
  web_port=$(web_free_port)
  web_log=$dir/run/fcgiwrap.log
  if ((EUID == 0)); then owner=(setpriv --reuid=www-data --regid=www-data --init-groups); fi
  {
    echo "pid $dir/run/nginx.pid;"
    echo "error_log $dir/run/error.log;"
    if ((EUID == 0)); then echo "user www-data;"; fi
    cat <<EOF
events {}
http {
  include /etc/nginx/mime.types;
  access_log $dir/run/access.log;
  client_body_temp_path $dir/run/body;
  fastcgi_temp_path $dir/run/fastcgi;
  proxy_temp_path $dir/run/proxy;
  uwsgi_temp_path $dir/run/uwsgi;
  scgi_temp_path $dir/run/scgi;
  server {
    listen 127.0.0.1:$web_port;
    server_name 127.0.0.1;
    root $dir/htdocs;
    index index.html;
    location /cgi-bin/quorvel/ {
      fastcgi_split_path_info ^(/cgi-bin/quorvel)(/.*)\$;
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME $dir/site/quorvel;
      fastcgi_param PATH_INFO \$fastcgi_path_info;
EOF
    while IFS= read -r line; do
      echo "      fastcgi_param ${line%%=*} \"${line#*=}\";"
    done < <(web_cgi_env "$dir")
    cat <<EOF
      fastcgi_pass unix:$dir/run/fcgiwrap.sock;
    }
  }
}
EOF
  } >"$dir/run/nginx.conf"
  "${owner[@]}" fcgiwrap -s "unix:$dir/run/fcgiwrap.sock" 2>>"$web_log" &
  web_pids+=($!)
  nginx -t -c "$dir/run/nginx.conf" >/dev/null 2>&1 || { nginx -t -c "$dir/run/nginx.conf"; return 1; }
  nginx -c "$dir/run/nginx.conf" -g 'daemon off;' 2>>"$dir/run/error.log" &
  web_pids+=($!)
  web_wait_listening "$web_port" $! || { cat "$dir/run/error.log" >&2; return 1; }
}

stop_web_servers() {
  local pid
  for pid in "${web_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${web_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  web_pids=()
}
