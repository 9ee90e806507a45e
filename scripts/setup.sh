# Sourced by ./test and ./run: installs what is missing from Debian's packages, then configures and
# builds the given preset. Quick when nothing changed.
# Installing and packaging: manual pages, icons, the checks of the package (its manual pages
# rendered with man, its log rotation read by logrotate) and its port privilege;
# rsyslog, rsyslog-gnutls and openssl: the forwarding tests run a collector of their own, with TLS;
# dbus-daemon and dunst: the notification test runs a real notification service on a private session
# bus (dbus-run-session); xvfb: that test and the end-to-end test need a real X server; libssl-dev:
# a client key is checked against its certificate; zlib1g-dev: History reads the rotated, compressed logs;
# systemd-container and python3: the package test boots systemd in a container to run the alert
# examples under the unit's sandbox, against a chat webhook and a mail relay of its own.
sorvane_packages=(cmake g++ make pkg-config qt6-base-dev qt6-charts-dev libqt6sql6-sqlite libsqlite3-dev libcap-ng-dev libssl-dev zlib1g-dev
    fonts-dejavu-core iproute2
    help2man librsvg2-bin dpkg-dev file lintian desktop-file-utils appstream libcap2-bin systemd
    man-db groff-base logrotate
    jq curl systemd-container python3
    rsyslog rsyslog-gnutls openssl dbus-daemon dunst xvfb libqt6sql6-psql prometheus-cpp-dev)
# libqt6sql6-psql and postgresql: the store test runs a PostgreSQL server of its own in a scratch
# folder (the package also starts a cluster of its own on port 5432, which no test uses);
# prometheus: the metrics test runs a server of its own too. Both without their recommendations.
sorvane_bare_packages=(postgresql prometheus)

sorvane_missing() {
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}

sorvane_install() {
    local missing bare
    mapfile -t missing < <(sorvane_missing "${sorvane_packages[@]}")
    mapfile -t bare < <(sorvane_missing "${sorvane_bare_packages[@]}")
    [ ${#missing[@]} -eq 0 ] && [ ${#bare[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]} ${bare[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    if ! ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1; then
        $sudo apt-get update
    fi
    sorvane_apt() {
        { [ ${#missing[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"; } &&
            { [ ${#bare[@]} -eq 0 ] ||
                DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${bare[@]}"; }
    }
    sorvane_apt || { $sudo apt-get update && sorvane_apt; }
}

sorvane_build() {
    local preset=$1
    if [ ! -f "build/$preset/CMakeCache.txt" ]; then
        cmake --preset "$preset" -DSORVANE_WERROR=ON >/dev/null
    fi
    cmake --build --preset "$preset" -j "$(nproc)"
}
