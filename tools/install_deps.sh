#!/bin/sh
# Installs the Debian packages the build needs when they are missing (as
# root), or prints the apt-get line to run. With arguments, only those
# packages (`make demo` needs no test or tool packages). pandas (for the
# Python package's DataFrame export and its test) takes half a minute to
# install, so it comes only with VARNFILE_WITH_PANDAS=1; without it that test
# is skipped.
need=""
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
[ $# -gt 0 ] || set -- cmake g++ make libgtest-dev libbenchmark-dev zlib1g-dev libsqlite3-dev \
  libcli11-dev pkg-config python3-pytest python3-setuptools ${VARNFILE_WITH_PANDAS:+python3-pandas}
for pkg in "$@"; do
  have_pkg "$pkg" || need="$need $pkg"
done
[ -z "$need" ] && exit 0
if [ "$(id -u)" = 0 ]; then
  echo "installing:$need"
  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need) >/dev/null || {
    echo "apt-get install failed for:$need" >&2; exit 1; }
else
  echo "missing packages; run: sudo apt-get install -y$need" >&2
  exit 1
fi
