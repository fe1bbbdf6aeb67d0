// The three standard streams, made safe to rely on before any work is done.
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no pipe or file
// the manager opens later can take a standard stream's number and be closed or written by
// mistake when a program's streams are arranged.
void ensure_standard_streams();

// Marks every descriptor above the standard streams close-on-exec: what the caller left
// open (a root-only file, a socket of the panel's) must not reach the programs the manager
// runs, the account's among them.
void close_inherited_descriptors_on_exec();
