#!/bin/sh
# Writes the committed seed files of the configuration reader and the reply receiver fuzz targets.
# Usage: make_seeds.sh <qora-cfg executable>
# The configuration seeds come from the program's own writer (qora-cfg create), so they are
# accepted files; the receiver seeds are reply frames, split by the target at each FF FE pair.
set -eu
CFG_TOOL="$1"
HERE="$(cd "$(dirname "$0")" && pwd)"
CFG="$HERE/corpus/config_reader"
RX="$HERE/corpus/comm_receiver"
mkdir -p "$CFG" "$RX"
rm -f "$CFG"/* "$RX"/*

"$CFG_TOOL" create "$CFG/empty.cfg" <<'JSON'
{"points": []}
JSON
"$CFG_TOOL" create "$CFG/one_point_no_devices.cfg" <<'JSON'
{"points": [{"name": "Линия", "port": "ttyS0", "period": 1, "active": false}]}
JSON
"$CFG_TOOL" create "$CFG/one_point_three_devices.cfg" <<'JSON'
{"points": [{"name": "Адаптер_1", "port": "ttyUSB0", "period": 4.2, "active": true,
  "devices": [{"name": "Теплосчётчик", "type": 0, "address": 1, "parameters": [0, 2]},
              {"name": "Расходомер", "type": 3, "address": 17, "parameters": [0, 1, 2, 3, 30, 31]},
              {"name": "Д", "type": 63, "address": 254, "parameters": []}]}]}
JSON
"$CFG_TOOL" create "$CFG/two_points.cfg" <<'JSON'
{"points": [{"name": "A", "port": "ttyS0", "period": 0.5, "active": true,
             "devices": [{"name": "d1", "type": 1, "address": 2, "parameters": [5]}]},
            {"name": "B", "port": "ttyS1", "period": 10, "active": true,
             "devices": [{"name": "d2", "type": 2, "address": 3, "parameters": [0, 31]},
                         {"name": "d3", "type": 2, "address": 4, "parameters": [1]}]}]}
JSON

# frame NAME HEX...: a reply frame (start byte, address, length, code, data) with its checksum.
frame() {
  name="$1"; shift
  sum=0; first=1; bytes=""
  for b in "$@"; do
    bytes="$bytes\\$(printf %03o "0x$b")"
    if [ $first -eq 0 ]; then sum=$(( (sum + 0x$b) % 256 )); fi
    first=0
  done
  # shellcheck disable=SC2059 # the octal escapes are the format
  printf "$bytes\\$(printf %03o $sum)" > "$RX/$name"
}
# Values 1.0 (00 80 3F) for parameter 0 and the no-value bytes FF FF FF for parameter 2.
frame good_two_groups b5 01 08 af 00 00 80 3f 02 ff ff ff
frame good_code_81 b5 04 04 81 1e e9 f6 42
frame good_no_data b5 02 00 8f
frame unknown_address b5 63 04 af 00 00 80 3f
frame refused_code b5 01 04 2f 00 00 80 3f
frame parameter_31 b5 01 04 af 1f 00 80 3f
# A wrong checksum, a length byte above 244, noise before a frame, two frames in one read and a
# frame cut by the FF FE separator into two notifications.
printf '\265\001\004\257\000\000\200\077\000' > "$RX/bad_checksum"
printf '\265\001\365\257' > "$RX/length_245"
printf '\001\002\265\001\000\217\220' > "$RX/noise_then_frame"
cat "$RX/good_no_data" "$RX/good_two_groups" > "$RX/two_frames"
printf '\265\001\010\257\000\000\377\376\200\077\002\377\377\377\001' > "$RX/split_by_separator"
