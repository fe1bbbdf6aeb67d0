// Keeping passwords out of the process list, where every local account can read them.
#pragma once

// Overwrites with '*' the value of every "--NAME=value" in argv[1..argc-1] whose option is a
// password. Call it once the command line has been copied: a background job keeps its
// command line for as long as its game server or update runs.
void hide_secret_values(int argc, char** argv);
