# Shared by the benchmark scripts: options, peers, the build and medians.
# The sourcing script sets `name` (its name in messages) first.

say() { echo "$name: $*"; }
die() { echo "$name: FAILED: $*" >&2; exit 1; }

# Sets `rounds` from --rounds N or BENCH_ROUNDS (default 5).
parse_rounds() {
  rounds=${BENCH_ROUNDS:-5}
  local usage="usage: bench/$name.sh [--rounds N]   (or BENCH_ROUNDS=N; default 5)"
  while (($#)); do
    case "$1" in
      -r | --rounds) [[ $# -ge 2 ]] || { echo "$usage" >&2; exit 2; }; rounds=$2; shift 2 ;;
      --rounds=*) rounds=${1#*=}; shift ;;
      -h | --help) echo "$usage"; exit 0 ;;
      *) echo "$usage" >&2; exit 2 ;;
    esac
  done
  [[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "$usage" >&2; exit 2; }
}

# Installs the peers (Debian packages) that are missing, and the project's own deps.
install_peers() {
  local missing=() package status
  for package in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
  done
  if [[ ${#missing[@]} -gt 0 ]]; then
    local sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  tools/install-deps
}

# Builds a target of the default preset and prints the path of a copy of it:
# a rebuild elsewhere in the tree during the rounds must not swap the binary
# halfway through.
build_copy() {  # target
  if ! { cmake --preset default && cmake --build --preset default --target "$1"; } >"$out/build.log" 2>&1; then
    tail -n 30 "$out/build.log" >&2
    die "build failed (whole log in $out/build.log)"
  fi
  cp "build/default/$1" "$out/$1-$name"
  echo "$out/$1-$name"
}

# Builds zarvel-decode and sets `zarvel` to a copy of it.
build_zarvel() { zarvel=$(build_copy zarvel-decode) || exit 1; }

median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { printf "%.4f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
