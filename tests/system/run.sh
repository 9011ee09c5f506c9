#!/usr/bin/env bash
# usage (as root): run.sh DEBS_DIR [SCENARIO...]. The packages under a real systemd on a throwaway root,
# steered by the example client built there; the machine is left as it was.
set -u
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 77; }
debs=$(cd "$1" && ls "$PWD"/{ostrel,kevo-sim,libostrel-client0,libostrel-client-dev}_*.deb 2>/dev/null | tr '\n' ' ')
[ "$(wc -w <<<"$debs")" -eq 4 ] || { echo "no packages in $1"; exit 1; }
[ $# -gt 1 ] || set -- "$1" ready killed hung memory profile stopped violation transient sandboxed typo sandbox
umask 022 # the profiles and programs it writes are root's alone, or the guard refuses them
safe=6000 # the example profile's MaximumRpm
ini=/etc/tessovara/rfu-device-profile.ini
work=$(mktemp -d /tmp/ostrel-system.XXXXXX)
canary=$(mktemp -d /var/tmp/ostrel-system.XXXXXX) # with $work: gone if a boot empties the two
freezer=/sys/fs/cgroup/freezer/ostrel-system-test
snapshot() { find /run /etc /var -xdev -maxdepth 3 ! -path "$canary" 2>/dev/null | sort; }
snapshot >"$work/before"
find /sys/fs/cgroup -mindepth 1 -type d | sort >"$work/cgroups"

# The throwaway root: the machine's / below, a tmpfs above, held by a process of its own.
unshare --mount bash -e >"$work/console" 2>&1 <<EOF &
mount --make-rprivate / && mount -t tmpfs tmpfs $work && cd $work && mkdir upper work root
mount -t overlay overlay -o lowerdir=/,upperdir=upper,workdir=work root && cd root
for d in tmp var/tmp run; do mount -t tmpfs tmpfs \$d; done
mount --rbind /dev dev && mount -t sysfs sysfs sys && mount --rbind /sys/fs/cgroup sys/fs/cgroup
# No unit of the host enabled, and no container policy that keeps a package from starting its service.
rm -rf etc/systemd/system/*.wants usr/sbin/policy-rc.d
mkdir -p var/cache/ostrel etc/tessovara etc/systemd/system/ostrel.service.d run/kevo-sim .chroot .old
cp -r $debs "$(realpath "$(dirname "$0")/../../examples/hold-speed")" var/cache/ostrel/
printf '[Service]\nEnvironment=KEVO_SIM_STATE=/run/kevo-sim/fan\nReadWritePaths=/run/kevo-sim\n' \
    >etc/systemd/system/ostrel.service.d/kevo-sim.conf # the fan's state, where the guard and the recovery see it
pivot_root . .old && mount -t proc proc /proc && umount -l /.old && rmdir /.old && umount /proc
touch /.ostrel-system-test && exec sleep infinity
EOF
holder=$!

boot() { # boot ENTRY: systemd as PID 1 of new namespaces on the throwaway root, ENTRY an exec or chroot
    # Never on the machine's own root: at boot systemd empties /tmp and writes to /var.
    within 20 test -e /proc/$holder/root/.ostrel-system-test || { cat "$work/console"; echo "no throwaway root"; exit 1; }
    nsenter -t $holder -m -r -w unshare --mount --fork --pid --cgroup --uts --ipc sh -c \
        "[ -e /.ostrel-system-test ] && [ \"\$(stat -f -c %T /)\" = overlayfs ] &&
         $1 env container=other /lib/systemd/systemd --unit=basic.target" >>"$work/console" 2>&1 &
    within 10 eval "sd=\$(pgrep -P $! -x systemd)" && echo "$sd" >>"$work/systemd" || { cat "$work/console"; exit 1; }
    root=/proc/$sd/root
    within 20 inside systemctl is-active -q basic.target 2>/dev/null && mark || { echo "systemd did not boot"; exit 1; }
}
cleanup() {
    status=$?
    cat "$work/systemd" | xargs kill -9 "$holder"
    [ -d $freezer ] && echo THAWED >$freezer/freezer.state && within 5 rmdir $freezer # frozen, it would block the wait
    wait
    # systemd's cgroups outlive it, empty: those it made go, deepest first.
    find /sys/fs/cgroup -mindepth 1 -type d | sort | comm -13 "$work/cgroups" - | sort -r | xargs -r rmdir
    [ -d "$canary" ] && snapshot | diff "$work/before" - || { echo "/tmp or /var/tmp emptied, or the above changed"; status=1; }
    rm -rf "$work" "$canary"
    exit $status
}
trap 'cleanup 2>/dev/null' EXIT # what it finds goes to standard output

within() { local i; for ((i = 0; i < $1 * 10; i++)); do "${@:2}" && return; sleep 0.1; done; false; } # SECONDS COMMAND...
inside() { nsenter -t "$sd" -a -r -w "$@"; }
prop() { inside systemctl show -p "$1" --value ostrel; }
unit_is() { [ "$(prop ActiveState)/$(prop SubState)" = "$1" ] || [ "$(prop ActiveState)" = "$1" ]; } # unit_is ACTIVE[/SUB]
fan_at() { local s _; read -r s _ <"$root/run/kevo-sim/fan" && [ "$s" = "$1" ]; } 2>/dev/null
fan_control() { printf '%s\n' "$@" >"$root/run/kevo-sim/new" && mv "$root/run/kevo-sim/new" "$root/run/kevo-sim/fan.control"; }
mark() { cursor=$(inside journalctl -n1 --show-cursor -q | sed -n 's/^-- cursor: //p') && pid=$(prop MainPID); }
bg() { inside sh -c "echo \$\$ >>/run/clients.$sd && exec \"\$@\"" - "$@" >/dev/null 2>&1 & } # ended after the scenario
journal() { inside journalctl -u ostrel -q -o cat ${cursor:+--after-cursor="$cursor"} "$@"; }
logged() { journal | tr '\n' ' ' | grep -q "$1"; } # logged REGEX: the journal since the mark, as one line, matches
fail() { echo "FAIL: $*"; journal | tail -n 25; exit 1; }

client=(/var/cache/ostrel/build/hold-speed /run/tessovara-rfu/fan.sock "$ini")
hold() { inside "${client[@]}" "$@"; } # RPM SECONDS
steer_away() { # a leased client holds the fan at 3000 RPM, away from the safe speed, in the background
    inside systemctl reset-failed ostrel && within 10 unit_is active/running || fail "the guard is not running"
    bg "${client[@]}" 3000 600
    within 10 fan_at 3000 || fail "the client could not steer the fan"
    # Seen by any user, from the status socket, while the client holds the one control connection.
    inside setpriv --reuid=nobody --regid=nogroup --clear-groups ostrelctl status --json | grep -q '"lease":"[0-9a-f]' &&
        within 3 eval '[ "$(prop StatusText)" = "Lease held" ]' || fail "the status does not show the lease held"
    mark # the journal is read from here, and the guard's PID known
}
restarted() { # recovery confirmed the safe speed, then a guard other than $pid runs
    within 20 unit_is active/running && [ "$(prop MainPID)" != "$pid" ] && fan_at $safe &&
        logged "RPM confirmed; requested= $safe.*Scheduled restart job.*RPM confirmed; requested= $safe"
}

ready() { # installed, then given a profile, the unit starts and reports ready
    # The example client, from the installed development package alone, with CMake and pkg-config.
    inside sh -c 'cd /var/cache/ostrel && dpkg -i *.deb && cd hold-speed && cmake -B ../build -DCMAKE_CXX_FLAGS=-Werror &&
        cmake --build ../build && g++ -std=c++17 -fPIC -Werror hold-speed.cpp $(pkg-config --cflags --libs ostrel-client)' \
        >"$work/log" 2>&1 || { cat "$work/log"; fail "the packages do not install, or the example client does not build"; }
    unit_is inactive || fail "the unit did not wait for a profile"
    sed 's#^BackendProgram=.*#BackendProgram=/usr/bin/kevo-sim#' "$root/usr/share/doc/ostrel/rfu-device-profile.ini" >"$root$ini"
    inside systemctl start ostrel && unit_is active/running || fail "the unit is not active once started"
    within 10 eval 'inside ostrelctl status --json | grep -q "\"ready\":true.*\"requestedRpm\":$safe,.*\"rpmValid\":true"' &&
        fan_at $safe || fail "status does not report the safe speed confirmed, or the fan is not there"
    # A speed off the grid never reaches the guard: the library refuses it with the guard's reason.
    [ "$(hold 3050 1 2>&1)" = "hold-speed: request refused: Unsafe stop or spin-up request" ] || fail "no refusal reported"
    bg ostrel --simulate --profile $ini --socket /tmp/sim.sock # the client retries until it listens
    inside /var/cache/ostrel/build/hold-speed /tmp/sim.sock $ini 3000 2 --simulation || fail "the example client did not steer a simulation"
}
killed() { # kill -9: the recovery confirms the safe speed, systemd restarts the guard
    steer_away
    inside kill -9 "$pid"
    restarted || fail "no recovery and restart after kill -9"
}
hung() { # a fan command hangs beyond the guard's kill: the watchdog goes unfed, systemd kills
    steer_away
    mkdir -p $freezer && fan_control fault=hang faults-apply-to=read
    # Frozen, the command stands for a program stuck in the kernel: the guard's kill does not end it.
    within 5 pgrep --ns "$sd" --nslist pid -f -x '/usr/bin/kevo-sim --fan-rpm' >$freezer/cgroup.procs ||
        fail "no hanging fan command"
    echo FROZEN >$freezer/freezer.state
    within 10 logged "Fan command timed out" && fan_at 3000 || fail "the guard did not give up, or commanded the fan past it"
    within 15 logged "Watchdog timeout" && fan_control fault=none || fail "the watchdog did not fire"
    within 20 logged "Watchdog timeout.*RPM confirmed; requested= $safe" || fail "no recovery beside the stuck program"
    echo THAWED >$freezer/freezer.state && restarted || fail "no restart after the watchdog" # a restart waits for the thaw
}
memory() { # the guard grows past the unit's memory ceiling: killed, recovered, restarted
    steer_away
    inside gdb -p "$pid" -batch -ex 'call (void*)memset((void*)malloc(300<<20), 1, 300<<20)' >/dev/null 2>&1
    restarted && logged "status=9/KILL" || fail "no kill, recovery and restart at the memory ceiling"
}
profile() { # a refused profile: one line with the reason, the unit fails, the fan is safe
    steer_away
    sed -i.good 's/^Validated=true/Validated=false/' "$root$ini" && inside systemctl restart ostrel 2>/dev/null
    within 10 unit_is failed && fan_at $safe || fail "the unit did not fail with the fan at the safe speed"
    [ "$(journal | grep -cx 'Device validation, sample freshness and exclusive control must all be confirmed')" = 1 ] ||
        fail "not exactly one line with the reason"
    # Lost once a guard has been ready: not skipped, but failed where it shows, and the recovery runs.
    rm "$root$ini" && mark && inside systemctl reset-failed ostrel && inside systemctl start ostrel 2>/dev/null
    within 10 logged "cannot stat.*RPM confirmed; requested= $safe" || fail "a lost profile did not fail the start"
    mv "$root$ini.good" "$root$ini" && inside systemctl reset-failed ostrel && inside systemctl start ostrel
}
stopped() { # systemctl stop: the safe speed is confirmed before the unit is inactive
    steer_away
    inside systemctl stop ostrel && unit_is inactive && fan_at $safe || fail "not stopped at the safe speed"
    logged "Stopping.*RPM confirmed; requested= $safe.*Stopped" || fail "the unit ended before the fan confirmed"
    inside systemctl start ostrel
}
violation() { # a probe without a lease is closed, no fault; a lease holder breaks a rule: the fault, the fan safe
    within 10 unit_is active/running && mark || fail "the guard is not running"
    local sock=$root/run/tessovara-rfu/fan.sock line lease= session= reason="Control request violates safety bounds"
    warned() { journal -o json | grep '"PRIORITY":"4"' | grep -qF "\"MESSAGE\":\"$1\""; }
    echo PING | socat - "UNIX-CONNECT:$sock" >/dev/null 2>&1
    within 5 warned '[RFU_GUARD] connection without a lease closed: Malformed IPC frame' &&
        inside ostrelctl status >/dev/null || fail "a probe was not closed, or latched a fault"
    coproc holder { socat - "UNIX-CONNECT:$sock"; }
    echo '{"version":1,"type":"hello","serial":"SN-0001"}' >&"${holder[1]}"
    while [ -z "$lease" ] && read -t 5 -r line <&"${holder[0]}"; do
        lease=$(sed -n 's/.*"lease":"\([^"]\+\)".*/\1/p' <<<"$line") && session=$(sed -n 's/.*"session":"\([^"]*\)".*/\1/p' <<<"$line")
    done
    printf '{"version":1,"type":"control","lease":"%s","session":"%s"}\n' "$lease" "$session" >&"${holder[1]}"
    within 10 fan_at $safe || fail "the fan is not at the safe speed"
    within 5 warned "[RFU_GUARD] safety requested: $reason" || fail "no warning for the broken rule"
    within 5 eval '[ "$(prop StatusText)" = "Fault latched: $reason; safe speed confirmed" ]' || fail "systemctl status: $(prop StatusText)"
    inside ostrelctl status >/dev/null; [ $? = 3 ] || fail "ostrelctl status does not report the fault"
    # As a Prometheus server sees it: the timer's scrape, served by a real node exporter over HTTP.
    inside systemctl start prometheus-node-exporter || fail "no node exporter"
    scrape() { inside bash -c 'exec 3<>/dev/tcp/127.0.0.1/9100 && printf "GET /metrics HTTP/1.0\r\n\r\n" >&3 && cat <&3'; }
    within 40 eval 'scrape 2>/dev/null | grep -qxF "ostrel_fault_latched{reason=\"$reason\"} 1"' ||
        fail "the node exporter does not serve the fault: $(scrape 2>&1 | grep ostrel_)"
    kill "${holder_PID:-}" 2>/dev/null
    inside systemctl restart ostrel # a latched fault ends with the guard
}
transient() { # the fan program fails for 3 s while a fresh guard's client stops the fan: the guard brings it back
    inside systemctl restart ostrel && mark || fail "the guard did not restart"
    bg ostrelctl demo --socket /run/tessovara-rfu/fan.sock --profile $ini --seconds 600
    within 30 fan_at 0 && fan_control fault=fail faults-for-ms=3000 || fail "the demo client did not stop the fan"
    within 30 eval 'fan_at $safe && logged "retry exhausted.*RPM confirmed; requested= $safe"' ||
        fail "the fan did not return to the safe speed once the failure cleared"
    unit_is active/running && [ "$(prop MainPID)" = "$pid" ] || fail "the guard was restarted"
}
sandboxed() { # a fan program that, in the sandbox, names a program of its own in the profiles: refused
    local log=/run/kevo-sim/curious bin=$root/usr/local/bin
    # It tries only in the sandbox's user namespace: as the recovery, root outside it, it would succeed.
    printf '%s\n' '#!/bin/sh' 'grep -q " 0 *4294967295$" /proc/self/uid_map ||' \
        '    for f in /run/*/profile.ini /var/lib/ostrel/*.ini; do' \
        '        sed -i "s#^BackendProgram=.*#BackendProgram=/usr/local/bin/pwned#" $f && echo rewrote $f || echo refused $f' \
        "    done >>$log 2>/dev/null" 'exec /usr/bin/kevo-sim "$@"' >"$bin/curious-fan"
    printf '#!/bin/sh\necho pwned >>%s\nexec /usr/bin/kevo-sim "$@"\n' $log >"$bin/pwned"
    chmod 0755 "$bin"/{curious-fan,pwned} && rm -f "$root$log"
    sed -i.good 's#^BackendProgram=.*#BackendProgram=/usr/local/bin/curious-fan#' "$root$ini"
    inside systemctl restart ostrel && mark && inside systemctl stop ostrel || fail "the guard did not start and stop"
    fan_at $safe && logged "Stopping.*RPM confirmed; requested= $safe.*Stopped" || fail "no recovery at the stop"
    grep -qx BackendProgram=/usr/local/bin/curious-fan "$root/var/lib/ostrel/recovery-profile.ini" &&
        [ "$(cut -d' ' -f1 "$root$log" | sort -u)" = refused ] || fail "$(sort "$root$log" | uniq -c)"
    mv "$root$ini.good" "$root$ini" && inside systemctl start ostrel
}
typo() { # a misspelt fan program: never ready, restarted to the start limit, the fan safe by the last good profile
    printf '[Service]\nTimeoutStartSec=3s\n' >"$root/etc/systemd/system/ostrel.service.d/typo.conf" # for a short run
    sed -i.good 's#^BackendProgram=.*#BackendProgram=/usr/bin/kevo-simm#' "$root$ini" && inside systemctl daemon-reload
    inside systemctl reset-failed ostrel && mark && inside systemctl restart --no-block ostrel
    within 90 eval 'unit_is failed || logged "Started "'
    logged "Start request repeated too quickly" && fan_at $safe && ! logged "Started "; typo=$?
    rm "$root/etc/systemd/system/ostrel.service.d/typo.conf" && mv "$root$ini.good" "$root$ini"
    inside systemctl daemon-reload && inside systemctl reset-failed ostrel && inside systemctl restart ostrel
    [ $typo = 0 ] || fail "not failed at the start limit with the fan at the safe speed, or the guard became ready"
}
sandbox() { # rebooted onto a kernel that refuses user namespaces: the fan still ends safe
    steer_away
    kill -9 "$sd" # and with it every process of the instance: the fan stays at 3000
    within 10 eval "! kill -0 $sd 2>/dev/null" || fail "systemd outlived its kill"
    # A chrooted systemd stands for such a kernel: it refuses user namespaces to a chrooted caller.
    boot 'mount --rbind / /.chroot && cd /.chroot && exec chroot .'
    inside systemctl start --no-block ostrel
    within 60 unit_is failed && fan_at $safe || fail "the unit did not end failed with the fan at the safe speed"
    logged "status=217/USER.*Start request repeated too quickly" || fail "not the user namespace, or no start limit"
}

boot exec
for scenario in "${@:2}"; do
    start=$SECONDS
    if ("$scenario"); then echo "ok   $scenario ($((SECONDS - start)) s)"; else echo "FAIL $scenario"; status=1; fi
    inside sh -c "xargs -r kill </run/clients.$sd; rm -f /run/clients.$sd" 2>/dev/null
done
exit "${status:-0}"
