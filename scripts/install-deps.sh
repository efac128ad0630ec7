#!/bin/sh
# Installs what a build needs on a Debian machine, when it is missing.
# Usage: install-deps.sh build|test|bench|fuzz
set -eu
kind=${1:-test}

need=""
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

have_cmd cmake || need="$need cmake"
have_cmd ninja || need="$need ninja-build"
have_cmd g++ || need="$need g++"
# TLS for mail submission: OpenSSL's headers and libraries.
have_pkg libssl-dev || need="$need libssl-dev"
case "$kind" in
  test)
    have_pkg libgtest-dev || need="$need libgtest-dev"
    have_cmd python3 || need="$need python3"
    # The browser test of the demo: Debian's Chromium, its driver and Selenium
    # for the system's python3.
    have_pkg chromium || need="$need chromium"
    have_pkg chromium-driver || need="$need chromium-driver"
    have_pkg python3-selenium || need="$need python3-selenium"
    # The mail tests: a real mail server (Debian's exim, run by the test in
    # the foreground on loopback ports) and openssl to make its certificate.
    have_pkg exim4-daemon-light || need="$need exim4-daemon-light"
    have_cmd openssl || need="$need openssl"
    ;;
  bench)
    have_pkg libbenchmark-dev || need="$need libbenchmark-dev"
    # The HTTP comparison: nginx as the reference, ab as the client, strace
    # to count system calls, curl to prime the server.
    have_cmd nginx || need="$need nginx"
    have_cmd ab || need="$need apache2-utils"
    have_cmd strace || need="$need strace"
    have_cmd curl || need="$need curl"
    ;;
  fuzz)
    have_cmd clang++ || need="$need clang"
    have_pkg libclang-rt-dev || have_pkg libclang-rt-14-dev || need="$need libclang-rt-dev"
    ;;
esac

[ -z "$need" ] && exit 0
if [ "$(id -u)" = 0 ] && have_cmd apt-get; then
  echo "Installing missing packages:$need"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need
else
  echo "Missing packages:$need" >&2
  echo "Install them with: sudo apt-get install$need" >&2
  exit 1
fi
