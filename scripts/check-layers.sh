#!/bin/sh
# Fails when a source file includes a header of a higher layer. The layers,
# from the bottom: base; platform; httpd, mail and store (side by side, none
# including another); script; the engines cgi/kqs and cgi/list (side by
# side); app and check (side by side); host. Each folder may include itself
# and the folders listed for it here. Usage: check-layers.sh [SOURCE_DIR]
set -eu
src="${1:-$(dirname "$0")/../src}"
allowed() {
  case "$1" in
    base) echo "base" ;;
    platform) echo "base platform" ;;
    httpd) echo "base platform httpd" ;;
    mail) echo "base platform mail" ;;
    store) echo "base platform store" ;;
    script) echo "base platform store script" ;;
    cgi/kqs) echo "base platform httpd mail store script cgi/kqs" ;;
    cgi/list) echo "base platform httpd mail store script cgi/list" ;;
    check) echo "base platform httpd mail store script cgi/kqs cgi/list check" ;;
    app) echo "base platform httpd mail store script cgi/kqs cgi/list app" ;;
    host) echo "base platform httpd mail store script cgi/kqs cgi/list app check host" ;;
    *) echo "" ;;
  esac
}
status=0
for file in $(cd "$src" && find . -name '*.h' -o -name '*.cc' | sed 's|^\./||' | sort); do
  folder=$(dirname "$file")
  layers=$(allowed "$folder")
  if [ -z "$layers" ]; then
    echo "$file: the folder $folder has no layer" >&2
    status=1
    continue
  fi
  for target in $(sed -n 's|^#include "\(.*\)/[^/]*\.h".*|\1|p' "$src/$file" | sort -u); do
    ok=0
    for layer in $layers; do [ "$target" = "$layer" ] && ok=1; done
    if [ $ok = 0 ]; then
      echo "$file: includes $target, which its layer ($folder) may not use" >&2
      status=1
    fi
  done
done
[ $status = 0 ] && echo "Layers point one way: every include goes down or sideways within its layer."
exit $status
