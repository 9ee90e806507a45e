#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The monitor with all its defaults, in a network namespace of its own, against the simulator in a
# second namespace joined to it by a veth pair. Watched from outside as a user would: its log file,
# the simulator's record of the Discover packets it answered, and the window's views (--dump-views).
#
#   e2e_namespaces.sh SORVANE FWSIM
#
# Exit codes: 0 passed, 1 failed, 77 skipped (network namespaces cannot be created here).
#
# Every datagram stays inside the two namespaces: they hold only their loopback and the veth pair,
# with addresses of 10.199.0.0/24, and no route leads out of them.

set -u -o pipefail

SORVANE=$1
FWSIM=$2

SKIP=77
FLOOD_COUNT=10000
# Paced well inside what the monitor keeps up with, so every datagram must reach the log.
FLOOD_RATE=5000
# Every wait ends by then, well before ctest's TIMEOUT (300 s) would kill the script uncleaned.
BUDGET_MS=240000
SERVERS=10.0.0.1,10.0.0.2,10.0.0.3
MON_ADDRESS=10.199.0.1
SIM_ADDRESS=10.199.0.2

MON_NS=sorvane-e2e-mon-$$-$RANDOM
SIM_NS=sorvane-e2e-sim-$$-$RANDOM
NETNS_ETC=/etc/netns/$MON_NS
WORK=
PIDS=()
CREATED_NS=()
CREATED_ETC=0
CREATED_ETC_PARENT=0

log() { printf '%s\n' "$*"; }

fail() { log "FAIL: $*"; exit 1; }
skip() { log "SKIP: $*"; exit "$SKIP"; }

