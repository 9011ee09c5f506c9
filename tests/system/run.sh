#!/usr/bin/env bash
# The package under a real systemd: boots it as PID 1 of new namespaces on a throwaway root
# (an overlay: the machine's / below, a tmpfs above), installs the package there as an
# administrator would and takes the unit through every way out, steered by the example client
# built there from the installed development package. Needs root; leaves /tmp, /run, /etc and
# /var of the machine as they were.
# usage: run.sh <directory holding the packages> [scenario...]
set -u
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 77; }
debs=$(cd "$1" && ls "$PWD"/{ostrel,libostrel-client0,libostrel-client-dev}_*.deb 2>/dev/null | tr '\n' ' ')
[ "$(wc -w <<<"$debs")" -eq 3 ] || { echo "no packages in $1"; exit 1; }
example=$(cd "$(dirname "$0")/../../examples/hold-speed" && pwd)
shift
scenarios=${*:-ready killed hung memory profile stopped violation sandbox}
safe=6000 # the example profile's MaximumRpm
status=0
work=$(mktemp -d /tmp/ostrel-system.XXXXXX)
canary=$(mktemp -d /var/tmp/ostrel-system.XXXXXX) # with $work: gone if a boot empties the two
freezer=/sys/fs/cgroup/freezer/ostrel-system-test
snapshot() { find /run /etc /var -xdev -maxdepth 3 ! -path "$canary" 2>/dev/null | sort; }
snapshot >"$work/before"
find /sys/fs/cgroup -mindepth 1 -type d | sort >"$work/cgroups"

