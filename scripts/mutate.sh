#!/usr/bin/env bash
# Mutation testing: puts each fault listed in scripts/mutations.txt into a
# scratch copy of the tree, one at a time, rebuilds what the fault's tests
# need, runs those tests, and prints per fault:
#   killed       a named test failed (or timed out)
#   survived     every named test passed: the tests let the fault through
#   not applied  the fault's text is no longer in the file (retarget it)
#   no tests     a test selection matched no test
#   build failed the fault does not compile
# The unchanged copy is built and its selections run first; they must pass.
#
#   bash scripts/mutate.sh               # every fault in the list
#   bash scripts/mutate.sh NAME...       # only these
#   bash scripts/mutate.sh --list        # the names
#
# The scratch copy and its build live in build/mutate (QOR_MUTATE_DIR), and
# are rebuilt incrementally from run to run. Not part of the test command.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${QOR_VENV:-$root/.venv}
list=${QOR_MUTATIONS:-$root/scripts/mutations.txt}
work=${QOR_MUTATE_DIR:-$root/build/mutate}
test_timeout=${QOR_MUTATE_TIMEOUT:-600}          # seconds per test run
memory_kb=${QOR_MUTATE_MEMORY_KB:-4194304}       # address space of a test run
export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-$(command -v ccache || true)}
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"

