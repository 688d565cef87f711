#!/usr/bin/env bash
# Prints the non-blank lines of the tests against those of the code they guard: the product
# (Updater/) and the tools (tools/, their own tests left out). The owner's rule puts the tests at
# about a quarter to a third of the code; the suite stays below 0.40.
set -euo pipefail
cd "$(dirname "$0")/.."

non_blank() { xargs -r cat | grep -c -v -E '^[[:space:]]*$' || true; }
is_test='(^|/)test_|_test\.'

product=$(git ls-files -- 'Updater/*' | non_blank)
tools=$(git ls-files -- 'tools/*' | grep -v -E "$is_test" | non_blank)
tests=$(git ls-files -- 'tests/*' '*test_*' '*_test.*' | sort -u | non_blank)

printf 'product (Updater/)        %6d\n' "$product"
printf 'tools (tools/, no tests)  %6d\n' "$tools"
printf 'tests                     %6d\n' "$tests"
awk -v tests="$tests" -v code="$((product + tools))" \
    'BEGIN { printf "tests / (product + tools) %6.2f\n", tests / code }'
