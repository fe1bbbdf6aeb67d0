// The update commands end to end: the manager, the launcher and the statistics library as
// installed, the stand-in updater and a private panel database, all inside the sandbox.
#include <gtest/gtest.h>

#include "tests/support/sandbox.h"

namespace {

// Shell lines run first. $M is the manager, $cs the installation, $u the system user as
// create-system-user makes it, with the stand-in updater in its home $home.
//   plan GAME WORDS   what the stand-in updater does for GAME (tests/stand-ins/steam_updater.c)
//   rows              the update rows in the database, "param<TAB>val" sorted by param
//   await FILE        waits until FILE exists
//   job_done          waits until the update lock and FIFO are gone, 30 seconds at most
//   gone              says so when the update lock and FIFO are gone
//   logged            the manager's lines in the sandbox's system log so far
const std::string kUpdateHost = R"(
M=$ZENTRA_MNG cs=/home/cs
ZENTRA_TEST_DB_TMP=/tmp "$SOURCE_DIR/scripts/test-db" start /tmp/db >/dev/null
. /tmp/db/env
mkdir -p /etc/vexa && echo "$ZENTRA_TEST_DB_PASSWORD" > /etc/vexa/.vexa.shadow
export VEXA_DB_HOST=127.0.0.1 VEXA_DB_PORT=$ZENTRA_TEST_DB_PORT
u=$($M --create-system-user) home=/home/$u
cp "$STAND_IN" $home/steam
mkdir $cs && chown $u $cs
sql() { mariadb --no-defaults -uroot -S "$ZENTRA_TEST_DB_SOCKET" -N -B vexa -e "$1"; }
rows() { sql "SELECT param, val FROM module_zentra_parameters ORDER BY param"; }
plan() { printf '%s\t%s\n' "$1" "$2" >> $home/steam.plan; }
await() { while [ ! -e "$1" ]; do sleep 0.05; done; }
# Runs a command as account $1.
as() { who=$1; shift; setpriv --reuid=$who --regid=$(id -g $who) --init-groups "$@"; }
job_done() {
  for _ in $(seq 600); do [ -e /tmp/.cs_update ] || [ -e /tmp/.cs_ustatistics.pipe ] || return 0; sleep 0.05; done
}
gone() { [ -e /tmp/.cs_update ] || [ -e /tmp/.cs_ustatistics.pipe ] || echo "lock and FIFO gone"; }
logged() {
  mark=mark-$(od -An -N8 -tx8 /dev/urandom | tr -d ' ') && logger -t sync $mark
  until grep -q $mark "$ZENTRA_SANDBOX_SYSLOG"; do sleep 0.02; done
  sed -n 's/^<[0-9]*>.\{15\} zentra_mng\[[0-9]*\]: //p' "$ZENTRA_SANDBOX_SYSLOG"
}
)";

zentra_test::RunResult on_update_host(const std::string& script) {
  return zentra_test::sandbox_run(kUpdateHost + script,
                                  {"SOURCE_DIR=" + zentra_test::source_dir(), "STAND_IN=" STEAM_STAND_IN});
}

