#include "manager/commands.h"

namespace {

const Command kCommands[] = {
    {"create-system-user", create_system_user},
    {"delete-file", delete_file},
    {"check-install", check_install},
    {"check-game", check_game},
    {"set-cs-dir", set_cs_dir},
    {"create-steam-account", create_steam_account},
    {"check-steam-account", check_steam_account},
    {"update-games", update_games},
    {"game-update-log", game_update_log},
    {"kill-updates", kill_updates},
    {"copy-steam-client", copy_steam_client},
    {"install-steam-client", install_steam_client},
    {"start-game", start_game},
    {"game-started", game_started},
    {"kill-game", kill_game},
    {"maps-list", maps_list},
    {"game-maps", game_maps},
    {"set-game-maps", set_game_maps},
    {"install-map", install_map},
    {"remove-map", remove_map},
    {"config-file-content", config_file_content},
    {"save-to-config-file", save_to_config_file},
    {"help", help},
};

}  // namespace

std::span<const Command> command_table() { return kCommands; }

// The program has no help text: asking for help succeeds quietly.
bool help(kelvor::opt::TOParsing) { return true; }
