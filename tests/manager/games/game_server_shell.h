// The game-server tests' host: the system user cstrike with its installation, the manager's
// commands as shell helpers, run in the sandbox of the test binary against the test database.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_db.h"

namespace zentra_test {

// Shell helpers: $M the manager, $cs the installation of the system user cstrike, `start`
// the options every start needs, `appears` and `job_ended` waiting (up to a minute) for a
// file and for a game id's job, `stop` kill-game and the job's end, `unmetered` a command
// whose jobs run without the kernel meter, `sql` root's client, `logged` the jobs' lines in
// the sandbox's system log.
inline const std::string kGameServerShell = R"sh(
M=$ZENTRA_MNG cs=/home/cstrike/cs
# Root too is refused once a job's attempt takes the one connection kept for it: it tries again.
sql() {
  while ! out=$(mariadb --no-defaults -uroot -S "$ZENTRA_TEST_DB_SOCKET" -N -B vexa -e "$1" 2>&1); do
    case $out in *"Too many connections"*) sleep 0.05 ;; *) printf '%s\n' "$out" >&2; return 1 ;; esac
  done
  [ -z "$out" ] || printf '%s\n' "$out"
}
start() { $M --start-game --cs-dir=$cs --sys-user=cstrike --game=cstrike --port=27015 --maxplayers=16 --sv-lan=0 --secure=1 "$@"; }
appears() { i=0; until [ -e "$1" ]; do i=$((i+1)); [ $i -le 1200 ] || return 1; sleep 0.05; done; }
job_ended() {
  i=0
  while pgrep -f "^$M --start-game .*--game-id=$1( |\$)" >/dev/null; do i=$((i+1)); [ $i -le 1200 ] || return 1; sleep 0.05; done
}
stop() { $M --kill-game --cs-dir=$cs --game-id=$1 --port=27015 && job_ended $1; }
# Records written straight into a FIFO are the library's figure alone, which a job's kernel
# meter replaces with what its server moved: the jobs that `unmetered CMD...` starts count
# without it.
unmetered() {
  echo 'ZENTRA_TRAFFIC_METER off' >>/etc/vexa/vexa.conf
  "$@" && status=0 || status=$?
  sed -i '/^ZENTRA_TRAFFIC_METER /d' /etc/vexa/vexa.conf
  return $status
}
# Signalled means ended, or with SIGTERM (bit 0x4000) still pending: kill-game has returned.
state() {
  st=/proc/$1/status
  if [ ! -r $st ] || grep -q '^State:\s*Z' $st; then printf 'gone '; return; fi
  for mask in $(sed -n 's/^\(SigPnd\|ShdPnd\):\s*//p' $st); do
    [ $((0x$mask & 0x4000)) -eq 0 ] || { printf 'gone '; return; }
  done
  printf 'alive '
}
thread_of() { sql "SELECT id FROM information_schema.processlist WHERE info LIKE '$1'"; }
# A TCP relay to the database on a free port, its pid in $relay: connections through it can be held.
free_port() { p=$((ZENTRA_TEST_DB_PORT + 1)); while ss -Htln "sport = :$p" | grep -q .; do p=$((p + 1)); done; echo $p; }
relay() { socat TCP-LISTEN:$1,bind=127.0.0.1,fork,reuseaddr TCP:127.0.0.1:$ZENTRA_TEST_DB_PORT >/dev/null 2>&1 & relay=$!; }
# Lines reach the log file in the order sent: once a marker sent now is there, so is every line before it.
logged() {
  mark=mark-$(od -An -N8 -tx8 /dev/urandom | tr -d ' ') && logger -t sync $mark
  until grep -q $mark "$ZENTRA_SANDBOX_SYSLOG"; do sleep 0.02; done
  sed -n 's/^<[0-9]*>.\{15\} zentra_mng\[[0-9]*\]: //p' "$ZENTRA_SANDBOX_SYSLOG" | grep -F "$1"
}
)sh";

// Runs `script` after those helpers, with `env` added to the environment.
inline RunResult sh(const std::string& script, const std::vector<std::string>& env = {}) {
  return run_program({"/bin/sh", "-ec", kGameServerShell + script}, "", env);
}

// Makes the system user cstrike (also in group "extra", 3001) and its installation $cs, whose
// hlds_run is a copy of `stand_in`; once per test binary, whose sandbox keeps them.
inline void set_up_game_host(const std::string& stand_in) {
  reset_panel_inputs();
  point_at();
  const RunResult r = sh(R"sh(
$M --create-system-user
groupadd -g 3001 extra && usermod -aG extra cstrike
$M --set-cs-dir --cs-dir=$cs --sys-user=cstrike
mkdir -p $cs/cstrike && cp "$STAND_IN" $cs/hlds_run && chown -R cstrike $cs
)sh", {"STAND_IN=" + stand_in});
  ASSERT_EQ(r.out, "cstrike\n") << r.err;
}

}  // namespace zentra_test