TEST(UpdateGames, RowsLogsAndResultsOfEachGame) {
  const auto r = on_update_host(R"(
mkdir $home/log && echo old > $home/log/update_gone.log && echo 1 > $home/log/update_gone.res
chown -R $u $home/log
plan 'Counter-Strike Source' 'bytes=300000 records=4'
plan cstrike 'bytes=123457 chunk=1000 records=2 status=3'
$M --update-games --cs-dir=$cs --sys-user=$u --games='cssource
  cstrike' --username=a --no-daemon=1 2>/dev/null
rows && ls $home/log && readlink $cs/cssource/hlds_run
cat $home/log/update_cssource.res $home/log/update_cstrike.res && echo
$M --game-update-log --game=cssource --sys-user=$u | sed 's/ in .* s$//'
$M --game-update-log --game=czero --sys-user=$u && gone
echo ---
plan "it's" 'bytes=1000 records=1'
$M --update-games --cs-dir=$cs --sys-user=$u --games="it's" --username=a --password='p q' --no-daemon=1 2>/dev/null
rows | grep "it's" && ls $home/log && head -n 1 "$home/log/update_it's.log"
grep -c "mod::it\\\\'s\.update\." "$ZENTRA_TEST_DB_LOG" && ! grep "mod::it's" "$ZENTRA_TEST_DB_LOG"
echo ---
mkdir -m 700 /etc/only && echo "root's own" > /etc/only/update_x.log && rm -r $home/log && ln -s /etc/only $home/log
$M --game-update-log --game=x --sys-user=$u 2>/dev/null && echo "nothing shown"
)");
  EXPECT_EQ(r.out,
            "mod::cssource.update.files\t4\nmod::cssource.update.state\tcompleted\n"
            "mod::cssource.update.traffic\t300000\nmod::cstrike.update.files\t2\n"
            "mod::cstrike.update.state\terror\nmod::cstrike.update.traffic\t123457\n"
            "update_cssource.log\nupdate_cssource.res\nupdate_cstrike.log\nupdate_cstrike.res\n./srcds_run\n03\n"
            "steam stand-in: <-command> <update> <-game> <Counter-Strike Source> <-dir> </home/cs/cssource>\n"
            "downloaded 300000 bytes\nqueried 4 install records\nlock and FIFO gone\n---\n"
            "mod::it's.update.files\t1\nmod::it's.update.state\tcompleted\nmod::it's.update.traffic\t1000\n"
            "update_it's.log\nupdate_it's.res\n"
            "steam stand-in: <-command> <update> <-game> <it's> <-dir> </home/cs> <-username> <a> <-password> <p q>\n"
            "7\n---\nnothing shown\n")
      << r.err;
}

TEST(UpdateGames, LockIsTakenOnceAndHeldByTheJobToItsEnd) {
  const auto r = on_update_host(R"(
# update USER GAMES [OPTION]
update() { $M --update-games --cs-dir=$cs --sys-user="$1" --games="$2" ${3:+"$3"} || echo "status $?"; }
# A live job's lock: a process holds its flock.
( exec 9>/tmp/.cs_update && flock 9 && echo "another job" >&9 && touch /tmp/held && exec sleep 600 ) &
await /tmp/held && update $u cstrike && update $u cstrike --no-daemon=1 && update nobody-here cstrike
cat /tmp/.cs_update && kill $! && rm /tmp/.cs_update
update nobody-here cstrike && update $u 'cstrike ../x' && gone
echo ---
plan cstrike 'wait=/tmp/go'
for i in 1 2 3; do update $u cstrike > /tmp/out$i & done
wait && cat /tmp/out1 /tmp/out2 /tmp/out3 | sort | uniq -c | sed 's/^ *//'
await /tmp/go.started && update $u czero
stat -c '%U %a %s' /tmp/.cs_update
grep -Eq '^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}$' /tmp/.cs_update && echo "a start time"
touch /tmp/go && job_done && rows | grep state && gone
)");
  EXPECT_EQ(r.out,
            "Update is started already.\nstatus 1\nUpdate is started already.\nstatus 1\n"
            "Update is started already.\nstatus 1\nanother job\n"
            "Can not found systrm usser\nstatus 1\nUnsafe value of option '--games'\nstatus 1\n"
            "lock and FIFO gone\n---\n"
            "2 Update is started already.\n2 status 1\n"
            "Update is started already.\nstatus 1\ncstrike 644 25\na start time\n"
            "mod::cstrike.update.state\tcompleted\nlock and FIFO gone\n")
      << r.err;
}

