#!/usr/bin/env bash
# Benchmark of page requests without a database: build/quorvel runs as a whole CGI process
# (PATH_INFO, QUERY_STRING, a working directory with quorvel.cfg), as a web server runs it.
#
#   bench/pages.sh [--binary PATH] [--baseline PATH] [--quick]
#
# 1. Templates of ordinary HTML with references (configuration and query-string variables,
#    in text and in attribute values) of 100 KB, 1 MB and 10 MB: median time (hyperfine),
#    peak memory (/usr/bin/time) and read()/write() system calls (strace) per size, and a
#    check that time and memory grow no faster than linearly (the cost per added megabyte
#    from 1 MB to 10 MB is at most twice the cost per added megabyte from 100 KB to 1 MB)
#    and that reading is done in blocks (at least 512 bytes per read() call on average).
# 2. A small page against bench/fixed_page.c (a C program printing a fixed page of the same
#    size, cc -O2), side by side in one hyperfine run; the target is at most 1.5 times.
#
# 3. Instructions per template byte of the 10 MB template and of a reference-dense 1 MB page
#    (a product catalogue: a DIV with three references every 130 bytes; the target is at
#    most 60 per byte), and instructions of the small page (valgrind --tool=callgrind), when
#    valgrind is installed.
# With --baseline, another build (say, of the previous commit) is measured side by side in
# the same runs: its rows are marked "base"; the checks apply to --binary only.
#
# Exits 0 when every check holds, 1 when one fails, 2 when the gateway does not serve the
# pages. --quick takes fewer runs (for trying the script, not for numbers).
set -euo pipefail

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
binary=$root_dir/build/quorvel
baseline=
quick=0
while (($#)); do
  case $1 in
    --binary) binary=${2:?--binary wants a path}; shift 2 ;;
    --baseline) baseline=${2:?--baseline wants a path}; shift 2 ;;
    --quick) quick=1; shift ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
[[ -x $binary ]] || { echo "pages.sh: $binary is missing; build it first" >&2; exit 2; }
binary=$(cd "$(dirname "$binary")" && pwd)/$(basename "$binary")
if [[ -n $baseline ]]; then
  [[ -x $baseline ]] || { echo "pages.sh: $baseline is missing" >&2; exit 2; }
  baseline=$(cd "$(dirname "$baseline")" && pwd)/$(basename "$baseline")
