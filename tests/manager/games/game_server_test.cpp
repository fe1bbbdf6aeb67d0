// Game servers end to end: the real manager, launcher and library, the stand-in game server
// as hlds_run, the private database. The whole binary runs in one sandbox, so the system
// user and the installation are made once; each test uses its own game ids.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "manager/games/traffic_accounting.h"
#include "sys/errors.h"
#include "tests/manager/games/game_server_shell.h"
#include "tests/support/test_db.h"

using zentra_test::root_sql;
using zentra_test::RunResult;
using zentra_test::sh;

namespace {

// The connections (thread ids) on which the server's general log shows `statement`.
std::vector<unsigned long> connections_that_sent(const std::string& statement) {
  std::ifstream log(zentra_test::test_db().log);
  std::vector<unsigned long> ids;
  const std::string query = " Query\t" + statement;
  for (std::string line; std::getline(log, line);) {
    const size_t at = line.find(query);
    if (at == std::string::npos || at + query.size() != line.size()) continue;
    const size_t digits = line.find_last_not_of("0123456789", at - 1) + 1;
    ids.push_back(std::stoul(line.substr(digits, at - digits)));
  }
  return ids;
}

// How many traffic updates of row `id` the server received.
int logged_updates_of(const std::string& id) {
  std::ifstream log(zentra_test::test_db().log);
  int count = 0;
  for (std::string line; std::getline(log, line);) {
    count += line.find("Query\tUPDATE module_zentra_servers ") != std::string::npos &&
             line.ends_with(" WHERE id=" + id);
  }
  return count;
}

class GameServer : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_NO_FATAL_FAILURE(zentra_test::set_up_game_host(GAME_SERVER_STAND_IN)); }
};

TEST_F(GameServer, LauncherCommandLineWithItsVariants) {
  const RunResult r = sh(R"sh(
export ZENTRA_STAND_IN_SECONDS=0
# The server's arguments, with the game id as N.
started_with() {
  id=$1; shift
  start --no-daemon --game-id=$id "$@"
  sed -n 's/^arg //p' $cs/game_server_$id.run | tr '\n' ' ' | sed "s/_$id\./_N./g; s/ \$//"; echo
  $M --kill-game --cs-dir=$cs --game-id=$id --port=1
}
started_with 7 --map=de_dust
sed -n 's/^env //p' $cs/game_server_7.run
started_with 8 --secure=0 --ip=127.0.0.1 --autoupdate --no-master
started_with 9 --secure=00
touch $cs/hlds_amd64
started_with 10
mkdir -p /usr/lib64 && touch /usr/lib64/libstdc++.so.5
started_with 11
rm /usr/lib64/libstdc++.so.5 && mv /usr/bin/uname /usr/bin/uname.real
printf '#!/bin/sh\necho i686\n' >/usr/bin/uname && chmod 755 /usr/bin/uname
started_with 12
mv /usr/bin/uname.real /usr/bin/uname && rm $cs/hlds_amd64
)sh");
  const std::string plain = "./hlds_run -game cstrike -port 27015 +maxplayers 16 +servercfgfile game_config_N.cfg -secure "
                            "-pidfile /home/cstrike/cs/game_server_N.pid\n";
  EXPECT_EQ(r.out,
            "./hlds_run -game cstrike -port 27015 +maxplayers 16 +map de_dust +servercfgfile game_config_N.cfg -secure "
            "-pidfile /home/cstrike/cs/game_server_N.pid\n"
            "ZENTRA_STAT_REGIME=game\nZENTRA_STAT_FILE=/tmp/.cs_gstatistics-7.pipe\n"
            "LD_PRELOAD=/home/cstrike/libstatistics.so.1.0.0\n"
            "./hlds_run -game cstrike +ip 127.0.0.1 -port 27015 +maxplayers 16 +servercfgfile game_config_N.cfg -insecure "
            "-autoupdate -nomaster -pidfile /home/cstrike/cs/game_server_N.pid\n" +
                plain +
                "./hlds_run -binary ./hlds_amd -game cstrike -port 27015 +maxplayers 16 +servercfgfile game_config_N.cfg "
                "-secure -pidfile /home/cstrike/cs/game_server_N.pid\n" +
                plain + plain)
      << r.err;
}

