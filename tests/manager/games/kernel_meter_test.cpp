// The kernel traffic meter end to end: a stand-in game server that moves bytes where the
// statistics library can not see them, and a peer of each test's own that counts what really
// crossed. The whole binary runs in one sandbox against the test database.
#include <gtest/gtest.h>

#include <string>

#include "tests/manager/games/game_server_shell.h"

using zentra_test::RunResult;
using zentra_test::sh;

namespace {

// `own_peer ID` starts a peer for this run only and points the resolver at its DNS server;
// `counted` prints what it moved since the last count. $hidden are the stand-in's settings for
// 25000 bytes through its socket (the library reports 21600 of them: SIGTERM takes the rest),
// 30000 through a static helper, 20000 through fprintf and one name resolved (90 bytes).
// `hidden_done ID` waits until the server has moved them, `row ID` is its total_traffic,
// `meter_lines ID` the job's lines about the meter, `job_cgroup ID` whether the running
// server is in its job's cgroup.
const std::string kMeterShell = R"sh(
own_peer() {
  export $($PEER --dns /tmp/peer-$1)
  printf 'nameserver %s\n' "$ZENTRA_STAND_IN_DNS" >/etc/resolv.conf
  sed -i 's/^hosts:.*/hosts: files dns/' /etc/nsswitch.conf
  sql "REPLACE module_zentra_servers SET id=$1"
}
counted() { $PEER --count "$ZENTRA_STAND_IN_PEER_CONTROL"; }
hidden="ZENTRA_STAND_IN_BYTES=25000 ZENTRA_STAND_IN_STATIC_HELPER=$cs/static_helper ZENTRA_STAND_IN_STATIC_BYTES=30000
  ZENTRA_STAND_IN_STDIO_BYTES=20000 ZENTRA_STAND_IN_RESOLVE=players.zentra.test ZENTRA_STAND_IN_TERM_KILLS=1"
hidden_done() {
  i=0; until grep -q '^hidden moved' $cs/game_server_$1.run 2>/dev/null; do i=$((i+1)); [ $i -le 1200 ] || return 1; sleep 0.05; done
}
row() { sql "SELECT total_traffic FROM module_zentra_servers WHERE id=$1"; }
meter_lines() { logged "game server job $1:" | grep -E 'meter|differs' || echo "no word of the meter"; }
job_cgroup() {
  grep -qx "0::/zentra.game_$1" /proc/$(cat $cs/game_server_$1.pid)/cgroup && echo "in the job's cgroup" || echo "in no cgroup of the job"
}
)sh";

RunResult meter_sh(const std::string& script) {
  return sh(kMeterShell + script, {"PEER=" PEER_STAND_IN});
}

class KernelMeter : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    ASSERT_NO_FATAL_FAILURE(zentra_test::set_up_game_host(GAME_SERVER_STAND_IN));
    const RunResult r = sh("cp " STATIC_HELPER_STAND_IN " $cs/static_helper && chown cstrike $cs/static_helper");
    ASSERT_EQ(r.status, 0) << r.err;
  }
};

TEST_F(KernelMeter, BillsEveryByteTheServersProcessesMoved) {
  const RunResult r = meter_sh(R"sh(
own_peer 200
(export $hidden; start --game-id=200) && appears $cs/game_server_200.pid && hidden_done 200
job_cgroup 200
stop 200
echo "row $(row 200), peer $(counted)"
meter_lines 200
)sh");
  EXPECT_EQ(r.out, "in the job's cgroup\nrow 75090, peer 75090\n"
                   "game server job 200: traffic differs: kernel meter 75090 bytes, statistics library 21600 bytes\n")
      << r.err;
}

// Without cgroup v2 the job says so once and bills the library's figure; turned off by the
// admin, the meter is not even mentioned. The static helper runs either way (the peer saw it).
TEST_F(KernelMeter, TheLibrarysFigureStandsWhereTheMeterDoesNotRun) {
  const RunResult r = meter_sh(R"sh(
own_peer 201
# The job lives in a mount namespace of its own whose cgroup2 file systems are gone.
(export $hidden; unshare --mount --propagation private sh -ec '
  for m in $(findmnt -rn -t cgroup2 -o TARGET); do umount "$m"; done
  [ -z "$(findmnt -rn -t cgroup2)" ] && echo "no cgroup2 for the job"
  exec "$@"' - $M --start-game --cs-dir=$cs --sys-user=cstrike --game=cstrike --port=27015 --maxplayers=16 --sv-lan=0 \
    --secure=1 --game-id=201)
appears $cs/game_server_201.pid && hidden_done 201 && job_cgroup 201 && stop 201
echo "row $(row 201), peer $(counted)"
meter_lines 201 | sed 's/ (.*): / (reason): /'
own_peer 202
(export $hidden; unmetered start --game-id=202) && appears $cs/game_server_202.pid && hidden_done 202 && job_cgroup 202
stop 202
echo "row $(row 202), peer $(counted)"
sed -n 's/^hidden moved //p' $cs/game_server_202.run
meter_lines 202
)sh");
  EXPECT_EQ(r.out, "no cgroup2 for the job\nin no cgroup of the job\nrow 21600, peer 75090\n"
                   "game server job 201: the kernel traffic meter does not run (reason): traffic is counted by "
                   "the statistics library\n"
                   "in no cgroup of the job\nrow 21600, peer 75090\n50000\nno word of the meter\n")
      << r.err;
}

// A job killed outright takes its programs and links with it; the id starts again and bills.
TEST_F(KernelMeter, NothingOfTheMeterOutlivesAJobKilledOutright) {
  const RunResult r = meter_sh(R"sh(
own_peer 203
ZENTRA_STAND_IN_BYTES=5000 start --game-id=203 && appears $cs/game_server_203.pid
job=$(pgrep -f "^$M --start-game .*--game-id=203( |\$)")
ids() { cat /proc/$job/fdinfo/* 2>/dev/null | sed -n "s/^$1:\s*//p" | sort -u; }
progs=$(ids prog_id) links=$(ids link_id)
[ -n "$progs" ] && [ -n "$links" ] && echo "the job holds BPF programs and links"
kill -KILL $job && job_ended 203
# Freed once the last reference has gone and a grace period has passed.
gone() {
  i=0; while bpftool $1 show id $2 >/dev/null 2>&1; do i=$((i+1)); [ $i -le 200 ] || { echo "$1 $2 left behind"; return; }; sleep 0.05; done
}
for id in $progs; do gone prog $id; done
for id in $links; do gone link $id; done
$M --kill-game --cs-dir=$cs --game-id=203 --port=1 && counted >/dev/null
ZENTRA_STAND_IN_BYTES=7000 start --game-id=203 && appears $cs/game_server_203.pid && stop 203
echo "row $(row 203), peer $(counted)"
)sh");
  EXPECT_EQ(r.out, "the job holds BPF programs and links\nrow 7000, peer 7000\n") << r.err;
}

}  // namespace
