#!/usr/bin/env bash
# Zentrivale's launcher and update installer, end to end, with a small demo
# application (demo/backend.cpp, demo/frontend.cpp):
#   1. assemble Zentrivale.app version 1 and launch it;
#   2. build version 2, sign it as the demo team, zip it and take the
#      archive's SHA-256 as the update feed publishes it;
#   3. check that update with bundle_installer --verify-only while the
#      application runs, then install it for that team, relaunch included;
#   4. show the update log, version 2 running, and the rollback backup;
#   5. offer an update changed after signing, refused by --verify-only while
#      the application still runs, and one signed by another team, refused
#      by the installation itself;
#   6. offer an older update and an archive that is not the published one,
#      both refused by --verify-only while the application still runs;
#   7. build version 3 and its delta from version 2 with bundle_delta, check
#      the delta while the application runs, install it, relaunch included,
#      and see the same delta refused once version 3 is installed.
#
# usage: demo/run-demo.sh [BUILD_DIR [DEMO_DIR]]
#   BUILD_DIR  a configured and built tree (default: build)
#   DEMO_DIR   where everything is written (default: BUILD_DIR/demo); it is
#              removed first. HOME points inside it for every program run.
#
# Exit status 0 only when every step behaved as expected. Runs under the
# bash 3.2 of macOS as well as on Linux.
set -u

bundle_id=com.zentrivale.demo
team_id=ZENTDEMO42
team_identity="Developer ID Application: Zentrivale Demo ($team_id)"
other_identity="Developer ID Application: Someone Else (OTHERTEAM9)"
report_wait_seconds=30
port_wait_seconds=30

# ---------------------------------------------------------------- output

step_number=0
step() {
  step_number=$((step_number + 1))
  printf '\n%d. %s\n' "$step_number" "$1"
}
note() { printf '   %s\n' "$*"; }
ok() { printf '   ok: %s\n' "$*"; }
fail() {
  printf '   FAILED: %s\n' "$*"
  [ -n "${application_pid:-}" ] && quit_application
  if [ "$step_number" -gt 0 ]; then
    printf '\ndemo failed at step %d (files are in %s)\n' "$step_number" "$demo_dir"
  fi
  exit 1
}

