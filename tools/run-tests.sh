#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; builds the Debian package, installs
# it here and runs the installed command line; then runs the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and each fuzz target for a while.
# Every stage runs even when an earlier one failed; the script exits non-zero on any failure.
#
# Both builds are unity builds: most of a file's compile time goes on Qt's and QCustomPlot's
# headers, and a fresh build compiles every file once. The suites spend most of their time
# waiting for the line (answers, timeouts, silence), so more of them run at once than there
# are cores.
#
# FUZZ_SECONDS (default 60) sets how long each fuzz target runs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/tools/install-deps.sh"

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}
fuzz_targets=(fuzz_device_replies fuzz_image fuzz_sim_requests)
failed=()

stage() {
    echo
    echo "=== $* ($(date +%T))"
}

# The clang build of stages 3 and 4 starts now, beside stage 1 and at the lowest priority: it
# takes the processor time the ordinary build leaves between its steps and the suites leave
# while they wait for the line, and never the time they need.
# One clang build serves both stages: the fuzz configuration builds everything with both
# sanitizers, and the fuzz targets beside the suites; -O1 and line tables only, as sanitizer
# builds usually are, keep the reports' stacks. Built with clang: gcc's combined runtime
# writes UndefinedBehaviorSanitizer reports to stderr whatever log_path says, and a child's
# stderr is read by the test, not shown.
asan_dir="$top/build-asan"
asan_flags="-O1 -gline-tables-only -DNDEBUG"
mkdir -p "$asan_dir"
nice -n 19 bash "$top/tools/build.sh" "$asan_dir" -DBRISCA_FUZZ=ON -DBRISCA_EXTRAS=OFF \
    -DCMAKE_UNITY_BUILD=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$asan_flags" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$asan_flags" \
    >"$asan_dir/build.log" 2>&1 &
asan_build=$!

# --- 1. The ordinary build and suite ---
stage "build and test"
# Release: the same optimisation as the default build, without the debugging information
# that neither the suites nor the package need.
if bash "$top/tools/build.sh" "$top/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_UNITY_BUILD=ON &&
    (cd "$top/build" && ctest --output-on-failure --timeout 600 -j $((jobs * 4))); then
    :
else
    failed+=("tests")
fi

# --- 2. The Debian package, installed on this machine ---
# Builds the package from the ordinary build, installs it with its dependencies, and runs the
# installed command line against the installed virtual sensor.
installed_check() {
    local build=$1 sudo= dir sim status=0
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    rm -f "$build"/velmora-brisca_*.deb
    (cd "$build" && cpack -G DEB >/dev/null) || return 1
    local deb=("$build"/velmora-brisca_*.deb)
    # --reinstall: a rebuilt package of the same version must replace the installed one.
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --reinstall "${deb[0]}" >/dev/null ||
        return 1
    desktop-file-validate /usr/share/applications/velmora-brisca.desktop || return 1
    /usr/bin/brisca --help >/dev/null || return 1
    dir=$(mktemp -d)
    /usr/bin/brisca-sim --link "$dir/tty" >"$dir/sim.out" 2>&1 &
    sim=$!
    for _ in $(seq 100); do
        grep -q '^ready' "$dir/sim.out" && break
        sleep 0.1
    done
    /usr/bin/brisca info --port "$dir/tty" || status=1
    kill "$sim"
    wait "$sim" || true
    rm -rf "$dir"
    return $status
}
stage "Debian package, installed and run"
if [ -f "$top/build/build.ninja" ] && installed_check "$top/build"; then
    :
else
    failed+=("package")
fi

# --- 3. The same suite with the sanitizers ---
# Reports go to files rather than to each test's output, so that those of child processes
# (the virtual sensor started by the window suites) are caught as well; any file is a failure.
# Fewer suites at once than in stage 1: sanitized, they compute about five times as much,
# and the fault matrix's short reply timeout must not run out on a starved processor.
stage "sanitizer suite (built beside stage 1)"
asan_logs="$asan_dir/sanitizer-logs"
asan_built=false
if wait "$asan_build"; then
    asan_built=true
    rm -rf "$asan_logs"
    mkdir -p "$asan_logs"
    if ! (cd "$asan_dir" &&
        ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:log_path=$asan_logs/asan" \
            UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$asan_logs/ubsan" \
            LSAN_OPTIONS="suppressions=$top/tests/sanitizer/lsan.supp:print_suppressions=0" \
            ctest --output-on-failure --timeout 900 -j $((jobs * 3 / 2))); then
        failed+=("sanitizer tests")
    fi
    if compgen -G "$asan_logs/*" >/dev/null; then
        for report in "$asan_logs"/*; do
            echo "--- $report"
            cat "$report"
        done
        failed+=("sanitizer reports")
    fi
else
    tail -n 80 "$asan_dir/build.log"
    failed+=("sanitizer build")
fi

# --- 4. The fuzz targets, from their seed corpus ---
# New inputs go to a scratch folder so the committed corpus stays as it is; crashes and
# broken checks leave their input in build-asan/findings/<target>/. The seed corpus and the
# reproducers are run first, checks included.
stage "fuzz ${fuzz_seconds} s per target"
if $asan_built; then
    pids=()
    for target in "${fuzz_targets[@]}"; do
        work="$asan_dir/fuzz-work/$target"
        findings="$asan_dir/findings/$target"
        rm -rf "$work" "$findings"
        mkdir -p "$work" "$findings"
        seeds=("$top/tests/fuzz/corpus/$target")
        if [ -d "$top/tests/fuzz/reproducers/$target" ]; then
            seeds+=("$top/tests/fuzz/reproducers/$target")
        fi
        LSAN_OPTIONS="suppressions=$top/tests/sanitizer/lsan.supp:print_suppressions=0" \
            UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
            "$asan_dir/tests/fuzz/$target" -max_total_time="$fuzz_seconds" -max_len=16384 \
            -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
            "$work" "${seeds[@]}" >"$asan_dir/$target.log" 2>&1 &
        pids+=($!)
    done
    for i in "${!fuzz_targets[@]}"; do
        target=${fuzz_targets[$i]}
        if wait "${pids[$i]}"; then
            echo "$target: $(grep -E '^Done [0-9]+ runs' "$asan_dir/$target.log" || true)"
            grep -E '^stat::(number_of_executed_units|peak_rss_mb)|#[0-9]+.*DONE' \
                "$asan_dir/$target.log" || true
        else
            echo "--- $target failed; its log:"
            tail -n 80 "$asan_dir/$target.log"
            failed+=("$target")
        fi
    done
else
    failed+=("fuzz (nothing to run without the clang build)")
fi

echo
if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all stages passed"
