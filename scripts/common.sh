# Shared by scripts/run and scripts/test: install what the system needs, then build into build/.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"

PACKAGES=(
  g++ cmake make pkg-config qtbase5-dev qtdeclarative5-dev qtquickcontrols2-5-dev qttools5-dev
  qttools5-dev-tools qtdeclarative5-dev-tools qml-module-qtquick2 qml-module-qtquick-window2
  qml-module-qtquick-controls2 qml-module-qtquick-templates2 qml-module-qtquick-controls
  qml-module-qtquick-layouts qml-module-qtgraphicaleffects qml-module-qtquick-extras
  qml-module-qtqml-models2 qml-module-qtmultimedia qml-module-qt-labs-settings qml-module-qttest
  libqt5sql5-sqlite libqt5multimedia5-plugins libmosquitto-dev mosquitto mosquitto-clients
  libqrcodegencpp-dev openssl xvfb xauth fonts-dejavu-core libbenchmark-dev util-linux iproute2
  qml-module-qtquick-virtualkeyboard qtvirtualkeyboard-plugin qml-module-qt-labs-folderlistmodel libqt5svg5
  zbar-tools zlib1g-dev
)

install_packages() {
  local missing=()
  local pkg
  for pkg in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build() {
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  fi
  cmake --build "$BUILD" -j"$(nproc)"
}

# Qt Quick needs OpenGL, which only an X display (Xvfb) gives here.
XVFB_ARGS=(-a -s "-screen 0 1280x1024x24 -nolisten tcp")
