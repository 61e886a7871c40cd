#!/usr/bin/env bash
# Benchmark of a request's variables: a form posted as application/x-www-form-urlencoded
# with a 1 MiB body, build/quorvel run as a whole CGI process.
#
#   bench/symbols.sh [--binary PATH] [--baseline PATH] [--runs N]
#
# Two bodies of the same size and parameter count (names of 14 characters, "=1&" after
# each): "ordinary" names spread over the symbol table's listing buckets as any form's do,
# and "crafted" names that all share one listing bucket. Median whole-process times (and
# mean CPU times) of both, side by side in one hyperfine run (and the same for --baseline,
# a binary to compare with). The crafted body should cost about as much as the ordinary one.
# Exits 2 when the gateway does not serve the page.
set -euo pipefail

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
binaries=("$root_dir/build/quorvel")
runs=5
while (($#)); do
  case $1 in
    --binary) binaries[0]=${2:?--binary wants a path}; shift 2 ;;
    --baseline) binaries+=("${2:?--baseline wants a path}"); shift 2 ;;
    --runs) runs=${2:?--runs wants a number}; shift 2 ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
command -v hyperfine >/dev/null || { echo "symbols.sh: hyperfine is missing" >&2; exit 2; }
for i in "${!binaries[@]}"; do
  [[ -x ${binaries[i]} ]] || { echo "symbols.sh: ${binaries[i]} is missing" >&2; exit 2; }
  binaries[i]=$(cd "$(dirname "${binaries[i]}")" && pwd)/$(basename "${binaries[i]}")
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-symbols.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
cd "$work"
echo "_HTMX_PATH_ = $work" >quorvel.cfg
printf '<HTML><BODY>@n0000000000001 @x</BODY></HTML>\n' >page.htmx

# body FILE BUCKET: names n0000000000001, n0000000000002, ... (BUCKET -1: all of them;
# else only those whose listing bucket, h = h * 33 + byte mod 2^32, mod 17, is BUCKET)
# until the body holds 1 MiB; the last parameter is cut to fit exactly.
body() {
  awk -v bucket="$2" 'BEGIN {
    for (c = 32; c < 127; c++) ord[sprintf("%c", c)] = c
    limit = 1048576; size = 0
    for (i = 1; size + 17 <= limit; i++) {
      name = sprintf("n%013d", i)
      if (bucket >= 0) {
        h = 0
        for (k = 1; k <= length(name); k++)
          h = (h * 33 + ord[substr(name, k, 1)]) % 4294967296
        if (h % 17 != bucket) continue
      }
      printf "%s=1&", name; size += 17
    }
    printf "x="
    for (size += 2; size < limit; size++) printf "0"
  }' >"$1"
}
body ordinary.txt -1
# The bucket of the first name, so that the page's reference finds it in both bodies.
body crafted.txt "$(awk 'BEGIN { for (c = 32; c < 127; c++) ord[sprintf("%c", c)] = c
  n = "n0000000000001"; for (k = 1; k <= 14; k++) h = (h * 33 + ord[substr(n, k, 1)]) % 4294967296
  print h % 17 }')"

export GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=POST SERVER_NAME=127.0.0.1 SERVER_PORT=80
export SERVER_PROTOCOL=HTTP/1.1 SCRIPT_NAME=/cgi-bin/quorvel PATH_INFO=/page.htmx
export CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=1048576 QUERY_STRING=
for f in ordinary.txt crafted.txt; do
  [[ $(stat -c %s $f) == 1048576 ]] || { echo "symbols.sh: $f is not 1 MiB" >&2; exit 2; }
done
echo "Request variables: 1 MiB urlencoded bodies of $(grep -o '&' crafted.txt | wc -l) (crafted)" \
  "and $(grep -o '&' ordinary.txt | wc -l) (ordinary) parameters, $runs runs each"
for binary in "${binaries[@]}"; do
  for f in ordinary.txt crafted.txt; do
    "$binary" <$f >$f.out || true
    if ! grep -q '<BODY>1 0' $f.out; then
      echo "symbols.sh: $binary does not serve the page for $f:" >&2
      head -c 300 $f.out >&2
      exit 2
    fi
  done
  hyperfine --style none --runs "$runs" --export-csv result.csv \
    -n ordinary "$binary <ordinary.txt >/dev/null" \
    -n crafted "$binary <crafted.txt >/dev/null" >/dev/null 2>&1
  # Median wall-clock time, and the mean CPU time (user + system, steadier on a busy machine).
  awk -F, -v b="$binary" 'NR == 2 { o = $4; oc = $5 + $6 } NR == 3 { c = $4; cc = $5 + $6 }
    END { printf "%s: ordinary %.3f s (CPU %.3f s), crafted %.3f s (CPU %.3f s), ratio %.2f\n",
          b, o, oc, c, cc, c / o }' result.csv
done