# An argument as shown on screen: the demo and build directories as $DEMO
# and $BUILD, quoted when it holds a blank.
shown() {
  local text=$1
  case $text in
    "$demo_dir" | "$demo_dir"/*) text=\$DEMO${text#"$demo_dir"} ;;
    "$build_dir" | "$build_dir"/*) text=\$BUILD${text#"$build_dir"} ;;
  esac
  case $text in
    *' '*) printf '"%s"' "$text" ;;
    *) printf '%s' "$text" ;;
  esac
}

# Prints a command the way it is run; long ones get one option per line.
show_command() {
  local line="   \$ $(shown "$1")" arg wrap=
  shift
  [ $# -gt 5 ] && wrap=yes
  for arg in "$@"; do
    case $wrap$arg in
      yes--*) printf '%s \\\n' "$line"; line="       $arg"; continue ;;
    esac
    line="$line $(shown "$arg")"
  done
  printf '%s\n' "$line"
}

indent() { sed 's/^/     | /'; }

# ---------------------------------------------------------------- helpers

port_3000_in_use() { (exec 3<>/dev/tcp/127.0.0.1/3000) 2>/dev/null; }
port_3000_free() { ! port_3000_in_use; }

# Polls a command every 0.2 s for at most SECONDS seconds.
wait_until() {
  local tries=$(($1 * 5))
  shift
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.2
  done
}

cache_value() {
  sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt"
}

write_info_plist() {
  cat <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleExecutable</key>
  <string>$bundle_executable</string>
  <key>CFBundleIdentifier</key>
  <string>$bundle_id</string>
  <key>CFBundleName</key>
  <string>Zentrivale</string>
  <key>CFBundlePackageType</key>
  <string>APPL</string>
  <key>CFBundleShortVersionString</key>
  <string>$1.0</string>
  <key>CFBundleVersion</key>
  <string>$1</string>
  <key>LSMinimumSystemVersion</key>
  <string>11.0</string>
</dict>
</plist>
PLIST
}

# make_bundle VERSION DIRECTORY: DIRECTORY/Zentrivale.app, laid out as the
# integration guide says: the launcher as Contents/MacOS/<CFBundleExecutable>
# and the installer as Contents/Helpers/bundle_installer (where
# `cmake --install BUILD --prefix Zentrivale.app/Contents` puts them; copied
# here so that nothing is written into the build tree), backend and frontend
# beside the launcher.
make_bundle() {
  local app=$2/Zentrivale.app
  local assets=$app/Contents/Resources/frontend-assets
  mkdir -p "$app/Contents/MacOS" "$app/Contents/Helpers" "$assets" || return 1
  copy "$starter_program" "$app/Contents/MacOS/$bundle_executable" || return 1
  copy "$installer_program" "$app/Contents/Helpers/bundle_installer" || return 1
  copy "$backend_program" "$frontend_program" "$app/Contents/MacOS/" || return 1
  write_info_plist "$1" >"$app/Contents/Info.plist" || return 1
  printf '%s\n' "$1" >"$assets/version" || return 1
  # The frontend's texts, which only their last line tells apart from one
  # version to the next: what a delta sends as a small patch.
  awk -v version="$1" 'BEGIN {
    for (i = 1; i <= 2000; i++) printf "text %d of the demo frontend\n", i
    printf "what is new: version %s\n", version }' >"$assets/texts" || return 1
  printf '%s\n' "$report_file" >"$assets/report-file" || return 1
  note "Info.plist: CFBundleExecutable $bundle_executable, CFBundleIdentifier $bundle_id"
  note "Contents/Resources/frontend-assets/version: $1"
}

copy() {
  show_command cp "$@"
  cp "$@"
}

# sign_bundle IDENTITY BUNDLE. On macOS the demo has no Developer ID
# identity to sign with, so it signs ad hoc there.
sign_bundle() {
  local identity=$1
  [ -n "$skip_flag" ] && identity=-
  show_command "$codesign" --force --deep --sign "$identity" "$2"
  "$codesign" --force --deep --sign "$identity" "$2" 2>&1 | indent
  [ "${PIPESTATUS[0]}" -eq 0 ]
}

# sha256_of ARCHIVE: sets digest to the archive's SHA-256, as the update
# feed publishes it beside the archive's address. macOS 11 has shasum only.
sha256_of() {
  if command -v sha256sum >/dev/null; then
    show_command sha256sum "$1"
    digest=$(sha256sum "$1")
  else
    show_command shasum -a 256 "$1"
    digest=$(shasum -a 256 "$1")
  fi
  digest=${digest%% *}
  note "$digest"
  [ ${#digest} -eq 64 ]
}

# zip_bundle DIRECTORY ARCHIVE: the bundle at the archive's root, links kept.
zip_bundle() {
  show_command zip -qry "$2" Zentrivale.app
  (cd "$1" && zip -qry "$2" Zentrivale.app)
}

# The running application is played by a process that sleeps until it is
# told to quit. Sets application_pid.
start_application() {
  sleep 60 &
  application_pid=$!
  note "the running application (a stand-in): sleep 60, pid $application_pid"
}
application_running() { kill -0 "$application_pid" 2>/dev/null; }
quit_application() {
  kill "$application_pid" 2>/dev/null
  # Reaping it is what makes it disappear, as launchd would reap the real
  # application.
  wait "$application_pid" 2>/dev/null
  application_pid=
}

# run_verification OUTPUT ARGUMENT...: what the application runs while it
# still runs, before it offers to install. Sets verify_status; the output
# goes to OUTPUT and is shown.
run_verification() {
  local output=$1
  shift
  show_command "$installed_installer" --verify-only "$@" --bundle-id "$bundle_id"
  "$installed_installer" --verify-only "$@" --bundle-id "$bundle_id" >"$output" 2>&1
  verify_status=$?
  indent <"$output"
  note "bundle_installer --verify-only exited with status $verify_status"
}

# run_installer OUTPUT ARGUMENT...: starts the installed bundle's installer
# for the running application, which then quits. Sets installer_pid and
# installer_status; the installer's output goes to OUTPUT and is shown.
run_installer() {
  local output=$1
  shift
  show_command "$installed_installer" "$@" --parent-pid "$application_pid" --bundle-id "$bundle_id"
  "$installed_installer" "$@" --parent-pid "$application_pid" --bundle-id "$bundle_id" \
    >"$output" 2>&1 &
  installer_pid=$!
  note "the application quits"
  quit_application
  wait "$installer_pid"
  installer_status=$?
  indent <"$output"
  note "bundle_installer exited with status $installer_status"
}

# The last complete report of the frontend of VERSION, indented.
frontend_report() {
  awk -v v="$1" '
    index($0, "Zentrivale demo frontend, version " v " (") == 1 { block = ""; inside = 1 }
    inside { block = block "     | " $0 "\n" }
    $0 == "frontend version " v " done" { inside = 0; last = block }
    END { printf "%s", last }' "$report_file" 2>/dev/null
}
frontend_reported() { [ -n "$(frontend_report "$1")" ]; }

installed_version() { cat "$installed_app/Contents/Resources/frontend-assets/version" 2>/dev/null; }

staging_leftovers() {
  ls -a "$applications" | grep '^\.zentrivale-update-staging-'
}

# ---------------------------------------------------------------- setup

build_dir=${1:-build}
case $build_dir in /*) ;; *) build_dir=$PWD/$build_dir ;; esac
demo_dir=${2:-$build_dir/demo}
case $demo_dir in /*) ;; *) demo_dir=$PWD/$demo_dir ;; esac

printf 'Zentrivale demo: the launcher and the update installer, end to end\n'

starter_program=$build_dir/bin/bundle_starter
installer_program=$build_dir/bin/bundle_installer
backend_program=$build_dir/demo-app/bin/backend
frontend_program=$build_dir/demo-app/bin/frontend
delta_program=$build_dir/bin/bundle_delta
for program in "$starter_program" "$installer_program" "$backend_program" "$frontend_program"; do
  [ -x "$program" ] || fail "$program is missing: build first (make, or make demo)"
done
[ -x "$delta_program" ] ||
  fail "$delta_program is missing: build first (make demo, with ZENTRIVALE_DELTA_TOOL=ON)"
command -v zip >/dev/null || fail "the zip command is missing (Debian: apt-get install zip)"

bundle_executable=$(cache_value ZENTRIVALE_BUNDLE_EXECUTABLE)
[ -n "$bundle_executable" ] || bundle_executable=Zentrivale
tool_root=$(cache_value ZENTRIVALE_TOOL_ROOT)
codesign=$tool_root/usr/bin/codesign
[ -x "$codesign" ] || fail "$codesign is missing: build first (make, or make demo)"

skip_flag=
if [ "$(uname -s)" = Darwin ]; then
  skip_flag=--insecure-skip-signature-verification
fi

if port_3000_in_use; then
  fail "127.0.0.1:3000 is already in use; stop what listens there (a running Zentrivale?) and run the demo again"
fi

# Only a directory that an earlier demo made is removed.
if [ -e "$demo_dir" ] && [ ! -f "$demo_dir/.zentrivale-demo" ]; then
  fail "$demo_dir exists and was not made by the demo; remove it or name another directory"
fi
rm -rf "$demo_dir" || fail "could not remove the previous demo directory $demo_dir"
mkdir -p "$demo_dir/home" "$demo_dir/tmp" "$demo_dir/logs" || fail "could not create $demo_dir"
: >"$demo_dir/.zentrivale-demo"

export HOME=$demo_dir/home
export TMPDIR=$demo_dir/tmp
applications=$demo_dir/Applications
installed_app=$applications/Zentrivale.app
installed_installer=$installed_app/Contents/Helpers/bundle_installer
report_file=$HOME/Library/Application\ Support/Zentrivale/frontend-report.log
update_log=$HOME/Library/Logs/Zentrivale/update-helper.log

note "BUILD=$build_dir"
note "DEMO=$demo_dir"
note "every program runs with HOME=\$DEMO/home; nothing is written outside \$DEMO"
if [ -n "$skip_flag" ]; then
  note "except on macOS by the application relaunched in step 3: /usr/bin/open gives"
  note "it your login session's environment, so its launcher creates"
  note "Library/Application Support/Zentrivale and Library/Caches/Zentrivale in your"
  note "real home (the demo frontend still reports into \$DEMO)"
fi

# ---------------------------------------------------------------- 1

step "Assemble Zentrivale.app version 1 and launch it"
make_bundle 1 "$applications" || fail "could not assemble version 1"
(cd "$applications" && find Zentrivale.app -type f | LC_ALL=C sort) | indent
show_command "$installed_app/Contents/MacOS/$bundle_executable"
"$installed_app/Contents/MacOS/$bundle_executable" 2>&1 | indent
status=${PIPESTATUS[0]}
note "the launcher exited with status $status"
[ "$status" -eq 0 ] || fail "the launcher should exit with the frontend's status 0"
frontend_reported 1 || fail "version 1's frontend wrote no complete report to $report_file"
report=$(frontend_report 1)
case $report in
  *"ZENTRIVALE_ASSETS_DIR=$installed_app/Contents/Resources/frontend-assets"*) ;;
  *) fail "the frontend did not get ZENTRIVALE_ASSETS_DIR pointing into the bundle" ;;
esac
case $report in
  *"ZENTRIVALE_DATA_DIR is not set"*"ZENTRIVALE_DEMO=0"*) ;;
  *) fail "the frontend's variables are not what the launcher promises" ;;
esac
port_3000_free || fail "the backend still listens on 127.0.0.1:3000 after the launcher exited"
ok "version 1 ran; the backend answered the frontend and was stopped"

# ---------------------------------------------------------------- 2

step "Build version 2, sign it as the demo team, zip it and take its digest"
make_bundle 2 "$demo_dir/update-2" || fail "could not assemble version 2"
sign_bundle "$team_identity" "$demo_dir/update-2/Zentrivale.app" || fail "could not sign version 2"
zip_bundle "$demo_dir/update-2" "$demo_dir/Zentrivale-2.zip" || fail "could not zip version 2"
sha256_of "$demo_dir/Zentrivale-2.zip" || fail "could not take the SHA-256 of Zentrivale-2.zip"
digest_2=$digest
ok "update archive: \$DEMO/Zentrivale-2.zip, published with its SHA-256"

# ---------------------------------------------------------------- 3

step "Check the update while the application runs, then install it for team $team_id"
if [ -n "$skip_flag" ]; then
  note "macOS: Gatekeeper (spctl) rejects an ad-hoc signed application, so this"
  note "step passes $skip_flag:"
  note "the code signature, team and Gatekeeper checks are NOT made here. A release"
  note "signed with a Developer ID and notarized needs no such flag. Step 5 does not"
  note "pass it."
fi
start_application
# A flag that is empty must not become an empty argument.
run_verification "$demo_dir/logs/verify-2.txt" --archive "$demo_dir/Zentrivale-2.zip" \
  --target-app "$installed_app" --team-id "$team_id" --refuse-downgrade \
  --archive-sha256 "$digest_2" ${skip_flag:+"$skip_flag"}
[ "$verify_status" -eq 0 ] || fail "bundle_installer --verify-only should exit with status 0"
grep -qxF '[update-helper] update verified; nothing was installed' "$demo_dir/logs/verify-2.txt" ||
  fail "bundle_installer did not report \"update verified; nothing was installed\""
application_running || fail "the application should still run after the check"
[ "$(installed_version)" = 1 ] || fail "the check changed the installed bundle"
[ -z "$(staging_leftovers)" ] || fail "a staging directory was left in \$DEMO/Applications"
ok "verified while the application runs; nothing installed yet (still version 1)"
note "only an update that passed the check is installed: the application starts"
note "the installer for the same archive and quits"
run_installer "$demo_dir/logs/installer-2.txt" --archive "$demo_dir/Zentrivale-2.zip" \
  --target-app "$installed_app" --team-id "$team_id" --refuse-downgrade \
  --archive-sha256 "$digest_2" ${skip_flag:+"$skip_flag"}
update_pid=$installer_pid
[ "$installer_status" -eq 0 ] || fail "bundle_installer should exit with status 0"
grep -q '^\[update-helper\] update installed successfully$' "$demo_dir/logs/installer-2.txt" ||
  fail "bundle_installer did not report \"update installed successfully\""
ok "version 2 installed"

# ---------------------------------------------------------------- 4

step "The update log, version 2 running, and the rollback backup"
show_command cat "$update_log"
indent <"$update_log"
note "waiting for the relaunched frontend's report (at most ${report_wait_seconds} s)..."
wait_until "$report_wait_seconds" frontend_reported 2 ||
  fail "no report from version 2's frontend after ${report_wait_seconds} s: the relaunch did not run it"
frontend_report 2
wait_until "$port_wait_seconds" port_3000_free ||
  fail "the relaunched application's backend still listens on 127.0.0.1:3000"
ok "the relaunched application ran version 2 and has exited"
[ "$(installed_version)" = 2 ] || fail "the installed bundle is not version 2"
backup=$applications/.Zentrivale.backup-$update_pid
show_command ls -a "$applications"
ls -a "$applications" | indent
[ -d "$backup" ] || fail "no rollback backup at $backup"
grep -qxF "[update-helper] previous version kept as rollback backup at $backup" \
  "$demo_dir/logs/installer-2.txt" || fail "bundle_installer did not name the rollback backup"
[ "$(cat "$backup/Contents/Resources/frontend-assets/version")" = 1 ] ||
  fail "the rollback backup is not version 1"
[ -z "$(staging_leftovers)" ] || fail "a staging directory was left in \$DEMO/Applications"
ok "installed: version 2; rollback backup: $(shown "$backup") (version 1)"
note "to roll back by hand: quit Zentrivale, then move the backup back in place"

# ---------------------------------------------------------------- 5

step "Offer an update changed after signing, and one signed by another team"
show_command cp -pR "$installed_app" "$demo_dir/installed-before-step-5"
cp -pR "$installed_app" "$demo_dir/installed-before-step-5" || fail "could not copy the installed bundle"

# expect_refused OUTPUT LINE STATUS: the installer run just made exited with
# STATUS, said LINE and left the installed bundle as it was.
expect_refused() {
  [ "$3" -eq 1 ] || fail "bundle_installer should refuse the update with status 1"
  grep -qxF "[update-helper] $2" "$1" || fail "bundle_installer did not say: $2"
  ok "refused: $2"
  show_command diff -r "$demo_dir/installed-before-step-5" "$installed_app"
  diff -r "$demo_dir/installed-before-step-5" "$installed_app" 2>&1 | indent
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "the installed bundle changed although the update was refused"
  [ -z "$(staging_leftovers)" ] || fail "a staging directory was left in \$DEMO/Applications"
  [ -d "$backup" ] || fail "the rollback backup of step 3 is gone"
  ok "the installed bundle is untouched (still version $(installed_version)); no staging left"
}

note "an update changed after signing, checked while the application runs:"
make_bundle 3 "$demo_dir/update-3" || fail "could not assemble version 3"
sign_bundle "$team_identity" "$demo_dir/update-3/Zentrivale.app" || fail "could not sign version 3"
tampered=$demo_dir/update-3/Zentrivale.app/Contents/Resources/frontend-assets/version
show_command echo "3, changed after signing" ">" "$tampered"
echo "3, changed after signing" >"$tampered"
zip_bundle "$demo_dir/update-3" "$demo_dir/Zentrivale-3-tampered.zip" || fail "could not zip version 3"
sha256_of "$demo_dir/Zentrivale-3-tampered.zip" || fail "could not take the SHA-256 of the archive"
start_application
run_verification "$demo_dir/logs/verify-3.txt" --archive "$demo_dir/Zentrivale-3-tampered.zip" \
  --target-app "$installed_app" --team-id "$team_id" --refuse-downgrade --archive-sha256 "$digest"
expect_refused "$demo_dir/logs/verify-3.txt" \
  "update verification failed: the updated application's code signature is invalid" "$verify_status"
application_running || fail "the application should still run after a refused check"
ok "caught before the application quits: it still runs (pid $application_pid)"
note "the application tells the user that the update could not be verified, and"
note "does not offer this archive again"
quit_application

note "an update signed by another team, intact, installed without a check first:"
if [ -n "$skip_flag" ]; then
  note "macOS: signed ad hoc here, for want of another team's identity; an ad-hoc"
  note "signature meets no team's requirement either"
fi
make_bundle 3 "$demo_dir/update-3-other-team" || fail "could not assemble version 3"
sign_bundle "$other_identity" "$demo_dir/update-3-other-team/Zentrivale.app" ||
  fail "could not sign version 3"
zip_bundle "$demo_dir/update-3-other-team" "$demo_dir/Zentrivale-3-other-team.zip" ||
  fail "could not zip version 3"
sha256_of "$demo_dir/Zentrivale-3-other-team.zip" || fail "could not take the SHA-256 of the archive"
start_application
run_installer "$demo_dir/logs/installer-3-other-team.txt" \
  --archive "$demo_dir/Zentrivale-3-other-team.zip" --target-app "$installed_app" \
  --team-id "$team_id" --refuse-downgrade --archive-sha256 "$digest"
expect_refused "$demo_dir/logs/installer-3-other-team.txt" \
  "update installation failed: the updated application is not signed by team $team_id" \
  "$installer_status"
note "the installer refuses it all the same, but the application has already quit and"
note "a failed update never starts it again: checking with --verify-only first avoids that"

# ---------------------------------------------------------------- 6

step "Offer an older update, and an archive other than the published one"
note "version 1 again, signed by the demo team and intact, checked with --refuse-downgrade:"
make_bundle 1 "$demo_dir/update-1" || fail "could not assemble version 1"
sign_bundle "$team_identity" "$demo_dir/update-1/Zentrivale.app" || fail "could not sign version 1"
zip_bundle "$demo_dir/update-1" "$demo_dir/Zentrivale-1.zip" || fail "could not zip version 1"
sha256_of "$demo_dir/Zentrivale-1.zip" || fail "could not take the SHA-256 of Zentrivale-1.zip"
start_application
run_verification "$demo_dir/logs/verify-1.txt" --archive "$demo_dir/Zentrivale-1.zip" \
  --target-app "$installed_app" --team-id "$team_id" --refuse-downgrade --archive-sha256 "$digest"
expect_refused "$demo_dir/logs/verify-1.txt" \
  "update verification failed: the update (version 1) is older than the installed application (version 2)" \
  "$verify_status"
application_running || fail "the application should still run after a refused check"

note "the feed names Zentrivale-2.zip and its digest; the download delivered Zentrivale-1.zip:"
run_verification "$demo_dir/logs/verify-wrong-archive.txt" --archive "$demo_dir/Zentrivale-1.zip" \
  --target-app "$installed_app" --team-id "$team_id" --refuse-downgrade --archive-sha256 "$digest_2"
expect_refused "$demo_dir/logs/verify-wrong-archive.txt" \
  "update verification failed: the update archive does not match its SHA-256 digest" \
  "$verify_status"
application_running || fail "the application should still run after a refused check"
ok "both caught before the application quits: it still runs (pid $application_pid)"
quit_application

# ---------------------------------------------------------------- 7

step "Build version 3 and its delta from version 2, check it, install it"
make_bundle 3 "$demo_dir/release-3" || fail "could not assemble version 3"
sign_bundle "$team_identity" "$demo_dir/release-3/Zentrivale.app" || fail "could not sign version 3"
zip_bundle "$demo_dir/release-3" "$demo_dir/Zentrivale-3.zip" || fail "could not zip version 3"
note "the release keeps the published version 2 (\$DEMO/update-2) and makes the"
note "delta from it, named after the version it applies to:"
delta_archive=$demo_dir/Zentrivale-3-delta-from-2.zip
show_command "$delta_program" --from "$demo_dir/update-2/Zentrivale.app" \
  --to "$demo_dir/release-3/Zentrivale.app" --output "$delta_archive" \
  --full-archive "$demo_dir/Zentrivale-3.zip"
"$delta_program" --from "$demo_dir/update-2/Zentrivale.app" \
  --to "$demo_dir/release-3/Zentrivale.app" --output "$delta_archive" \
  --full-archive "$demo_dir/Zentrivale-3.zip" >"$demo_dir/logs/delta-3.txt" 2>&1
status=$?
indent <"$demo_dir/logs/delta-3.txt"
note "bundle_delta exited with status $status"
[ "$status" -eq 0 ] || fail "bundle_delta should exit with status 0"
grep -q '^patched Contents/Resources/frontend-assets/texts: [0-9]* bytes, patch [0-9]* bytes$' \
  "$demo_dir/logs/delta-3.txt" || fail "bundle_delta did not send the changed texts as a patch"
grep -q '^kept [1-9][0-9]* files, patched [0-9]*, added [0-9]*$' "$demo_dir/logs/delta-3.txt" ||
  fail "bundle_delta should keep version 2's unchanged files"
show_command ls -l "$delta_archive" "$demo_dir/Zentrivale-3.zip"
ls -l "$delta_archive" "$demo_dir/Zentrivale-3.zip" | indent
delta_size=$(wc -c <"$delta_archive" | tr -d ' ')
full_size=$(wc -c <"$demo_dir/Zentrivale-3.zip" | tr -d ' ')
[ "$delta_size" -lt "$full_size" ] || fail "the delta archive is not smaller than the full archive"
ok "delta archive: $delta_size bytes; full archive: $full_size bytes"
sha256_of "$delta_archive" || fail "could not take the SHA-256 of the delta archive"
digest_delta=$digest
sha256_of "$demo_dir/Zentrivale-3.zip" || fail "could not take the SHA-256 of Zentrivale-3.zip"
ok "published: the full archive and the delta for version 2, each with its SHA-256"

start_application
run_verification "$demo_dir/logs/verify-3-delta.txt" --archive "$delta_archive" \
  --target-app "$installed_app" --team-id "$team_id" --refuse-downgrade \
  --archive-sha256 "$digest_delta" --delta ${skip_flag:+"$skip_flag"}
[ "$verify_status" -eq 0 ] || fail "bundle_installer --verify-only --delta should exit with status 0"
grep -qxF '[update-helper] rebuilding the new application from the installed one...' \
  "$demo_dir/logs/verify-3-delta.txt" || fail "bundle_installer did not rebuild version 3"
grep -qxF '[update-helper] update verified; nothing was installed' \
  "$demo_dir/logs/verify-3-delta.txt" ||
  fail "bundle_installer did not report \"update verified; nothing was installed\""
application_running || fail "the application should still run after the check"
[ "$(installed_version)" = 2 ] || fail "the check changed the installed bundle"
[ -z "$(staging_leftovers)" ] || fail "a staging directory was left in \$DEMO/Applications"
ok "version 3 rebuilt from the installed one passed every check; nothing installed yet"
run_installer "$demo_dir/logs/installer-3-delta.txt" --archive "$delta_archive" \
  --target-app "$installed_app" --team-id "$team_id" --refuse-downgrade \
  --archive-sha256 "$digest_delta" --delta ${skip_flag:+"$skip_flag"}
update_pid=$installer_pid
[ "$installer_status" -eq 0 ] || fail "bundle_installer --delta should exit with status 0"
grep -q '^\[update-helper\] update installed successfully$' "$demo_dir/logs/installer-3-delta.txt" ||
  fail "bundle_installer did not report \"update installed successfully\""
note "waiting for the relaunched frontend's report (at most ${report_wait_seconds} s)..."
wait_until "$report_wait_seconds" frontend_reported 3 ||
  fail "no report from version 3's frontend after ${report_wait_seconds} s: the relaunch did not run it"
frontend_report 3
wait_until "$port_wait_seconds" port_3000_free ||
  fail "the relaunched application's backend still listens on 127.0.0.1:3000"
ok "the relaunched application ran version 3 and has exited"
show_command diff -r "$demo_dir/release-3/Zentrivale.app" "$installed_app"
diff -r "$demo_dir/release-3/Zentrivale.app" "$installed_app" 2>&1 | indent
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "the installed bundle is not the published version 3"
backup=$applications/.Zentrivale.backup-$update_pid
[ "$(cat "$backup/Contents/Resources/frontend-assets/version" 2>/dev/null)" = 2 ] ||
  fail "no rollback backup of version 2 at $backup"
[ -z "$(staging_leftovers)" ] || fail "a staging directory was left in \$DEMO/Applications"
ok "installed from the delta: version 3, as published; rollback backup: $(shown "$backup") (version 2)"

note "the same delta offered again, now that version 3 is installed:"
start_application
run_verification "$demo_dir/logs/verify-3-delta-again.txt" --archive "$delta_archive" \
  --target-app "$installed_app" --team-id "$team_id" --refuse-downgrade \
  --archive-sha256 "$digest_delta" --delta ${skip_flag:+"$skip_flag"}
refusal="update verification failed: this delta update is for version 2; the installed application is version 3"
[ "$verify_status" -eq 1 ] || fail "bundle_installer should refuse the delta with status 1"
grep -qxF "[update-helper] $refusal" "$demo_dir/logs/verify-3-delta-again.txt" ||
  fail "bundle_installer did not say: $refusal"
[ "$(installed_version)" = 3 ] || fail "the refused delta changed the installed bundle"
[ -z "$(staging_leftovers)" ] || fail "a staging directory was left in \$DEMO/Applications"
ok "refused: $refusal"
note "status 1 from a delta's check means: take the full archive instead; status 2"
note "means a wrong command line, a bug to fix, not a reason to fall back"
quit_application

printf '\ndemo finished: every step behaved as expected\n'
