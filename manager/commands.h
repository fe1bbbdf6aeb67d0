// The command table: one row per command name, tried in this order, with the options the
// command reads, in the order it reads them.
#pragma once

#include <span>
#include <vector>

#include "manager/command_options.h"

// Runs one command with its options' values; returns true when it was handled, raises on
// failure.
using CommandHandler = bool (*)(const OptionValues& options);

struct Command {
  const char* name;
  std::vector<OptionSpec> options;
  CommandHandler handler;
  // False: the handler runs whatever else the command line holds, without the product
  // configuration.
  bool checks_command_line = true;
};

// The 23 commands in dispatch order.
std::span<const Command> command_table();

// The handlers, by area.
bool create_system_user(const OptionValues&);
bool delete_file(const OptionValues&);
bool check_install(const OptionValues&);
bool check_game(const OptionValues&);
bool set_cs_dir(const OptionValues&);
bool create_steam_account(const OptionValues&);
bool check_steam_account(const OptionValues&);
bool update_games(const OptionValues&);
bool game_update_log(const OptionValues&);
bool kill_updates(const OptionValues&);
bool copy_steam_client(const OptionValues&);
bool install_steam_client(const OptionValues&);
bool start_game(const OptionValues&);
bool game_started(const OptionValues&);
bool kill_game(const OptionValues&);
bool maps_list(const OptionValues&);
bool game_maps(const OptionValues&);
bool set_game_maps(const OptionValues&);
bool install_map(const OptionValues&);
bool remove_map(const OptionValues&);
bool config_file_content(const OptionValues&);
bool save_to_config_file(const OptionValues&);
bool help(const OptionValues&);
