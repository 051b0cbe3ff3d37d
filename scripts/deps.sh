# Packages the build, the tests, the fuzzers and the interop checks need.
DIRLOOK_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
  libbenchmark-dev bison python3 qt6-base-dev libsqlite3-dev sqlite3 xvfb xauth
  python3-dbf libdbd-xbase-perl pgdbf libxbase64-dev libxbase64-bin
)

install_deps() {
  local missing=()
  for p in "${DIRLOOK_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
      if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
        sudo=(sudo -n)
      else
        echo "missing packages (install them as root): ${missing[*]}" >&2
        return 1
      fi
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}
