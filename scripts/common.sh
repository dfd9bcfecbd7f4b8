# Shared set-up for the scripts in this directory: finds CPython 3.12 and
# makes the virtual environment. Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

find_python() {
    if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
    # A pyenv shim named python3.12 can exist and still refuse to run when
    # 3.12 is not the selected version, so each candidate is tried, not just
    # looked up.
    local candidate
    for candidate in "$(command -v python3.12 || true)" \
                     "$(pyenv prefix 3.12 2>/dev/null || true)/bin/python3.12" \
                     /root/.pyenv/versions/3.12*/bin/python3.12 \
                     /usr/local/bin/python3.12 /usr/bin/python3.12; do
        if [ -n "$candidate" ] && [ -x "$candidate" ] && "$candidate" -c 'import sys' >/dev/null 2>&1; then
            echo "$candidate"; return
        fi
    done
    echo "python3.12 not found; set PYTHON=/path/to/python3.12" >&2
    return 1
}

# make_venv DIR: a virtual environment for CPython 3.12 at DIR, reused when
# it already exists.
make_venv() {
    local dir=$1
    if [ ! -x "$dir/bin/python" ]; then
        "$(find_python)" -m venv "$dir"
    fi
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip >/dev/null 2>&1 || true
}
