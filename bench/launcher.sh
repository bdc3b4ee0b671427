#!/bin/bash
# The launcher as a packager would write it in shell, for the benchmark:
# the same steps as bundle_starter. bash, because its /dev/tcp redirections
# make the port probes without a helper process (dash has none; macOS ships
# bash 3.2 as /bin/bash, and `nc -z` would cost one process per probe).
# mkdir and sleep are the system's programs, as in any such script.
set -u

fail() {
  echo "Zentrivale could not start: $1" >&2
  exit 1
}

# Probes 127.0.0.1:3000 in this shell, without a subshell.
port_accepts() {
  if exec 3<>/dev/tcp/127.0.0.1/3000; then
    exec 3>&-
    return 0
  fi
  return 1
} 2>/dev/null

macos=${0%/*}
contents=${macos%/*}
[ -n "${HOME+set}" ] || fail "HOME is not set"
data="$HOME/Library/Application Support/Zentrivale"
cache="$HOME/Library/Caches/Zentrivale"
mkdir -p "$data" "$cache" || fail "could not create $data or $cache"

export GST_PLUGIN_PATH_1_0="$contents/Frameworks/gst-plugins"
export GST_PLUGIN_SYSTEM_PATH_1_0="$contents/Frameworks/gst-plugins"
export GST_PLUGIN_SCANNER="$contents/Helpers/gst-plugin-scanner"
export GST_REGISTRY="$cache/gstreamer-registry.bin"
export GIO_MODULE_DIR="$contents/Resources/gio-modules"
export FONTCONFIG_FILE="$contents/Resources/fonts/fonts.conf"
export ZENTRIVALE_DEMO=0

port_accepts && fail "another backend is already listening on 127.0.0.1:3000"

ZENTRIVALE_DATA_DIR="$data" "$macos/backend" &
backend=$!
deadline=$((SECONDS + 120))
until port_accepts; do
  kill -0 "$backend" 2>/dev/null || { wait "$backend"; fail "backend exited during startup"; }
  [ "$SECONDS" -lt "$deadline" ] || { kill "$backend"; wait "$backend"; fail "backend did not become ready within 120 seconds"; }
  sleep 0.2
done

ZENTRIVALE_ASSETS_DIR="$contents/Resources/frontend-assets" "$macos/frontend"
status=$?
kill "$backend" 2>/dev/null
wait "$backend"
[ "$status" -gt 128 ] && status=1
exit "$status"
