#!/bin/bash
# SPDX-License-Identifier: MIT
# Runs as the guest's first process: loads the real drivers, makes a gpio-sim chip, then
# drives the real program over TCP and reads the outputs back from the kernel (the data
# register through /dev/port, the simulated lines through sysfs). One line a case:
# "CASE <name> ok|FAIL <detail> (<seconds> s)"; "KERNEL-STAGE done" at the end.
# Usage: guest.sh PROGRAM GPIO-SIM.ko RELEASE [CASE...] (every case by default; a machine
# without a parallel port runs the GPIO ones).
program=$1 gpio_sim=$2 release=$3
shift 3
cases="$*"
[ -n "${cases// /}" ] ||
  cases="list-ports parport-move held-port parport-sigterm lp-held gpio-move gpio-ramp gpio-half gpio-home gpio-busy gpio-missing remembered port-taken"
want() { case " $cases " in *" $1 "*) return 0 ;; esac; return 1; }
export PATH=/usr/sbin:/usr/bin:/sbin:/bin QT_QPA_PLATFORM=offscreen HOME=/tmp XDG_RUNTIME_DIR=/tmp/xdg
mkdir -m 0700 -p "$XDG_RUNTIME_DIR"
cd /tmp
echo "KERNEL-STAGE booted $(uname -r) in $(cut -d' ' -f1 /proc/uptime) s"
if want parport-move || want lp-held; then
  modprobe parport_pc io=0x378 irq=7 && modprobe ppdev ||
    echo "CASE drivers FAIL cannot load the parallel-port drivers"
fi
modprobe configfs && insmod "$gpio_sim" || echo "CASE drivers FAIL cannot load gpio-sim"
ip link set lo up
mount -t configfs none /sys/kernel/config 2>/dev/null
mkdir -p /sys/kernel/config/gpio-sim/sim/bank0/line5/hog
echo 8 >/sys/kernel/config/gpio-sim/sim/bank0/num_lines
echo motor-brake >/sys/kernel/config/gpio-sim/sim/bank0/line5/hog/name
echo output-low >/sys/kernel/config/gpio-sim/sim/bank0/line5/hog/direction
echo 1 >/sys/kernel/config/gpio-sim/sim/live
chip=$(cat /sys/kernel/config/gpio-sim/sim/bank0/chip_name)
sim=$(ls -d /sys/devices/platform/gpio-sim.*/"$chip")
echo "KERNEL-STAGE drivers ready at $(cut -d' ' -f1 /proc/uptime) s: $(ls /sys/class/parport 2>/dev/null) $chip"

