// The entry point's logic: one command per run, errors turned into one output line.
#pragma once

// Runs the command named on the command line; returns the process exit status.
int dispatch(int argc, char** argv);
