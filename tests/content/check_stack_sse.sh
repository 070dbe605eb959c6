#!/bin/sh
# The gzip decoder's SSE2 copies run on a 32-bit Windows stack, which is
# aligned to 4 bytes only, and its hot loop does not realign its frame (that
# costs it a register). An aligned SSE store to or load from the stack there
# would fault on a player's machine: fail the build's tests if a compiler
# ever emits one.
objdump="$1"
obj=$(find "$2" -path '*korvanth_core.dir/content/gzip_huffman.cpp.obj' | head -n1)
[ -n "$obj" ] || { echo "no object file of the decoder below $2"; exit 1; }
bad=$("$objdump" -d "$obj" | grep -E 'mov(aps|apd|dqa)[^(]*\(%e(sp|bp)\)' || true)
if [ -n "$bad" ]; then
  echo "aligned SSE moves on the stack in $obj:"
  echo "$bad"
  exit 1
fi
echo "ok"
