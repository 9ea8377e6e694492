# The check shared by Tamvik's end-to-end scripts; source it, then set
#
#   tamvik_run   array: the command that runs Tamvik (e.g. (wine64 Tamvik.exe))
#   tmp          a scratch folder
#   expect_crlf  1 where Tamvik's output has CRLF line ends (Windows); the
#                expectations are written with LF either way
#   expect_quiet 1 where nothing may appear on standard error
#   expect_show  1 to print every run's output (control characters visible)
#
# expect NAME EXIT-CODE EXPECTED-OUTPUT ARGS...: runs Tamvik with ARGS and
# compares its exit code and its standard output byte for byte. Failures are
# counted in `failures`.
failures=0
expect_crlf=${expect_crlf:-0}
expect_quiet=${expect_quiet:-0}
expect_show=${expect_show:-0}

expect() {
  local name=$1 code=$2 want=$3
  shift 3
  "${tamvik_run[@]}" "$@" >"$tmp/out" 2>"$tmp/err"
  local rc=$?
  if [[ $expect_crlf == 1 ]]; then
    printf '%s' "$want" | sed -z 's/\n/\r\n/g' >"$tmp/want"
  else
    printf '%s' "$want" >"$tmp/want"
  fi
  if [[ $rc -ne $code ]] || ! cmp -s "$tmp/out" "$tmp/want" || [[ $expect_quiet == 1 && -s $tmp/err ]]; then
    echo "FAIL $name: exit $rc (want $code)"
    diff <(od -c "$tmp/want") <(od -c "$tmp/out")
    cat "$tmp/err"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
  if [[ $expect_show == 1 ]]; then
    cat -v "$tmp/out" | sed 's/^/     | /'
    echo "     (exit $rc)"
  fi
}
