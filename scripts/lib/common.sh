# Shared by the scripts: where the tree is, and installing what is missing.
# Source it; it sets ROOT and defines need_packages.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
export ROOT

_apt_updated=0

# need_packages PKG...: installs, with apt, the packages that are not there.
# Packages of the i386 architecture (name:i386) enable that architecture first.
need_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
        return 1
    fi
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        _apt_updated=0
    fi
    if [ "$_apt_updated" -eq 0 ]; then
        apt-get update -qq
        _apt_updated=1
    fi
    echo "installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
        >/dev/null && return 0
    # A mirror caught in a sync can miss one architecture's security index:
    # then the i386 half of a multiarch library cannot match the version of
    # its amd64 half, and apt gives up. The release alone has both halves at
    # one version.
    printf '%s\n' "${missing[@]}" | grep -q ':i386$' || return 1
    local release
    release=$(. /etc/os-release && echo "$VERSION_CODENAME")
    echo "retrying from $release alone (the mirror's i386 and amd64 indexes disagree)"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -t "$release" \
        "${missing[@]}" >/dev/null
}

# The build's own packages, for both toolchains, and the libraries the
# gateway is built on (the driver itself needs none of them).
need_build_packages() {
    need_packages cmake ninja-build g++ make libgtest-dev g++-mingw-w64-i686 binutils-mingw-w64-i686 \
        clang-format clang-tidy clang libclang-rt-14-dev help2man || return 1
    need_gateway_packages
}

# The libraries westnet-gateway is built on.
need_gateway_packages() {
    need_packages pkg-config libtomlplusplus-dev nlohmann-json3-dev libmicrohttpd-dev libcli11-dev \
        libmodbus-dev libmosquitto-dev libsystemd-dev libargon2-dev libgnutls28-dev \
        libprotobuf-c-dev protobuf-c-compiler libsqlite3-dev libpq-dev libjs-chart.js || return 1
    need_node
}

# Node.js and npm for the OPC UA server (opcua/): npm ci at build time, node
# at run time. A node from elsewhere (NodeSource) brings its own npm.
need_node() {
    need_packages nodejs || return 1
    command -v npm >/dev/null || need_packages npm
}

# The real peers the tests talk to: a broker, Modbus clients nobody here
# wrote, a browser, a relay for linked pseudo-terminals, a PostgreSQL server
# for the history and sqlite3 to look into its embedded store.
need_test_packages() {
    need_packages mosquitto mosquitto-clients openssl mbpoll python3-pymodbus python3-serial \
        python3-serial-asyncio socat chromium curl postgresql sqlite3
}

# Wine with 32-bit support, to run the shipped DLL.
need_wine_packages() {
    need_packages wine wine32:i386
}
