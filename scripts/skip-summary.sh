#!/usr/bin/env bash
# Counts the test cases that were skipped, with their reasons, from the JUnit
# files that `ctest --output-junit` wrote (with the whole output of passing
# tests kept), and prints one line:
#   "N cases skipped: R1 (n1); R2 (n2)"   or   "0 cases skipped"
# A skip inside a passing test program counts too: a GoogleTest case
# ("[  SKIPPED ]" after a ": Skipped" line and its reason), a Qt Test case
# ("SKIP   : ..."), and a whole program that ctest reports as not run (its
# SKIP_RETURN_CODE or skip pattern) without naming a skipped case: the
# reason is then the last line it printed.
#   scripts/skip-summary.sh JUNIT.xml...
set -euo pipefail

awk '
  function unescape(s) {
    gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s)
    gsub(/&apos;/, "\047", s); gsub(/&#10;/, " ", s); gsub(/&amp;/, "\\&", s)
    return s
  }
  function count(reason) {
    sub(/^[ \t]+/, "", reason); sub(/[ \t]+$/, "", reason)
    if (reason == "") reason = "no reason given"
    if (!(reason in n)) order[++reasons] = reason
    n[reason]++; total++
  }
  # A test program: whether ctest ran it, and where its output starts.
  /<testcase / {
    notrun = ($0 ~ /status="notrun"/ || $0 ~ /status="skipped"/)
    in_out = 0; last = ""; want_reason = 0; counted_before = total
  }
  /<system-out>/ { in_out = 1; sub(/.*<system-out>/, "") }
  in_out {
    line = $0
    ended = sub(/<\/system-out>.*/, "", line)
    line = unescape(line)
    if (want_reason) { count(line); want_reason = 0 }
    else if (line ~ /: Skipped$/) want_reason = 1
    else if (line ~ /^SKIP   : /) { sub(/^SKIP   : [^(]*\([^)]*\)[ ]*/, "", line); count(line) }
    if (line !~ /^[ \t]*$/) last = line
    if (ended) in_out = 0
  }
  # A program skipped as a whole counts once, unless it named its skipped
  # cases itself.
  /<\/testcase>/ {
    if (notrun && total == counted_before) count(last == "" ? "skipped by ctest" : last)
    notrun = 0
  }
  END {
    if (total == 0) { print "0 cases skipped"; exit }
    line = total (total == 1 ? " case skipped: " : " cases skipped: ")
    for (i = 1; i <= reasons; i++) line = line (i > 1 ? "; " : "") order[i] " (" n[order[i]] ")"
    print line
  }
' "$@"
