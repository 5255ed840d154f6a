#!/bin/sh
echo "demo not yet assembled"
