# SPDX-License-Identifier: ISC
# Sourced by the build scripts beside it: how they stop, and a step whose output goes to a log.

# Says why, under the script's own name, and stops.
fail() {
    echo "${0##*/}: $*" >&2
    exit 1
}

# Runs a step with its output added to the file $log, shown (its end) only when it fails.
# shellcheck disable=SC2154 # log: set by the script that sources this one
logged() {
    "$@" >>"$log" 2>&1 || { tail -n 40 "$log" >&2; fail "$1 failed; the whole log is $log"; }
}
