#!/usr/bin/env bash
# Builds the fuzz targets with the fuzz preset (clang: libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) into build/fuzz, replays the
# regression inputs of fuzz/regressions/<target>/, then runs each target for SECONDS (default
# 30) from its seed corpus fuzz/corpus/<target>/.  New inputs go to
# build/fuzz/corpus/<target>/, the seed corpus stays as it is.  Exits
# non-zero on any crash, leak, hang or sanitizer report.
#
#   fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-30}
shift || true
all=(formatter_fuzz hosts_rules_fuzz control_file_fuzz shared_header_fuzz snapshot_fuzz)
targets=("${@:-${all[@]}}")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")

for t in "${targets[@]}"; do
    case " ${all[*]} " in *" $t "*) ;; *) echo "fuzz: unknown target $t" >&2; exit 2 ;; esac
done
# The targets come from the fuzz preset (fuzz/CMakeLists.txt); CXX_FUZZ
# names another clang++ than the one on the path.
CXX=${CXX_FUZZ:-clang++}
command -v "$CXX" >/dev/null || { echo "fuzz: $CXX not found (scripts/install-deps.sh installs clang)" >&2; exit 2; }
cmake --preset fuzz -DCMAKE_CXX_COMPILER="$CXX" >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

out=$root/build/fuzz

# The trace facility reports repaired damage on standard output; that is
# expected with a garbage header and is kept out of the log's way.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for t in "${targets[@]}"; do
    seeds=$root/fuzz/corpus/$t
    regressions=$root/fuzz/regressions/$t
    work=$out/corpus/$t
    mkdir -p "$work" "$out/artifacts/$t"
    log=$out/$t.log
    if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions" 2>/dev/null)" ]; then
        echo "== $t: regression inputs"
        if ! "$out/$t" -timeout=25 -rss_limit_mb=4096 "$regressions"/* >"$out/$t.regressions.log" 2>&1; then
            echo "fuzz: $t FAILS on a regression input; see $out/$t.regressions.log" >&2
            tail -n 30 "$out/$t.regressions.log" >&2
            status=1
        fi
    fi
    echo "== $t: ${seconds}s"
    if "$out/$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 -max_len=8192 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/$t/" "$work" "$seeds" >"$log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$log" | tail -n 2 || true
    else
        echo "fuzz: $t FOUND A CRASH OR HANG; see $log and $out/artifacts/$t/" >&2
        grep -E 'ERROR|SUMMARY|runtime error|Test unit written|mismatch' "$log" | head -n 20 >&2 || true
        status=1
    fi
done
exit $status
