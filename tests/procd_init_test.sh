#!/bin/sh
# SPDX-License-Identifier: ISC
# The OpenWrt init script against stand-ins for what rc.common gives it
# (UCI's config_* and procd's procd_* shell functions), under BusyBox's sh
# as on OpenWrt: the procd instance and trigger each config gives.
#
#	procd_init_test.sh INIT_SCRIPT SHIPPED_CONFIG
#
# run_init prints, in order: what the script says on stdout and stderr; each
# instance as "instance" and its parameters, each with its values in
# brackets (a jail as "jail" and its name); each trigger. Whether ujail is
# there is the test's choice ($ujail), not the host's. A file named by
# PROCD_INIT_RUNNER, sourced after the stand-ins, may define run_init anew
# (to run the real rc.common and procd.sh and print what procd was sent in
# the same form).
# shellcheck disable=SC2317 # the stand-ins are called by the sourced script
set -u
init=$1
shipped=$2
UCI_CONFIG_DIR=$(mktemp -d)
trap 'rm -rf "$UCI_CONFIG_DIR"' EXIT
ujail=$UCI_CONFIG_DIR/no-ujail
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

logger() {
	echo "logger $*"
}

procd_open_instance() {
	command=""
	params=""
}

bracketed() {
	for value; do
		printf '[%s]' "$value"
	done
}

# The command comes first, as the script sets it first; only it is ever
# appended to.
procd_set_param() {
	name=$1
	shift
	if [ "$name" = command ]; then
		command=" command$(bracketed "$@")"
	else
		params="$params $name$(bracketed "$@")"
	fi
}

procd_add_jail() {
	params="$params jail$(bracketed "$@")"
}

procd_append_param() {
	shift
	command="$command$(bracketed "$@")"
}

procd_close_instance() {
	echo "instance$command$params"
}

procd_add_reload_trigger() {
	echo "trigger config.change $1 reload"
}

run_init() {
	# shellcheck source=/dev/null
	(
		. "$init"
		# shellcheck disable=SC2034 # read by the sourced script
		UJAIL=$ujail
		start_service
		service_triggers
	) 2>&1
}

if [ -n "${PROCD_INIT_RUNNER:-}" ]; then
	# shellcheck source=/dev/null
	. "$PROCD_INIT_RUNNER"
fi

# check NAME CONFIG_TEXT EXPECTED: with /etc/config/quelmar holding
# CONFIG_TEXT, run_init prints EXPECTED.
check() {
	printf '%s' "$2" >"$UCI_CONFIG_DIR/quelmar"
	got=$(run_init)
	checked=$((checked + 1))
	if [ "$got" != "$3" ]; then
		printf 'FAIL %s:\n%s\nexpected:\n%s\n' "$1" "$got" "$3"
		failures=$((failures + 1))
	fi
}

trigger="trigger config.change quelmar reload"
always=" respawn[3600][5][0] stdout[1] stderr[1]"
why="options eth and nas must both be set in /etc/config/quelmar (section 'main'); not started"
refused="quelmar: $why
logger -t quelmar -p daemon.err $why
instance error[$why]
$trigger"

check "the shipped config" "$(cat "$shipped")" \
	"instance command[/usr/sbin/quelmar][-e][eth0][-n][nas0]$always
$trigger"
# With ujail: as the package's user, with the capabilities it installs.
ujail=$UCI_CONFIG_DIR/ujail
touch "$ujail"
chmod +x "$ujail"
check "the shipped config, ujail there" "$(cat "$shipped")" \
	"instance command[/usr/sbin/quelmar][-e][eth0][-n][nas0]$always jail[quelmar]\
 capabilities[/etc/capabilities/quelmar.json] user[quelmar] group[quelmar] no_new_privs[1]
$trigger"
ujail=$UCI_CONFIG_DIR/no-ujail
for on in 1 yes on true enabled; do
	check "verbose '$on'" "config quelmar 'main'
	option eth 'lan1'
	option nas 'zv0'
	option verbose '$on'
" "instance command[/usr/sbin/quelmar][-e][lan1][-n][zv0][-v]$always
$trigger"
done
for off in 0 no off; do
	check "verbose '$off'" "config quelmar 'main'
	option eth 'lan1'
	option nas 'zv0'
	option verbose '$off'
" "instance command[/usr/sbin/quelmar][-e][lan1][-n][zv0]$always
$trigger"
done
check "nice '-10'" "config quelmar 'main'
	option eth 'lan1'
	option nas 'zv0'
	option nice '-10'
" "instance command[/usr/sbin/quelmar][-e][lan1][-n][zv0] respawn[3600][5][0] nice[-10] stdout[1] stderr[1]
$trigger"
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