TEST(UpdateGames, KillUpdatesEndsTheCurrentGameAndTheJobAtTheNext) {
  const auto r = on_update_host(R"(
plan cstrike 'records=2 wait=/tmp/go'
$M --update-games --cs-dir=$cs --sys-user=$u --games='cstrike czero' --no-daemon=1 >/tmp/out 2>/dev/null &
job=$!
await /tmp/go.started && $M --kill-updates 2>/dev/null && echo killed
wait $job || echo "status $?"
cat /tmp/out && rows && cat $home/log/update_cstrike.res && echo && ls $home/log && gone && logged
)");
  EXPECT_EQ(r.out,
            "killed\nstatus 1\nUpdate process was broken.\n"
            "mod::cstrike.update.files\t2\nmod::cstrike.update.state\terror\nmod::cstrike.update.traffic\t0\n"
            "mod::czero.update.files\t0\nmod::czero.update.state\twait\nmod::czero.update.traffic\t0\n"
            "-1\nupdate_cstrike.log\nupdate_cstrike.res\nlock and FIFO gone\n"
            "update-games started\nupdate of cstrike ended with result -1\n"
            "update-games failed: Update process was broken.\n")
      << r.err;
}

// Only a live job refuses: what a job killed outright, or another account, left at the two
// names never stops the next update, and kill-updates ends what is left of a job.
TEST(UpdateGames, WhatADeadJobOrAnotherAccountLeftNeverStopsTheNextUpdate) {
  const auto r = on_update_host(R"sh(
update() { $M --update-games --cs-dir=$cs --sys-user=$u --games="$1" ${2:+"$2"} >/dev/null 2>&1 || echo "refused"; }
kill_job() { pkill -9 -f "^$M --update-games" && while [ -n "$(pgrep -f "^$M --update-games")" ]; do sleep 0.05; done; }
running() { for pid in "$@"; do kill -0 $pid 2>/dev/null && printf 'alive ' || printf 'gone '; done; echo; }
ended() { for _ in $(seq 100); do pgrep -x "$1" >/dev/null || break; sleep 0.05; done; pgrep -x "$1" >/dev/null || echo "$1 ended"; }
# Copied first: a program still being written can not be run (ETXTBSY).
cp /bin/sleep /tmp/steam
as nobody /tmp/steam 600 & other=$!
as $u /tmp/steam 600 & own=$!
until [ "$(pgrep -xc steam)" = 2 ]; do sleep 0.05; done
$M --kill-updates && running $own $other
# The updater ends, leaving a child on the FIFO; the job is killed outright.
plan cstrike 'records=1 child=/tmp/go'
update 'cstrike czero' && await /tmp/go.started && kill_job && ls -A /tmp | grep cs_u
$M --kill-updates && gone && ended updater-child && running $own $other
rm $home/steam.plan && update czero --no-daemon=1 && rows | grep state && gone
echo ---
plan czero 'wait=/tmp/go2'
update czero && await /tmp/go2.started && kill_job
update cstrike --no-daemon=1 && rows | grep state && gone && touch /tmp/go2
echo ---
as nobody sh -c 'exec 9>/tmp/.cs_update && flock 9 && touch /tmp/held && exec sleep 600' & stranger=$!
await /tmp/held && as nobody mkfifo /tmp/.cs_ustatistics.pipe
update cstrike --no-daemon=1 && rows | grep state && gone
as nobody ln -s /etc/planted /tmp/.cs_update && update cstrike --no-daemon=1 && gone
ls /etc/planted 2>/dev/null || echo "no file made"
kill $other $stranger
)sh");
  EXPECT_EQ(r.out,
            "alive alive \n.cs_update\n.cs_ustatistics.pipe\nlock and FIFO gone\nupdater-child ended\ngone alive \n"
            "mod::cstrike.update.state\tupdating\nmod::czero.update.state\tcompleted\nlock and FIFO gone\n---\n"
            "mod::cstrike.update.state\tcompleted\nmod::czero.update.state\tupdating\nlock and FIFO gone\n---\n"
            "mod::cstrike.update.state\tcompleted\nmod::czero.update.state\tupdating\nlock and FIFO gone\n"
            "lock and FIFO gone\nno file made\n")
      << r.err;
}