TEST_F(GameServer, StartUpFilesAndTheWrapperPidFile) {
  const RunResult r = sh(R"sh(
export ZENTRA_STAND_IN_SECONDS=0
show() { echo "== $1 $(stat -c '%U %a' "$1")"; cat "$1"; }
printf 'sv_gravity 800\nmp_timelimit 20\nlog on\n' >$cs/cstrike/server.cfg
# The passwords are the account's alone, also from a reader that opened an older file.
echo old >$cs/cstrike/game_config_5.cfg && chmod 644 $cs/cstrike/game_config_5.cfg && chown cstrike $cs/cstrike/game_config_5.cfg
setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c \
  "exec 8<$cs/cstrike/game_config_5.cfg; touch /tmp/opened; until [ -e /tmp/read ]; do sleep 0.05; done; cat <&8" &
reader=$!
appears /tmp/opened && start --no-daemon --game-id=5 --hostname="Den's server; no. 1" --rcon-password=r
touch /tmp/read && wait $reader
show $cs/cstrike/game_config_5.cfg
$M --kill-game --cs-dir=$cs --game-id=5 --port=1
printf 'log on' >$cs/cstrike/server.cfg && touch $cs/cstrike/mapcycle_5.txt
start --no-daemon --game-id=5 --sv-lan=1 --sv-password=s
show $cs/cstrike/game_config_5.cfg
$M --kill-game --cs-dir=$cs --game-id=5 --port=1
mkdir $cs/cstrike/cfg && echo 'stored 3' >$cs/cstrike/cfg/config_3.cfg && chown -R cstrike $cs/cstrike/cfg
start --no-daemon --game-id=6 --config-id=3 --config-dir=/cfg/
show $cs/cstrike/cfg//game_config_6.cfg
$M --kill-game --cs-dir=$cs --game-id=6 --port=1
start --no-daemon --game-id=6 --config-id=4
show $cs/cstrike/game_config_6.cfg
$M --kill-game --cs-dir=$cs --game-id=6 --port=1
unset ZENTRA_STAND_IN_SECONDS
start --game-id=13 && appears $cs/game_server_13.pid
printf %s "$(cat $cs/game_server_13.pid)" | cmp - $cs/game_wrapper_13.pid && echo "wrapper pid file: the server's pid, bare"
stop 13
)sh");
  const std::string block = "\n\n// Added by Kelvor's module\nservercfgfile \"game_config_";
  EXPECT_EQ(r.out, "old\n== /home/cstrike/cs/cstrike/game_config_5.cfg cstrike 600\n"
                   "sv_gravity 800\nmp_timelimit 20\nlog on\n" + block +
                       "5.cfg\"\nmapcyclefile \"mapcycle.txt\"\nhostname \"Den's server; no. 1\"\n"
                       "rcon_password \"r\"\nsv_password \"\"\nsv_lan 0\n"
                       "== /home/cstrike/cs/cstrike/game_config_5.cfg cstrike 600\n"
                       "log on" + block +
                       "5.cfg\"\nmapcyclefile \"mapcycle_5.txt\"\nhostname \"\"\n"
                       "rcon_password \"\"\nsv_password \"s\"\nsv_lan 1\n"
                       "== /home/cstrike/cs/cstrike/cfg//game_config_6.cfg cstrike 600\n"
                       "stored 3\n" + block +
                       "6.cfg\"\nmapcyclefile \"mapcycle.txt\"\nhostname \"\"\n"
                       "rcon_password \"\"\nsv_password \"\"\nsv_lan 0\n"
                       "== /home/cstrike/cs/cstrike/game_config_6.cfg cstrike 600\n" + block +
                       "6.cfg\"\nmapcyclefile \"mapcycle.txt\"\nhostname \"\"\n"
                       "rcon_password \"\"\nsv_password \"\"\nsv_lan 0\n"
                       "wrapper pid file: the server's pid, bare\n")
      << r.err;
}

TEST_F(GameServer, JobAndServerRunAsTheSystemUserWithItsGroups) {
  const RunResult r = sh(R"sh(
start --game-id=20 --rcon-password=hunter2 --sv-password=letmein && appears $cs/game_server_20.pid
job=$(pgrep -f "^$M --start-game .*--game-id=20( |\$)") server=$(cat $cs/game_server_20.pid)
# The job lives as long as the server: its command line, which anyone may read, keeps no password.
tr '\0' ' ' </proc/$job/cmdline | grep -E 'hunter2|letmein' || echo "passwords hidden: $(tr '\0' ' ' </proc/$job/cmdline | grep -o 'rcon-password=[^ ]*')"
u=$(id -u cstrike) g=$(id -g cstrike)
expected="Uid: $u $u $u $u
Gid: $g $g $g $g
Groups: $(id -G cstrike | tr ' ' '\n' | sort -n | tr '\n' ' ' | sed 's/ $//')"
for who in job server; do
  eval pid=\$$who
  got=$(grep -E '^(Uid|Gid|Groups):' /proc/$pid/status | tr -s '\t ' ' ' | sed 's/ $//')
  [ "$got" = "$expected" ] && echo "$who: cstrike with its groups" || printf '%s: %s\nexpected: %s\n' $who "$got" "$expected"
done
case " $(id -G cstrike) " in *" 3001 "*) echo "among them extra" ;; esac
stop 20
)sh");
  EXPECT_EQ(r.out, "passwords hidden: rcon-password=*******\njob: cstrike with its groups\nserver: cstrike with its groups\n"
                   "among them extra\n")
      << r.err;
}

