# Sourced by ./test and ./run: installs what is missing from Debian's packages, then configures and
# builds the given preset. Quick when nothing changed.
# Installing and packaging: manual pages, icons, the checks of the package (its manual pages
# rendered with man, its log rotation read by logrotate) and its port privilege;
# rsyslog, rsyslog-gnutls and openssl: the forwarding tests run a collector of their own, with TLS;
# dbus-daemon and dunst: the notification test runs a real notification service on a private session
# bus (dbus-run-session); xvfb: that test and the end-to-end test need a real X server; libssl-dev:
# a client key is checked against its certificate; zlib1g-dev: History reads the rotated, compressed logs;
# prometheus-cpp-dev serves the metrics, and the metrics test runs a Prometheus server of its own
# (prometheus, without recommends: those are exporters that run as services).
sorvane_packages=(cmake g++ make pkg-config qt6-base-dev qt6-charts-dev libqt6sql6-sqlite libcap-ng-dev libssl-dev zlib1g-dev
    fonts-dejavu-core iproute2
    help2man librsvg2-bin dpkg-dev file lintian desktop-file-utils appstream libcap2-bin systemd
    man-db groff-base logrotate
    jq curl
    rsyslog rsyslog-gnutls openssl dbus-daemon dunst xvfb prometheus-cpp-dev prometheus)
sorvane_without_recommends=(prometheus)

# apt-get install, once more after an update if it fails ($sudo from the caller).
sorvane_apt() {
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "$@" ||
        { $sudo apt-get update && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "$@"; }
}

sorvane_install() {
    local missing=()
    for p in "${sorvane_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    if ! ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1; then
        $sudo apt-get update
    fi
    local bare=() rest=()
    for p in "${missing[@]}"; do
        [[ " ${sorvane_without_recommends[*]} " == *" $p "* ]] && bare+=("$p") || rest+=("$p")
    done
    [ ${#rest[@]} -eq 0 ] || sorvane_apt "${rest[@]}" || return 1
    [ ${#bare[@]} -eq 0 ] || sorvane_apt --no-install-recommends "${bare[@]}"
}

sorvane_build() {
    local preset=$1
    if [ ! -f "build/$preset/CMakeCache.txt" ]; then
        cmake --preset "$preset" -DSORVANE_WERROR=ON >/dev/null
    fi
    cmake --build --preset "$preset" -j "$(nproc)"
}