cleanup() {
    local rc=$?
    trap - EXIT INT TERM HUP
    local pid tries
    for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${PIDS[@]}"; do
        for ((tries = 0; tries < 100; tries++)); do kill -0 "$pid" 2>/dev/null && sleep 0.05 || break; done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    local ns
    for ns in "${CREATED_NS[@]}"; do
        ip netns del "$ns" 2>/dev/null || log "warning: could not delete network namespace $ns"
    done
    if ((CREATED_ETC)); then
        rm -rf "$NETNS_ETC"
        ((CREATED_ETC_PARENT)) && rmdir /etc/netns 2>/dev/null
    fi
    if [ -n "$WORK" ]; then
        if ((rc != 0 && rc != SKIP)); then
            # What each program said, so a CI log tells what happened.
            for f in monitor.err xvfb.err views.txt discovery.rec sim-discovery.err sim-flood.err sim-replay.err; do
                [ -s "$WORK/$f" ] && { log "---- $f ----"; tail -n 15 "$WORK/$f" | cat -v; }
            done
            [ -e "$WORK/monitor/userfile" ] && log "the log has $(wc -l <"$WORK/monitor/userfile") lines"
        fi
        rm -rf "$WORK"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

now_ms() { echo $(($(date +%s%N) / 1000000)); }
TEST_DEADLINE=$(($(now_ms) + BUDGET_MS))

# wait_for SECONDS WHAT COMMAND...: polls COMMAND until it succeeds; fails the test at the deadline.
wait_for() {
    local seconds=$1 what=$2
    shift 2
    local deadline=$(($(now_ms) + seconds * 1000))
    ((deadline < TEST_DEADLINE)) || deadline=$TEST_DEADLINE
    until "$@"; do
        if (($(now_ms) > deadline)); then
            fail "no $what within $seconds s (or the test's budget of $((BUDGET_MS / 1000)) s ran out)"
        fi
        sleep 0.05
    done
}

# wait_exit SECONDS PID WHAT: waits for a process of ours to end and returns its exit code.
wait_exit() {
    local seconds=$1 pid=$2 what=$3
    wait_for "$seconds" "end of $what" eval "! kill -0 $pid 2>/dev/null"
    local rc=0
    wait "$pid" || rc=$?
    forget "$pid"
    return "$rc"
}

# A process that has been waited for leaves the list, so cleanup never signals a reused PID.
forget() {
    local pid kept=()
    for pid in "${PIDS[@]}"; do
        [ "$pid" = "$1" ] || kept+=("$pid")
    done
    PIDS=("${kept[@]}")
}

contains() { grep -qF -- "$2" "$1" 2>/dev/null; }
file_size() { stat -c %s "$1" 2>/dev/null || echo 0; }
size_at_least() { (($(file_size "$1") >= $2)); }

# alive PID WHAT: fails the test at once when a process that should still run has ended.
alive() {
    kill -0 "$1" 2>/dev/null && return 0
    local rc=0
    wait "$1" || rc=$?
    forget "$1"
    fail "$2 ended early (exit code $rc)"
}
monitor_alive() { alive "$MONITOR_PID" "the monitor"; }

# The indented lines of one section of the views dump ("ServerList", "EventList", ...): a row a
# line, with line ends inside a cell spelled out as \r and \n.
section() {
    awk -v name="$1:" '
        $0 == name { inside = 1; next }
        inside && !/^  / { exit }
        inside { print }' "$WORK/views.txt" 2>/dev/null
}
views_value() { sed -n "s/^$1: //p" "$WORK/views.txt" 2>/dev/null; }
event_rows() { section EventList | grep -c '^  '; }
views_show_servers() { [ "$(section ServerList)" = "$1" ] && [ "$(views_value SelectedServerField)" = "$2" ]; }
views_show_event_rows() { monitor_alive && [ "$(event_rows)" -eq "$1" ]; }

# ---------------------------------------------------------------------------------------------
# The two namespaces

[ "$(id -u)" -eq 0 ] || skip "network namespaces need root (this runs as uid $(id -u))"
command -v ip >/dev/null || skip "iproute2's ip command is not installed"
for program in "$SORVANE" "$FWSIM"; do
    [ -x "$program" ] || fail "$program is not an executable"
done

for ns in "$MON_NS" "$SIM_NS"; do
    error=$(ip netns add "$ns" 2>&1) || skip "cannot create a network namespace: $error"
    CREATED_NS+=("$ns")
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/sorvane-e2e.XXXXXX") || fail "cannot make a temporary directory"
mkdir -m 700 "$WORK/monitor" "$WORK/runtime"

# The pair is made inside the monitor's namespace and its far end moved at once: it never exists in
# the machine's own namespace.
must() { "$@" || fail "could not: $*"; }
must ip -n "$MON_NS" link add e2e0 type veth peer name e2e1 netns "$SIM_NS"
must ip -n "$MON_NS" addr add "$MON_ADDRESS/24" dev e2e0
must ip -n "$SIM_NS" addr add "$SIM_ADDRESS/24" dev e2e1
for link in "$MON_NS lo" "$SIM_NS lo" "$MON_NS e2e0" "$SIM_NS e2e1"; do
    must ip -n "${link% *}" link set "${link#* }" up
done
# The limited broadcast needs a route; this one keeps it on the veth.
must ip -n "$MON_NS" route add 255.255.255.255/32 dev e2e0

link_up() { ip -n "$1" link show "$2" | grep -q 'LOWER_UP'; }
wait_for 10 "carrier on e2e0" link_up "$MON_NS" e2e0
wait_for 10 "carrier on e2e1" link_up "$SIM_NS" e2e1

# Nothing in the monitor's namespace but its loopback and its end of the pair.
links=$(ip -n "$MON_NS" -o link show | awk -F': ' '{ sub(/@.*/, "", $2); print $2 }' | sort | tr '\n' ' ')
[ "$links" = "e2e0 lo " ] || fail "unexpected interfaces in the monitor's namespace: $links"

# The monitor resolves its host name before it broadcasts ("Auto5" otherwise).
host=$(uname -n)
if ! ip netns exec "$MON_NS" getent ahostsv4 "$host" >/dev/null; then
    [ -d /etc/netns ] || CREATED_ETC_PARENT=1
    mkdir -p "$NETNS_ETC" && CREATED_ETC=1
    printf '127.0.0.1\tlocalhost\n%s\t%s\n' "$MON_ADDRESS" "$host" >"$NETNS_ETC/hosts"
    ip netns exec "$MON_NS" getent ahostsv4 "$host" >/dev/null ||
        fail "the host name $host does not resolve inside the namespace, even with $NETNS_ETC/hosts"
    log "the host name $host resolves inside the namespace through $NETNS_ETC/hosts"
fi

# ---------------------------------------------------------------------------------------------
# Discovery: the simulator answers on port 1019 for the whole run and records every Discover packet.

printf 'wait 3600000\n' >"$WORK/idle.replay"
ip netns exec "$SIM_NS" "$FWSIM" replay "$WORK/idle.replay" --servers "$SERVERS" \
    --monitor "$MON_ADDRESS:1023" --discovery-port 1019 --record "$WORK/discovery.rec" \
    2>"$WORK/sim-discovery.err" &
DISCOVERY_PID=$!
PIDS+=("$DISCOVERY_PID")
wait_for 10 "answering simulator" eval \
    'alive "$DISCOVERY_PID" "the simulator" && contains "$WORK/sim-discovery.err" "answering discovery on 0.0.0.0:1019"'

# The namespace has no session bus: without this the status line would say that desktop
# notifications are unavailable, which is not what these checks are about.
mkdir -p "$WORK/config/sorvane"
printf '[alerts]\nnotifications=false\n' >"$WORK/config/sorvane/sorvane.conf"

# A real X server, inside the monitor's namespace: its display connection starts threads of their own,
# which must start without the port privilege.
command -v Xvfb >/dev/null || fail "Xvfb is not installed (package xvfb)"
ip netns exec "$MON_NS" Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$WORK/display" \
    2>"$WORK/xvfb.err" &
PIDS+=("$!")
wait_for 20 "a display from Xvfb" eval '[ -s "$WORK/display" ]'

start_ms=$(now_ms)
(cd "$WORK/monitor" && exec ip netns exec "$MON_NS" env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY \
    DISPLAY=":$(head -n 1 "$WORK/display")" XDG_RUNTIME_DIR="$WORK/runtime" XDG_CONFIG_HOME="$WORK/config" \
    "$SORVANE" --dump-views "$WORK/views.txt") >"$WORK/monitor.out" 2>"$WORK/monitor.err" &
MONITOR_PID=$!
PIDS+=("$MONITOR_PID")

# A message box ("Auto5", "Failed to initialize socket....") would hold the window: the views
# would never list the servers, and this wait fails.
wait_for 20 "servers found by discovery in the views (is a message box open?)" eval \
    'monitor_alive && views_show_servers "$(printf "  10.0.0.1 *\n  10.0.0.2\n  10.0.0.3")" 10.0.0.1'
log "discovery listed the three servers after $(($(now_ms) - start_ms)) ms"
[ "$(views_value Status)" = "Listening for events on UDP port 1023" ] ||
    fail "status line: $(views_value Status)"
# Started as root: once it listens, no thread of the monitor holds a capability (the flood below shows
# it still receives on port 1023).
tasks=0
for status in /proc/"$MONITOR_PID"/task/*/status; do
    tasks=$((tasks + 1))
    for cap in CapPrm CapEff CapAmb; do
        value=$(awk -v key="$cap:" '$1 == key { print $2 }' "$status")
        [ "$value" = 0000000000000000 ] || fail "$cap of ${status%/status} is $value once it listens"
    done
done
((tasks > 1)) || fail "the monitor runs $tasks thread; a display connection should have started more"
[ -z "$(section OnlineUserList)$(section EventList)" ] || fail "the views show users or events before any event"
[ ! -e "$WORK/monitor/userfile" ] || fail "a log file exists before any event"


# ---------------------------------------------------------------------------------------------
# Flood: every datagram arrives whole in the log, in order. The simulator stamps them with its clock,
# so each line is checked against the log's format: time, date, server, user and keyword, two
# blanks apart, CR LF at the end. The simulator numbers its users u0 to u9999 across the servers.

flood_ms=$(now_ms)
ip netns exec "$SIM_NS" "$FWSIM" flood --count "$FLOOD_COUNT" --rate "$FLOOD_RATE" --servers "$SERVERS" \
    --monitor "$MON_ADDRESS:1023" --discovery-port 0 2>"$WORK/sim-flood.err" &
FLOOD_PID=$!
PIDS+=("$FLOOD_PID")
wait_exit 60 "$FLOOD_PID" "the flood" || fail "the flood simulator failed (exit code $?)"
log "$(grep -o 'sent .*' "$WORK/sim-flood.err")"
# Lost datagrams would leave the log short for ever: the deadline reports them.
line_count_at_least() { (($(cat "$1" 2>/dev/null | wc -l) >= $2)); }
wait_for 60 "complete flood in the log ($FLOOD_COUNT lines)" eval \
    'monitor_alive && line_count_at_least "$WORK/monitor/userfile" "$FLOOD_COUNT"'
log "the log held the flood $(($(now_ms) - flood_ms)) ms after its first datagram"
[ "$(stat -c %a "$WORK/monitor/userfile")" = 640 ] || fail "a new log has mode $(stat -c %a "$WORK/monitor/userfile"), not 640"
flood_size=$(file_size "$WORK/monitor/userfile")
LC_ALL=C awk -v n="$FLOOD_COUNT" -v servers="$SERVERS" '
    BEGIN { split(servers, s, ",") }
    {
        want = "^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]  [0-9][0-9]/[0-9][0-9]/[0-9][0-9][0-9][0-9]  "
        want = want s[(NR - 1) % 3 + 1] "  u" (NR - 1) "  LoggedOn\r$"
        if ($0 !~ want) { print "line " NR ": " $0; bad++ }
    }
    END { exit (NR != n || bad) }' "$WORK/monitor/userfile" ||
    fail "the log is not the flood's $FLOOD_COUNT lines u0 to u$((FLOOD_COUNT - 1)), whole and in order"

wait_for 20 "$FLOOD_COUNT rows in the event list" views_show_event_rows "$FLOOD_COUNT"
# The event list shows the date before the time; its top row is the newest event.
last=$(tail -n 1 "$WORK/monitor/userfile" | tr -d '\r' | awk -F'  ' '{ printf "  %s\t%s\t%s\t%s\t Logged on", $2, $1, $3, $4 }')
top=$(section EventList | head -n 1)
[ "$top" = "$last" ] || fail "the event list's top row is not the flood's last event: $top"
# The users of the selected server 10.0.0.1: every third datagram, all logged on.
online=$(section OnlineUserList | wc -l)
[ "$online" -eq $(((FLOOD_COUNT + 2) / 3)) ] || fail "$online online users shown, not $(((FLOOD_COUNT + 2) / 3))"

# ---------------------------------------------------------------------------------------------
# Replay: awkward datagrams, each with the log line it must give (none for a refused one).

REPLAY=$WORK/awkward.replay
REPLAY_LOG=$WORK/awkward.expected
: >"$REPLAY"
: >"$REPLAY_LOG"
replay_logs() {
    printf '%s\n' "$1" >>"$REPLAY"
    printf '%s\r\n' "$2" >>"$REPLAY_LOG"
}
replay_refused() { printf '%s\n' "$1" >>"$REPLAY"; }
# Over 512 bytes: refused, no line; 512 bytes: read, every text fills its field without a NUL,
# and the bytes past 156 change nothing.
replay_refused 'raw-fill 513 41'
replay_logs 'raw-fill 512 41 00 00 00 02' \
    "$(printf 'A%.0s' {1..25})  $(printf 'A%.0s' {1..25})  65.65.65.65  $(printf 'A%.0s' {1..40})  AccountLockedUp"
# A CR or LF inside a field is logged as "?", so no datagram can end a line early.
replay_logs 'event code=1 user=bob\r\nsmith server=10.0.0.2 date=12/06\r/2026 time=08:00\n:05' \
    '08:00?:05  12/06?/2026  10.0.0.2  bob??smith  LoggedOff'
# 8-bit bytes are logged as sent.
replay_logs 'event code=3 user=J\xf6rg\xff server=10.0.0.3 date=12/06/2026 time=08:00:08' \
    $'08:00:08  12/06/2026  10.0.0.3  J\xf6rg\xff  TryingInvalidUserNames'
# Last, an ordinary event: once its line is there, all before it have been handled.
replay_logs 'event code=1 user=alice ip=10.1.0.5 server=10.0.0.2 date=12/06/2026 time=08:00:10' \
    '08:00:10  12/06/2026  10.0.0.2  alice  LoggedOff'

ip netns exec "$SIM_NS" "$FWSIM" replay "$REPLAY" --monitor "$MON_ADDRESS:1023" --discovery-port 0 \
    2>"$WORK/sim-replay.err" &
REPLAY_PID=$!
PIDS+=("$REPLAY_PID")
wait_exit 30 "$REPLAY_PID" "the replay" || fail "the replay simulator failed (exit code $?)"
datagrams=$(grep -c '' "$REPLAY")
contains "$WORK/sim-replay.err" "replayed $datagrams datagrams" || fail "the replay did not send $datagrams datagrams"

wait_for 30 "the replay's lines in the log" eval \
    'monitor_alive && size_at_least "$WORK/monitor/userfile" "$((flood_size + $(file_size "$REPLAY_LOG")))"'
if ! cmp -s <(tail -c +"$((flood_size + 1))" "$WORK/monitor/userfile") "$REPLAY_LOG"; then
    diff -u --label expected --label logged <(cat -A "$REPLAY_LOG") \
        <(tail -c +"$((flood_size + 1))" "$WORK/monitor/userfile" | cat -A)
    fail "the replay's log lines differ (cat -A shows CR as ^M and the line end as \$)"
fi

replay_lines=$(wc -l <"$REPLAY_LOG")
wait_for 20 "$((FLOOD_COUNT + replay_lines)) rows in the event list" \
    views_show_event_rows "$((FLOOD_COUNT + replay_lines))"
top=$(section EventList | head -n 1)
[ "$top" = "  12/06/2026	08:00:10	10.0.0.2	alice	 Logged off" ] ||
    fail "the event list's top row is not the replay's last event: $top"
[ "$(views_value Status)" = "Listening for events on UDP port 1023" ] ||
    fail "status line after the replay: $(views_value Status)"

# One detection at start-up, one Discover packet, nothing more, from a port of its own.
[ "$(wc -l <"$WORK/discovery.rec")" -eq 1 ] ||
    fail "expected one Discover packet, the simulator answered $(wc -l <"$WORK/discovery.rec")"
discover_hex=0100000000303030303030303030303030446973636f766572205061636b657400
grep -Eq "^$MON_ADDRESS:[0-9]+ $discover_hex\$" "$WORK/discovery.rec" ||
    fail "unexpected Discover record: $(cat -v "$WORK/discovery.rec")"
port=$(sed -E 's/^[^:]*:([0-9]+) .*/\1/' "$WORK/discovery.rec")
((port != 0 && port != 1019 && port != 1023)) || fail "Discover packet sent from port $port"

kill -TERM "$MONITOR_PID"
rc=0
wait_exit 10 "$MONITOR_PID" "the monitor after SIGTERM" || rc=$?
# Ended by the signal, or by a handler of its own; anything else is a crash on the way out.
((rc == 143 || rc == 0)) || fail "the monitor ended with exit code $rc after SIGTERM"
log "PASS: discovery, $FLOOD_COUNT flood events and $datagrams replayed datagrams, in $(($(now_ms) - start_ms)) ms"
