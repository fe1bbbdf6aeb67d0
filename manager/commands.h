// The command table: one row per command name, tried in this order.
#pragma once

#include <span>

#include "opt/oparsing.h"

// Runs one command; returns true when it was handled, raises on failure.
using CommandHandler = bool (*)(kelvor::opt::TOParsing parsing);

struct Command {
  const char* name;
  CommandHandler handler;
};

// The 23 commands in dispatch order.
std::span<const Command> command_table();

// The handlers, by area.
bool create_system_user(kelvor::opt::TOParsing);
bool delete_file(kelvor::opt::TOParsing);
bool check_install(kelvor::opt::TOParsing);
bool check_game(kelvor::opt::TOParsing);
bool set_cs_dir(kelvor::opt::TOParsing);
bool create_steam_account(kelvor::opt::TOParsing);
bool check_steam_account(kelvor::opt::TOParsing);
bool update_games(kelvor::opt::TOParsing);
bool game_update_log(kelvor::opt::TOParsing);
bool kill_updates(kelvor::opt::TOParsing);
bool copy_steam_client(kelvor::opt::TOParsing);
bool install_steam_client(kelvor::opt::TOParsing);
bool start_game(kelvor::opt::TOParsing);
bool game_started(kelvor::opt::TOParsing);
bool kill_game(kelvor::opt::TOParsing);
bool maps_list(kelvor::opt::TOParsing);
bool game_maps(kelvor::opt::TOParsing);
bool set_game_maps(kelvor::opt::TOParsing);
bool install_map(kelvor::opt::TOParsing);
bool remove_map(kelvor::opt::TOParsing);
bool config_file_content(kelvor::opt::TOParsing);
bool save_to_config_file(kelvor::opt::TOParsing);
bool help(kelvor::opt::TOParsing);
