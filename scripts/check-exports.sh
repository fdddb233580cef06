#!/usr/bin/env bash
# Fails when a shared library exports a function or object outside its public prefixes.
# Usage: check-exports.sh LIBRARY PREFIX...
set -euo pipefail
lib=$1; shift
pattern="^($(IFS='|'; echo "$*"))"
bad=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | grep -vE "$pattern" || true)
if [ -n "$bad" ]; then
  echo "unexpected exports in $lib:"; echo "$bad"; exit 1
fi
echo "$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/' | wc -l) exports, all public"
