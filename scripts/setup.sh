# Sourced by the other scripts: installs the Debian packages Tarvel needs when they are missing.
set -euo pipefail

TARVEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# What building and starting the program needs.
TARVEL_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-translations-l10n libgl-dev libicu-dev libxxhash-dev libpcre2-dev
  libvectorscan-dev
  fonts-dejavu-core
)
# What the tests need besides: their libraries and the tools they drive.
TARVEL_TEST_PACKAGES=(
  libgtest-dev libbenchmark-dev strace attr acl e2fsprogs appstream patch
  bash-completion zsh fish groff-base git dpkg-dev lintian
)

# Installs TARVEL_PACKAGES and the packages given as arguments, those that are missing: as root
# with apt-get, otherwise through sudo. Without sudo, prints the command for root and ends the
# script with status 1.
tarvel_install_packages() {
  local missing=()
  local p
  for p in "${TARVEL_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "Не хватает пакетов Debian, а sudo нет. Установите их от имени root:" >&2
      echo "apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  echo "Устанавливаются пакеты: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}