// Only the account that root handed the lock to is the job's: a lock that another account
// planted gets none of its processes killed, before any update or after one.
TEST(UpdateGames, KillUpdatesSignalsNoAccountThatRootGaveNoLock) {
  const auto r = on_update_host(R"sh(
cp /bin/sleep /tmp/steam && as nobody /tmp/steam 600 & other=$!
until pgrep -x steam >/dev/null; do sleep 0.05; done
plant() { as nobody sh -c 'echo planted >/tmp/.cs_update'; }
plant && $M --kill-updates && gone && kill -0 $other && echo "still there"
$M --update-games --cs-dir=$cs --sys-user=$u --games=' ' --no-daemon=1 && gone
plant && $M --kill-updates && gone && kill -0 $other && echo "still there"
kill $other
)sh");
  EXPECT_EQ(r.out, "lock and FIFO gone\nstill there\nlock and FIFO gone\nlock and FIFO gone\nstill there\n") << r.err;
}

// A directory is no lock: another account's, full or not, goes (as that account) like its file.
TEST(UpdateGames, AnotherAccountsDirectoryAtEitherNameNeverStopsTheUpdate) {
  const auto r = on_update_host(R"sh(
plant() { as nobody mkdir "$1" && as nobody touch "$1/x" && as nobody ln -s /etc/vexa "$1/root's"; }
plant /tmp/.cs_update && plant /tmp/.cs_ustatistics.pipe
$M --update-games --cs-dir=$cs --sys-user=$u --games=cstrike --no-daemon=1 && rows | grep state && gone
plant /tmp/.cs_update && plant /tmp/.cs_ustatistics.pipe
$M --kill-updates && gone && ls /etc/vexa/vexa.conf
)sh");
  EXPECT_EQ(r.out,
            "mod::cstrike.update.state\tcompleted\nlock and FIFO gone\nlock and FIFO gone\n/etc/vexa/vexa.conf\n")
      << r.err;
}

// A child that the updater leaves on the FIFO holds the job only while the lock is there.
TEST(UpdateGames, TheJobStopsFollowingOnceItsLauncherHasEndedAndTheLockIsGone) {
  const auto r = on_update_host(R"sh(
plan cstrike 'bytes=5000 child=/tmp/go'
$M --update-games --cs-dir=$cs --sys-user=$u --games=cstrike --no-daemon=1 >/dev/null 2>&1 &
job=$!
await /tmp/go.started && rm /tmp/.cs_update
for _ in $(seq 300); do kill -0 $job 2>/dev/null || break; sleep 0.05; done
kill -0 $job 2>/dev/null && echo "still following" || echo "job ended"
pgrep -x updater-child >/dev/null && echo "child still there"
touch /tmp/go && wait $job; rows && gone && logged | grep "no longer read"
)sh");
  EXPECT_EQ(r.out,
            "job ended\nchild still there\nmod::cstrike.update.files\t0\nmod::cstrike.update.state\tcompleted\n"
            "mod::cstrike.update.traffic\t5000\nlock and FIFO gone\n"
            "update of cstrike: the lock is gone, the FIFO no longer read\n")
      << r.err;
}

TEST(UpdateGames, EmptyListAndUpdaterThatNeverStarts) {
  const auto r = on_update_host(R"(
mkdir $home/log && touch $home/log/update_x.log && chown -R $u $home/log
$M --update-games --cs-dir=$cs --sys-user=$u --games=' ' --no-daemon=1 2>/dev/null && ls -A $home/log && rows && gone
echo ---
rm $home/steam
$M --update-games --cs-dir=$cs --sys-user=$u --games='cstrike czero' --no-daemon=1 2>/dev/null
rows | grep state && cat $home/log/update_cstrike.res $home/log/update_czero.res && echo && gone
)");
  EXPECT_EQ(r.out,
            "lock and FIFO gone\n---\n"
            "mod::cstrike.update.state\terror\nmod::czero.update.state\terror\n127127\nlock and FIFO gone\n")
      << r.err;
}

