// The Steam account and client commands, with stand-in updater and installer programs.
#include <gtest/gtest.h>

#include "tests/manager/games/game_host.h"

using zentra_test::on_game_host;

TEST(Steam, AccountRequestsRunTheUpdaterAsTheUserWithItsGroupsOnly) {
  // The manager starts with supplementary groups of its own, which must not reach the updater.
  const auto r = on_game_host(R"(
cat > /home/u/steam <<'END'
#!/bin/sh
grep -E '^(Uid|Gid|Groups):' /proc/self/status
echo "in $(pwd) as $USER $LOGNAME home $HOME"
printf '<%s>' "$@"; echo
exit 3
END
chmod 755 /home/u/steam
setpriv --groups=4,27 $M --check-steam-account --sys-user=u --username='a b' --password='p"q' || echo "status $?"
$M --create-steam-account --sys-user=u --username=n --password=p --email=e --question='why?' --answer='$x;y' |
  tail -n 1
$M --check-steam-account --sys-user=root --username=n --password=p || echo "status $?"
$M --check-steam-account --sys-user=nobody-here --username=n --password=p || echo "status $?"
)");
  EXPECT_EQ(r.out,
            "Uid:\t3000\t3000\t3000\t3000\nGid:\t3000\t3000\t3000\t3000\nGroups:\t3000 3001 \n"
            "in /home/u as u u home /home/u\n<-command><list><-username><a b><-password><p\"q>\nstatus 3\n"
            "<-command><create><-username><n><-password><p><-email><e><-question><why?><-answer><$x;y>\n"
            "Failed to change system user\nstatus 1\n"
            "Failed to change system user\nstatus 1\n");
}

TEST(Steam, ClientCopiedIntoTheHome) {
  const auto r = on_game_host(R"(
mkdir -p /tmp/client /tmp/empty /home/u/.steam/cache && printf updater > /tmp/client/steam
chmod 600 /tmp/client/steam
$M --copy-steam-client --path=/tmp/client --sys-user=u
stat -c '%U %a' /home/u/steam && cat /home/u/steam && echo && ls -A /home/u | grep -c steam
printf other > /tmp/other
$M --copy-steam-client --path=/tmp/other --sys-user=u && cat /home/u/steam && echo
$M --copy-steam-client --path=/tmp/empty --sys-user=u || echo "status $?"
$M --copy-steam-client --path=/tmp/none --sys-user=u || echo "status $?"
$M --copy-steam-client --path=/tmp/other --sys-user=root || echo "status $?"
$M --copy-steam-client --path=/tmp/other --sys-user=nobody-here || echo "status $?"
)");
  EXPECT_EQ(r.out,
            "u 750\nupdater\n1\nother\nSteam client was not found\nstatus 1\n"
            "Steam client was not found\nstatus 1\n"
            "Failed to change system user\nstatus 1\nCan not found systrm usser\nstatus 1\n");
}

TEST(Steam, InstallerRunsAsTheUserOnTheGivenInput) {
  // Only root may read the installer: the manager hands it over.
  const auto r = on_game_host(R"(
cat > /tmp/installer <<'END'
#!/bin/sh
read answer
echo "installer as $(id -un) in $(pwd) read $answer"
printf updater > steam
END
chmod 700 /tmp/installer && rm /bin/uncompress
$M --install-steam-client --exec-file=/tmp/installer --sys-user=u --input='yes
'
stat -c %U /home/u/steam && ls /home/u && readlink /bin/uncompress
$M --install-steam-client --exec-file=/tmp/none --sys-user=u --input=y || echo "status $?"
)");
  EXPECT_EQ(r.out,
            "installer as u in /home/u read yes\nu\nsteam\ngunzip\nFile was not found\nstatus 1\n");
}

TEST(Steam, DescriptorsThePanelLeftOpenDoNotReachTheUpdater) {
  const auto r = on_game_host(R"(
echo secret > /etc/victim && chmod 600 /etc/victim
printf '#!/bin/sh\ncat <&7 2>/dev/null || echo closed\n' > /home/u/steam && chmod 755 /home/u/steam
$M --check-steam-account --sys-user=u --username=n --password=p 7</etc/victim
)");
  EXPECT_EQ(r.out, "closed\n");
}
