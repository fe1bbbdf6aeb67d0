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
} 2>/dev/null | grep -v /tmp/cs_ || true  # but for unzip's listing, nothing is shown
stat -c '%U %a %s' /etc/victim && stat -c '%U %a' /etc/victim.d && ls /etc/victim.d
)");
  EXPECT_EQ(r.out, "Failed to change directory owner\nroot 600 7\nroot 755\nde_r.txt\n");
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
