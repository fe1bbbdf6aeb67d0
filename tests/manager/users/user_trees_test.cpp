// The account owns its home and the installation; root working there must give it nothing
// more: links it plants lead nowhere, and values that would leave the tree are refused.
#include <gtest/gtest.h>

#include "tests/manager/games/game_host.h"

using zentra_test::on_game_host;

TEST(UserTrees, LinksPlantedByTheAccountReachNoFileOfRoot) {
  const auto r = on_game_host(R"(
echo secret > /etc/victim && chmod 600 /etc/victim && echo new > /tmp/upload && echo client > /tmp/steam
ln -s /etc/victim /home/u/steam
ln -s /etc/victim $cs/cstrike/mapcycle_7.txt
ln -s /etc/victim $cs/cstrike/server.cfg
ln -s /etc/victim $cs/cstrike/maps/de_l.bsp
ln -s /etc/victim $cs/cstrike/maps/de_z.bsp && mkdir /tmp/a && touch /tmp/a/de_z.bsp
cd /tmp/a && zip -q /tmp/z.zip de_z.bsp && cd /
mkdir /etc/victim.d && ln -s /etc/victim.d $cs/czero/maps/sub
touch /etc/victim.d/de_r.txt && mkdir $cs/other && ln -s /etc/victim.d $cs/other/maps
ln -s /etc /home/u/etc
{
$M --set-cs-dir --cs-dir=/home/u/etc/victim.d --sys-user=u
$M --copy-steam-client --path=/tmp/steam --sys-user=u
$M --set-game-maps --cs-dir=$cs --sys-user=u --game=cstrike --game-id=7 --file=/tmp/upload
$M --save-to-config-file --cs-dir=$cs --sys-user=u --game=cstrike --file=/tmp/upload
$M --install-map --cs-dir=$cs --sys-user=u --file=/tmp/upload --uploadfile-name=de_l.bsp
$M --install-map --cs-dir=$cs --sys-user=u --file=/tmp/z.zip --uploadfile-name=z.zip
$M --set-game-maps --cs-dir=$cs/czero/maps --sys-user=u --game=sub --game-id=1 --file=/tmp/upload
$M --game-maps --cs-dir=$cs --game=cstrike --game-id=7
$M --config-file-content --cs-dir=$cs --game=cstrike
$M --remove-map --cs-dir=$cs --game=other --map-name=de_r
} 2>/dev/null | grep -v /tmp/cs_ || true  # unzip's listing left out; the views show the uploads
stat -c '%U %a %s' /etc/victim && stat -c '%U %a' /etc/victim.d && ls /etc/victim.d
)");
  // The uploads took the places of the links at the map cycle and the configuration.
  EXPECT_EQ(r.out, "Failed to change directory owner\nnew\nnew\nroot 600 7\nroot 755\nde_r.txt\n");
}

TEST(UserTrees, UnsafeValuesAreRefusedBeforeAnythingChanges) {
  const auto r = on_game_host(R"(
cd $cs/cstrike/maps && touch de_x.bsp /tmp/upload && ls -lR $cs > /tmp/before
for args in "--remove-map --cs-dir=$cs --game=cstrike --map-name=*" \
            "--remove-map --cs-dir=$cs --game=.. --map-name=x" \
            "--install-map --cs-dir=$cs --sys-user=u --file=/tmp/upload --uploadfile-name=../de_x.bsp" \
            "--set-game-maps --cs-dir=$cs --sys-user=u --game=cstrike --game-id=7/../../x --file=/tmp/upload" \
            "--save-to-config-file --cs-dir=$cs --sys-user=u --game=cstrike --config-id=1 --config-dir=../ --file=/tmp/upload" \
            "--save-to-config-file --cs-dir=$cs --sys-user=u --game=cstrike --config-id=. --file=/tmp/upload"; do
  $M $args || echo "status $?"
done
ls -lR $cs | diff /tmp/before - && ls_tmp
)");
  EXPECT_EQ(r.out,
            "Unsafe value of option '--map-name'\nstatus 1\nUnsafe value of option '--game'\nstatus 1\n"
            "Unsafe value of option '--uploadfile-name'\nstatus 1\nUnsafe value of option '--game-id'\nstatus 1\n"
            "Unsafe value of option '--config-dir'\nstatus 1\nUnsafe value of option '--config-id'\nstatus 1\n"
            "before\nupload\n");
}

