// System users and the installation checks, with the real useradd, cp, chown and ln.
#include <gtest/gtest.h>

#include "tests/manager/games/game_host.h"

using zentra_test::on_game_host;
using zentra_test::sandbox_run;

TEST(SystemUsers, PreferredNamesInOrderThenANumberedOneEachWithTheModuleFiles) {
  const auto r = sandbox_run(R"(
M=$ZENTRA_MNG lib32=$ZENTRA_MODULE_DIR/libstatistics32.so.1.0.0
$M --create-system-user
useradd hlds
$M --create-system-user
for name in cs c_strike cs_game counter; do useradd $name; done
$M --create-system-user | grep -qE '^cstrike[1-9][0-9]{3}$' && echo numbered
grep "^hlds_l:" /etc/passwd | cut -d: -f5-
for file in shaper libstatistics.so.1.0.0 $(test -e $lib32 && echo libstatistics32.so.1.0.0); do
  cmp $ZENTRA_MODULE_DIR/$file /home/hlds_l/$file && stat -c %U $ZENTRA_MODULE_DIR/$file /home/hlds_l/$file
done
)");
  EXPECT_EQ(r.err, "");
  // Root keeps the module's files and the copies; the 32-bit library where it is shipped.
  const std::string copies = "root\nroot\n";
  std::string expected = "cstrike\nhlds_l\nnumbered\nKelvor's Counter-Strike:/home/hlds_l:/bin/false\n";
  expected += copies + copies;
  if (r.out.size() > expected.size()) expected += copies;
  EXPECT_EQ(r.out, expected);
}

TEST(SystemUsers, TheNumberedSearchFindsTheLastFreeNameThenGivesUp) {
  const auto r = sandbox_run(R"(
M=$ZENTRA_MNG
for name in cstrike hlds hlds_l cs c_strike cs_game counter $(seq -f 'cstrike%.0f' 1000 9999); do
  echo "$name:x:40000:40000::/nonexistent:/bin/false"
done | grep -v '^cstrike5000:' >> /etc/passwd
$M --create-system-user
$M --create-system-user || echo "status $?"
)");
  EXPECT_EQ(r.out, "cstrike5000\nCan not create system user\nstatus 1\n");
}

TEST(SystemUsers, InstallationChecks) {
  const auto r = on_game_host(R"(
mkdir -p /tmp/hl /tmp/src/cssource && touch /tmp/hl/hlds_run /tmp/src/cssource/srcds_run
$M --check-install --cs-dir=/tmp/hl && ls /tmp/hl
$M --check-install --cs-dir=/tmp/src && readlink /tmp/src/cssource/hlds_run
$M --check-install --cs-dir=/tmp/src
$M --check-install --cs-dir=/tmp/none || echo "status $?"
$M --check-game --cs-dir=$cs --game=cstrike
$M --check-game --cs-dir=/tmp/hl --game=czero || echo "status $?"
$M --delete-file --file=/tmp/hl/none && $M --delete-file --file=/tmp/hl/hlds_run && ls /tmp/hl
ln -s /tmp /home/tmp  # root's own link on the way is followed
$M --set-cs-dir --cs-dir=/home/tmp/new/cs --sys-user=u && find /tmp/new -printf '%P %u\n'
$M --set-cs-dir --cs-dir=$cs --sys-user=nobody-here 2>/dev/null || echo "status $?"
find $cs ! -user u
)");
  EXPECT_EQ(r.err, "");  // a second ln would have complained that the link exists
  EXPECT_EQ(r.out,
            "Half-Life dedicated server is installed\nhlds_run\n"
            "Half-Life dedicated server is installed\n/tmp/src/cssource/srcds_run\n"
            "Half-Life dedicated server is installed\n"
            "Half-Life dedicated server is not installed\nstatus 1\n"
            "cstrike game is installed\nczero game is not installed\nstatus 1\n"
            " root\ncs u\n"
            "Failed to change directory owner\nstatus 1\n");
}

TEST(SystemUsers, CallerThatIgnoresChildrenDoesNotHideTheirEnd) {
  // An ignored SIGCHLD, passed on by the caller, would make every waitpid fail (ECHILD).
  const auto r = sandbox_run(
      R"(exec perl -e '$SIG{CHLD} = "IGNORE"; exec @ARGV or die' "$ZENTRA_MNG" --create-system-user)");
  EXPECT_EQ(r.out, "cstrike\n") << r.err;
}
