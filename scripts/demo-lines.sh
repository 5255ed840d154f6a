# Sourced by the demo and the screenshot script: the three simulated lines of the demo.
# start_demo_lines DIR SIM starts qora-sim (path SIM) on DIR/ttySIM1..3, logging to DIR/simN.log,
# appends the process ids to PIDS and waits (at most 5 s each) for the links to appear.
start_demo_lines() {
  dir="$1"; sim="$2"
  "$sim" --link "$dir/ttySIM1" \
    --device 1:0=sine:85:5:60,1=ramp:60:70:0.1,2=const:90 \
    --device 2:0=sine:80:3:45,1=const:65.5 > "$dir/sim1.log" 2>&1 &
  PIDS="$PIDS $!"
  "$sim" --link "$dir/ttySIM2" \
    --device 5:0=const:21.5,3=sine:6.2:0.4:30,4=ramp:4:8:0.05 \
    --device 6:3=sine:5.8:0.2:20 --fault 6:silent-after:40 > "$dir/sim2.log" 2>&1 &
  PIDS="$PIDS $!"
  "$sim" --link "$dir/ttySIM3" \
    --device 10:0=const:18,5=sine:120:15:90,6=ramp:1000:100000:2.5,7=ramp:500:50000:1.2 \
    --fault 11:silent > "$dir/sim3.log" 2>&1 &
  PIDS="$PIDS $!"
  for i in 1 2 3; do
    n=0
    while [ ! -e "$dir/ttySIM$i" ] && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
  done
}
