#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a C11 application against it with
# nothing but pkg-config, then runs it. Usage: check-install.sh BUILD_DIR CC APP.c [SANITIZE]
set -euo pipefail
build=$1 cc=$2 app=$3 sanitize=${4:-}
prefix=$(mktemp -d /tmp/korvo-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(ls -d "$prefix"/lib*/ | head -n 1)
export PKG_CONFIG_PATH="${libdir}pkgconfig"
flags=()
case "$sanitize" in
  address) flags=(-fsanitize=address,undefined) ;;
  thread) flags=(-fsanitize=thread) ;;
esac
"$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror "${flags[@]}" "$app" -o "$prefix/app" \
  $(pkg-config --cflags --libs vellum) -Wl,-rpath,"$libdir"
"$prefix/app"