# The throwaway root, held by a process of its own.
cat >"$work/root.sh" <<EOF
set -e
mount --make-rprivate /
mkdir -p $work/layers && mount -t tmpfs tmpfs $work/layers
cd $work/layers && mkdir upper work root
mount -t overlay overlay -o lowerdir=/,upperdir=upper,workdir=work root
for d in tmp var/tmp run; do mount -t tmpfs tmpfs root/\$d; done
mount --rbind /dev root/dev && mount -t sysfs sysfs root/sys && mount --rbind /sys/fs/cgroup root/sys/fs/cgroup
mkdir root/var/cache/ostrel && cp -r $debs $example root/var/cache/ostrel/
# No unit of the host enabled, and no container policy that keeps a package from starting its service.
rm -rf root/etc/systemd/system/*.wants root/usr/sbin/policy-rc.d
mkdir -p root/etc/tessovara root/etc/systemd/system/ostrel.service.d root/run/kevo-sim root/.chroot
# The simulated fan keeps its state where both the guard and the recovery see it.
printf '[Service]\nEnvironment=KEVO_SIM_STATE=/run/kevo-sim/fan\nReadWritePaths=/run/kevo-sim\n' \
    >root/etc/systemd/system/ostrel.service.d/kevo-sim.conf
cd root && mkdir .old && pivot_root . .old
mount -t proc proc /proc && umount -l /.old && rmdir /.old && umount /proc
touch /.ostrel-system-test
exec sleep infinity
EOF
unshare --mount bash "$work/root.sh" >"$work/console" 2>&1 &
holder=$!

# boot [chroot]: systemd as PID 1 on the throwaway root. A chrooted systemd stands for a
# kernel that refuses user namespaces: it refuses them to a chrooted caller.
boot() {
    local enter="exec" launcher i
    [ $# -eq 0 ] || enter="mount --rbind / /.chroot && cd /.chroot && exec chroot ."
    # Never on the machine's own root: at boot systemd empties /tmp and writes to /var.
    within 20 test -e /proc/$holder/root/.ostrel-system-test || { cat "$work/console"; echo "no throwaway root"; exit 1; }
    nsenter -t $holder -m -r -w unshare --mount --fork --pid --cgroup --uts --ipc sh -c \
        "[ -e /.ostrel-system-test ] && [ \"\$(stat -f -c %T /)\" = overlayfs ] &&
         $enter env container=other /lib/systemd/systemd --unit=basic.target" >>"$work/console" 2>&1 &
    launcher=$!
    within 10 eval 'sd=$(pgrep -P $launcher -x systemd)' || { cat "$work/console"; exit 1; }
    echo "$sd" >>"$work/systemd"
    root=/proc/$sd/root
    within 20 inside systemctl is-active -q basic.target 2>/dev/null || { echo "systemd did not boot"; exit 1; }
}
cleanup() {
    [ $? -eq 0 ] || status=1
    [ -f "$work/systemd" ] && xargs kill -9 <"$work/systemd" 2>/dev/null
    kill -9 $holder 2>/dev/null
    wait 2>/dev/null
    [ -d $freezer ] && echo THAWED >$freezer/freezer.state && within 5 rmdir $freezer 2>/dev/null
    # systemd's cgroups outlive it, empty: those it made go, deepest first.
    find /sys/fs/cgroup -mindepth 1 -type d | sort | comm -13 "$work/cgroups" - | sort -r | xargs -r rmdir 2>/dev/null
    [ -f "$work/before" ] && [ -d "$canary" ] || { echo "/tmp or /var/tmp was emptied"; status=1; }
    snapshot | diff "$work/before" - || { echo "the machine changed (above)"; status=1; }
    rm -rf "$work" "$canary"
    exit $status
}
trap cleanup EXIT

within() { # within SECONDS COMMAND...: true once COMMAND is
    local i
    for ((i = 0; i < $1 * 10; i++)); do "${@:2}" && return 0; sleep 0.1; done
    return 1
}
inside() { nsenter -t "$sd" -a -r -w "$@"; }
prop() { inside systemctl show -p "$1" --value ostrel; }
running() { [ "$(prop ActiveState)/$(prop SubState)" = active/running ]; }
failed() { [ "$(prop ActiveState)" = failed ]; }
fan_at() { local s _; read -r s _ <"$root/run/kevo-sim/fan" && [ "$s" = "$1" ]; } 2>/dev/null
fan_control() { printf '%s\n' "$@" >"$root/run/kevo-sim/new" && mv "$root/run/kevo-sim/new" "$root/run/kevo-sim/fan.control"; }
mark() { cursor=$(inside journalctl -n1 --show-cursor -q | sed -n 's/^-- cursor: //p'); }
journal() { inside journalctl -u ostrel -q -o cat ${cursor:+--after-cursor="$cursor"} "$@"; }
in_order() { # in_order TEXT...: the journal since the mark holds the texts, in this order
    local log text
    log=$(journal) || return 1
    for text in "$@"; do
        [[ $log == *"$text"* ]] || return 1
        log=${log#*"$text"}
    done
}
fail() { echo "FAIL: $*"; journal | tail -n 25; exit 1; }

# The example client: hold RPM SECONDS, as built with CMake.
hold() { inside /var/cache/ostrel/build/hold-speed /run/tessovara-rfu/fan.sock /etc/tessovara/rfu-device-profile.ini "$@"; }
# A leased client holds the fan at 3000 RPM, away from the safe speed, in the background.
steer_away() {
    inside systemctl reset-failed ostrel
    within 10 running || fail "the guard is not running"
    hold 3000 600 >/dev/null 2>&1 &
    within 10 fan_at 3000 || fail "the client could not steer the fan"
    mark
}
restarted() { # restarted OLD_PID: recovery confirmed the safe speed, then a new guard runs
    within 20 running && [ "$(prop MainPID)" != "$1" ] && fan_at $safe &&
        in_order "RPM confirmed; requested= $safe" "Scheduled restart job" "RPM confirmed; requested= $safe"
}

# The scenarios, in the order they run.
ready() { # installed, then given a profile, the unit starts and reports ready
    inside sh -c 'dpkg -i /var/cache/ostrel/*.deb' >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
    [ "$(prop ActiveState)" = inactive ] || fail "the unit did not wait for a profile"
    sed 's#^BackendProgram=.*#BackendProgram=/usr/bin/kevo-sim#' "$root/usr/share/doc/ostrel/rfu-device-profile.ini" \
        >"$root/etc/tessovara/rfu-device-profile.ini"
    inside systemctl start ostrel && running || fail "the unit is not active once started"
    within 10 eval 'inside ostrelctl status --json | grep -q "\"ready\":true.*\"requestedRpm\":$safe,.*\"rpmValid\":true"' ||
        fail "status does not report the safe speed confirmed"
    fan_at $safe || fail "the fan is not at the safe speed"
    # The example client, from the installed development package alone, with CMake and pkg-config.
    inside sh -c 'cd /var/cache/ostrel && cmake -S hold-speed -B build -DCMAKE_CXX_FLAGS=-Werror && cmake --build build &&
        g++ -std=c++17 -fPIC -Werror hold-speed/hold-speed.cpp $(pkg-config --cflags --libs ostrel-client)' \
        >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the example client does not build"; }
    # A speed off the grid never reaches the guard: the library refuses it with the guard's reason.
    [ "$(hold 3050 1 2>&1)" = "hold-speed: request refused: Unsafe stop or spin-up request" ] ||
        fail "the example client did not report the refusal"
    inside sh -c 'ostrel --simulate --profile /etc/tessovara/rfu-device-profile.ini --socket /tmp/sim.sock 2>/dev/null &
        /var/cache/ostrel/build/hold-speed /tmp/sim.sock /etc/tessovara/rfu-device-profile.ini 3000 2; s=$?; kill $!; exit $s' ||
        fail "the example client did not steer a guard in simulation"
}
killed() { # kill -9: the recovery confirms the safe speed, systemd restarts the guard
    steer_away
    local pid=$(prop MainPID)
    inside kill -9 "$pid"
    restarted "$pid" || fail "no recovery and restart after kill -9"
}
hung() { # a fan command hangs beyond the guard's kill: the watchdog goes unfed, systemd kills
    steer_away
    local pid=$(prop MainPID)
    fan_control fault=hang faults-apply-to=read
    within 5 pgrep -f -x '/usr/bin/kevo-sim --fan-rpm' >/dev/null || fail "no hanging fan command"
    # Frozen, it stands for a program stuck in the kernel: the guard's kill does not end it.
    mkdir -p $freezer && pgrep -f -x '/usr/bin/kevo-sim --fan-rpm' >$freezer/cgroup.procs &&
        echo FROZEN >$freezer/freezer.state
    within 10 in_order "Fan command timed out" || fail "the guard did not give up on the command"
    fan_at 3000 || fail "the guard commanded the fan past a command that never ended"
    within 15 in_order "Watchdog timeout" || fail "the watchdog did not fire"
    fan_control fault=none
    within 20 in_order "Watchdog timeout" "RPM confirmed; requested= $safe" || fail "no recovery beside the stuck program"
    echo THAWED >$freezer/freezer.state # systemd waits for it before it restarts the guard
    restarted "$pid" || fail "no restart after the watchdog"
}
memory() { # the guard grows past the unit's memory ceiling: killed, recovered, restarted
    steer_away
    local pid=$(prop MainPID)
    inside gdb -p "$pid" -batch -ex 'call (void*)memset((void*)malloc(300<<20), 1, 300<<20)' >/dev/null 2>&1
    restarted "$pid" && in_order "status=9/KILL" || fail "no kill, recovery and restart at the memory ceiling"
}
profile() { # a refused profile: one line with the reason, the unit fails, the fan is safe
    steer_away
    local good="$root/etc/tessovara/rfu-device-profile.ini"
    cp "$good" "$work/good.ini" && sed -i 's/^Validated=true/Validated=false/' "$good"
    inside systemctl restart ostrel 2>/dev/null
    within 10 failed || fail "the unit did not fail"
    fan_at $safe || fail "the fan is not at the safe speed"
    [ "$(journal | grep -cx 'Device validation, sample freshness and exclusive control must all be confirmed')" = 1 ] ||
        fail "not exactly one line with the reason"
    cp "$work/good.ini" "$good" && inside systemctl reset-failed ostrel && inside systemctl start ostrel
}
stopped() { # systemctl stop: the safe speed is confirmed before the unit is inactive
    steer_away
    inside systemctl stop ostrel
    [ "$(prop ActiveState)" = inactive ] && fan_at $safe || fail "not stopped at the safe speed"
    in_order "Stopping" "RPM confirmed; requested= $safe" "Stopped" || fail "the unit ended before the fan confirmed"
    inside systemctl start ostrel
}
violation() { # a client breaks a rule: the fault's line at warning priority, the fan safe
    within 10 running || fail "the guard is not running"
    mark
    echo '{"version":1,"type":"control"}' | socat - "UNIX-CONNECT:$root/run/tessovara-rfu/fan.sock" >/dev/null 2>&1
    within 10 fan_at $safe || fail "the fan is not at the safe speed"
    warned() { journal -o json | grep '"PRIORITY":"4"' | grep -q "$1"; }
    within 5 warned '"MESSAGE":"\[RFU_GUARD\] safety requested: Invalid or expired control lease"' ||
        fail "no warning line for the broken rule"
    inside systemctl restart ostrel # a latched fault ends with the guard
}
sandbox() { # rebooted onto a kernel that refuses user namespaces: the fan still ends safe
    steer_away
    kill -9 "$sd" # and with it every process of the instance: the fan stays at 3000
    within 10 eval "! kill -0 $sd 2>/dev/null" || fail "systemd outlived its kill"
    boot chroot
    mark
    inside systemctl start --no-block ostrel
    within 60 failed || fail "the unit did not end failed"
    fan_at $safe || fail "the fan is not at the safe speed"
    in_order "status=217/USER" "Start request repeated too quickly" || fail "not the user namespace, or no start limit"
}

boot
for scenario in $scenarios; do
    start=$SECONDS
    if ("$scenario"); then echo "ok   $scenario ($((SECONDS - start)) s)"; else echo "FAIL $scenario"; status=1; fi
    pkill -f "^/var/cache/ostrel/build/hold-speed " 2>/dev/null
done
exit $status
