#!/usr/bin/env bash
# The house rule of the source tree: front ends on top, what they share below.
#   front ends: every folder under src/ that has a main.cpp (the window, fwflash, ...);
#   shared:     every other folder under src/.
# A shared folder never includes a front end's header; front ends include shared headers and
# never each other's. The tools and benchmarks sit on top like front ends. A plain scan of the
# #include lines; prints each offending line and exits 1 when there is one.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root/src"

fronts=()
shared=()
for dir in */; do
  dir="${dir%/}"
  if [ -f "$dir/main.cpp" ]; then fronts+=("$dir"); else shared+=("$dir"); fi
done

status=0
complain() { echo "check_layers: $1"; status=1; }

if [ ${#fronts[@]} -gt 0 ]; then
  pattern="^[[:space:]]*#[[:space:]]*include[[:space:]]*\"($(IFS='|'; echo "${fronts[*]}"))/"
  for dir in "${shared[@]}"; do
    while IFS= read -r hit; do
      complain "$dir is shared but includes a front end's header: $hit"
    done < <(grep -rnE "$pattern" "$dir" || true)
  done
  for front in "${fronts[@]}"; do
    others=()
    for other in "${fronts[@]}"; do [ "$other" = "$front" ] || others+=("$other"); done
    [ ${#others[@]} -gt 0 ] || continue
    pattern="^[[:space:]]*#[[:space:]]*include[[:space:]]*\"($(IFS='|'; echo "${others[*]}"))/"
    while IFS= read -r hit; do
      complain "front end $front includes another front end's header: $hit"
    done < <(grep -rnE "$pattern" "$front" || true)
  done
fi

if [ $status -eq 0 ]; then
  echo "check_layers: front ends (${fronts[*]}) on top of shared folders (${shared[*]}): ok"
fi
exit $status
