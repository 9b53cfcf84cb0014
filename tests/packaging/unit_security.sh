#!/usr/bin/env bash
# The installed unit's sandbox, as systemd-analyze rates it: 2.5 or lower, and still the
# settings the gateway needs (notify, watchdog, reload by SIGHUP, serial devices, pty lines).
#   unit_security.sh SOURCE_DIR
set -uo pipefail
unit=$1/gateway/vpisd-gateway.service
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

report=$(systemd-analyze security --offline=yes "$unit" 2>&1)
score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")
[ -n "$score" ] || fail "no score in: $report"
[ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 2.5) }' || fail "exposure $score > 2.5"
for setting in 'Type=notify' 'WatchdogSec=30' 'ExecReload=/bin/kill -HUP $MAINPID' \
    'SupplementaryGroups=dialout' 'DeviceAllow=char-ttyUSB rw' 'DeviceAllow=/dev/ptmx rw' \
    'DeviceAllow=char-pts rw' 'RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6'; do
    grep -qxF -- "$setting" "$unit" || fail "the unit lacks $setting"
done
grep -q '^PrivateNetwork=yes' "$unit" && fail "PrivateNetwork would cut the gateway off"
echo "exposure: $score"
[ $failures -eq 0 ] && echo PASS
exit $((failures > 0))
