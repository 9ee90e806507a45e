#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The two alert examples of the README, each run by the service as shipped, under its sandbox:
# systemd boots in a container over a throw-away view of this root, the package is installed there,
# and the unit runs with the example and the drop-in the README shows. The chat webhook and the SMTP
# relay (STARTTLS, its certificate checked) listen on this host's loopback, which the container
# shares. A user name full of quotes and $(...) must arrive whole.
# Usage: unit_sandbox.sh DEB FWSIM. Exit 77 when this machine cannot boot a container.
set -uo pipefail

# The overlay lives in a mount namespace of its own: it goes when the script ends, however it ends.
[ -n "${SORVANE_UNSHARED:-}" ] || SORVANE_UNSHARED=1 exec unshare --mount --propagation private bash "$0" "$@"
deb=$1 fwsim=$2
scratch=$(mktemp -d)
view=$scratch/view
trap 'kill $(jobs -p) 2>/dev/null; wait; umount "$view" "$scratch/top" 2>/dev/null; rm -rf --one-file-system "$scratch"' EXIT

mkdir -p "$view" "$scratch/top" "$scratch/sinks"
mount -t tmpfs tmpfs "$scratch/top" && mkdir "$scratch/top/upper" "$scratch/top/work" &&
    mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/top/upper,workdir=$scratch/top/work" "$view" ||
    { echo "skipped: no overlay of the root here"; exit 77; }
cp "$deb" "$view/var/tmp/sorvane.deb"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null
install -D -m 644 "$scratch/cert.pem" "$view/etc/ssl/relay-ca.pem"

# Without a system manager on the host: no registration, and the container stays in this cgroup.
# It shares the host's network, so it boots no further than basic.target: this root's own services
# (a database, a Prometheus) stay down.
systemd-nspawn -q -D "$view" --register=no --keep-unit -M sorvane-check -b --console=passive \
    systemd.unit=basic.target >"$scratch/boot.log" 2>&1 &
container=$!
inside() { nsenter -t "$(pgrep -P $container -x systemd)" -a "$@"; }
booted() { [[ $state =~ ^(running|degraded)$ ]]; }
for _ in $(seq 300); do
    state=$(inside systemctl is-system-running 2>&1) || booted && break
    sleep 0.2
done
booted || { echo "skipped: systemd did not boot in a container ($state): $(cat "$scratch/boot.log")"; exit 77; }
inside dpkg -i /var/tmp/sorvane.deb >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; exit 1; }

python3 "$(dirname "$0")/alert_sinks.py" "$scratch/sinks" "$scratch/cert.pem" "$scratch/key.pem" >"$scratch/ports" 2>/dev/null &
for _ in $(seq 50); do [ -s "$scratch/ports" ] && break; sleep 0.2; done
read -r chatPort relayPort <"$scratch/ports"
eventPort=$(python3 -c 'import socket; s = socket.socket(type=socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
text="account locked: server 10.0.0.1, user a\"}' \$(b)\\"
printf 'event code=2 server=10.0.0.1 ip=192.168.1.5 user="a\\"}'"'"' $(b)\\\\"\n' >"$scratch/replay"

# EXAMPLE SINK DROP-IN: installed as the README says, the unit restarted, a lock-out sent: what SINK kept.
runExample() {
    inside install -D -m 755 "/usr/share/doc/sorvane/examples/$1" "/usr/local/libexec/sorvane-$1"
    printf 'event-port=%s\nalert-command=/usr/local/libexec/sorvane-%s\n' "$eventPort" "$1" |
        inside tee /etc/sorvane/sorvane.conf >/dev/null
    printf '[Service]\n%s\n' "$3" | inside sh -c 'mkdir -p /etc/systemd/system/sorvane-headless.service.d &&
        cat >/etc/systemd/system/sorvane-headless.service.d/alert.conf && systemctl daemon-reload'
    inside systemctl restart sorvane-headless
    for _ in $(seq 100); do inside journalctl -u sorvane-headless -n 1 -o cat | grep -q Listening && break; sleep 0.2; done
    "$fwsim" replay "$scratch/replay" --monitor "127.0.0.1:$eventPort" --discovery-port 0 2>/dev/null
    for _ in $(seq 100); do [ -s "$scratch/sinks/$2" ] && break; sleep 0.2; done
    tr -d '\r' <"$scratch/sinks/$2" 2>&1
}

failures=0
posted=$(runExample alert-webhook posted "Environment=SORVANE_WEBHOOK_URL=http://localhost:$chatPort/hook")
mailed=$(runExample alert-mail mailed "Environment=SORVANE_MAIL_RELAY=smtp://localhost:$relayPort
Environment=SORVANE_MAIL_FROM=sorvane@example.org SORVANE_MAIL_TO=security@example.org
Environment=CURL_CA_BUNDLE=/etc/ssl/relay-ca.pem")
[ "$(jq -r .text <<<"$posted" 2>&1)" = "Sorvane: $text" ] && echo "ok: the webhook example, under the unit" ||
    { echo "FAIL: the webhook example, under the unit, posted '$posted'"; failures=1; }
grep -qx "Subject: Sorvane alert: account-locked" <<<"$mailed" && grep -qxF "$text" <<<"$mailed" &&
    echo "ok: the mail example, under the unit" || { echo "FAIL: the mail example, under the unit, mailed '$mailed'"; failures=1; }
[ $failures -eq 0 ] || { inside journalctl -u sorvane-headless -o cat; exit 1; }
