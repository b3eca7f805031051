#!/bin/sh
# SPDX-License-Identifier: ISC
# The OpenWrt init script against stand-ins for what rc.common gives it
# (UCI's config_* and procd's procd_* shell functions), under BusyBox's sh
# as on OpenWrt: the procd instance each config gives, or none.
#
#	procd_init_test.sh INIT_SCRIPT SHIPPED_CONFIG
# shellcheck disable=SC2317 # the stand-ins are called by the sourced script
set -u
init=$1
shipped=$2
UCI_CONFIG_DIR=$(mktemp -d)
trap 'rm -rf "$UCI_CONFIG_DIR"' EXIT
failures=0
checked=0

unquote() {
	value=${1#[\'\"]}
	echo "${value%[\'\"]}"
}

# As OpenWrt's functions.sh: each option into CONFIG_<section>_<option>,
# an empty or missing one giving the default.
config_load() {
	section=""
	while read -r keyword name value; do
		case "$keyword" in
		config) section=$(unquote "${value:-anonymous}") ;;
		option) eval "CONFIG_${section}_${name}=\$(unquote \"\$value\")" ;;
		esac
	done <"$UCI_CONFIG_DIR/$1"
}

config_get() {
	eval "$1=\${CONFIG_$2_$3:-\${4:-}}"
}

config_get_bool() {
	config_get "$1" "$2" "$3" "${4:-}"
	eval "value=\$$1"
	case "$value" in
	1 | on | true | yes | enabled) value=1 ;;
	0 | off | false | no | disabled) value=0 ;;
	*) value=${4:-} ;;
	esac
	eval "$1=\$value"
}

# procd: each instance is printed as it is closed, every argument of its
# command in brackets, then the names of the parameters set.
procd_open_instance() {
	command_line=""
	params=""
}

procd_set_param() {
	params="$params $1"
	if [ "$1" = command ]; then
		command_line=""
		shift
		procd_append_param command "$@"
	fi
}

procd_append_param() {
	shift
	for argument; do
		command_line="${command_line}[$argument]"
	done
}

procd_close_instance() {
	echo "instance $command_line;$params"
}

procd_add_reload_trigger() {
	echo "reload trigger $*"
}

# check NAME CONFIG_TEXT EXPECTED: start_service and service_triggers with
# /etc/config/quelmar holding CONFIG_TEXT print EXPECTED.
check() {
	printf '%s' "$2" >"$UCI_CONFIG_DIR/quelmar"
	# shellcheck source=/dev/null
	got=$( (
		. "$init"
		start_service
		status=$?
		service_triggers
		echo "status $status"
	) 2>&1)
	checked=$((checked + 1))
	if [ "$got" != "$3" ]; then
		printf 'FAIL %s:\n%s\nexpected:\n%s\n' "$1" "$got" "$3"
		failures=$((failures + 1))
	fi
}

started="reload trigger quelmar
status 0"
refused="quelmar: options eth and nas must both be set in /etc/config/quelmar (section 'main'); not started
reload trigger quelmar
status 1"

check "the shipped config" "$(cat "$shipped")" \
	"instance [/usr/sbin/quelmar][-e][eth0][-n][nas0]; command respawn stdout stderr
$started"
for on in 1 yes on true enabled; do
	check "verbose '$on'" "config quelmar 'main'
	option eth 'lan1'
	option nas 'zv0'
	option verbose '$on'
" "instance [/usr/sbin/quelmar][-e][lan1][-n][zv0][-v]; command respawn stdout stderr
$started"
done
for off in 0 no off; do
	check "verbose '$off'" "config quelmar 'main'
	option eth 'lan1'
	option nas 'zv0'
	option verbose '$off'
" "instance [/usr/sbin/quelmar][-e][lan1][-n][zv0]; command respawn stdout stderr
$started"
done
check "no nas" "config quelmar 'main'
	option eth 'eth0'
" "$refused"
check "an empty eth" "config quelmar 'main'
	option eth ''
	option nas 'nas0'
" "$refused"
check "no section 'main'" "config quelmar 'other'
	option eth 'eth0'
	option nas 'nas0'
" "$refused"

[ "$failures" -eq 0 ] && echo "PASS procd init script: $checked configs"
exit "$failures"
