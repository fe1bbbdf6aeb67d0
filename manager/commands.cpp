#include "manager/commands.h"

namespace {

using enum OptionKind;

// Each command's options in the order they are asked for, which decides the error a wrong
// command line gets first.
const Command kCommands[] = {
    {"create-system-user", {}, create_system_user},
    {"delete-file", {{"file", required}}, delete_file},
    {"check-install", {{"cs-dir", required}}, check_install},
    {"check-game", {{"cs-dir", required}, {"game", required}}, check_game},
    {"set-cs-dir", {{"cs-dir", required}, {"sys-user", required}}, set_cs_dir},
    {"create-steam-account",
     {{"sys-user", required}, {"username", required}, {"password", required},
      {"email", required}, {"question", required}, {"answer", required}},
     create_steam_account},
    {"check-steam-account",
     {{"sys-user", required}, {"username", required}, {"password", required}},
     check_steam_account},
    // Here no-daemon carries a value: --no-daemon=1.
    {"update-games",
     {{"cs-dir", required}, {"sys-user", required}, {"games", required},
      {"username", optional}, {"password", optional}, {"no-daemon", optional}},
     update_games},
    {"game-update-log", {{"game", required}, {"sys-user", required}}, game_update_log},
    {"kill-updates", {}, kill_updates},
    {"copy-steam-client", {{"path", required}, {"sys-user", required}}, copy_steam_client},
    {"install-steam-client",
     {{"exec-file", required}, {"sys-user", required}, {"input", required}},
     install_steam_client},
    // Here no-daemon is a bare flag.
    {"start-game",
     {{"cs-dir", required}, {"sys-user", required}, {"game", required}, {"game-id", required},
      {"ip", optional}, {"port", required}, {"hostname", optional}, {"maxplayers", required},
      {"map", optional}, {"config-id", optional}, {"config-dir", optional},
      {"rcon-password", optional}, {"sv-password", optional}, {"sv-lan", required},
      {"secure", required}, {"autoupdate", flag}, {"no-master", flag},
      {"stats-period", optional}, {"no-daemon", flag}},
     start_game},
    {"game-started", {{"cs-dir", required}, {"game-id", required}}, game_started},
    // The port is required, though stopping needs none.
    {"kill-game", {{"cs-dir", required}, {"game-id", required}, {"port", required}}, kill_game},
    {"maps-list", {{"cs-dir", required}, {"game", required}}, maps_list},
    {"game-maps", {{"cs-dir", required}, {"game", required}, {"game-id", required}}, game_maps},
    {"set-game-maps",
     {{"cs-dir", required}, {"sys-user", required}, {"game", required}, {"game-id", required},
      {"file", required}},
     set_game_maps},
    {"install-map",
     {{"cs-dir", required}, {"sys-user", required}, {"file", required},
      {"uploadfile-name", required}},
     install_map},
    {"remove-map", {{"cs-dir", required}, {"game", required}, {"map-name", required}}, remove_map},
    {"config-file-content",
     {{"cs-dir", required}, {"game", required}, {"config-id", optional}, {"config-dir", optional}},
     config_file_content},
    {"save-to-config-file",
     {{"cs-dir", required}, {"sys-user", required}, {"game", required}, {"config-id", optional},
      {"config-dir", optional}, {"file", required}},
     save_to_config_file},
    {"help", {}, help, false},
};

}  // namespace

std::span<const Command> command_table() { return kCommands; }

// The program has no help text: asking for help succeeds quietly.
bool help(const OptionValues&) { return true; }