TEST(UserTrees, CheckInstallRacedByTheAccountMakesItsLinkNowhereElse) {
  // The account flips the link's name between absent and a link to a directory of root's.
  const auto r = on_game_host(R"(
mkdir -p $cs/cssource /etc/victim.d && touch $cs/cssource/srcds_run && chown -R u $cs/cssource
setpriv --reuid=u --regid=u --clear-groups sh -c \
  "while :; do ln -s /etc/victim.d $cs/cssource/hlds_run; rm -f $cs/cssource/hlds_run; done" &
for i in $(seq 150); do $M --check-install --cs-dir=$cs 2>/dev/null; done | sort | uniq -c | sed 's/^ *//'
kill $! && ls -A /etc/victim.d
)");
  EXPECT_EQ(r.out, "150 Half-Life dedicated server is installed\n");
}

TEST(UserTrees, FilesRootOwnsAreReplacedAndHandedToTheAccount) {
  // An admin's hand edits: root's files in the account's directories and in root's own.
  const auto r = on_game_host(R"sh(
printf 'new\n' > /tmp/upload && chmod 644 /tmp/upload
echo old > $cs/cstrike/mapcycle_7.txt && chmod 640 $cs/cstrike/mapcycle_7.txt
mkdir $cs/rooted && echo old > $cs/rooted/server.cfg && echo old > /home/u/steam
echo old > $cs/czero/maps/de_o_cs.bsp
mkdir -p /tmp/a/cstrike/maps && echo new > /tmp/a/cstrike/maps/de_t.bsp && (cd /tmp/a && zip -qr /tmp/t.zip .)
echo old > $cs/cstrike/maps/de_t.bsp
$M --set-game-maps --cs-dir=$cs --sys-user=u --game=cstrike --game-id=7 --file=/tmp/upload
$M --save-to-config-file --cs-dir=$cs --sys-user=u --game=rooted --file=/tmp/upload
$M --save-to-config-file --cs-dir=$cs --sys-user=u --game=rooted --config-id=2 --file=/tmp/upload
$M --copy-steam-client --path=/tmp/upload --sys-user=u
$M --install-map --cs-dir=$cs --sys-user=u --file=/tmp/upload --uploadfile-name=de_o_cs.bsp
$M --install-map --cs-dir=$cs --sys-user=u --file=/tmp/t.zip --uploadfile-name=t.zip | grep -v /tmp/cs_ || true
cd $cs && for f in cstrike/mapcycle_7.txt rooted/server.cfg rooted/config_2.cfg /home/u/steam czero/maps/de_o_cs.bsp \
                   cstrike/maps/de_t.bsp; do echo "$f $(stat -c '%U %a' $f) $(cat $f)"; done
ls -A cstrike rooted /home/u | grep zentra || echo "nothing left beside"
)sh");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "cstrike/mapcycle_7.txt u 640 new\nrooted/server.cfg u 644 new\nrooted/config_2.cfg u 644 new\n"
            "/home/u/steam u 750 new\nczero/maps/de_o_cs.bsp u 644 new\ncstrike/maps/de_t.bsp u 644 new\n"
            "nothing left beside\n");
}

TEST(UserTrees, LinksOnTheWayLeadRootNowhere) {
  // Links the account planted, and one a map archive brings along in place of a game directory.
  const auto r = on_game_host(R"(
mkdir -m 700 /etc/secret.d && mkdir /etc/secret.d/maps && touch /etc/secret.d/maps/de_secret.bsp /etc/victim
ln -s /etc /home/u/srv && ln -s /etc/secret.d $cs/planted && rmdir $cs/czero/maps $cs/czero
mkdir /tmp/a && ln -s /etc/secret.d /tmp/a/czero && touch /tmp/a/de_a.bsp && (cd /tmp/a && zip -qy /tmp/z.zip czero de_a.bsp)
$M --install-map --cs-dir=$cs --sys-user=u --file=/tmp/z.zip --uploadfile-name=z.zip >/dev/null 2>&1
for game in planted czero; do
  $M --maps-list --cs-dir=$cs --game=$game 2>/dev/null
  $M --check-game --cs-dir=$cs --game=$game || true
done
ln -s /etc /tmp/etc  # as any account may in /tmp
for dir in /home/u/srv/newdir /tmp/etc/newdir2; do
  $M --set-cs-dir --cs-dir=$dir/cs --sys-user=u 2>/dev/null || echo "status $?"
done
$M --delete-file --file=/home/u/srv/victim && $M --delete-file --file=/home/u/none
test -e /etc/victim && echo "victim kept"; ls /etc | grep newdir || echo "no newdir"
)");
  EXPECT_EQ(r.out,
            "planted game is not installed\nczero game is not installed\n"
            "Failed to change directory owner\nstatus 1\nFailed to change directory owner\nstatus 1\n"
            "victim kept\nno newdir\n");
}