TEST_F(GameServer, TrafficReachesTheRowExactlyWithItsFirstPeriodAndNoFileRecords) {
  const RunResult r = sh(R"sh(
sql "REPLACE module_zentra_servers SET id=30, total_traffic=1000; REPLACE module_zentra_servers VALUES (31, 0, 0, NULL, NULL), (32, 0, 0, NULL, NULL)"
ZENTRA_STAND_IN_BYTES=1234567 start --game-id=30 && appears $cs/game_server_30.pid
start --game-id=31 && appears $cs/game_server_31.pid
unmetered start --game-id=32 && appears $cs/game_server_32.pid
# Install-record queries that reached the FIFO are read, and never written.
printf '\002\000\000\000\001\000\000\000\002\000\000\000\001\000\000\000' >/tmp/.cs_gstatistics-31.pipe
# Three records of 2000000000 bytes: more than 32 bits hold.
record='\001\000\000\000\000\224\065\167' && printf "$record$record$record" >/tmp/.cs_gstatistics-32.pipe
stop 30 && stop 31 && stop 32
sql "SELECT id, total_traffic, period_traffic, begin_period_date = DATE_FORMAT(CURDATE(), '%Y-%m-01'),
     end_period_date = DATE_FORMAT(CURDATE(), '%Y-%m-01') + INTERVAL 1 MONTH FROM module_zentra_servers WHERE id IN (30, 31, 32)"
test -e /tmp/.cs_gstatistics-30.pipe || echo "FIFO removed"
logged "job 30"
)sh");
  EXPECT_EQ(r.out, "30\t1235567\t1234567\t1\t1\n31\t0\t0\tNULL\tNULL\n32\t6000000000\t6000000000\t1\t1\nFIFO removed\ngame server job 30 started\n"
                   "game server job 30: the game server ended, its launcher with exit status 0\n"
                   "game server job 30 ended with result 0\n")
      << r.err;
  const std::string update =
      "UPDATE module_zentra_servers SET total_traffic=total_traffic+1234567, period_traffic=if(@in_period:=("
      "begin_period_date <= (@curdate:=CURDATE()) AND @curdate < end_period_date), period_traffic+1234567, 1234567), "
      "begin_period_date=if(@in_period, begin_period_date, DATE_FORMAT(@curdate, '%Y-%m-01')), "
      "end_period_date=if(@in_period, end_period_date, begin_period_date + INTERVAL 1 month) WHERE id=30";
  // The server logs a statement without its final semicolon.
  const std::vector<unsigned long> connections = connections_that_sent(update);
  ASSERT_EQ(connections.size(), 1u);
  // @curdate, the statement limit and (the server knows Galera's variable) reads that wait
  // for the cluster set first on the same connection, the row read before the update, the
  // connection closed right after the write.
  const auto commands = zentra_test::logged_commands(connections[0]);
  ASSERT_GE(commands.size(), 6u);
  EXPECT_EQ(commands[commands.size() - 6].argument, "SET @curdate=CURDATE()");
  EXPECT_EQ(commands[commands.size() - 5].argument, "SET SESSION max_statement_time=5");
  EXPECT_EQ(commands[commands.size() - 4].argument, "SET SESSION wsrep_sync_wait=1");
  EXPECT_TRUE(commands[commands.size() - 3].argument.starts_with("SELECT total_traffic, period_traffic"));
  EXPECT_EQ(commands.back().command, "Quit");
  EXPECT_EQ(logged_updates_of("31"), 0);
}

// The UPDATE's effect on rows whose periods lie around the server's date.
TEST_F(GameServer, TheUpdateRollsThePeriodOverOrGrowsIt) {
  root_sql(
      "REPLACE module_zentra_servers VALUES"
      " (40, 10, 500, DATE_FORMAT(CURDATE() - INTERVAL 1 MONTH, '%Y-%m-01'), DATE_FORMAT(CURDATE(), '%Y-%m-01')),"
      " (41, 10, 500, DATE_FORMAT(CURDATE(), '%Y-%m-01'), DATE_FORMAT(CURDATE(), '%Y-%m-01') + INTERVAL 1 MONTH),"
      " (42, 10, 500, CURDATE() - INTERVAL 1 DAY, CURDATE()),"
      " (43, 10, 500, NULL, NULL)");
  for (const auto& [id, period] : {std::pair{"40", "month"}, {"41", "month"}, {"42", "day"}, {"43", "year"}}) {
    root_sql("SET @curdate=CURDATE(); " + traffic_update_statement(100, TrafficRow{id, period}));
  }
  EXPECT_EQ(root_sql("SELECT id, total_traffic, period_traffic, DATEDIFF(begin_period_date, CURDATE()),"
                     " DATEDIFF(end_period_date, CURDATE()) FROM module_zentra_servers WHERE id BETWEEN 40 AND 43"),
            root_sql("SELECT 40, 110, 100, DATEDIFF(DATE_FORMAT(CURDATE(), '%Y-%m-01'), CURDATE()),"
                     " DATEDIFF(DATE_FORMAT(CURDATE(), '%Y-%m-01') + INTERVAL 1 MONTH, CURDATE())"
                     " UNION ALL SELECT 41, 110, 600, DATEDIFF(DATE_FORMAT(CURDATE(), '%Y-%m-01'), CURDATE()),"
                     " DATEDIFF(DATE_FORMAT(CURDATE(), '%Y-%m-01') + INTERVAL 1 MONTH, CURDATE())"
                     " UNION ALL SELECT 42, 110, 100, 0, 1"
                     " UNION ALL SELECT 43, 110, 100, DATEDIFF(DATE_FORMAT(CURDATE(), '%Y-01-01'), CURDATE()),"
                     " DATEDIFF(DATE_FORMAT(CURDATE(), '%Y-01-01') + INTERVAL 1 YEAR, CURDATE())"));
  for (const char* period : {"week", "Month", "", "month "}) EXPECT_THROW(period_format_for(period), TUError) << period;
}