fi
for tool in hyperfine strace /usr/bin/time cc awk; do
  command -v "$tool" >/dev/null || { echo "pages.sh: $tool is missing (scripts/setup)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-bench.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
cd "$work"

cat >quorvel.cfg <<EOF
[bench]
_HTMX_PATH_ = $work
PRODUCT = "Garden chair"
MAKER = Acme
CONTACT = sales
EOF

# The CGI environment of a GET request; PATH_INFO is set per template.
export GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET SERVER_NAME=127.0.0.1 SERVER_PORT=80
export SERVER_PROTOCOL=HTTP/1.1 SCRIPT_NAME=/cgi-bin/quorvel REMOTE_ADDR=127.0.0.1
export QUERY_STRING='PRICE=12.50&SKU=GC'

# generate FILE BYTES: a page of repeated product blocks, at least BYTES long.
generate() {
  awk -v target="$2" '
    function out(s) { print s; n += length(s) + 1 }
    BEGIN {
      out("<HTML>"); out("<HEAD><TITLE>@PRODUCT catalogue</TITLE></HEAD>"); out("<BODY>")
      for (i = 1; n < target - 20; i++) {
        out("<DIV CLASS=\"item\" ID=\"item-" i "\">")
        out("<H2>@PRODUCT No. " i "</H2>")
        out("<P>Our @PRODUCT is made by @MAKER and costs @PRICE. Order before noon and it ships")
        out("today; ask @CONTACT for bulk prices.</P>")
        out("<TABLE BORDER=1><TR><TD>Code</TD><TD>@SKU-" i "</TD></TR>")
        out("<TR><TD>Price</TD><TD ALIGN=right>@PRICE</TD></TR></TABLE>")
        out("<A HREF=\"/cgi-bin/quorvel/item.htmx?ID=" i "&amp;FROM=@SKU\">Details for @PRODUCT</A>")
        out("</DIV>")
      }
      out("</BODY>"); out("</HTML>")
      print i - 1 > "/dev/stderr"
    }' >"$1" 2>"$1.blocks"
}

# generate_dense FILE BYTES: a catalogue of 130-byte lines, each a DIV with three references.
generate_dense() {
  awk -v target="$2" '
    function out(s) { print s; n += length(s) + 1 }
    BEGIN {
      out("<HTML><BODY>")
      for (i = 1; n < target - 20; i++) {
        s = "<DIV CLASS=\"item\"><B>@PRODUCT</B> by @MAKER, <I>@PRICE</I> item " i " in stock"
        while (length(s) < 123) s = s "."
        out(s "</DIV>")
      }
      out("</BODY></HTML>")
      print i - 1 > "/dev/stderr"
    }' >"$1" 2>"$1.blocks"
}

# serve TEMPLATE: one request for /TEMPLATE; the response goes to standard output.
serve() { PATH_INFO=/$1 "$binary"; }

# is_page FILE: the response starts with the page header.
is_page() { head -c 25 "$1" | cmp -s - <(printf 'Content-TYPE: text/html\n\n'); }

# check_page TEMPLATE [PATTERN...]: the response is a page with every block and every
# reference filled: each pattern (by default those of `generate`) on one line per block.
check_page() {
  local out=$work/$1.out blocks pattern
  blocks=$(<"$1.blocks")
  serve "$1" >"$out"
  local patterns=("${@:2}")
  ((${#patterns[@]})) || patterns=('Garden chair No\. ' 'costs 12\.50\.')
  for pattern in "${patterns[@]}"; do
    [[ $(grep -c "$pattern" "$out") == "$blocks" ]] || blocks=mismatch
  done
  if ! is_page "$out" || grep -q '@' "$out" || [[ $blocks == mismatch ]]; then
    echo "pages.sh: $binary does not serve $1 as expected; first lines of its response:" >&2
    head -c 600 "$out" >&2
    exit 2
  fi
}

# median_ms CSV ROW: the median of a hyperfine CSV export row (1 = first command), in ms.
median_ms() { awk -F, -v row="$2" 'NR == row + 1 { printf "%.2f", $4 * 1000 }' "$1"; }

# peak_kb TEMPLATE [BINARY]: the largest maximum resident set size of three requests, in KB.
peak_kb() {
  local i kb max=0
  for i in 1 2 3; do
    PATH_INFO=/$1 /usr/bin/time -f %M -o "$work/time.txt" "${2:-$binary}" >/dev/null
    kb=$(tail -n 1 "$work/time.txt")
    ((kb > max)) && max=$kb
  done
  echo "$max"
}

# syscalls TEMPLATE: "reads bytes_read writes" of one request.
syscalls() {
  PATH_INFO=/$1 strace -f -qq -s 0 -e trace=read,write -o "$work/strace.txt" "$binary" >/dev/null
  awk '/ read\(|^read\(/ { r++; if ($NF ~ /^[0-9]+$/) b += $NF }
       / write\(|^write\(/ { w++ }
       END { print r + 0, b + 0, w + 0 }' "$work/strace.txt"
}

# growth TITLE UNIT SCALE FLOOR Y0 Y1 Y2: prints the slopes of Y over the template sizes
# (times SCALE, in UNIT) from 100 KB to 1 MB and from 1 MB to 10 MB, and whether the later
# slope is at most twice the earlier one (an earlier slope below FLOOR counts as FLOOR, so
# that a flat curve passes). Returns 1 when it is not.
growth() {
  local s1 s2 verdict=linear rc=0
  s1=$(slope "${bytes[0]}" "$5" "${bytes[1]}" "$6" "$3")
  s2=$(slope "${bytes[1]}" "$6" "${bytes[2]}" "$7" "$3")
  if ! awk -v s1="$s1" -v s2="$s2" -v floor="$4" \
      'BEGIN { if (s1 < floor) s1 = floor; exit !(s2 <= 2 * s1) }'; then
    verdict="FAIL: faster than linear" rc=1
  fi
  echo "$1: $s1 $2 (100 KB to 1 MB), $s2 $2 (1 MB to 10 MB): $verdict"
  return $rc
}

slope() { awk -v x0="$1" -v y0="$2" -v x1="$3" -v y1="$4" -v scale="$5" \
  'BEGIN { printf "%.2f", (y1 - y0) / (x1 - x0) * scale }'; }

sizes=(102400 1048576 10485760)
labels=("100 KB" "1 MB" "10 MB")
if ((quick)); then runs=(5 3 2); else runs=(30 15 6); fi
failed=0

echo "Quorvel page benchmark: $binary, one CGI process per request"
printf '%-8s %10s %11s %11s %11s %8s %11s %8s\n' \
  template bytes "median ms" "ms per MB" "peak RSS KB" "read()s" "bytes/read" "write()s"
bytes=() ms=() kb=()
for i in 0 1 2; do
  name=page-$i.htmx
  generate "$name" "${sizes[i]}"
  check_page "$name"
  bytes[i]=$(stat -c %s "$name")
  PATH_INFO=/$name hyperfine -N --style none --warmup 1 --runs "${runs[i]}" \
    --export-csv "$work/t$i.csv" -n "${labels[i]}" "$binary" \
    ${baseline:+-n "${labels[i]} base" "$baseline"} >/dev/null 2>&1
  ms[i]=$(median_ms "$work/t$i.csv" 1)
  kb[i]=$(peak_kb "$name")
  read -r reads read_bytes writes < <(syscalls "$name")
  per_read=$((read_bytes / (reads ? reads : 1)))
  printf '%-8s %10d %11s %11s %11d %8d %11d %8d\n' "${labels[i]}" "${bytes[i]}" "${ms[i]}" \
    "$(awk -v t="${ms[i]}" -v b="${bytes[i]}" 'BEGIN { printf "%.2f", t / (b / 1048576) }')" \
    "${kb[i]}" "$reads" "$per_read" "$writes"
  if [[ -n $baseline ]]; then
    base_ms=$(median_ms "$work/t$i.csv" 2) base_kb=$(peak_kb "$name" "$baseline")
    printf '%-8s %10d %11s %11s %11d\n' "${labels[i]} base" "${bytes[i]}" "$base_ms" \
      "$(awk -v t="$base_ms" -v b="${bytes[i]}" 'BEGIN { printf "%.2f", t / (b / 1048576) }')" "$base_kb"
  fi
  if ((per_read < 512)); then
    echo "  FAIL: $per_read bytes per read() call: reading is not done in blocks"
    failed=1
  fi
done

growth "time per added MB" ms 1048576 0.01 "${ms[@]}" || failed=1
# Memory that grows by less than a twentieth of the template counts as flat.
growth "peak memory per added template byte" bytes 1024 0.05 "${kb[@]}" || failed=1

# Small page against the fixed C page, in one hyperfine run.
cat >small.htmx <<'EOF'
<HTML>
<HEAD><TITLE>@PRODUCT</TITLE></HEAD>
<BODY>
<H1>@PRODUCT by @MAKER</H1>
<P>Our @PRODUCT costs @PRICE. Order before noon and it ships today; ask @CONTACT for
bulk prices.</P>
<TABLE BORDER=1><TR><TD>Code</TD><TD>@SKU-1</TD></TR>
<TR><TD>Price</TD><TD ALIGN=right>@PRICE</TD></TR></TABLE>
<A HREF="/cgi-bin/quorvel/item.htmx?ID=1&amp;FROM=@SKU">Details for @PRODUCT</A>
<HR><ADDRESS>Served by Quorvel @_QUORVEL_VERSION_</ADDRESS>
</BODY>
</HTML>
EOF
cc -O2 -o fixed_page "$root_dir/bench/fixed_page.c"
serve small.htmx >small.out
if ! is_page small.out || grep -q '@' small.out; then
  echo "pages.sh: $binary does not serve small.htmx" >&2
  exit 2
fi
if ((quick)); then small_runs=30; else small_runs=500; fi
PATH_INFO=/small.htmx hyperfine -N --style none --warmup 50 --runs "$small_runs" \
  --export-csv "$work/small.csv" -n quorvel "$binary" -n fixed_page "$work/fixed_page" \
  ${baseline:+-n base "$baseline"} >/dev/null 2>&1
q=$(median_ms "$work/small.csv" 1)
c=$(median_ms "$work/small.csv" 2)
ratio=$(awk -v q="$q" -v c="$c" 'BEGIN { printf "%.2f", q / c }')
if awk -v r="$ratio" 'BEGIN { exit !(r <= 1.5) }'; then verdict=ok; else verdict=FAIL; failed=1; fi
echo "small page: quorvel ${q} ms ($(stat -c %s small.out) bytes)," \
  "fixed_page ${c} ms ($(./fixed_page | wc -c) bytes), ratio ${ratio} (target at most 1.5): $verdict"
[[ -z $baseline ]] || echo "small page: base $(median_ms "$work/small.csv" 3) ms"

# instructions TEMPLATE BINARY: the instruction count of one request.
instructions() {
  PATH_INFO=/$1 valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$2" >/dev/null 2>&1
  sed -n 's/^summary: *//p' "$work/cg.out"
}
if command -v valgrind >/dev/null; then
  generate_dense dense.htmx 1048576
  check_page dense.htmx '<B>Garden chair</B> by Acme, <I>12\.50</I> item '
  dense_bytes=$(stat -c %s dense.htmx)
  for b in "$binary" $baseline; do
    tag=quorvel; [[ $b == "$binary" ]] || tag=base
    ir=$(instructions page-2.htmx "$b")
    dense=$(awk -v i="$(instructions dense.htmx "$b")" -v b="$dense_bytes" 'BEGIN { printf "%.1f", i / b }')
    verdict=
    if [[ $tag == quorvel ]]; then
      if awk -v d="$dense" 'BEGIN { exit !(d <= 60) }'; then verdict=" (target at most 60): ok"
      else verdict=" (target at most 60): FAIL"; failed=1; fi
    fi
    echo "instructions ($tag): 10 MB template $ir," \
      "$(awk -v i="$ir" -v b="${bytes[2]}" 'BEGIN { printf "%.1f", i / b }') per template byte;" \
      "dense 1 MB page $dense per template byte$verdict; small page $(instructions small.htmx "$b")"
  done
fi
exit $failed