# --- the list: "key: value" lines, a blank line between faults -------------
# name, file, then edits (find:/replace: pairs of exact text, or sed: an
# extended-regex sed command), then ctest: (a -R regex) and/or pytest:
# (arguments, run from the copy's top folder). Lines starting with # are notes.
names=() files=() edits=() ctests=() pytests=()
parse_list() {
    local line key value i=-1 sep=$'\x1f'
    while IFS= read -r line || [[ -n $line ]]; do
        [[ $line =~ ^[[:space:]]*# ]] && continue
        if [[ -z ${line//[[:space:]]/} ]]; then continue; fi
        key=${line%%:*}
        value=${line#*:}
        value=${value# }
        case $key in
            name) i=$((i + 1)); names[i]=$value; files[i]=""; edits[i]=""; ctests[i]=""; pytests[i]="" ;;
            file) files[i]=$value ;;
            find | replace | sed) edits[i]+="$key$sep$value$sep" ;;
            ctest) ctests[i]=$value ;;
            pytest) pytests[i]=$value ;;
            *) echo "mutate: $list: unknown key in: $line" >&2; exit 2 ;;
        esac
    done <"$list"
}
parse_list

if [[ ${1:-} == --list ]]; then
    printf '%s\n' "${names[@]}"
    exit 0
fi
selected=()
for i in "${!names[@]}"; do
    if (($# == 0)); then selected+=("$i"); continue; fi
    for wanted in "$@"; do [[ ${names[i]} == "$wanted" ]] && selected+=("$i"); done
done
((${#selected[@]})) || { echo "mutate: no fault of that name (see --list)" >&2; exit 2; }

# --- the scratch copy: the working tree's files, changes not yet committed
# included; every file gets a new time stamp, so the build never keeps an
# object made from a fault of an interrupted run.
scratch=$work/tree
build=$work/build
log=$work/log
rm -rf "$scratch"
mkdir -p "$scratch" "$log"
(cd "$root" && git ls-files -z --cached --others --exclude-standard) |
    while IFS= read -r -d '' path; do
        [[ -f $root/$path ]] && printf '%s\0' "$path"
    done | (cd "$root" && xargs -0 cp --parents -t "$scratch")
(root=$scratch configure_project "$build" -DQOR_BUILD_TESTS=ON -DQOR_BUILD_MODULE=ON)

# Applies fault i's edits to the copy; fails when one of them changes nothing.
apply_fault() {
    local i=$1 target=$scratch/${files[$1]} sep=$'\x1f' kind value find="" before
    local -a parts
    IFS=$sep read -r -a parts <<<"${edits[i]}"
    for ((p = 0; p < ${#parts[@]}; p += 2)); do
        kind=${parts[p]} value=${parts[p + 1]:-}
        before=$(sha256sum <"$target")
        case $kind in
            find) find=$value; continue ;;
            replace)
                FIND=$find REPLACE=$value "$venv/bin/python" - "$target" <<'EOF'
import os, sys
path = sys.argv[1]
text = open(path, encoding="utf-8").read()
open(path, "w", encoding="utf-8").write(text.replace(os.environ["FIND"], os.environ["REPLACE"]))
EOF
                ;;
            sed) sed -E -i -e "$value" "$target" ;;
        esac
        [[ $(sha256sum <"$target") != "$before" ]] || return 1
    done
}

# The C++ test programs: every target of the build named *_tests, so that a
# ctest selection never meets the placeholder test of a program not built.
cpp_test_targets() {
    "$venv/bin/cmake" --build "$build" --target help | sed -n 's/^\([A-Za-z0-9_]*_tests\):.*/\1/p'
}

# Builds what fault i's tests need; the module only for Python tests, the
# WebAssembly modules (in the copy's build/web) only for their tests, and the
# level studio's page for faults in the pages' code (with the working tree's
# WebAssembly engine, which such a fault does not touch).
build_for() {
    local i=$1 targets
    mapfile -t targets < <(cpp_test_targets)
    ((${#targets[@]})) || { echo "mutate: no C++ test targets in $build" >&2; return 1; }
    [[ -n ${pytests[i]} ]] && targets+=(qor_engine)
    "$venv/bin/cmake" --build "$build" -j2 --target "${targets[@]}" || return
    if [[ ${pytests[i]} == *test_web_engine* ]]; then
        (cd "$scratch" && QOR_VENV=$venv bash scripts/build_web.sh)
    fi
    if [[ ${files[i]} == web/* ]]; then
        "$venv/bin/python" "$scratch/scripts/build_studio.py" --engine "$root/build/web/qor_engine.js" \
            -o "$scratch/build/web/studio.html"
    fi
}

# Runs fault i's selections; prints one word per layer: passed, failed or
# "no tests", and a summary word on the last line.
run_tests() {
    local i=$1 name=$2 rc out status=()
    if [[ -n ${ctests[i]} ]]; then
        out=$log/$name.ctest
        rc=0
        (ulimit -v "$memory_kb"; "$venv/bin/ctest" --test-dir "$build" -R "${ctests[i]}" -j2 \
            --timeout "$test_timeout" --no-tests=error) >"$out" 2>&1 || rc=$?
        if grep -q "No tests were found" "$out"; then status+=("ctest:no-tests")
        elif ((rc == 0)); then status+=("ctest:passed")
        else status+=("ctest:failed"); fi
    fi
    if [[ -n ${pytests[i]} ]]; then
        out=$log/$name.pytest
        rc=0
        # shellcheck disable=SC2086  # the arguments split as written in the list
        # A browser reserves far more address space than it uses: no cap for it.
        local cap=$memory_kb
        [[ ${pytests[i]} == tests/browser/* ]] && cap=unlimited
        (cd "$scratch" && ulimit -v "$cap" && PYTHONPATH=$build PYTHONDONTWRITEBYTECODE=1 \
            timeout "$test_timeout" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
            ${pytests[i]}) >"$out" 2>&1 || rc=$?
        if ((rc == 5)); then status+=("pytest:no-tests")
        elif ((rc == 0)); then status+=("pytest:passed")
        else status+=("pytest:failed"); fi
    fi
    echo "${status[*]}"
}

# --- the unchanged copy first: every selection must pass -----------------
# Built once (with the module when any fault has Python tests); each distinct
# pair of selections is run once, however many faults share it.
echo "mutate: building the unchanged copy in $build" >&2
widest=${selected[0]}
for i in "${selected[@]}"; do [[ -n ${pytests[i]} ]] && widest=$i; done
build_for "$widest" >"$log/baseline.build" 2>&1 ||
    { echo "mutate: the unchanged copy does not build (see $log/baseline.build)" >&2; exit 1; }
baseline_ok=1
declare -A baseline_run=()
for i in "${selected[@]}"; do
    selection="${ctests[i]}"$'\x1f'"${pytests[i]}"
    [[ -n ${baseline_run[$selection]:-} ]] && continue
    baseline_run[$selection]=1
    result=$(run_tests "$i" "baseline-${names[i]}")
    if [[ $result == *failed* || $result == *no-tests* ]]; then
        echo "mutate: without the fault, ${names[i]}'s tests do not pass: $result (see $log)" >&2
        [[ $result == *failed* ]] && baseline_ok=0
    fi
done
((baseline_ok)) || exit 1

# --- one fault at a time ---------------------------------------------------
killed=0 total=0
for i in "${selected[@]}"; do
    name=${names[i]}
    file=${files[i]}
    total=$((total + 1))
    cp "$scratch/$file" "$work/original"
    if ! apply_fault "$i"; then
        verdict="not applied" detail="its text is not in $file"
    elif ! build_for "$i" >"$log/$name.build" 2>&1; then
        verdict="build failed" detail="see $log/$name.build"
    else
        detail=$(run_tests "$i" "$name")
        if [[ $detail == *failed* ]]; then verdict=killed; killed=$((killed + 1))
        elif [[ $detail == *no-tests* ]]; then verdict="no tests"
        else verdict=survived; fi
    fi
    # A plain copy: the restored file is newer than the fault's objects.
    cp "$work/original" "$scratch/$file"
    printf '%-12s %-36s %s\n' "$verdict" "$name" "$detail"
done
echo "mutate: $killed of $total faults killed"