TEST_F(GameServer, CommandsRefuseBeforeTouchingAnything) {
  const RunResult r = sh(R"sh(
refused() { "$@" >/tmp/answer 2>&1 && echo "accepted: $*" || echo "$(cat /tmp/answer) ($?)"; }
touch $cs/game_wrapper_50.pid
refused start --game-id=50
mv $cs/game_wrapper_50.pid $cs/game_server_50.pid
refused start --game-id=50 --no-daemon
rm $cs/game_server_50.pid
refused start --game-id=51 --stats-period=week --no-daemon
refused start --game-id=51 --stats-period=week
refused start --game-id=51 --hostname='x" ; rcon_password "y'
refused start --game-id=51 --rcon-password="$(printf 'x\nquit')"
refused start --game-id=51 --sv-lan='0;quit'
refused start --game-id=5x
refused $M --game-started --cs-dir=$cs --game-id=-1
refused $M --kill-game --cs-dir=$cs --game-id=1/ --port=1
ls $cs $cs/cstrike /tmp | grep -E '_5[01]|cs_g' || echo "nothing written"
start --game-id=52 && appears $cs/game_server_52.pid
$M --game-started --cs-dir=$cs --game-id=52
stop 52
refused $M --game-started --cs-dir=$cs --game-id=52
)sh");
  EXPECT_EQ(r.out,
            "Game server is running already (1)\nGame server is running already (1)\n"
            "Incorrect traffic statistics period (can be 'day', 'month', 'year'). (1)\n"
            "Incorrect traffic statistics period (can be 'day', 'month', 'year'). (1)\n"
            "Unsafe value of option '--hostname' (1)\nUnsafe value of option '--rcon-password' (1)\n"
            "Unsafe value of option '--sv-lan' (1)\nUnsafe value of option '--game-id' (1)\n"
            "Unsafe value of option '--game-id' (1)\nUnsafe value of option '--game-id' (1)\n"
            "nothing written\nGame server is running\nGame server is not running (1)\n")
      << r.err;
}

// The pid files are the system user's: kill-game signals from them only that account's own
// processes, never root's, another account's, a process group or init.
TEST_F(GameServer, KillGameSignalsOnlyTheAccountsOwnProcesses) {
  const RunResult r = sh(R"sh(
sleeper() { setpriv "$@" sleep 600 >/dev/null 2>&1 & echo $!; }
# The account's process that is server 60's, by the FIFO its environment names.
own=$(ZENTRA_STAT_FILE=/tmp/.cs_gstatistics-60.pipe setpriv --reuid=cstrike --regid=cstrike --init-groups sleep 600 >/dev/null 2>&1 & echo $!)
other=$(sleeper --reuid=nobody --regid=nogroup --clear-groups)
root=$(sleeper --reuid=root)
pid_files() {
  printf %s "$1" >$cs/game_wrapper_60.pid && printf %s "$2" >$cs/game_server_60.pid
  chown cstrike $cs/game_*_60.pid
}
alive() { for pid in $own $other $root; do state $pid; done; echo; }
pid_files -1 0 && $M --kill-game --cs-dir=$cs --game-id=60 --port=1 && alive
pid_files 1 "$root" && $M --kill-game --cs-dir=$cs --game-id=60 --port=1 && alive
pid_files "$other" "" && $M --kill-game --cs-dir=$cs --game-id=60 --port=1 && alive
pid_files "$root" "$own" && chown root $cs/game_*_60.pid && $M --kill-game --cs-dir=$cs --game-id=60 --port=1 && alive
echo "$own" >/tmp/own.pid && chown cstrike /tmp/own.pid && ln -s /tmp/own.pid $cs/game_wrapper_60.pid
$M --kill-game --cs-dir=$cs --game-id=60 --port=1 && alive
ls $cs | grep _60 || echo "pid files removed"
pid_files "" " $own trailing text" && $M --kill-game --cs-dir=$cs --game-id=60 --port=1
# By the time it has ended, any signal sent to the others before would have ended them too.
while [ -r /proc/$own/status ] && ! grep -q '^State:\s*Z' /proc/$own/status; do sleep 0.05; done; alive
kill $other $root
)sh");
  EXPECT_EQ(r.out, "alive alive alive \nalive alive alive \nalive alive alive \nalive alive alive \n"
                   "alive alive alive \npid files removed\ngone alive alive \n")
      << r.err;
}

