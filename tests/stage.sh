# What the test stages that need a system of their own (the Bluetooth VM, the Debian 13
# system) share; sourced, never run. Set stage_name before sourcing.
#
# - say, unavailable: a stage that cannot run here fails under CI (CI=true), so nothing
#   passes without having run, and is skipped with a notice elsewhere.
# - build_once: a cached system is made at most once at a time, and only the newest is
#   kept.

say() { echo "$stage_name: $*" >&2; }

unavailable() {
  if [ "${CI:-}" = true ]; then
    say "FAILED: $*"
    exit 1
  fi
  say "SKIPPED: $* (under CI this fails)"
  exit 0
}

# build_once CACHE PREFIX KEY READY BUILD: unless READY exists, runs BUILD (its output
# to standard error, so that the caller's standard output stays the one line naming
# what was made) holding CACHE/PREFIX-KEY.lock; a run that waited for the lock finds
# what the other one made. Afterwards every other PREFIX-* in CACHE is removed.
build_once() {
  local cache=$1 prefix=$2 key=$3 ready=$4 build=$5
  mkdir -p "$cache"
  if [ ! -e "$ready" ]; then
    exec 9> "$cache/$prefix-$key.lock"
    flock 9
    if [ ! -e "$ready" ]; then
      "$build" >&2
      find "$cache" -maxdepth 1 -name "$prefix-*" ! -name "$prefix-$key" ! -name '*.lock' \
        -exec rm -rf {} +
    fi
  fi
}