TEST(UpdateGames, DatabaseAwayForAWhileLosesNothingAndForGoodEndsTheJobClean) {
  const auto r = on_update_host(R"(
down() { sql SHUTDOWN && while [ -e "$ZENTRA_TEST_DB_SOCKET" ]; do sleep 0.05; done; }
update() { $M --update-games --cs-dir=$cs --sys-user=$u --games="$1" --no-daemon=1 >/tmp/out 2>/dev/null; }
plan cstrike 'bytes=200000 records=3 wait=/tmp/go'
plan czero 'bytes=1000 records=1 wait=/tmp/go2'
update 'cstrike czero' &
job=$!
await /tmp/go.started && down && touch /tmp/go
await /tmp/go2.started && "$SOURCE_DIR/scripts/test-db" restart /tmp/db >/dev/null && touch /tmp/go2
wait $job && echo "status 0" && rows
echo ---
printf 'cstrike\twait=/tmp/go3\n' > $home/steam.plan
update cstrike &
job=$!
await /tmp/go3.started && down && touch /tmp/go3
wait $job || echo "status $?"
tail -n 1 /tmp/out && gone && logged
)");
  EXPECT_EQ(r.out,
            "status 0\n"
            "mod::cstrike.update.files\t3\nmod::cstrike.update.state\tcompleted\nmod::cstrike.update.traffic\t200000\n"
            "mod::czero.update.files\t1\nmod::czero.update.state\tcompleted\nmod::czero.update.traffic\t1000\n---\n"
            "status 1\nError\nlock and FIFO gone\n"
            "update-games started\nupdate state kept for a later write: connection failed\n"
            "update state written again\nupdate-games ended with result 0\n"
            "update-games started\nupdate state kept for a later write: connection failed\n"
            "update-games failed: connection failed\n")
      << r.err;
}

// A statement whose reply was lost may have been applied: it goes again only when the row
// read back shows that it was not.
TEST(UpdateGames, AStateWhoseReplyIsLostIsSentAgainOnlyWhenTheRowLacksIt) {
  const auto r = on_update_host(R"sh(
thread_of() { sql "SELECT id FROM information_schema.processlist WHERE info LIKE '$1'"; }
update() { $M --update-games --cs-dir=$cs --sys-user=$u --games="$1" --no-daemon=1 >/dev/null 2>&1; }
sent() { grep -c "SET param='mod::$1.update.state', val='completed'" "$ZENTRA_TEST_DB_LOG"; }
# Not applied: the final state waits for a table lock and is killed there.
plan cstrike 'wait=/tmp/go'
update cstrike &
job=$!
await /tmp/go.started
sql "LOCK TABLES module_zentra_parameters WRITE; SELECT SLEEP(600)" >/dev/null 2>&1 &
until [ -n "$(thread_of 'SELECT SLEEP(600)')" ]; do sleep 0.05; done
touch /tmp/go
completed="REPLACE module_zentra_parameters SET param=%cstrike.update.state%completed%"
until [ -n "$(thread_of "$completed")" ]; do sleep 0.05; done
sql "KILL $(thread_of "$completed")" && sql "KILL $(thread_of 'SELECT SLEEP(600)')"
wait $job && rows | grep cstrike.update.state && sent cstrike
# Applied: the server writes the final state and hangs up before it answers (a table
# without transactions keeps what the killed statement wrote).
sql "ALTER TABLE module_zentra_parameters ENGINE=MyISAM"
mariadb --no-defaults -uroot -S "$ZENTRA_TEST_DB_SOCKET" vexa --delimiter=// -e "CREATE TRIGGER hang_up
  AFTER INSERT ON module_zentra_parameters FOR EACH ROW
  IF NEW.param = 'mod::czero.update.state' AND NEW.val = 'completed' THEN KILL CONNECTION_ID(); END IF//"
plan czero 'records=1'
update czero && rows | grep czero.update.state && sent czero
logged | sed -n 's/\(kept for a later write\): Mysql error \([0-9]*\): .*$/\1: \2/p'
)sh");
  EXPECT_EQ(r.out,
            "mod::cstrike.update.state\tcompleted\n2\nmod::czero.update.state\tcompleted\n1\n"
            "update state kept for a later write: 2013\nupdate state kept for a later write: 1927\n")
      << r.err;
}

}  // namespace