// A crashed server's pid files name a pid that another process of the account may get:
// kill-game signals only a process that is that server's.
TEST_F(GameServer, KillGameLeavesAReusedPidAlone) {
  const RunResult r = sh(R"sh(
start --game-id=62 && appears $cs/game_server_62.pid
p=$(cat $cs/game_server_62.pid) && kill -9 $p && job_ended 62 && $M --game-started --cs-dir=$cs --game-id=62
echo $((p - 1)) >/proc/sys/kernel/ns_last_pid
ZENTRA_STAT_FILE=/tmp/.cs_gstatistics-63.pipe setpriv --reuid=cstrike --regid=cstrike --init-groups sleep 600 &
[ $! = $p ] && echo "pid reused"
$M --kill-game --cs-dir=$cs --game-id=62 --port=1 && state $p && echo
ls $cs | grep "_62\.pid" || echo "pid files removed"
kill $p
)sh");
  EXPECT_EQ(r.out, "Game server is running\npid reused\nalive \npid files removed\n") << r.err;
}

// Of starts for one id arriving together only one is accepted; the next follows its end.
TEST_F(GameServer, StartsArrivingTogetherStartOneServer) {
  const RunResult r = sh(R"sh(
for i in 1 2 3 4 5 6 7 8; do start --game-id=64 >/tmp/start$i 2>&1 & done
wait && cat /tmp/start? | sort | uniq -c | sed 's/^ *//'
appears $cs/game_server_64.pid && sleep 0.5 && pgrep -fc -- "-pidfile $cs/game_server_64.pid"
stop 64 && start --game-id=64 && appears $cs/game_server_64.pid && stop 64 && echo "started again"
)sh");
  EXPECT_EQ(r.out, "7 Game server is running already\n1\nstarted again\n") << r.err;
}

// Something the server left holding the FIFO keeps its job reading, but once kill-game has
// removed the pid files the id starts again.
TEST_F(GameServer, ALeftoverOnTheFifoNeverKeepsTheIdFromStartingAgain) {
  const RunResult r = sh(R"sh(
start --game-id=67 && appears $cs/game_server_67.pid && p=$(cat $cs/game_server_67.pid)
setpriv --reuid=cstrike --regid=cstrike --init-groups sh -c 'exec 3>/tmp/.cs_gstatistics-67.pipe && touch /tmp/left && exec sleep 600' >/dev/null 2>&1 &
left=$!
appears /tmp/left
# The server ends; its job reaps it only once the FIFO is done with.
$M --kill-game --cs-dir=$cs --game-id=67 --port=1 && while [ "$(state $p)" = "alive " ]; do sleep 0.05; done
start --game-id=67 && appears $cs/game_server_67.pid && echo "started again"
kill $left; stop 67
)sh");
  EXPECT_EQ(r.out, "started again\n") << r.err;
}

// Another account's file at the FIFO's name is not the system user's to replace: root removes it.
TEST_F(GameServer, AnotherAccountsFileAtTheFifosNameIsRemoved) {
  const RunResult r = sh(R"sh(
setpriv --reuid=nobody --regid=nogroup --clear-groups mkfifo /tmp/.cs_gstatistics-65.pipe
start --game-id=65 && appears $cs/game_server_65.pid && stop 65 && echo "started"
# A directory, the account's own too, goes with what it holds.
for who in nobody cstrike; do
  setpriv --reuid=$who --regid=$(id -g $who) --clear-groups sh -c 'mkdir /tmp/.cs_gstatistics-66.pipe && touch /tmp/.cs_gstatistics-66.pipe/x'
  start --game-id=66 && appears $cs/game_server_66.pid && stop 66 && echo "started over $who's directory"
done
)sh");
  EXPECT_EQ(r.out, "started\nstarted over nobody's directory\nstarted over cstrike's directory\n") << r.err;
}

// When the launcher ends before anything opens the FIFO, the job ends too, and nothing
// marks the server as running.
TEST_F(GameServer, ALauncherThatNeverConnectsEndsTheJob) {
  const RunResult r = sh(R"sh(
mv $cs/hlds_run $cs/hlds_run.away
start --game-id=61 && job_ended 61
mv $cs/hlds_run.away $cs/hlds_run
ls $cs /tmp | grep -E '_61|cs_g' || echo "no pid file, no FIFO"
$M --game-started --cs-dir=$cs --game-id=61 || echo "status $?"
logged "job 61"
)sh");
  EXPECT_EQ(r.out, "no pid file, no FIFO\nGame server is not running\nstatus 1\ngame server job 61 started\n"
                   "game server job 61 failed: the game server did not start: its launcher ended with exit status 127 "
                   "before opening /tmp/.cs_gstatistics-61.pipe\n")
      << r.err;
}

