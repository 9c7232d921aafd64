# Worker slots of the harness, sourced by slot.sh and winerun. A slot is a
# Wine prefix of its own (a copy of the template that setup.sh boots), its
# persistent wineserver and its Xvfb display. A holder keeps the slot's lock
# on descriptor 9 for its whole life, so no two tests share a prefix, its
# registry, its named objects or its ProgramData at once; a holder that finds
# every slot taken waits for one. QUARLO_TEST_SLOTS sets the number of slots
# (default: the CPU count). Written for a short path: each fork counts when
# a test's programs start hundreds of times.

# quarlo_take_slot <harness-dir>: takes a free slot and exports WINEPREFIX,
# DISPLAY, QUARLO_SLOT (its number) and QUARLO_SLOT_DIR. Returns non-zero
# when the slot cannot be made.
quarlo_take_slot() {
  local dir=$1 here=${BASH_SOURCE[0]%/*} i n pid display
  if [ ! -f "$dir/template.ready" ]; then
    "$here/setup.sh" "$dir" >/dev/null 2>&1 </dev/null ||
      { echo "harness: the Wine template could not be made (see $dir/wineboot.log)" >&2; return 1; }
  fi
  n=${QUARLO_TEST_SLOTS:-$(nproc)}
  case $n in ''|*[!0-9]*|0) echo "harness: QUARLO_TEST_SLOTS must be a positive number" >&2; return 1 ;; esac
  [ -d "$dir/slots" ] || mkdir -p "$dir/slots"
  QUARLO_SLOT=
  while [ -z "$QUARLO_SLOT" ]; do
    for ((i = 1; i <= n; i++)); do
      exec 9>>"$dir/slots/$i.lock"
      if flock -n 9; then QUARLO_SLOT=$i; break; fi
      exec 9>&-
    done
    [ -n "$QUARLO_SLOT" ] || sleep 0.1
  done
  QUARLO_SLOT_DIR=$dir/slots/$QUARLO_SLOT
  local s=$QUARLO_SLOT_DIR lock=$dir/slots/$QUARLO_SLOT.lock
  export WINEPREFIX="$s/wineprefix" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
  export QUARLO_SLOT QUARLO_SLOT_DIR

  # The lock file tells that a holder is inside; one still marked was killed
  # (a test's time-out), and what it left running goes with the server.
  if [ -s "$lock" ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 </dev/null 9>&-
    rm -f "$s/server"
  fi
  echo "$$" >"$lock"

  # A slot copies the template once, and again when the template was remade.
  if [ ! -f "$s/ready" ] || [ "$s/ready" -ot "$dir/template.ready" ]; then
    [ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1 </dev/null 9>&-
    rm -rf "$WINEPREFIX" "$s/ready" "$s/server"
    mkdir -p "$s"
    /usr/bin/python3 "$here/copy_prefix.py" "$dir/template" "$WINEPREFIX" 9>&- ||
      { echo "harness: slot $QUARLO_SLOT could not copy the template" >&2; return 1; }
    : >"$s/ready"
  fi

  # A persistent server keeps each process start short (teardown.sh stops it).
  if [ ! -f "$s/server" ]; then
    wineserver -p >/dev/null 2>&1 </dev/null 9>&-
    : >"$s/server"
  fi

  # Xvfb picks a free display itself and tells its number once it accepts.
  pid=
  [ -f "$s/xvfb.pid" ] && read -r pid <"$s/xvfb.pid"
  if [ -z "$pid" ] || [ ! -s "$s/display" ] || ! kill -0 "$pid" 2>/dev/null; then
    rm -f "$s/display" "$s/display.fd"
    setsid Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 \
      3>"$s/display.fd" >"$s/xvfb.log" 2>&1 </dev/null 9>&- &
    echo $! >"$s/xvfb.pid"
    for ((i = 0; i < 200; i++)); do
      [ -s "$s/display.fd" ] && break
      sleep 0.05
    done
    read -r display <"$s/display.fd" && echo ":$display" >"$s/display"
  fi
  display=:0
  [ -s "$s/display" ] && read -r display <"$s/display"
  export DISPLAY=$display
}

# quarlo_release_slot <harness-dir>: marks the slot left cleanly and gives it back.
quarlo_release_slot() {
  : >"$1/slots/$QUARLO_SLOT.lock"
  exec 9>&-
}
