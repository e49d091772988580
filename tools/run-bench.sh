#!/usr/bin/env bash
# Measures the client against the virtual sensor and prints a table of the figures:
#   1. frames per second in continuous mode through the real window, at 19200, 115200 and
#      256000 baud 8E1 against the paced sensor, next to the wire limit of the bytes each
#      image puts on the line plus the silence before every frame; after each rate of the
#      window, the same for `brisca grab`, which has nothing to draw;
#   2. the cost of drawing one frame on the three plots (2 x 2 regions, 256 labels), next
#      to the wire time of one image at 256000 baud;
#   3. the client's link work for one frame in instructions (callgrind), twice, to show
#      that the count repeats;
#   4. resident memory after 10 and after 2000 frames;
#   5. the soak: 5000 continuous frames under random faults (memory at frame 500 and at the
#      end, plot items left over, the continuous loop's stops), about six more minutes;
#   6. continuous mode at 19200 and 256000 baud with a recording running and the trends
#      window shown, against the same run without them, in alternating blocks of one run;
#   7. resident memory over 10,000 frames with recording and trends on (unpaced sensor);
#   8. replay of a 10,000-frame recording: time to open it, frames per second stepping.
#
# Installs what is missing, builds into build-bench/ (Release) and runs everything there;
# takes about five minutes. Timing figures depend on how busy the machine is: the load
# average is printed next to them.
#
# BRISCA_BENCH_BUILD overrides the build folder; BENCH_MEMORY_FRAMES (default 2000) the
# length of the memory run; BENCH_SOAK_FRAMES (default 5000, 0 skips it) that of the soak;
# BENCH_RECORDING_FRAMES (default 10000) that of the memory run with recording and trends and
# of the replayed recording.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BRISCA_BENCH_BUILD:-$top/build-bench}
memory_frames=${BENCH_MEMORY_FRAMES:-2000}
soak_frames=${BENCH_SOAK_FRAMES:-5000}
recording_frames=${BENCH_RECORDING_FRAMES:-10000}
bash "$top/tools/install-deps.sh"

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target brisca-sim brisca-perf brisca-perf-linkwork brisca-soak \
    brisca brisca-bench-grab

export QT_QPA_PLATFORM=offscreen
perf=$build/bench/perf/brisca-perf
linkwork=$build/bench/perf/brisca-perf-linkwork
grab=$build/bench/cli/brisca-bench-grab
logs=$build/bench-logs
rm -rf "$logs"
mkdir -p "$logs"

load() { cut -d' ' -f1-3 /proc/loadavg; }
# The value of KEY in a "result key=value ..." line.
get() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" <<<"$1"; }
# Runs one measurement: its report goes to the terminal and to NAME.out, the program's own
# debug output (the device logs every register it receives) to NAME.log.
failed=()
run() {
    local name=$1
    shift
    echo "--- $name (load $(load))" >&2
    if ! "$@" 2>"$logs/$name.log" | tee "$logs/$name.out"; then
        failed+=("$name")
    fi
}
result() { grep '^result ' "$logs/$1.out" | tail -n 1 || echo "result error=failed"; }

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
load_start=$(load)

# The paced sensor's own accuracy: how long one image's exchanges take without the window,
# next to the time a real line needs for them.
run pace-19200 "$perf" pace 19200 5
run pace-115200 "$perf" pace 115200 10
run pace-256000 "$perf" pace 256000 10

# The window and the tool one after the other at each rate, so that both meet the same load.
for baud in 19200 115200 256000; do
    run "rate-$baud" "$perf" rate "$baud" 50
    run "grab-$baud" "$grab" "$baud" 50
done

run draw "$perf" draw 250

callgrind() {
    local n=$1
    if ! valgrind --tool=callgrind --instr-atstart=no \
        --callgrind-out-file="$logs/linkwork-$n.callgrind" "$linkwork" 20 \
        >"$logs/linkwork-$n.out" 2>"$logs/linkwork-$n.log"; then
        failed+=("linkwork-$n")
        return
    fi
    callgrind_annotate --inclusive=yes --threshold=100 "$logs/linkwork-$n.callgrind" \
        >"$logs/linkwork-$n.annotate"
}
# Instructions per frame of the whole client, and of the device's own reply handlers.
instructions() {
    awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print int($1 / 20); exit }' "$1" 2>/dev/null || echo 0
}
handlers() {
    awk '/BriscaDevice::(dataReady|pixelReqReturned|ROItempsReturned)\(\)/ {
             gsub(",", "", $1); sum += $1 }
         END { print int(sum / 20) }' "$1" 2>/dev/null || echo 0
}
issuing() {
    awk '/BriscaDevice::requestImage\(\)/ { gsub(",", "", $1); print int($1 / 20); exit }' \
        "$1" 2>/dev/null || echo 0
}
echo "--- link work under callgrind, 20 frames, twice (load $(load))" >&2
callgrind 1
callgrind 2
ir1=$(instructions "$logs/linkwork-1.annotate")
ir2=$(instructions "$logs/linkwork-2.annotate")
handlers1=$(handlers "$logs/linkwork-1.annotate")
issuing1=$(issuing "$logs/linkwork-1.annotate")
echo "instructions per frame: run 1 $ir1, run 2 $ir2; reply handlers $handlers1; requestImage $issuing1" >&2

run memory "$perf" memory "$memory_frames"
run recording-19200 "$perf" recording 19200 10 4
run recording-256000 "$perf" recording 256000 50 8
run recmemory "$perf" recmemory "$recording_frames"
run replay "$perf" replay "$recording_frames" 500
if [ "$soak_frames" -gt 0 ]; then
    run soak "$build/bench/soak/brisca-soak" --frames "$soak_frames"