// Jobs hold a connection only while they write, and keep what a full server refuses until a
// write succeeds: N servers against one free connection all account exactly, once each. A
// job started meanwhile waits for a connection.
TEST_F(GameServer, JobsSharingAFullServerAccountExactly) {
  const RunResult r = sh(R"sh(
ids="80 81 82 83 84 85"
for id in $ids; do
  sql "REPLACE module_zentra_servers SET id=$id"
  ZENTRA_STAND_IN_BYTES=$((id * 1000 + 7)) start --game-id=$id && appears $cs/game_server_$id.pid
done
holders() { sql "SELECT COUNT(*) FROM information_schema.processlist WHERE info = 'SELECT SLEEP(600)'"; }
# A job refused for want of a connection is let in first (root might be calling) and counted
# among the aborted connects, not among the connection errors.
refusals() { sql "SHOW GLOBAL STATUS LIKE 'Aborted_connects'" | cut -f2; }
# Root takes every connection but the one kept for an administrator (this script's).
sql "SET GLOBAL max_connections=10"
for i in 1 2 3 4 5 6 7 8 9 10; do sql "SELECT SLEEP(600)" >/dev/null 2>&1 & done
while [ "$(holders)" -lt 10 ]; do sleep 0.05; done
before=$(refusals)
for id in $ids; do $M --kill-game --cs-dir=$cs --game-id=$id --port=1; done
# A server started now waits for a connection before it starts.
sql "REPLACE module_zentra_servers SET id=86"
ZENTRA_STAND_IN_BYTES=86007 start --game-id=86
while [ "$(refusals)" -lt $((before + 7)) ]; do sleep 0.05; done
test -e $cs/game_wrapper_86.pid || echo "86 waits"
# One connection for seven jobs.
sql "KILL $(sql "SELECT id FROM information_schema.processlist WHERE info = 'SELECT SLEEP(600)' LIMIT 1")"
appears $cs/game_server_86.pid && stop 86
for id in $ids; do job_ended $id; done
for id in $(sql "SELECT id FROM information_schema.processlist WHERE info = 'SELECT SLEEP(600)'"); do sql "KILL $id"; done
sql "SET GLOBAL max_connections=151"
sql "SELECT id, total_traffic FROM module_zentra_servers WHERE id BETWEEN 80 AND 86"
)sh");
  EXPECT_EQ(r.out, "86 waits\n80\t80007\n81\t81007\n82\t82007\n83\t83007\n84\t84007\n85\t85007\n86\t86007\n")
      << r.err;
  for (const char* id : {"80", "81", "82", "83", "84", "85", "86"}) EXPECT_EQ(logged_updates_of(id), 1) << id;
}

// A lock held past the client's read timeout (a backup's LOCK TABLES ... READ) costs nothing:
// the server ends the waiting update first with a definite error, so its bytes stay pending
// and arrive, once, when the lock has gone.
TEST_F(GameServer, ALockOutlastingTheReadTimeoutCostsNothing) {
  const RunResult r = sh(R"sh(
sql "REPLACE module_zentra_servers SET id=90"
ZENTRA_STAND_IN_BYTES=5000 start --game-id=90 && appears $cs/game_server_90.pid
sql "LOCK TABLES module_zentra_servers READ; SELECT SLEEP(12)" >/dev/null &
until [ -n "$(thread_of 'SELECT SLEEP(12)')" ]; do sleep 0.05; done
stop 90
sql "SELECT total_traffic FROM module_zentra_servers WHERE id=90"
logged "job 90:" | sed 's/: Mysql error [0-9]*: /: /; s/ *executing query$//'
)sh");
  EXPECT_EQ(r.out, "5000\n"
                   "game server job 90: traffic not written, 5000 bytes kept pending: Query execution was interrupted "
                   "(max_statement_time exceeded)\n"
                   "game server job 90: traffic written again, 5000 bytes\n"
                   "game server job 90: the game server ended, its launcher with exit status 0\n")
      << r.err;
}

// An update whose reply is lost is decided from the row, read back once it can no longer be
// running: sent again when it was not applied, never when it was.
TEST_F(GameServer, AnUpdateWhoseReplyIsLostIsDecidedFromTheRow) {
  const RunResult r = sh(R"sh(
update_of() { thread_of "UPDATE module_zentra_servers %WHERE id=$1%"; }
hold_lock() {
  sql "LOCK TABLES module_zentra_servers READ; SELECT SLEEP(600)" >/dev/null 2>&1 &
  until [ -n "$(thread_of 'SELECT SLEEP(600)')" ]; do sleep 0.05; done
}
# Not applied: the update's connection is killed while it waits for the lock.
sql "REPLACE module_zentra_servers SET id=91"
ZENTRA_STAND_IN_BYTES=5000 start --game-id=91 && appears $cs/game_server_91.pid
hold_lock
$M --kill-game --cs-dir=$cs --game-id=91 --port=1
until [ -n "$(update_of 91)" ]; do sleep 0.05; done
sql "KILL $(update_of 91)" && sql "KILL $(thread_of 'SELECT SLEEP(600)')"
job_ended 91
# Applied: the update goes through a relay whose answer is held back until the client gives up.
port=$(free_port) && relay $port
sql "REPLACE module_zentra_servers SET id=92"
VEXA_DB_PORT=$port ZENTRA_STAND_IN_BYTES=7000 start --game-id=92 && appears $cs/game_server_92.pid
hold_lock
$M --kill-game --cs-dir=$cs --game-id=92 --port=1
until [ -n "$(update_of 92)" ]; do sleep 0.05; done
held=$(pgrep -P $relay) && kill -STOP $held && sql "KILL $(thread_of 'SELECT SLEEP(600)')"
job_ended 92
kill $relay && kill -KILL $held
sql "SELECT total_traffic FROM module_zentra_servers WHERE id IN (91, 92)"
logged "lost" | sed 's/: Mysql error [0-9]*: .* executing query$/: (error)/;'
)sh");
  EXPECT_EQ(r.out, "5000\n7000\n"
                   "game server job 91: reply to the traffic update lost, 5000 bytes to be checked in the row: (error)\n"
                   "game server job 91: the traffic update whose reply was lost was not applied, 5000 bytes pending again\n"
                   "game server job 92: reply to the traffic update lost, 7000 bytes to be checked in the row: (error)\n"
                   "game server job 92: the traffic update whose reply was lost was applied, 7000 bytes\n")
      << r.err;
  EXPECT_EQ(logged_updates_of("91"), 2);
  EXPECT_EQ(logged_updates_of("92"), 1);
}

