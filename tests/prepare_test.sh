#!/bin/sh
# SPDX-License-Identifier: ISC
# need_packages (tools/prepare.sh) against a made-up machine: the real dpkg-query on a dpkg status
# of our own, the real apt-get simulating against it and a local repository, nothing else read.
# Packages that are installed (held too) or provided count as there; one that would need an
# installed package removed or upgraded makes it stop before anything happens.
#
#	prepare_test.sh SOURCE_DIR
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/admin/info" "$work/admin/updates" "$work/bin" "$work/repo" "$work/lists/partial" \
	"$work/cache/archives/partial"
# name|version|status|more fields: installed where there is a status, in the repository where not
stanzas() {
	for package in "$@"; do
		IFS='|' read -r name version status more <<-EOF
			$package
		EOF
		printf 'Package: %s\nVersion: %s\nArchitecture: all\nMaintainer: nobody\nDescription: test\n' "$name" "$version"
		[ -z "$more" ] || printf '%b\n' "$more"
		if [ -n "$status" ]; then
			printf 'Status: %s\n\n' "$status"
		else
			printf 'Filename: ./%s.deb\nSize: 1\n\n' "$name"
		fi
	done
}
stanzas "busybox|1|install ok installed|" "gnuplot-qt|1|install ok installed|Provides: gnuplot-nox" \
	"libfoo|1|install ok installed|" "tool|1|hold ok installed|" >"$work/admin/status"
stanzas "busybox-static|2||Conflicts: busybox\nReplaces: busybox" "libfoo|2||" "needs-libfoo|2||Depends: libfoo (>= 2)" \
	"pinned|1||" "pinned|2||" >"$work/repo/Packages"
echo "deb [trusted=yes] file:$work/repo ./" >"$work/sources.list"
cat >"$work/bin/apt-get" <<SCRIPT
#!/bin/sh
echo "\$*" >>"$work/calls"
case " \$* " in *" install "*) set -- --simulate "\$@" ;; esac
exec /usr/bin/apt-get -o Dir::State::status="$work/admin/status" -o Dir::Etc::SourceList="$work/sources.list" \\
	-o Dir::Etc::SourceParts=- -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" \\
	-o APT::Sandbox::User=root -o Debug::NoLocking=1 "\$@"
SCRIPT
chmod +x "$work/bin/apt-get"
export DPKG_ADMINDIR="$work/admin" PATH="$work/bin:$PATH"
# shellcheck source=/dev/null
. "$1/tools/prepare.sh"

failures=0
fail() {
	echo "FAIL $*"
	failures=$((failures + 1))
}

out=$(need_packages gnuplot-nox busybox=9 tool 2>&1) || fail "installed, provided and held packages: $out"
[ ! -e "$work/calls" ] || fail "apt-get called for packages that are there: $(cat "$work/calls")"
# A version asked for is the one installed, not the newest.
out=$(need_packages pinned=1 2>&1) || fail "pinned=1: $out"
case $out in *"Inst pinned (1 "*) ;; *) fail "pinned=1: not version 1: $out" ;; esac

# busybox-static conflicts with busybox; needs-libfoo would upgrade libfoo; libfoo 9 is not on offer.
for package in busybox-static needs-libfoo needs-libfoo=9; do
	: >"$work/calls"
	if out=$(need_packages "$package" 2>&1); then
		fail "$package: need_packages went on: $out"
	fi
	case $out in
	*"remove is disabled"* | *"would upgrade packages of this machine: libfoo (1 installed)"* | *"Version '9' for"*) ;;
	*) fail "$package: apt did not stop, or not for the reason: $out" ;;
	esac
	grep -q -- " -y" "$work/calls" && fail "$package: installed all the same: $(cat "$work/calls")"
done

[ "$failures" -eq 0 ] && echo "need_packages: installed, provided and held packages accepted; a version asked for installed; nothing removed or upgraded"
exit "$failures"
