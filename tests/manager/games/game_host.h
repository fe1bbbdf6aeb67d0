// A sandboxed host with the module's system user and a game installation handed to it.
#pragma once

#include <string>

#include "tests/manager/manager_run.h"

namespace zentra_test {

// Shell lines: the account "u" (uid and group 3000, also in group "extra", 3001) and the
// installation $cs = /home/cs with both games' maps directories, given to it by set-cs-dir.
// $M is the manager. ls_tmp lists /tmp without what the sandbox brought along (a checkout or
// build directory that lives below /tmp).
inline const std::string kGameHost = R"(
M=$ZENTRA_MNG cs=/home/cs kept_in_tmp=$(ls /tmp)
ls_tmp() { ls /tmp | grep -vxF "${kept_in_tmp:-/}" || true; }
groupadd -g 3000 u && useradd -m -u 3000 -g 3000 u && groupadd -g 3001 extra && usermod -aG extra u
mkdir -p $cs/cstrike/maps $cs/czero/maps
$M --set-cs-dir --cs-dir=$cs --sys-user=u
)";

// Runs `script` on such a host.
inline RunResult on_game_host(const std::string& script) { return sandbox_run(kGameHost + script); }

}  // namespace zentra_test