started=0
begin() { started=$(date +%s.%N); }
result() { # verdict name detail
  printf 'CASE %s %s %s (%.1f s)\n' "$2" "$1" "$3" "$(awk "BEGIN { print $(date +%s.%N) - $started }")"
}
data() { od -An -tu1 -j888 -N1 /dev/port | tr -d ' '; }
lines() { for k in 0 1 2 3; do cat "$sim/sim_gpio$k/value"; done | tr -d '\n'; }
listening() { grep -qE '^ *[0-9]+: [0-9A-F]+:0BB8 [0-9A-F:]+ 0A' /proc/net/tcp /proc/net/tcp6; }
# How long a case waits for what it expects: the emulated machine may share a busy host, and
# only the outcome is checked, never the time it took.
patience=120
# wait_for SECONDS COMMAND...: true once the command is, false after the time.
wait_for() {
  local limit=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -ge "$limit" ] && return 1
    sleep 0.05
  done
}
# A moving motor shows each of its four patterns once in 4 ms, so two reads a multiple of
# 4 ms apart can agree while it moves: read eight times 51 ms apart (never in step with
# the cycle, and the guest's jitter makes agreeing by chance about 1 in 16000).
samples() { # READ: eight reads of the output, space-separated
  local k
  for k in 1 2 3 4 5 6 7 8; do
    printf '%s ' "$("$1")"
    sleep 0.051
  done
}
# steady READ VALUE: the output stays at VALUE (a move passes every pattern).
steady() { [ "$(samples "$1")" = "$(printf "$2 %.0s" 1 2 3 4 5 6 7 8)" ]; }
# moving READ: the output changes within eight reads.
moving() { [ "$(samples "$1" | tr ' ' '\n' | sort -u | grep -c .)" -ge 2 ]; }
# poll_lines PATTERN [FUNCTION]: "MICROSECONDS PATTERN" at every change of L0..L3 through
# sysfs, FUNCTION called with each new pattern, until the lines have shown PATTERN for a second
# (or the case's patience runs out). No fork in the loop, so reads come far more often than the
# 10 ms between the fastest steps asked of it.
poll_lines() {
  local now=${EPOCHREALTIME/./} last= since pattern v k
  local end=$((now + patience * 1000000))
  since=$now
  while [ "$now" -lt "$end" ] && { [ "$last" != "$1" ] || [ $((now - since)) -lt 1000000 ]; }; do
    pattern=
    for k in 0 1 2 3; do
      read -r v <"$sim/sim_gpio$k/value"
      pattern+=$v
    done
    now=${EPOCHREALTIME/./}
    if [ "$pattern" != "$last" ]; then
      echo "$now $pattern"
      last=$pattern since=$now
      [ -z "$2" ] || "$2" "$pattern"
    fi
  done
}
start() { # log-file arguments...: starts the program, waits until it listens
  local log=$1
  shift
  "$program" "$@" >/dev/null 2>"$log" &
  pid=$!
  wait_for "$patience" listening
}
stop() { kill -TERM "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }
# beside POLLER: the poller and every thread of the program on one CPU. On two, the host
# could stop the poller's CPU while the other made two steps. On one, the stepping thread
# makes one tick a wake-up, steps are ticks apart, and the poller (at the event loop's
# priority, so never starved by it) reads between any two steps: it sees every phase.
beside() { taskset -a -p -c 0 "$pid" >/dev/null && taskset -p -c 0 "$1" >/dev/null; }
send() { exec 3<>/dev/tcp/127.0.0.1/3000 && printf '%s' "$1" >&3; }
hang_up() { exec 3>&-; }
# follow FILE PATTERN [FUNCTION]: poll_lines into FILE in the background, as $poller.
follow() {
  poll_lines "$2" "${3:-}" >"$1" &
  poller=$!
}
# moved: sends "90" to the started program, the poller beside it, until the lines rest; then
# stops it.
moved() {
  beside "$poller"
  send 90
  wait "$poller"
  stop
  hang_up
}

if want list-ports; then
  begin
  "$program" --list-ports >/tmp/list.txt 2>&1
  if grep -q 'parport0  /dev/parport0  base 0x378' /tmp/list.txt && grep -q "$chip" /tmp/list.txt &&
    grep -q 'A plain start would use: ppdev /dev/parport0 at 0x378' /tmp/list.txt; then
    result ok list-ports "parport0 at 0x378, $chip, plain start on ppdev"
  else
    result FAIL list-ports "$(tr '\n' '|' </tmp/list.txt)"
  fi
fi

if want parport-move; then
  # 97.5 degrees is 13 steps: phase 1, byte 6.
  begin
  if start /tmp/pp.log --port 0 && send 97.5 && wait_for "$patience" steady data 6; then
    result ok parport-move "data register 6 after 97.5 degrees"
  else
    result FAIL parport-move "data register $(data); $(tr '\n' '|' </tmp/pp.log)"
  fi
fi

if want held-port; then
  # A move that cannot end during the case (eight minutes), then a second instance on the
  # same port while it runs. However slowly the guest starts the second one, it must refuse
  # the held port (exit 3) rather than sleep in the kernel's claim, which would last as long
  # as the first holds the port: past the generous time limit.
  begin
  printf '%s' 3600000 >&3
  wait_for "$patience" moving data
  before=$(samples data)
  timeout -k 2 120 "$program" --port /dev/parport0 >/dev/null 2>/tmp/second.log
  second=$?
  if [ "$second" = 3 ] && grep -q 'ppdev0' /tmp/second.log && wait_for "$patience" moving data; then
    result ok held-port "second exit 3: $(head -c 200 /tmp/second.log | tr '\n' ' '); first kept stepping"
  else
    result FAIL held-port "second exit $second: $(tr '\n' '|' </tmp/second.log); register before $before after $(samples data)"
  fi
fi

if want parport-sigterm; then
  # SIGTERM in the middle of that move: the coils go off.
  begin
  moving data
  still=$?
  stop
  hang_up
  if [ "$still" = 0 ] && [ "$(data)" = 0 ]; then
    result ok parport-sigterm "moving, then 0 after SIGTERM"
  else
    result FAIL parport-sigterm "moving $still, after $(data); $(tr '\n' '|' </tmp/pp.log)"
  fi
fi

if want lp-held; then
  # The printer driver in the middle of a job, ppdev not loaded: raw I/O would reach the
  # port, but the port is lp's, so a plain start refuses it (exit 3) and names lp.
  begin
  modprobe -r ppdev && modprobe lp
  head -c 100000000 /dev/zero >/dev/lp0 2>/dev/null &
  job=$!
  wait_for "$patience" grep -qx lp /proc/sys/dev/parport/parport0/devices/active
  claimed=$?
  timeout -k 2 60 "$program" >/dev/null 2>/tmp/lp.log
  refused=$?
  kill "$job" 2>/dev/null
  wait "$job" 2>/dev/null
  modprobe -r lp
  modprobe ppdev
  if [ "$claimed" = 0 ] && [ "$refused" = 3 ] && grep -q 'claimed by lp' /tmp/lp.log; then
    result ok lp-held "exit 3: $(grep -o 'parport0.*claimed by lp[^:]*' /tmp/lp.log)"
  else
    result FAIL lp-held "lp active $claimed, exit $refused: $(tr '\n' '|' </tmp/lp.log)"
  fi
fi

if want gpio-move; then
  # Which libgpiod the program drives the lines through: libgpiod.so.2 is 1.x, .so.3 is 2.x.
  gpiod=$(ldd "$program" | grep -o 'libgpiod\.so\.[0-9]*' | head -n1)
  begin
  if start /tmp/gpio.log --gpio "$chip:0,1,2,3" && send 97.5 && wait_for "$patience" steady lines 0110; then
    moved=$(lines)
    # The same lines again while the first holds them: refused, naming the holder.
    "$program" --gpio "$chip:0,1,2,3" >/dev/null 2>/tmp/held.log
    held=$?
    stop
    hang_up
    if [ "$held" = 3 ] && grep -q "line 0 is in use by 'stepper-dial'" /tmp/held.log &&
      [ "$(lines)" = 0000 ]; then
      result ok gpio-move "through $gpiod: lines L0..L3 $moved after 97.5 degrees; a second run on them exit 3; $(lines) after SIGTERM"
    else
      result FAIL gpio-move "through $gpiod: second run exit $held: $(tr '\n' ' ' </tmp/held.log); lines $(lines) after SIGTERM"
    fi
  else
    result FAIL gpio-move "through $gpiod: lines $(lines); $(tr '\n' '|' </tmp/gpio.log)"
    stop
    hang_up
  fi
fi

if want gpio-ramp; then
  # A ramped 90 degrees on the lines, read back as they change. Every change must be one phase on, 12 steps in all, the position file saying step 12,
  # and the ends slower than the middle; TCG keeps loose time, and so do the bounds.
  begin
  rm -f /tmp/ramp.position
  start /tmp/ramp.log --headless --gpio "$chip:0,1,2,3" --state /tmp/ramp.position \
    --max-rate 100 --start-rate 20 --accel 200
  follow /tmp/ramp.lines 1100
  moved
  shape=$(awk 'BEGIN { split("1100 0110 0011 1001", p); for (k in p) phase[p[k]] = k - 1 }
    $2 in phase { d = (phase[$2] - at + 4) % 4; at = phase[$2]
      if (d == 2) jumps++
      if (d == 1 || d == 3) { steps += d == 1 ? 1 : -1
        if (t) { gap = ($1 - t) / 1000; if (!first) first = gap; last = gap; if (!least || gap < least) least = gap }
        t = $1 } }
    END { printf "%d %d %.0f %.0f %.0f", steps, jumps, first, least, last }' /tmp/ramp.lines)
  read -r steps jumps first least last <<<"$shape"
  if [ "$steps" = 12 ] && [ "$jumps" = 0 ] && grep -qx 'position 12' /tmp/ramp.position &&
    [ "$first" -ge 35 ] && [ "$last" -ge 35 ] && [ "$least" -ge 5 ] && [ "$least" -lt "$first" ]; then
    result ok gpio-ramp "12 steps, intervals ${first} ms .. ${least} ms .. ${last} ms, the file at step 12"
  else
    result FAIL gpio-ramp "steps $steps, jumps $jumps, intervals $first .. $least .. $last ms; $(head -c 300 /tmp/ramp.lines | tr "\\n" " "); $(tr '\n' '|' </tmp/ramp.log) $(tr '\n' ' ' </tmp/ramp.position)"
  fi
fi

if want gpio-half; then
  # Half steps: 90 degrees is 24 of them, each change of the lines one line on or off, and
  # the record names the geometry it counts in.
  begin
  rm -f /tmp/half.position
  start /tmp/half.log --headless --gpio "$chip:0,1,2,3" --state /tmp/half.position \
    --half-step --max-rate 50
  follow /tmp/half.lines 1100
  moved
  shape=$(awk 'BEGIN { split("1100 0100 0110 0010 0011 0001 1001 1000", p); for (k in p) phase[p[k]] = k - 1 }
    { if (last != "") { n = 0; for (k = 1; k <= 4; k++) n += substr($2, k, 1) != substr(last, k, 1); if (n != 1) wide++ }
      last = $2 }
    $2 in phase { d = (phase[$2] - at + 8) % 8; at = phase[$2]
      if (d == 1) steps++; else if (d == 7) steps--; else if (d) jumps++ }
    END { printf "%d %d %d", steps, jumps, wide }' /tmp/half.lines)
  read -r steps jumps wide <<<"$shape"
  if [ "$steps" = 24 ] && [ "$jumps" = 0 ] && [ "$wide" = 0 ] &&
    grep -qx 'geometry 48 half forward' /tmp/half.position && grep -qx 'position 24' /tmp/half.position; then
    result ok gpio-half "24 half steps, one line changing at a time, the file at step 24 of half steps"
  else
    result FAIL gpio-half "steps $steps, jumps $jumps, wide changes $wide; $(head -c 300 /tmp/half.lines | tr "\n" " "); $(tr '\n' '|' </tmp/half.log) $(tr '\n' ' ' </tmp/half.position)"
  fi
fi

# at_switch PATTERN, poll_lines' FUNCTION for the home switch: counts the steps the lines make
# (each count to /tmp/home.steps) and holds input line 6 low (a switch to ground, closed) while
# the count stands at step 13 or a turn on. The case runs at 10 steps a second, so a loaded
# host leaves the reader 100 ms to see each phase; one it still missed counts as two steps
# the way the motor was going.
declare -A phases=([1100]=0 [0110]=1 [0011]=2 [1001]=3)
home_phase=0 home_count=0 home_shut=0 home_way=1
at_switch() {
  [ -n "${phases[$1]}" ] || return 0
  local d=$(((phases[$1] - home_phase + 4) % 4))
  home_phase=${phases[$1]}
  case $d in
    1) home_way=1 ;;
    3) home_way=-1 ;;
    2) home_count=$((home_count + home_way)) ;;
    *) return 0 ;;
  esac
  home_count=$((home_count + home_way))
  echo "$home_count" >>/tmp/home.steps
  if [ $((((home_count - 13) % 48 + 48) % 48)) = 0 ]; then
    [ "$home_shut" = 1 ] || echo pull-down >"$sim/sim_gpio6/pull"
    home_shut=1
  else
    [ "$home_shut" = 0 ] || echo pull-up >"$sim/sim_gpio6/pull"
    home_shut=0
  fi
}

