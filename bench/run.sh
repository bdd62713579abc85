#!/usr/bin/env bash
# Sets up, builds and runs every benchmark. They print figures and assert nothing; the update
# benchmark takes about two minutes, the soak two here (its figures in the README come from an
# hour: build/bench/bench_soak --minutes 60). Other load on the machine shows in the figures.
# Optional argument: the build directory (default: build).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-build}"
case "$dir" in /*) ;; *) dir="$root/$dir" ;; esac
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$dir"
cd "$dir"

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "system:  $(. /etc/os-release && echo "$PRETTY_NAME"), Qt $(qtpaths6 --qt-version 2>/dev/null || echo '?')"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) before the run"

export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='qt.qpa.*=false'
for bench in bench_update bench_log bench_startup bench_fwflash bench_records bench_station; do
  echo
  echo "== $bench"
  "./bench/$bench"
done
echo
echo "== bench_soak (2 minutes)"
./bench/bench_soak --minutes 2
