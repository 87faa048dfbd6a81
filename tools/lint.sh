#!/usr/bin/env bash
# The style and lint checks, as CI runs them: the hooks of
# .pre-commit-config.yaml (where the tools' versions are pinned, so that a
# new release cannot turn a clean tree red) over every file; any finding
# fails.  Hooks that rewrite (the two formatters) leave their fixes in the
# tree and fail.
#   tools/lint.sh [python]
set -euo pipefail
cd "$(dirname "$0")/.."
py=${1:-python3}
venv=${VQ_LINT_DIR:-build/lint-venv}
if [ ! -x "$venv/bin/pre-commit" ]; then
    "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
    "$venv/bin/python" -m pip install -q pre-commit==4.7.0 2>&1 | grep -v "^WARNING: Location" || true
fi
# the hooks' environments are kept between runs, outside the checkout
export PRE_COMMIT_HOME=${PRE_COMMIT_HOME:-${VQ_CACHE:-$HOME/.cache/vq-ci}/pre-commit}
"$venv/bin/pre-commit" run --all-files --show-diff-on-failure
