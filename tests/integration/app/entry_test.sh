#!/bin/sh
# The entry point of the real executable: registration commands in a temporary XDG tree, the
# arguments that must start the program normally, and a second start while one runs.
# Usage: entry_test.sh BINARY_DIR
set -u
BIN="$1/bin/qora-opc-server"
TMP="$(mktemp -d /tmp/qora-entry-XXXXXX)"
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$TMP"' EXIT
export XDG_CONFIG_HOME="$TMP/config" XDG_DATA_HOME="$TMP/data" XDG_RUNTIME_DIR="$TMP/run" HOME="$TMP"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
mkdir -p "$XDG_RUNTIME_DIR" "$TMP/inst"
cp "$BIN" "$TMP/inst/qora-opc-server"
EXE="$TMP/inst/qora-opc-server"
printf '[OPCUA]\nHost=127.0.0.1\nPort=0\n' > "$TMP/inst/qora.ini"
FAILED=0
fail() { echo "FAIL: $*"; FAILED=1; }
registered() { ls "$XDG_CONFIG_HOME"/systemd/user/*.service "$XDG_DATA_HOME"/applications/*.desktop >/dev/null 2>&1; }

for arg in -RegServer /regserver -r /R "xyz -r"; do
  rm -rf "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
  # shellcheck disable=SC2086
  timeout 10 "$EXE" $arg; rc=$?
  [ $rc -eq 0 ] || fail "'$arg' exited $rc"
  registered || fail "'$arg' did not register"
  unit=$(ls "$XDG_CONFIG_HOME"/systemd/user/*.service 2>/dev/null | head -1)
  grep -q -- "-Embedding" "$unit" 2>/dev/null || fail "'$arg': unit does not start with -Embedding"
  grep -q "QORA.OPC" "$unit" 2>/dev/null || fail "'$arg': unit lacks the ProgID"
done
for arg in -unregserver /u -U; do
  timeout 10 "$EXE" -r
  timeout 10 "$EXE" $arg; rc=$?
  [ $rc -eq 0 ] || fail "'$arg' exited $rc"
  registered && fail "'$arg' did not unregister"
done

# A registration file that cannot be written or removed: exit code 0 all the same, and standard
# error names the file and the reason. A path through a regular file fails for root too.
UNIT_NAME=opcda-6f1c0b52-9a3e-4d71-8e25-b4c7d90a1f36.service
rm -rf "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
out=$(timeout 10 "$EXE" -regserver 2>&1); rc=$?
[ $rc -eq 0 ] || fail "-regserver exited $rc"
[ -z "$out" ] || fail "a successful registration printed: $out"
[ -f "$XDG_CONFIG_HOME/systemd/user/$UNIT_NAME" ] || fail "the unit is not named $UNIT_NAME"
printf 'x' > "$TMP/plainfile"
out=$(XDG_CONFIG_HOME="$TMP/plainfile/config" timeout 10 "$EXE" -regserver 2>&1); rc=$?
[ $rc -eq 0 ] || fail "-regserver with an unwritable unit exited $rc"
echo "$out" | grep -q "^qora-opc-server: Файл службы systemd не записан: $TMP/plainfile/config/systemd/user/$UNIT_NAME: ." \
  || fail "the unwritten unit was not reported: $out"
rm -f "$XDG_CONFIG_HOME/systemd/user/$UNIT_NAME"
mkdir -p "$XDG_CONFIG_HOME/systemd/user/$UNIT_NAME/inside"
out=$(timeout 10 "$EXE" -unregserver 2>&1); rc=$?
[ $rc -eq 0 ] || fail "-unregserver with an unremovable unit exited $rc"
echo "$out" | grep -q "^qora-opc-server: Файл службы systemd не удалён: $XDG_CONFIG_HOME/systemd/user/$UNIT_NAME: ." \
  || fail "the unremoved unit was not reported: $out"
registered_desktop() { ls "$XDG_DATA_HOME"/applications/*.desktop >/dev/null 2>&1; }
registered_desktop && fail "the desktop entry was not removed beside the failure"
rm -rf "$XDG_CONFIG_HOME/systemd/user/$UNIT_NAME"

# These start the program normally: it keeps running until stopped, and registers nothing.
rm -rf "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
for args in "-regserver -x" "-f:/tmp/a.cfg /regserver" "-Embedding" "/Embedding"; do
  # shellcheck disable=SC2086
  "$EXE" $args 2>/dev/null &
  pid=$!
  sleep 1.5
  if kill -0 $pid 2>/dev/null; then
    # A second start while it runs ends at once with 0.
    timeout 10 "$EXE"; rc=$?
    [ $rc -eq 0 ] || fail "second start exited $rc"
    kill -0 $pid 2>/dev/null || fail "the first instance ended after a second start"
    kill -TERM $pid; wait $pid; rc=$?
    [ $rc -eq 0 ] || fail "'$args' exited $rc after SIGTERM"
  else
    wait $pid; fail "'$args' did not keep running (exit $?)"
  fi
  registered && fail "'$args' registered"
done
[ $FAILED -eq 0 ] && echo "entry point: all checks passed"
exit $FAILED
