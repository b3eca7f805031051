#!/bin/sh
# SPDX-License-Identifier: ISC
# Fetches the source package of PACKAGE from Debian's archive into DIR, with
# `apt-get source`, without changing the machine's apt configuration.
#
#   debian_source.sh PACKAGE DIR     e.g. debian_source.sh musl build/mips-musl/musl.work/src
#
# apt-get source needs deb-src entries, which a machine seldom has. They are
# made in a scratch directory (DIR/.apt) from the machine's own entries for
# Debian's archive alone (the Origin of their Release file is Debian): a
# third-party repository's would be fetched for nothing, and could fail on a
# signature. Each entry is copied whole, Signed-By and all, with its type
# turned into deb-src; lists and package cache stay in the scratch directory.
set -eu
# shellcheck source=/dev/null # tools/steps.sh, linted on its own
. "$(dirname "$0")/steps.sh"
package=$1
# Absolute: apt takes a relative Dir::State::Lists as under /var/lib/apt.
dir=$(mkdir -p "$2" && cd "$2" && pwd)
scratch=$dir/.apt

mkdir -p "$scratch/lists/partial" "$scratch/cache/archives/partial" "$scratch/parts"
: >"$scratch/parts/debian.sources"
: >"$scratch/debian.list"
# Where each of Debian's binary entries stands: FILE:N, the Nth stanza of a
# deb822 .sources file or the Nth line of a one-line .list file. The Origin
# comes from each entry's Release file: where the machine's lists have none
# (an image that cleaned them), the machine's entries are fetched into the
# scratch lists first; one that cannot be fetched is left out.
debian_entries() {
    # shellcheck disable=SC2016 # apt's own fields, not the shell's
    apt-get "$@" indextargets --format '$(ORIGIN) $(TARGET_OF) $(SOURCESENTRY)' 'Created-By: Packages' |
        sed -n 's/^Debian deb //p' | sort -u
}
entries=$(debian_entries)
if [ -z "$entries" ]; then
    set -- -o Dir::State::Lists="$scratch/lists" -o APT::Sandbox::User=root
    apt-get -q "$@" update >"$scratch/update.log" 2>&1 || true
    entries=$(debian_entries "$@")
fi
[ -n "$entries" ] || { cat "$scratch/update.log" >&2; fail "no entry of Debian's archive could be fetched"; }
rm -rf "$scratch/lists"
mkdir -p "$scratch/lists/partial"
for entry in $entries; do
    file=${entry%:*}
    number=${entry##*:}
    case $file in
    *.sources)
        # Stanzas are separated by blank lines; comment lines belong to none.
        awk -v want="$number" '
            /^#/ { next }
            /^[ \t]*$/ { if (inside) { inside = 0; stanza++ } ; next }
            { inside = 1 }
            stanza + 1 == want {
                if ($1 == "Types:") { print "Types: deb-src" } else { print }
            }
            END { print "" }' "$file" >>"$scratch/parts/debian.sources"
        ;;
    *)
        sed -n "${number}s/^[ \t]*deb[ \t]/deb-src /p" "$file" >>"$scratch/debian.list"
        ;;
    esac
done

set -- apt-get -q -o Dir::Etc::SourceList="$scratch/debian.list" -o Dir::Etc::SourceParts="$scratch/parts" \
    -o Dir::State::Lists="$scratch/lists" -o Dir::Cache="$scratch/cache" -o APT::Sandbox::User=root
"$@" update >"$scratch/update.log" 2>&1 || { cat "$scratch/update.log" >&2; fail "apt-get update of the deb-src entries failed"; }
cd "$dir"
"$@" source "$package" >"$scratch/source.log" 2>&1 || { cat "$scratch/source.log" >&2; fail "apt-get source $package failed"; }
rm -rf "$scratch"
