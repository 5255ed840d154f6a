#!/bin/sh
# Writes the demo installation into DIR: qora.ini (catalogue with Russian parameter names,
# the simulated lines declared in SERIALCOMM, OPC UA on 127.0.0.1:PORT) and demo.json, the
# demo configuration in qora-cfg's JSON form. With MQTT_PORT, also publishing to the MQTT broker
# on 127.0.0.1:MQTT_PORT.
# Usage: demo-files.sh DIR PORT [MQTT_PORT]
set -eu
DIR="$1"
PORT="${2:-4840}"
MQTT_PORT="${3:-}"
cat > "$DIR/qora.ini" <<INI
[GENERAL]
MAIN_CFG=

[DEVICES]
D0=Термометр ТМ-2
D1=Манометр МД-4
D2=Расходомер РС-1

[D_P]
P0=0x07
P1=0x19
P2=0xE1

[PARAMETERS]
P0=Температура
P1=Температура среды
P2=Уставка
P3=Давление
P4=Давление среды
P5=Расход
P6=Объём
P7=Масса

[SERIALCOMM]
SIM1=$DIR/ttySIM1
SIM2=$DIR/ttySIM2
SIM3=$DIR/ttySIM3

[OPCUA]
Host=127.0.0.1
Port=$PORT
INI
if [ -n "$MQTT_PORT" ]; then
  printf '\n[MQTT]\nEnabled=1\nHost=127.0.0.1\nPort=%s\nTopicPrefix=qora/demo\n' "$MQTT_PORT" >> "$DIR/qora.ini"
fi
cat > "$DIR/demo.json" <<'JSON'
{"points": [
  {"name": "Котельная", "port": "SIM1", "period": 0.5, "active": true, "devices": [
    {"name": "Котёл_1", "type": 0, "address": 1, "parameters": [0, 1, 2]},
    {"name": "Котёл_2", "type": 0, "address": 2, "parameters": [0, 1]}]},
  {"name": "Насосная", "port": "SIM2", "period": 1.0, "active": true, "devices": [
    {"name": "Насос_1", "type": 1, "address": 5, "parameters": [0, 3, 4]},
    {"name": "Насос_2", "type": 1, "address": 6, "parameters": [3]}]},
  {"name": "Узел_учёта", "port": "SIM3", "period": 2.0, "active": true, "devices": [
    {"name": "Счётчик", "type": 2, "address": 10, "parameters": [0, 5, 6, 7]},
    {"name": "Резерв", "type": 2, "address": 11, "parameters": [5]}]}
]}
JSON
