// The game configuration written for each start of a game server: a copy of its base
// configuration followed by the start options of the panel.
#pragma once

#include <string>

#include "manager/games/game_settings.h"

// "<cs-dir>/<game><config-dir>/game_config_<id>.cfg".
std::string game_config_path(const GameServerSettings& job);

// The block appended to the copy: two empty lines, a comment, then the lines servercfgfile,
// mapcyclefile (of `map_cycle`), hostname, rcon_password, sv_password and sv_lan.
std::string game_config_block(const GameServerSettings& job, const std::string& map_cycle);

// Writes the game configuration as the calling user (the system user, after the switch):
// the base configuration copied (nothing when it cannot be opened), the block appended, the
// file made anew with mode 0600 and given to the system user. Throws TUError "Can not write
// the game configuration <path>: <reason>" unless the whole file was written and closed.
void write_game_config(const GameServerSettings& job);
