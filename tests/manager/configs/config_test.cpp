// Showing and replacing a game server's configuration file.
#include <gtest/gtest.h>

#include "tests/manager/games/game_host.h"

using zentra_test::on_game_host;

TEST(ConfigFiles, NamedByIdAndDirectoryAndGivenToTheUser) {
  const auto r = on_game_host(R"(
save() { $M --save-to-config-file --cs-dir=$cs --sys-user=u --game=cstrike "$@"; }
show() { $M --config-file-content --cs-dir=$cs --game=cstrike "$@"; }
for n in 1 2 3; do echo "text $n" > /tmp/c$n; done
mkdir $cs/cstrike/cfg && chown u $cs/cstrike/cfg
save --config-dir=cfg/ --file=/tmp/c1 && save --config-id=3 --file=/tmp/c2
save --config-id=7 --config-dir=/cfg/ --file=/tmp/c3 && save --config-id=8 --config-dir=cfg --file=/tmp/c3
show --config-dir=/elsewhere/ && show --config-id=3 && show --config-id=7 --config-dir=/cfg/
show --config-id=9 2>/dev/null
find $cs/cstrike -name '*.cfg' -printf '%P %u\n' | sort
)");
  EXPECT_EQ(r.out,
            "text 1\ntext 2\ntext 3\n"
            "cfg/config_7.cfg u\ncfgconfig_8.cfg u\nconfig_3.cfg u\nserver.cfg u\n");
}
