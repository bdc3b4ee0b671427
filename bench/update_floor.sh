#!/bin/bash
# The floor for a whole update: the tools the installer runs, run straight
# from a script with the same arguments (ditto, PlistBuddy twice, codesign,
# spctl), then the moves and the removal of the older backup with mv, rm -rf
# and rmdir. No waiting, no log, no checks between the steps.
# usage: update_floor.sh TOOL_ROOT ARCHIVE APPLICATIONS
set -eu
tools=$1
archive=$2
applications=$3
staging=$applications/.zentrivale-update-staging-floor
candidate=$staging/Zentrivale.app
plist=$candidate/Contents/Info.plist

mkdir "$staging"
"$tools/usr/bin/ditto" -x -k "$archive" "$staging"
"$tools/usr/libexec/PlistBuddy" -c "Print :CFBundleIdentifier" "$plist" >/dev/null
"$tools/usr/libexec/PlistBuddy" -c "Print :CFBundleExecutable" "$plist" >/dev/null
"$tools/usr/bin/codesign" --verify --deep --strict --verbose=2 "$candidate" 2>/dev/null
"$tools/usr/sbin/spctl" --assess --type execute --verbose=2 "$candidate" 2>/dev/null
mv "$applications/Zentrivale.app" "$applications/.Zentrivale.backup-floor"
mv "$candidate" "$applications/Zentrivale.app"
rmdir "$staging"
rm -rf "$applications/.Zentrivale.backup-1"
