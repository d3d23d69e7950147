#!/usr/bin/env bash
# Installs what the build needs when it is missing, then builds and runs every
# test configuration: release, AddressSanitizer with UndefinedBehaviorSanitizer,
# ThreadSanitizer, the libFuzzer targets (clang) for a short while each, and
# the Windows DLL under Wine.
# Usage: scripts/test.sh [release|asan|tsan|fuzz|windows]...   (default: all)
set -uo pipefail
cd "$(dirname "$0")/.."

configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(release asan tsan fuzz windows)

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev nlohmann-json3-dev pkg-config python3 chromium
          fuse3 libfuse3-dev libncurses-dev tmux)
[[ " ${configs[*]} " == *" fuzz "* ]] && packages+=(clang)
# Node.js comes with the machine; Debian's own only when there is none.
command -v node >/dev/null 2>&1 || packages+=(nodejs npm)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    echo "installing: ${missing[*]}"
    $sudo apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null || exit 1
fi
# libFuzzer's runtime comes with clang only as a recommended package.
if [[ " ${configs[*]} " == *" fuzz "* ]]; then
    rt=libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev
    if ! dpkg-query -W -f='${Status}' "$rt" 2>/dev/null | grep -q "ok installed"; then
        sudo=""
        [ "$(id -u)" -ne 0 ] && sudo=sudo
        echo "installing: $rt"
        $sudo apt-get update -q >/dev/null
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$rt" >/dev/null || exit 1
    fi
fi

# playwright-core drives Debian's Chromium in the treemap page tests.
if [ ! -d tests/html/node_modules/playwright-core ]; then
    (cd tests/html && npm ci --no-audit --no-fund --loglevel=error) || exit 1
fi

jobs=$(nproc)
failed=()
passed_total=0
failed_total=0

# Adds the counts of a ctest summary ("N% tests passed, F tests failed out of T").
count_summary() {
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
    [ -n "$line" ] || return 0
    local f t
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    passed_total=$((passed_total + t - f))
    failed_total=$((failed_total + f))
}

run_linux() {
    local name=$1; shift
    local dir=build/$name
    echo "=== $name"
    local log=$dir/ctest.log
    if cmake -S . -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir" -j "$jobs" >/dev/null; then
        ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600 >"$log" 2>&1
        local rc=$?
        tail -n 30 "$log"
        count_summary "$log"
        [ $rc -eq 0 ] || failed+=("$name")
    else
        cmake --build "$dir" -j 1 2>&1 | tail -n 40
        failed+=("$name build")
    fi
}

for c in "${configs[@]}"; do
    case $c in
    release) run_linux release -DCMAKE_BUILD_TYPE=Release ;;
    asan) ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_linux asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SANITIZE=address ;;
    tsan) TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1 \
        run_linux tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SANITIZE=thread ;;
    # Each fuzz target for 20 s on a copy of its corpus in build/fuzz: one test each.
    fuzz) run_linux fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
        -DCMAKE_CXX_COMPILER=clang++ -DQV_FUZZ=ON -DQV_FUZZ_SECONDS=20 -DQV_BUILD_PROGRAMS=OFF ;;
    windows)
        if [ -x scripts/test-windows.sh ]; then
            echo "=== windows"
            mkdir -p build
            scripts/test-windows.sh 2>&1 | tee build/windows.log
            [ "${PIPESTATUS[0]}" -eq 0 ] || failed+=(windows)
            count_summary build/windows.log
        fi ;;
    *) echo "unknown configuration: $c"; exit 2 ;;
    esac
done

[ ${#failed[@]} -gt 0 ] && echo "FAILED configurations: ${failed[*]}"
echo "configurations: ${configs[*]}"
echo "total: $passed_total passed, $failed_total failed"
[ ${#failed[@]} -eq 0 ]
