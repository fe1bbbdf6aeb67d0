// The update commands end to end: the manager, the launcher and the statistics library as
// installed, the stand-in updater and a private panel database, all inside the sandbox.
#include <gtest/gtest.h>

#include "tests/support/sandbox.h"

namespace {

// Shell lines run first. $M is the manager, $cs the installation, "u" the system user.
//   plan GAME WORDS   what the stand-in updater does for GAME (tests/stand-ins/steam_updater.c)
//   rows              the update rows in the database, "param<TAB>val" sorted by param
//   await FILE        waits until FILE exists
//   job_done          waits until the update lock and FIFO are gone
//   gone              says so when the update lock and FIFO are gone
const std::string kUpdateHost = R"(
M=$ZENTRA_MNG cs=/home/cs
ZENTRA_TEST_DB_TMP=/tmp "$SOURCE_DIR/scripts/test-db" start /tmp/db >/dev/null
. /tmp/db/env
mkdir -p /etc/vexa && echo "$ZENTRA_TEST_DB_PASSWORD" > /etc/vexa/.vexa.shadow
export VEXA_DB_HOST=127.0.0.1 VEXA_DB_PORT=$ZENTRA_TEST_DB_PORT
useradd -m u
cp "$ZENTRA_MODULE_DIR"/shaper "$ZENTRA_MODULE_DIR"/libstatistics*.so.1.0.0 /home/u/
cp "$STAND_IN" /home/u/steam
mkdir $cs && chown u $cs
sql() { mariadb --no-defaults -uroot -S "$ZENTRA_TEST_DB_SOCKET" -N -B vexa -e "$1"; }
rows() { sql "SELECT param, val FROM module_zentra_parameters ORDER BY param"; }
plan() { printf '%s\t%s\n' "$1" "$2" >> /home/u/steam.plan; }
await() { while [ ! -e "$1" ]; do sleep 0.05; done; }
job_done() { while [ -e /tmp/.cs_update ] || [ -e /tmp/.cs_ustatistics.pipe ]; do sleep 0.05; done; }
gone() { [ -e /tmp/.cs_update ] || [ -e /tmp/.cs_ustatistics.pipe ] || echo "lock and FIFO gone"; }
)";

zentra_test::RunResult on_update_host(const std::string& script) {
  return zentra_test::sandbox_run(kUpdateHost + script,
                                  {"SOURCE_DIR=" + zentra_test::source_dir(), "STAND_IN=" STEAM_STAND_IN});
}

TEST(UpdateGames, RowsLogsAndResultsOfEachGame) {
  const auto r = on_update_host(R"(
mkdir /home/u/log && echo old > /home/u/log/update_gone.log && echo 1 > /home/u/log/update_gone.res
chown -R u /home/u/log
plan 'Counter-Strike Source' 'bytes=300000 records=4'
plan cstrike 'bytes=123457 chunk=1000 records=2 status=3'
$M --update-games --cs-dir=$cs --sys-user=u --games='cssource
  cstrike' --username=a --no-daemon=1 2>/dev/null
rows && ls /home/u/log && readlink $cs/cssource/hlds_run
cat /home/u/log/update_cssource.res /home/u/log/update_cstrike.res && echo
$M --game-update-log --game=cssource --sys-user=u | sed 's/ in .* s$//'
$M --game-update-log --game=czero --sys-user=u && gone
echo ---
plan "it's" 'bytes=1000 records=1'
$M --update-games --cs-dir=$cs --sys-user=u --games="it's" --username=a --password='p q' --no-daemon=1 2>/dev/null
rows | grep "it's" && ls /home/u/log && head -n 1 "/home/u/log/update_it's.log"
grep -c "mod::it\\\\'s\.update\." "$ZENTRA_TEST_DB_LOG" && ! grep "mod::it's" "$ZENTRA_TEST_DB_LOG"
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
            "7\n")
      << r.err;
}

}  // namespace
