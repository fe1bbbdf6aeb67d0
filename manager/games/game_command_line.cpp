#include "manager/games/game_command_line.h"

#include "manager/common/file_checks.h"
#include "manager/common/programs.h"
#include "manager/games/server_files.h"
#include "sys/read_output.h"

using kelvor::sys::TEArgs;

bool use_amd_binary(const std::string& cs_dir) {
  std::string machine;
  kelvor::sys::read_output(program({"uname", "-m"}), machine);
  if (machine.find("x86_64") == std::string::npos) return false;
  if (!exists(cs_dir + "/hlds_amd64")) return false;
  // The 64-bit server needs the old C++ library; where the host has it, the i686 one runs.
  return !exists("/usr/lib64/libstdc++.so.5");
}

TEArgs game_server_command_line(const GameServerSettings& job, const std::string& home) {
  TEArgs args;
  args.add({home + "/shaper", "-g", "-l", home + "/libstatistics.so.1.0.0", "-o",
            statistics_fifo_path(job.game_id), "--", "./hlds_run"});
  if (use_amd_binary(job.cs_dir)) args.add({"-binary", "./hlds_amd"});
  args.add({"-game", job.game});
  if (!job.ip.empty()) args.add({"+ip", job.ip});
  args.add({"-port", job.port, "+maxplayers", job.maxplayers});
  if (!job.map.empty()) args.add({"+map", job.map});
  args.add({"+servercfgfile", "game_config_" + job.game_id + ".cfg"});
  args.add(job.secure == "0" ? "-insecure" : "-secure");
  if (job.autoupdate) args.add("-autoupdate");
  if (job.no_master) args.add("-nomaster");
  args.add({"-pidfile", server_pid_path(job.cs_dir, job.game_id)});
  return args;
}
