# Apache httpd and nginx serving the demo shop on 127.0.0.1, for tests/web/run, which
# sources this file. The configurations are those of docs/deploy.md, reduced to one private
# directory: nothing under /etc is changed and no system service is started.
#
#   start_apache DIR GATEWAY MODE / start_nginx DIR GATEWAY MODE
#       DIR holds a prepared shop (scripts/shop-site): site, htdocs, odbc, shop.db.
#       MODE cgi: Apache runs the gateway with mod_cgid, nginx through fcgiwrap. The gateway
#       is linked into DIR/site as "quorvel": both start a CGI program in the directory
#       that holds it.
#       MODE fastcgi: one gateway process started here with --fastcgi and --site DIR/site
#       serves on 127.0.0.1:PORT for Apache (mod_proxy_fcgi), on the Unix socket
#       DIR/run/quorvel.sock for nginx (fastcgi_pass).
#       Run as root, the gateway runs as www-data, which then owns DIR. Sets web_port and
#       web_log (where the gateway's standard error goes) and remembers the processes for
#       stop_web_servers.
#   web_available SERVER MODE
#       Whether the server and what the mode needs of it are installed.
#   stop_web_servers
#       Ends every server and gateway started here, by its process id.

web_pids=()

# Ports below 32768: above it the system hands out the local ports of outgoing
# connections, which a long-lived connection of another test may hold when the server binds.
web_free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 12000))
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

web_available() {
  local modules=/usr/lib/apache2/modules
  case $1/$2 in
    apache/cgi) command -v apache2 >/dev/null && [[ -f $modules/mod_cgid.so ]] ;;
    apache/fastcgi) command -v apache2 >/dev/null && [[ -f $modules/mod_proxy_fcgi.so ]] ;;
    nginx/cgi) command -v nginx >/dev/null && command -v fcgiwrap >/dev/null ;;
    nginx/fastcgi) command -v nginx >/dev/null ;;
    *) return 1 ;;
  esac
}

# web_prepare DIR GATEWAY MODE: hands DIR to the gateway's user (web_owner runs a command
# as that user); for CGI links the gateway into the site.
web_prepare() {
  if [[ $3 == cgi ]]; then ln -sf "$2" "$1/site/quorvel"; fi
  mkdir -p "$1/run"
  web_owner=()
  if ((EUID == 0)); then
    chmod 755 "$1" "$(dirname "$1")"
    chown -R www-data:www-data "$1"
    web_owner=(setpriv --reuid=www-data --regid=www-data --init-groups)
  fi
}

# web_gateway DIR GATEWAY ADDRESS: the gateway as a FastCGI server on ADDRESS, with only
# the environment a service gets (PATH and web_cgi_env); waits until it listens.
web_gateway() {
  local env=() line i
  while IFS= read -r line; do env+=("$line"); done < <(web_cgi_env "$1")
  web_log=$1/run/gateway.log
  "${web_owner[@]}" env -i PATH="$PATH" "${env[@]}" \
    "$2" --fastcgi "$3" --site "$1/site" 2>>"$web_log" &
  web_pids+=($!)
  for ((i = 0; i < 100; i++)); do
    if [[ $3 == /* ]]; then
      [[ -S $3 ]] && return 0
    else
      (exec 3<>"/dev/tcp/${3/://}") 2>/dev/null && return 0
    fi
    kill -0 "${web_pids[-1]}" 2>/dev/null || break
    sleep 0.05
  done
  cat "$web_log" >&2
  return 1
}

start_apache() {
  local dir=$1 mode=$3 modules=/usr/lib/apache2/modules line backend=''
  web_prepare "$dir" "$2" "$mode"
  web_port=$(web_free_port)
  web_log=$dir/run/error.log
  if [[ $mode == fastcgi ]]; then
    backend=127.0.0.1:$(web_free_port)
    web_gateway "$dir" "$2" "$backend" || return 1
  fi
  {
    echo "ServerRoot $dir/run"
    echo "PidFile $dir/run/httpd.pid"
    echo "ErrorLog $dir/run/error.log"
    if [[ $mode == cgi ]]; then echo "ScriptSock $dir/run/cgid.sock"; fi
    echo "Listen 127.0.0.1:$web_port"
    echo "ServerName 127.0.0.1"
    if ((EUID == 0)); then echo "User www-data"; echo "Group www-data"; fi
    if [[ $mode == fastcgi ]]; then
      line='setenvif proxy proxy_fcgi'
    else
      line='alias env cgid'
    fi
    for line in mpm_event authz_core mime dir $line; do
      echo "LoadModule ${line}_module $modules/mod_$line.so"
    done
    echo "TypesConfig /etc/mime.types"
    cat <<EOF
DirectoryIndex index.html
DocumentRoot $dir/htdocs
<Directory $dir/htdocs>
    Require all granted
</Directory>
EOF
    if [[ $mode == fastcgi ]]; then
      cat <<EOF
SetEnvIf Request_URI ^/cgi-bin/quorvel/ proxy-fcgi-pathinfo=unescape
ProxyPass /cgi-bin/quorvel/ fcgi://$backend/
EOF
    else
      cat <<EOF
ScriptAlias /cgi-bin/quorvel $dir/site/quorvel
<Directory $dir/site>
    Options +ExecCGI +FollowSymLinks
    Require all granted
EOF
      while IFS= read -r line; do
        echo "    SetEnv ${line%%=*} \"${line#*=}\""
      done < <(web_cgi_env "$dir")
      echo "</Directory>"
    fi
  } >"$dir/run/apache.conf"
  apache2 -t -f "$dir/run/apache.conf" >/dev/null 2>&1 || { apache2 -t -f "$dir/run/apache.conf"; return 1; }
  apache2 -f "$dir/run/apache.conf" -D FOREGROUND >/dev/null 2>>"$dir/run/error.log" &
  web_pids+=($!)
  web_wait_listening "$web_port" $! || { cat "$dir/run/error.log" >&2; return 1; }
}

start_nginx() {
  local dir=$1 mode=$3 line
  web_prepare "$dir" "$2" "$mode"
  web_port=$(web_free_port)
  if [[ $mode == fastcgi ]]; then
    web_gateway "$dir" "$2" "$dir/run/quorvel.sock" || return 1
  else
    web_log=$dir/run/fcgiwrap.log
    "${web_owner[@]}" fcgiwrap -s "unix:$dir/run/fcgiwrap.sock" 2>>"$web_log" &
    web_pids+=($!)
  fi
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
      fastcgi_param PATH_INFO \$fastcgi_path_info;
EOF
    if [[ $mode == fastcgi ]]; then
      echo "      fastcgi_pass unix:$dir/run/quorvel.sock;"
    else
      echo "      fastcgi_param SCRIPT_FILENAME $dir/site/quorvel;"
      while IFS= read -r line; do
        echo "      fastcgi_param ${line%%=*} \"${line#*=}\";"
      done < <(web_cgi_env "$dir")
      echo "      fastcgi_pass unix:$dir/run/fcgiwrap.sock;"
    fi
    cat <<EOF
    }
  }
}
EOF
  } >"$dir/run/nginx.conf"
  nginx -t -c "$dir/run/nginx.conf" >/dev/null 2>&1 || { nginx -t -c "$dir/run/nginx.conf"; return 1; }
  nginx -c "$dir/run/nginx.conf" -g 'daemon off;' >/dev/null 2>>"$dir/run/error.log" &
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
