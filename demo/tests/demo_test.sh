#!/usr/bin/env bash
# usage: demo_test.sh CASE BUILD_DIR DEMO_SCRIPT
# One case of the demo as a user runs it; expects 127.0.0.1:3000 to be free
# (in_network_namespace.sh sees to that). Exit status 0 when the case passed.
set -u

case_name=$1
build_dir=$2
demo_script=$3

work=$(mktemp -d) || exit 1
backend_pid=
cleanup() {
  if [ -n "$backend_pid" ]; then kill -KILL "$backend_pid" 2>/dev/null; wait "$backend_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() {  # DESCRIPTION COMMAND...
  local description=$1
  shift
  if ! "$@"; then
    echo "FAILED: $description"
    failures=$((failures + 1))
  fi
}

port_3000_in_use() { (exec 3<>/dev/tcp/127.0.0.1/3000) 2>/dev/null; }
port_3000_free() { ! port_3000_in_use; }
equal() { [ "$1" = "$2" ] || { printf 'expected: %s\n     got: %s\n' "$2" "$1"; return 1; }; }
has_line() { grep -qxF -- "$2" "$1"; }
empty_directory() { [ -z "$(ls -A "$1")" ]; }

# run_demo OUTPUT: the demo in $work/demo, with a HOME of its own that the
# demo must leave alone. Sets status.
run_demo() {
  HOME=$work/outside-home bash "$demo_script" "$build_dir" "$work/demo" >"$1" 2>&1
  status=$?
}

mkdir "$work/outside-home"
header="Zentrivale demo: the launcher and the update installer, end to end"

case $case_name in
  end_to_end)
    # Twice: the second run replaces what the first one left.
    for run in 1 2; do
      run_demo "$work/output-$run"
      check "run $run: exit status" equal "$status" 0
      check "run $run: final line" equal "$(tail -n 1 "$work/output-$run")" \
        "demo finished: every step behaved as expected"
      check "run $run: version 2 reported after the relaunch" \
        has_line "$work/output-$run" "     | frontend version 2 done"
      check "run $run: version 2 checked before the application quit" \
        has_line "$work/output-$run" "   ok: verified while the application runs; nothing installed yet (still version 1)"
      check "run $run: tampered update refused by the check" \
        has_line "$work/output-$run" \
        "   ok: refused: update verification failed: the updated application's code signature is invalid"
      check "run $run: refused while the application still runs" \
        grep -q "^   ok: caught before the application quits: it still runs (pid [0-9]*)\$" "$work/output-$run"
      check "run $run: update of another team refused" \
        has_line "$work/output-$run" \
        "   ok: refused: update installation failed: the updated application is not signed by team ZENTDEMO42"
      check "run $run: version 2 installed for the demo team" \
        has_line "$work/output-$run" "       --team-id ZENTDEMO42 \\"
      check "run $run: updates installed with --refuse-downgrade" \
        has_line "$work/output-$run" "       --refuse-downgrade \\"
      check "run $run: older update refused by the check" \
        has_line "$work/output-$run" \
        "   ok: refused: update verification failed: the update (version 1) is older than the installed application (version 2)"
      check "run $run: archive of another digest refused by the check" \
        has_line "$work/output-$run" \
        "   ok: refused: update verification failed: the update archive does not match its SHA-256 digest"
      check "run $run: bundle_delta's summary shown" \
        grep -q '^     | delta archive: [0-9]* bytes, full archive: [0-9]* bytes ([0-9.]* %)$' "$work/output-$run"
      check "run $run: delta checked while the application runs" \
        has_line "$work/output-$run" \
        "   ok: version 3 rebuilt from the installed one passed every check; nothing installed yet"
      check "run $run: version 3 reported after the relaunch" \
        has_line "$work/output-$run" "     | frontend version 3 done"
      check "run $run: delta refused once its base is gone" \
        has_line "$work/output-$run" \
        "   ok: refused: update verification failed: this delta update is for version 2; the installed application is version 3"
      [ "$status" -eq 0 ] || cat "$work/output-$run"
    done
    check "the installed bundle is version 3, from the delta" equal \
      "$(cat "$work/demo/Applications/Zentrivale.app/Contents/Resources/frontend-assets/version")" 3
    check "nothing written to the HOME the demo was started with" empty_directory "$work/outside-home"
    check "no backend left running" port_3000_free
    ;;

  port_taken)
    "$build_dir/demo-app/bin/backend" >"$work/backend.out" 2>&1 &
    backend_pid=$!
    tries=50
    until port_3000_in_use || [ "$tries" -eq 0 ]; do sleep 0.1; tries=$((tries - 1)); done
    run_demo "$work/output"
    check "exit status" equal "$status" 1
    check "output" equal "$(cat "$work/output")" "$header
   FAILED: 127.0.0.1:3000 is already in use; stop what listens there (a running Zentrivale?) and run the demo again"
    check "no demo directory made" test ! -e "$work/demo"
    # The demo backend ends on SIGTERM, as the launcher needs.
    kill -TERM "$backend_pid"
    wait "$backend_pid"
    check "backend exit status after SIGTERM" equal "$?" 0
    backend_pid=
    check "backend output" equal "$(tail -n 1 "$work/backend.out")" "demo backend: stopped by SIGTERM"
    ;;

  foreign_directory)
    mkdir "$work/demo" && echo precious >"$work/demo/keep"
    run_demo "$work/output"
    check "exit status" equal "$status" 1
    check "output" equal "$(cat "$work/output")" "$header
   FAILED: $work/demo exists and was not made by the demo; remove it or name another directory"
    check "the directory is untouched" equal "$(ls -A "$work/demo")" keep
    ;;

  *)
    echo "unknown case: $case_name"
    exit 2
    ;;
esac

[ "$failures" -eq 0 ]