// SIGTERM to the job (a host shutting down, an admin's kill) stops the server and its children
// at once, and the job still writes what they sent before it ends.
TEST_F(GameServer, SigtermWritesThePendingTrafficBeforeTheJobEnds) {
  const RunResult r = sh(R"sh(
sql "REPLACE module_zentra_servers SET id=93"
# Two records of 10800 bytes: the library's own count is back at 0 when SIGKILL comes.
ZENTRA_STAND_IN_BYTES=21600 unmetered start --game-id=93 && appears $cs/game_server_93.pid
server=$(cat $cs/game_server_93.pid)
# A writer outside the job's group stays: the job reads what it sent and does not wait for it.
sh -c 'printf "\001\000\000\000\040\000\000\000"; exec sleep 600' >/tmp/.cs_gstatistics-93.pipe 2>/dev/null & outside=$!
until [ "$(cat /proc/$outside/comm)" = sleep ]; do sleep 0.02; done
kill -TERM $(pgrep -f "^$M --start-game .*--game-id=93( |\$)")
job_ended 93
kill $outside
[ -e /proc/$server ] || echo "server gone"
sql "SELECT total_traffic FROM module_zentra_servers WHERE id=93"
logged "job 93"
)sh");
  EXPECT_EQ(r.out, "server gone\n21632\ngame server job 93 started\n"
                   "game server job 93: stopped by SIGTERM, the game server and its children killed\n"
                   "game server job 93: the game server ended, its launcher with signal 9\n"
                   "game server job 93 ended with result 0\n")
      << r.err;
}

// After SIGTERM the last write still waits between its attempts: a database that refuses it
// is not hammered by every job of a host shutting down.
TEST_F(GameServer, WritesAfterSigtermStillWaitBetweenAttempts) {
  const RunResult r = sh(R"sh(
sql "REPLACE module_zentra_servers SET id=98"
printf 'DROP TRIGGER IF EXISTS refuse_98;\nDELIMITER //\nCREATE TRIGGER refuse_98 BEFORE UPDATE ON module_zentra_servers
 FOR EACH ROW IF NEW.id = 98 THEN SIGNAL SQLSTATE "45000" SET MESSAGE_TEXT = "refused"; END IF//\n' |
  mariadb --no-defaults -uroot -S "$ZENTRA_TEST_DB_SOCKET" vexa
ZENTRA_STAND_IN_BYTES=21600 start --game-id=98 && appears $cs/game_server_98.pid
kill -TERM $(pgrep -f "^$M --start-game .*--game-id=98( |\$)")
sleep 4
sql "DROP TRIGGER refuse_98"
job_ended 98
sql "SELECT total_traffic FROM module_zentra_servers WHERE id=98"
)sh");
  EXPECT_EQ(r.out, "21600\n") << r.err;
  // 1 s, 2 s, 4 s... apart: a handful of attempts, not one after another.
  EXPECT_LE(logged_updates_of("98"), 6);
}

// An update whose reply was lost and that SIGTERM's last minute leaves undecided (the database
// gone) is named with its bytes when the job gives up: they may be in the row or not.
TEST_F(GameServer, AnUndecidedUpdateIsNamedWhenTheJobGivesUp) {
  const RunResult r = sh(R"sh(
sql "REPLACE module_zentra_servers SET id=99"
port=$(free_port) && relay $port
VEXA_DB_PORT=$port ZENTRA_STAND_IN_BYTES=21600 start --game-id=99 && appears $cs/game_server_99.pid
sql "LOCK TABLES module_zentra_servers READ; SELECT SLEEP(600)" >/dev/null 2>&1 &
until [ -n "$(thread_of 'SELECT SLEEP(600)')" ]; do sleep 0.05; done
kill -TERM $(pgrep -f "^$M --start-game .*--game-id=99( |\$)")
until [ -n "$(thread_of 'UPDATE module_zentra_servers %WHERE id=99%')" ]; do sleep 0.05; done
# The answer is held back until the client gives up, then the database is away for good.
held=$(pgrep -P $relay) && kill -STOP $held && sql "KILL $(thread_of 'SELECT SLEEP(600)')"
kill $relay
i=0; until logged "job 99: reply" >/dev/null; do i=$((i+1)); [ $i -le 300 ] || exit 1; sleep 0.1; done
kill -KILL $held
job_ended 99
logged "job 99: " | grep "given up"
)sh");
  EXPECT_EQ(r.out, "game server job 99: 0 bytes of traffic given up after retrying, and 21600 whose update's reply "
                   "was lost, not decided from the row\n")
      << r.err;
}

