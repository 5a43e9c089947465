#!/bin/sh
# Fails when a file under src/ includes from a room above its own. The rooms,
# each allowed to include only the rooms listed after it:
#   api -> store codec io platform base
#   store -> codec io platform base
#   codec -> platform base
#   io -> platform base
#   platform -> base
#   base -> (nothing)
# With --table, prints instead how many includes each room has of the
# others.
set -eu
mode=check
if [ "${1:-}" = "--table" ]; then mode=table; shift; fi
src=${1:?usage: check_includes.sh [--table] SRC_DIR}

allowed() {
  case $1 in
    api) echo "store codec io platform base" ;;
    store) echo "codec io platform base" ;;
    codec | io) echo "platform base" ;;
    platform) echo "base" ;;
    base) echo "" ;;
    *) echo "UNKNOWN" ;;
  esac
}

# One line per include of another room: "room target file:line".
edges=$(cd "$src" && grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z_]*/' -r . |
  sed -n 's|^\./\([a-z_]*\)/\([^:]*\):\([0-9]*\):.*"\([a-z_]*\)/.*|\1 \4 \1/\2:\3|p' |
  awk '$1 != $2')

if [ "$mode" = table ]; then
  for room in api store codec io platform base; do
    line=$(printf '%s\n' "$edges" | awk -v r="$room" '$1 == r { n[$2]++ }
      END { split("api store codec io platform base", order, " ")
            for (i = 1; i <= 6; i++) if (order[i] in n) printf "%s(%d) ", order[i], n[order[i]] }')
    printf '%s -> %s\n' "$room" "${line:-(none)}"
  done
  exit 0
fi

status=0
rooms=$(cd "$src" && ls -d */ | tr -d /)
for room in $rooms; do
  if [ "$(allowed "$room")" = UNKNOWN ]; then
    echo "src/$room: not a known room; add it to the rules in $0"
    status=1
  fi
done
printf '%s\n' "$edges" | {
  bad=0
  while read -r from to where; do
    [ -n "$from" ] || continue
    case " $(allowed "$from") " in
      *" $to "*) ;;
      *) echo "src/$where: $from includes from $to, a room it must not depend on"; bad=1 ;;
    esac
  done
  exit $bad
} || status=1
[ $status -eq 0 ] && echo "includes point down: ok"
exit $status
