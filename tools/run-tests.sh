#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; builds the Debian package, installs
# it here and runs the installed command line; then runs the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and each fuzz target for a while.
# Every stage runs even when an earlier one failed; the script exits non-zero on any failure.
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

# --- 1. The ordinary build and suite ---
stage "build and test"
if bash "$top/tools/build.sh" "$top/build" &&
    (cd "$top/build" && ctest --output-on-failure --timeout 600 -j "$jobs"); then
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
# Built with clang: gcc's combined runtime writes UndefinedBehaviorSanitizer reports to
# stderr whatever log_path says, and a child's stderr is read by the test, not shown.
stage "sanitizer build and test"
asan_logs="$top/build-asan/sanitizer-logs"
if bash "$top/tools/build.sh" "$top/build-asan" -DBRISCA_SANITIZE=ON -DBRISCA_EXTRAS=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++; then
    rm -rf "$asan_logs"
    mkdir -p "$asan_logs"
    if ! (cd "$top/build-asan" &&
        ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:log_path=$asan_logs/asan" \
            UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$asan_logs/ubsan" \
            LSAN_OPTIONS="suppressions=$top/tests/sanitizer/lsan.supp:print_suppressions=0" \
            ctest --output-on-failure --timeout 900 -j "$jobs"); then
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
    failed+=("sanitizer build")
fi

# --- 4. The fuzz targets, from their seed corpus ---
# New inputs go to a scratch folder so the committed corpus stays as it is; crashes and
# broken checks leave their input in build-fuzz/findings/<target>/.
stage "fuzz build and ${fuzz_seconds} s per target"
fuzz_dir="$top/build-fuzz"
if cmake -S "$top" -B "$fuzz_dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DBRISCA_FUZZ=ON >/dev/null && cmake --build "$fuzz_dir" -j "$jobs" --target "${fuzz_targets[@]}"; then
    pids=()
    for target in "${fuzz_targets[@]}"; do
        work="$fuzz_dir/fuzz-work/$target"
        findings="$fuzz_dir/findings/$target"
        rm -rf "$work" "$findings"
        mkdir -p "$work" "$findings"
        seeds=("$top/tests/fuzz/corpus/$target")
        if [ -d "$top/tests/fuzz/reproducers/$target" ]; then
            seeds+=("$top/tests/fuzz/reproducers/$target")
        fi
        LSAN_OPTIONS="suppressions=$top/tests/sanitizer/lsan.supp:print_suppressions=0" \
            UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
            "$fuzz_dir/tests/fuzz/$target" -max_total_time="$fuzz_seconds" -max_len=16384 \
            -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
            "$work" "${seeds[@]}" >"$fuzz_dir/$target.log" 2>&1 &
        pids+=($!)
    done
    for i in "${!fuzz_targets[@]}"; do
        target=${fuzz_targets[$i]}
        if wait "${pids[$i]}"; then
            echo "$target: $(grep -E '^Done [0-9]+ runs' "$fuzz_dir/$target.log" || true)"
            grep -E '^stat::(number_of_executed_units|peak_rss_mb)|#[0-9]+.*DONE' \
                "$fuzz_dir/$target.log" || true
        else
            echo "--- $target failed; its log:"
            tail -n 80 "$fuzz_dir/$target.log"
            failed+=("$target")
        fi
    done
else
    failed+=("fuzz build")
fi

echo
if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all stages passed"