fi
load_end=$(load)

pace_19200=$(result pace-19200)
pace_115200=$(result pace-115200)
pace_256000=$(result pace-256000)
rate_19200=$(result rate-19200)
rate_115200=$(result rate-115200)
rate_256000=$(result rate-256000)
grab_19200=$(result grab-19200)
grab_115200=$(result grab-115200)
grab_256000=$(result grab-256000)
draw=$(result draw)
memory=$(result memory)
recording_19200=$(result recording-19200)
recording_256000=$(result recording-256000)
recmemory=$(result recmemory)
replay=$(result replay)

pct() { awk -v r="$1" 'BEGIN { printf "%.1f %%", 100 * r }'; }
mega() { awk -v n="$1" 'BEGIN { printf "%.2f M", n / 1e6 }'; }
rate_row() {
    local what=$1 line=$2 target=$3
    printf '| %s, %s baud 8E1, %s frames | %s frames/s | %s frames/s (%s bytes, %s ms per image) | %s | %s |\n' \
        "$what" "$(get "$line" baud)" "$(get "$line" frames)" "$(get "$line" fps)" "$(get "$line" limit)" \
        "$(get "$line" bytes)" "$(get "$line" wirems)" "$(pct "$(get "$line" ratio)")" "$target"
}
# The tool's target at a rate: at least the window's frames per second there.
grab_target() {
    local window
    window=$(get "$1" fps)
    printf '%s≥ %s frames/s (window)' "${2:+$2, }" "$window"
}
pace_cell() { printf '%s / %s ms' "$(get "$1" mean)" "$(get "$1" wire)"; }
rss10=$(get "$memory" rss10)
rss_end=$(get "$memory" rss_end)

echo
echo "Machine: $(nproc) cores, $cpu; load average $load_start at the start, $load_end at the end"
echo
echo "| Figure | Measured | Reference | Ratio | Target |"
echo "| --- | --- | --- | --- | --- |"
rate_row "Continuous mode" "$rate_19200" "≥ 95 %"
rate_row '`brisca grab`' "$grab_19200" "$(grab_target "$rate_19200" "≥ 98 %")"
rate_row "Continuous mode" "$rate_115200" "–"
rate_row '`brisca grab`' "$grab_115200" "$(grab_target "$rate_115200")"
rate_row "Continuous mode" "$rate_256000" "≥ 80 %"
rate_row '`brisca grab`' "$grab_256000" "$(grab_target "$rate_256000")"
printf '| Drawing one frame, three plots, 2 x 2 regions (%s labels), %s frames | median %s ms (p10 %s, p90 %s) | %s ms per image at 256000 baud | %s | ≤ 10 %% |\n' \
    "$(get "$draw" labels)" "$(get "$draw" frames)" "$(get "$draw" total)" "$(get "$draw" total_p10)" \
    "$(get "$draw" total_p90)" "$(get "$draw" wirems)" "$(pct "$(get "$draw" ratio)")"
printf '| Link work of one frame (callgrind, 20 frames, two runs) | %s / %s instructions | reply handlers %s, requestImage %s | – | – |\n' \
    "$(mega "$ir1")" "$(mega "$ir2")" "$(mega "$handlers1")" "$(mega "$issuing1")"
printf '| Resident memory after 10 / %s frames | %s / %s KiB | | %+d KiB | no growth |\n' \
    "$(get "$memory" frames)" "$rss10" "$rss_end" "$(awk -v a="$rss10" -v b="$rss_end" 'BEGIN { print b - a }')"
recording_row() {
    local line=$1
    printf '| Continuous mode with recording and trends, %s baud 8E1, %s frames each way in %s alternating blocks | %s frames/s | %s frames/s without them | %s | ≥ 98 %% |\n' \
        "$(get "$line" baud)" "$(get "$line" frames)" "$(get "$line" blocks)" "$(get "$line" on)" \
        "$(get "$line" off)" "$(pct "$(get "$line" ratio)")"
}
recording_row "$recording_19200"
recording_row "$recording_256000"
printf '| Resident memory with recording and trends after 10 / %s / %s frames | %s / %s / %s KiB | %s trend points per series at the end | %+d KiB after warm-up | flat after warm-up |\n' \
    "$(get "$recmemory" warm)" "$(get "$recmemory" frames)" "$(get "$recmemory" rss10)" \
    "$(get "$recmemory" rss_warm)" "$(get "$recmemory" rss_end)" "$(get "$recmemory" points)" \
    "$(awk -v a="$(get "$recmemory" rss_warm)" -v b="$(get "$recmemory" rss_end)" 'BEGIN { print b - a }')"
printf '| Replay of a %s-frame recording (%s bytes): open | %s ms | | – | – |\n' \
    "$(get "$replay" frames)" "$(get "$replay" bytes)" "$(get "$replay" open)"
printf '| Replay: stepping, Application 3 page shown | %s frames/s (median %s ms per step) | | – | – |\n' \
    "$(get "$replay" fps)" "$(get "$replay" step)"
echo
echo "The paced sensor alone, the 16 exchanges of one image sent straight (measured / on a real"
echo "line, without the master's silences): 19200: $(pace_cell "$pace_19200"); 115200: $(pace_cell "$pace_115200"); 256000: $(pace_cell "$pace_256000")"
if [ "$soak_frames" -gt 0 ]; then
    echo
    echo "Soak, $soak_frames frames under random faults:"
    grep -E '^(resident memory|plots after|continuous loop|loop behaviour|memory within)' \
        "$logs/soak.out" | sed 's/^/  /' || true
fi
echo "Reports and logs: $logs"
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
