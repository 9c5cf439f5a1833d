#!/usr/bin/env bash
# `westnet-gateway user|token ...` for real, on a scratch users file: users
# added (password from a file and from standard input), listed without their
# hashes, their passwords changed and removed; tokens printed once and then
# accepted by the daemon's loader (users_check); each refusal with its
# message and exit status, the file left as it was; the file always mode
# 0600, its folder made when missing.
#
#   gateway_users.sh WESTNET_GATEWAY USERS_CHECK
set -u

GATEWAY=$(realpath "$1")
CHECK=$(realpath "$2")

source "$(dirname "${BASH_SOURCE[0]}")/../lib/scratch.sh" gateway-users
source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"

USERS="$WORK/etc/westnet/users"
OUT="$WORK/out"
ERR="$WORK/err"

# gw ARGS...: the gateway on the scratch file; its status in $status.
gw() {
    "$GATEWAY" --users "$USERS" "$@" >"$OUT" 2>"$ERR" </dev/null
    status=$?
}
status_is() { equals "$status" "$1" || cat "$ERR"; }
mode_of() { stat -c %a "$USERS"; }
accepts_password() { equals "$("$CHECK" "$USERS" password "$1" "$2")" "$1 $3"; }
refuses_password() { "$CHECK" "$USERS" password "$1" "$2" >/dev/null; [ $? -eq 1 ]; }
unchanged() { cmp -s "$USERS" "$WORK/before"; }

printf 'first password\n' >"$WORK/pw1"
printf 'second pass\r\n' >"$WORK/pw2"
printf 'short\n' >"$WORK/short"
printf '\n' >"$WORK/empty"
printf 'éèêëàâäô\n' >"$WORK/eight-letters"

# A fresh install: no folder, no file.
gw user add alice --role operator --password-file "$WORK/pw1"
check "user add: exit 0" status_is 0
check "user add: the folder and the file are made" test -f "$USERS"
check "user add: mode 0600" equals "$(mode_of)" 600
check "user add: the daemon accepts her password" accepts_password alice 'first password' operator
check "user add: a wrong password is refused" refuses_password alice 'first passwordx'
check "user add: says where and how to reload" contains "$ERR" "alice (operator) added in $USERS"

gw user list
check "user list: exit 0" status_is 0
check "user list: name and role" equals "$(cat "$OUT")" "alice  operator"
check "user list: never a hash" lacks "$OUT" 'argon2'

# From standard input when it is not a terminal; --users after the command.
printf 'bob password\n' | "$GATEWAY" user add bob --role viewer --users "$USERS" >"$OUT" 2>"$ERR"
status=$?
check "user add from stdin: exit 0" status_is 0
check "user add from stdin: accepted" accepts_password bob 'bob password' viewer
# Eight characters, sixteen bytes.
gw user add carol --role admin --password-file "$WORK/eight-letters"
check "user add: eight UTF-8 letters are enough" status_is 0

cp "$USERS" "$WORK/before"
gw user add alice --role viewer --password-file "$WORK/pw1"
check "duplicate name: exit 1" status_is 1
check "duplicate name: said" contains "$ERR" "the name 'alice' is taken already"
gw user add dave --role root --password-file "$WORK/pw1"
check "bad role: exit 2" status_is 2
check "bad role: said" contains "$ERR" "unknown role 'root': viewer, operator or admin"
gw user add 'dave smith' --role viewer --password-file "$WORK/pw1"
check "bad name: exit 2" status_is 2
gw user add dave --role viewer --password-file "$WORK/short"
check "short password: exit 1" status_is 1
check "short password: said" contains "$ERR" "at least 8 characters"
gw user add dave --role viewer --password-file "$WORK/empty"
check "empty password: exit 1" status_is 1
check "empty password: said" contains "$ERR" "empty password"
gw user add dave --role viewer
check "no password on stdin: exit 1" status_is 1
gw user add dave --role viewer --password-file "$WORK/none"
check "missing password file: exit 1" status_is 1
gw user passwd erin --password-file "$WORK/pw1"
check "passwd of an unknown user: exit 1" status_is 1
check "passwd of an unknown user: said" contains "$ERR" "no user named 'erin'"
gw user del erin
check "del of an unknown user: exit 1" status_is 1
gw user
check "user without what to do: exit 2" status_is 2
gw user frob
check "user frob: exit 2" status_is 2
gw user add
check "user add without a name: exit 2" status_is 2
gw token add ci
check "token add without a role: exit 2" status_is 2
check "refusals leave the file as it was" unchanged

gw user passwd alice --password-file "$WORK/pw2"
check "passwd: exit 0" status_is 0
check "passwd: the new password is accepted" accepts_password alice 'second pass' operator
check "passwd: the old one is refused" refuses_password alice 'first password'
check "passwd: the others are kept" accepts_password bob 'bob password' viewer

gw token add ci --role admin
check "token add: exit 0" status_is 0
check "token add: the token alone on stdout" \
    grep -qxE 'wn_[A-Za-z0-9_-]{43}' "$OUT"
check "token add: one line" equals "$(wc -l <"$OUT")" 1
TOKEN=$(cat "$OUT")
check "token add: the daemon accepts it" equals "$("$CHECK" "$USERS" token "$TOKEN")" "ci admin token"
check "token add: not stored in clear" lacks "$USERS" "$TOKEN"
gw user list
check "user list: no tokens" lacks "$OUT" "ci"
gw token list
check "token list: name and role" equals "$(cat "$OUT")" "ci  admin"
gw token add alice --role viewer
check "token add: a user's name is taken" status_is 1

# A file others can read is warned of, and rewritten 0600.
chmod 644 "$USERS"
gw user list
check "list: warns of a readable file" contains "$ERR" "chmod 600 $USERS"
gw token del ci
check "token del: exit 0" status_is 0
check "token del: mode 0600 again" equals "$(mode_of)" 600
"$CHECK" "$USERS" token "$TOKEN" >/dev/null
check "token del: the token is refused" equals "$?" 1

gw user del alice
check "user del: exit 0" status_is 0
check "user del: she is refused" refuses_password alice 'second pass'
gw user list
check "user del: the rest listed" equals "$(cat "$OUT")" "$(printf 'bob    viewer\ncarol  admin')"
check "no temporary file left" equals "$(ls -A "$(dirname "$USERS")")" users

# A file with a mistake is never rewritten over.
echo "user mallory superuser x" >>"$USERS"
cp "$USERS" "$WORK/before"
gw user add dave --role viewer --password-file "$WORK/pw1"
check "a bad file: exit 1" status_is 1
check "a bad file: FILE:LINE" contains "$ERR" "$USERS:6: unknown role 'superuser'"
check "a bad file: left as it was" unchanged

"$GATEWAY" --help >"$OUT" 2>"$ERR"; status=$?
check "--help: exit 0" status_is 0
check "--help: the user commands" contains "$OUT" "user add NAME --role ROLE"
"$GATEWAY" --users "$USERS" >/dev/null 2>&1
check "the daemon without a plant: still a usage error" equals "$?" 2

summary
