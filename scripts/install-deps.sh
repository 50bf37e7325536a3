#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need.
# Idempotent: packages already installed are skipped, and apt is not touched
# at all when nothing is missing.
#
#   scripts/install-deps.sh          build and test dependencies
#   scripts/install-deps.sh --bench  also the peer tools of bench/run (R with
#                                    data.table and epitools); kept opt-in so
#                                    that a normal build or test run never
#                                    installs R
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev libfmt-dev
  python3 python3-scipy
  chromium fonts-dejavu-core poppler-utils
  clang libclang-rt-14-dev
)

# Only bench/run needs these: the peer pipeline and the timing tool.
bench_packages=(
  r-base-core r-cran-data.table r-cran-epitools time
)

for arg in "$@"; do
  case "$arg" in
    --bench) packages+=("${bench_packages[@]}") ;;
    *) echo "install-deps: unknown argument '$arg' (known: --bench)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