if want gpio-home; then
  # The switch 13 steps up, on input line 6 read through its edge events: up to it, a step
  # back, on to it again; "90", sent while the program homes, ends 12 steps past it, and the
  # position file says so. Then the held line 5 as a switch: exit 3.
  begin
  echo pull-up >"$sim/sim_gpio6/pull"
  rm -f /tmp/home.position /tmp/home.steps
  # Following the lines before the program starts: it homes as it starts.
  follow /tmp/home.lines 0110 at_switch
  start /tmp/home.log --headless --gpio "$chip:0,1,2,3" --home-switch "$chip:6" --home \
    --max-rate 10 --state /tmp/home.position
  moved
  "$program" --gpio "$chip:0,1,2,3" --home-switch "$chip:5" >/dev/null 2>/tmp/home-held.log
  held=$?
  trail=$(tr '\n' ' ' </tmp/home.steps)
  if [ "$(tail -n1 /tmp/home.steps)" = 25 ] && [[ " $trail" == *" 11 12 13 12 13 14 "* ]] &&
    grep -qx 'position 12' /tmp/home.position &&
    grep -q 'homed on the home switch on GPIO' /tmp/home.log && [ "$held" = 3 ] &&
    grep -q "line 5 of $chip is in use by 'motor-brake'" /tmp/home-held.log; then
    result ok gpio-home "up to 13, back to 12, 13 again, then 25; held line 5: exit 3"
  else
    result FAIL gpio-home "steps $trail; $(tr '\n' ' ' </tmp/home.position); lines $(tr '\n' ' ' </tmp/home.lines | tail -c 600); $(tr '\n' '|' </tmp/home.log); exit $held: $(tr '\n' '|' </tmp/home-held.log)"
  fi