// A database that is away when a server starts is waited for; the server starts once it is there.
TEST_F(GameServer, ADatabaseAwayAtStartIsWaitedFor) {
  const RunResult r = sh(R"sh(
sql "REPLACE module_zentra_servers SET id=94"
port=$(free_port)
VEXA_DB_PORT=$port ZENTRA_STAND_IN_BYTES=3000 start --game-id=94
i=0; until logged "job 94: waiting" >/dev/null; do i=$((i+1)); [ $i -le 300 ] || exit 1; sleep 0.2; done
test -e $cs/game_wrapper_94.pid || echo "94 waits"
relay $port
appears $cs/game_server_94.pid && stop 94
kill $relay
sql "SELECT total_traffic FROM module_zentra_servers WHERE id=94"
logged "job 94" | sed 's/(error [0-9]*)/(error)/'
)sh");
  EXPECT_EQ(r.out, "94 waits\n3000\ngame server job 94 started\n"
                   "game server job 94: waiting for the database before starting the game server (error)\n"
                   "game server job 94: the database is there, the game server starts\n"
                   "game server job 94: the game server ended, its launcher with exit status 0\n"
                   "game server job 94 ended with result 0\n")
      << r.err;
}

// A game configuration that a full disk cuts short (without the customer's passwords) fails
// the start: nothing starts.
TEST_F(GameServer, AGameConfigurationNotWrittenWholeFailsTheStart) {
  const RunResult r = sh(R"sh(
mkdir -p $cs/czero && mount -t tmpfs -o size=16k zentra-full $cs/czero && chown cstrike $cs/czero
# 6000 bytes of base configuration and a filler leave one page free: the copy does not fit.
head -c 6000 /dev/zero | tr '\0' '/' >$cs/czero/server.cfg && head -c 4096 /dev/zero >$cs/czero/filler
$M --start-game --cs-dir=$cs --sys-user=cstrike --game=czero --game-id=95 --port=27015 --maxplayers=16 --sv-lan=0 --secure=1
job_ended 95
umount $cs/czero
ls $cs /tmp | grep -E '_95|cs_g' || echo "nothing started"
logged "job 95"
)sh");
  EXPECT_EQ(r.out, "nothing started\ngame server job 95 started\n"
                   "game server job 95 failed: Can not write the game configuration "
                   "/home/cstrike/cs/czero/game_config_95.cfg: No space left on device\n")
      << r.err;
}

// Forged records (any process of the account can write into another server's FIFO): a row
// near its columns' end saturates and stays writable, and a flood no network carries is held
// back with its figure.
TEST_F(GameServer, ForgedFiguresNeitherBreakNorBillTheRow) {
  const RunResult r = sh(R"sh(
sql "REPLACE module_zentra_servers VALUES (96, 18446744073709551615 - 1000, 18446744073709551615 - 1000,
     DATE_FORMAT(CURDATE(), '%Y-%m-01'), DATE_FORMAT(CURDATE(), '%Y-%m-01') + INTERVAL 1 MONTH), (97, 0, 0, NULL, NULL)"
for round in 1 2; do ZENTRA_STAND_IN_BYTES=21600 start --game-id=96 && appears $cs/game_server_96.pid && stop 96; done
ZENTRA_STAND_IN_BYTES=21600 unmetered start --game-id=97 && appears $cs/game_server_97.pid
# 8192 records of 2^31 - 1 bytes in one write.
record='\001\000\000\000\377\377\377\177' && i=0 && while [ $i -lt 8192 ]; do printf "$record"; i=$((i+1)); done >/tmp/forged
cat /tmp/forged >/tmp/.cs_gstatistics-97.pipe
stop 97
sql "SELECT id, total_traffic, period_traffic FROM module_zentra_servers WHERE id IN (96, 97)"
logged "game server job 9" | grep -E '^game server job 9[67]: ' | sed 's/within [0-9]* s, more than [0-9]* /within N s, more than M /'
)sh");
  EXPECT_EQ(r.out, "96\t18446744073709551615\t18446744073709551615\n97\t0\t0\n"
                   "game server job 96: the row holds 18446744073709550615 bytes in all, 18446744073709550615 in its "
                   "period: 1000 of 21600 bytes fit, 20600 not billed\n"
                   "game server job 96: the game server ended, its launcher with exit status 0\n"
                   "game server job 96: the row holds 18446744073709551615 bytes in all, 18446744073709551615 in its "
                   "period: 0 of 21600 bytes fit, 21600 not billed\n"
                   "game server job 96: the game server ended, its launcher with exit status 0\n"
                   "game server job 97: implausible traffic held back, not billed: 17592186057824 bytes read within N s, "
                   "more than M a host's network carries\n"
                   "game server job 97: the game server ended, its launcher with exit status 0\n")
      << r.err;
}

}  // namespace
