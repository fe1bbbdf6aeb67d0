// The map commands, with the real ls, grep, sed, cat, cp, chown, unzip and find.
#include <gtest/gtest.h>

#include "tests/manager/games/game_host.h"

using zentra_test::on_game_host;

TEST(Maps, ListAndMapCycles) {
  const auto r = on_game_host(R"(
cd $cs/cstrike/maps && touch de_dust2.bsp de_dust2.txt readme.txt de_bsp_arena.bsp notes_bsp
$M --maps-list --cs-dir=$cs --game=cstrike
echo default > $cs/cstrike/mapcycle.txt
$M --game-maps --cs-dir=$cs --game=cstrike --game-id=7
echo de_dust2 > /tmp/upload && chmod 600 /tmp/upload
$M --set-game-maps --cs-dir=$cs --sys-user=u --game=cstrike --game-id=7 --file=/tmp/upload
$M --game-maps --cs-dir=$cs --game=cstrike --game-id=7
$M --game-maps --cs-dir=$cs --game=czero --game-id=7 2>/dev/null
stat -c '%U %a' $cs/cstrike/mapcycle_7.txt /tmp/upload
)");
  EXPECT_EQ(r.out, "de_bsp_arena\nde_dust2\ndefault\nde_dust2\nu 600\nroot 600\n");
}

TEST(Maps, InstallMapByNameAndArchiveLayout) {
  const auto r = on_game_host(R"(
# unzip's own listing of the temporary directory is left out.
install() { $M --install-map --cs-dir=$cs --sys-user=u --file=$1 --uploadfile-name=$2 > /home/out 2>/dev/null ||
            echo "status $?"; grep -v /tmp/cs_ /home/out || true; }
archive() { zip="/tmp/$1.zip"; shift; mkdir -p /tmp/a && cd /tmp/a && mkdir -p "$@" && rmdir "$@" &&
            touch "$@" && zip -qr $zip . && cd / && rm -rf /tmp/a; }
echo map > /tmp/map && chmod 600 /tmp/map
install /tmp/map de_a_cs.bsp && install /tmp/map de_a_cz.bsp && install /tmp/map de_b.bsp
archive trees cstrike/maps/de_t.bsp czero/maps/de_z.bsp && install /tmp/trees.zip t.zip
archive loose_cz de_x_cz.bsp de_x.txt sub/deep.res && install /tmp/loose_cz.zip x.zip
archive loose de_y.bsp de_y.wad && install /tmp/loose.zip .bsp
archive readme readme.txt && install /tmp/readme.zip r.zip
echo broken > /tmp/broken.zip && install /tmp/broken.zip b.zip
find $cs -type f -printf '%P %u\n' | sort
ls_tmp | grep -v zip
)");
  EXPECT_EQ(r.out,
            "status 1\nCan not recognize map archive\nstatus 1\nUnzip was failed\n"
            "cstrike/maps/de_a_cz.bsp u\ncstrike/maps/de_b.bsp u\ncstrike/maps/de_t.bsp u\n"
            "cstrike/maps/de_y.bsp u\ncstrike/maps/de_y.wad u\n"
            "czero/maps/de_a_cs.bsp u\nczero/maps/de_x.txt u\nczero/maps/de_x_cz.bsp u\nczero/maps/deep.res u\n"
            "map\n");
}

TEST(Maps, RemoveMapTakesTheMapsFilesOnly) {
  const auto r = on_game_host(R"(
cd $cs/cstrike/maps && mkdir sub && touch de_x.bsp de_x.txt sub/de_x.res de_x_cz.bsp de_xy.bsp de_x && chown -R u .
$M --remove-map --cs-dir=$cs --game=cstrike --map-name=de_x
find . -type f | sort
)");
  EXPECT_EQ(r.out, "./de_x\n./de_x_cz.bsp\n./de_xy.bsp\n");
}

TEST(Maps, ViewsAndArchivesAreBoundedInSize) {
  // A file view shows up to 4 MiB; an archive may hold 256 MiB in 2048 entries at most.
  const auto r = on_game_host(R"(
head -c 4194304 /dev/zero | tr '\0' x > $cs/cstrike/mapcycle_7.txt
$M --game-maps --cs-dir=$cs --game=cstrike --game-id=7 | cmp - $cs/cstrike/mapcycle_7.txt && echo "limit shown"
truncate -s 1T $cs/cstrike/mapcycle_7.txt
$M --game-maps --cs-dir=$cs --game=cstrike --game-id=7 2>/home/err | wc -c && grep -c large /home/err
mkdir -p /tmp/big /tmp/many && truncate -s 257M /tmp/big/de_big.bsp && (cd /tmp/big && zip -q /tmp/big.zip de_big.bsp)
cd /tmp/many && touch $(seq -f 'de_%.0f.bsp' 2049) && zip -q /tmp/many.zip * && zip -q /tmp/small.zip de_1.bsp
cd / && rm -rf /tmp/big /tmp/many
# The archive $1 as $2, the headers of its one entry claiming $3 bytes; unzip writes what the data holds.
claim() { python3 -c 'import struct, sys; d = bytearray(open(sys.argv[1], "rb").read()); c = d.rfind(b"PK\1\2")
d[22:26] = d[c + 24:c + 28] = struct.pack("<I", int(sys.argv[3])); open(sys.argv[2], "wb").write(d)' "$@"; }
claim /tmp/big.zip /tmp/lie.zip 1000 && claim /tmp/small.zip /tmp/claim.zip 300000000
for zip in big many lie claim; do
  $M --install-map --cs-dir=$cs --sys-user=u --file=/tmp/$zip.zip --uploadfile-name=$zip.zip || echo "status $?"
done
ls $cs/cstrike/maps && ls_tmp
)");
  EXPECT_EQ(r.out,
            "limit shown\n0\n1\n"
            "Unzip was failed\nstatus 1\nUnzip was failed\nstatus 1\nUnzip was failed\nstatus 1\n"
            "Unzip was failed\nstatus 1\nbig.zip\nclaim.zip\nlie.zip\nmany.zip\nsmall.zip\n");
}