fi

if want gpio-busy; then
  begin
  "$program" --gpio "$chip:4,5,6,7" >/dev/null 2>/tmp/busy.log
  busy=$?
  if [ "$busy" = 3 ] && grep -q "line 5 is in use by 'motor-brake'" /tmp/busy.log; then
    result ok gpio-busy "exit 3: $(tr '\n' ' ' </tmp/busy.log)"
  else
    result FAIL gpio-busy "exit $busy: $(tr '\n' '|' </tmp/busy.log)"
  fi
fi

if want gpio-missing; then
  # A chip that is not there: exit 3 with one line naming it.
  begin
  "$program" --gpio gpiochip9:0,1,2,3 >/dev/null 2>/tmp/missing.log
  missing=$?
  if [ "$missing" = 3 ] && [ "$(wc -l </tmp/missing.log)" = 1 ] &&
    grep -q "no GPIO chip 'gpiochip9'" /tmp/missing.log; then
    result ok gpio-missing "exit 3: $(cat /tmp/missing.log)"
  else
    result FAIL gpio-missing "exit $missing: $(tr '\n' '|' </tmp/missing.log)"
  fi
fi

if want remembered; then
  # The position kept across restarts with its coil phase. 97.5 degrees is step 13 (byte 6);
  # after a restart 105 is step 14 (byte 12), one step on. Then the needle is declared zero
  # where it stands (its coils stay at byte 12, so the phase offset is 2), and after another
  # restart 7.5 degrees must give byte 9: only a restored offset tells it from a fresh start (6).
  begin
  rm -f /tmp/position
  run_state() { # target byte log [options]: a run that moves to target, then SIGTERM
    start "$3" --port 0 --state /tmp/position "${@:4}" && send "$1" && wait_for "$patience" steady data "$2"
    local ok=$?
    stop
    hang_up
    return $ok
  }
  if run_state 97.5 6 /tmp/st1.log && run_state 105 12 /tmp/st2.log &&
    grep -q 'restored from /tmp/position: 97.5 degrees' /tmp/st2.log &&
    run_state 0 12 /tmp/st3.log --position 0 && run_state 7.5 9 /tmp/st4.log &&
    grep -q 'restored from /tmp/position: 0 degrees' /tmp/st4.log; then
    result ok remembered "6, restart, 12 at 105; zero set, 12; restart, 9 at 7.5"
  else
    result FAIL remembered "register $(data); $(cat /tmp/st*.log | tr '\n' '|')"
  fi
fi

if want port-taken; then
  # A pattern a killed run left on the coils, and port 3000 held by another program.
  begin
  printf '\x09' | dd of=/dev/port bs=1 seek=888 count=1 conv=notrunc status=none
  left=$(data)
  start /tmp/holder.log --simulate
  "$program" --port 0 >/dev/null 2>/tmp/taken.log
  taken=$?
  stop
  if [ "$left" = 9 ] && [ "$taken" = 1 ] && [ "$(data)" = 0 ] && grep -q 'port 3000' /tmp/taken.log; then
    result ok port-taken "exit 1, register 9 -> $(data): $(grep 3000 /tmp/taken.log | head -n1)"
  else
    result FAIL port-taken "left $left, exit $taken, register $(data): $(tr '\n' '|' </tmp/taken.log)"
  fi
fi

echo "KERNEL-STAGE done at $(cut -d' ' -f1 /proc/uptime) s"
echo o >/proc/sysrq-trigger
sleep 5
