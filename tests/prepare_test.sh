#!/bin/sh
# SPDX-License-Identifier: ISC
# need_packages (tools/prepare.sh) against a made-up dpkg status, with the real dpkg-query and
# the real apt-get in simulation: a package that an installed one provides counts as there, and
# one that conflicts with an installed one makes apt stop rather than remove anything.
#
#	prepare_test.sh SOURCE_DIR
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/admin/info" "$work/admin/updates" "$work/bin"
# busybox as the plain package, gnuplot-qt in gnuplot-nox's place; neither needs anything.
for package in "busybox|" "gnuplot-qt|Provides: gnuplot, gnuplot-nox, gnuplot-x11"; do
	printf 'Package: %s\nStatus: install ok installed\nVersion: 1\nArchitecture: all\n%s\n\n' \
		"${package%%|*}" "${package#*|}" >>"$work/admin/status"
done
# apt-get as need_packages calls it, simulated against that status; update is left out.
cat >"$work/bin/apt-get" <<SCRIPT
#!/bin/sh
case " \$* " in *" update"*) exit 0 ;; esac
echo "\$*" >>"$work/calls"
exec /usr/bin/apt-get -s -o Dir::State::status="$work/admin/status" "\$@"
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

out=$(need_packages gnuplot-nox busybox 2>&1) || fail "provided packages: $out"
[ ! -e "$work/calls" ] || fail "apt-get called for packages that are there: $(cat "$work/calls")"

# busybox-static conflicts with busybox: with removals allowed, apt would take busybox away.
if out=$(need_packages busybox-static 2>&1); then
	fail "need_packages went on although busybox-static conflicts with busybox: $out"
fi
case $out in
*"remove is disabled"*) ;;
*) fail "apt did not stop for the conflict: $out" ;;
esac
case $out in
*"Remv "*) fail "apt would have removed: $out" ;;
esac
grep -q -- "--no-remove busybox-static\$" "$work/calls" || fail "apt-get call: $(cat "$work/calls")"

[ "$failures" -eq 0 ] && echo "need_packages: provided packages accepted, nothing removed"
exit "$failures"
