// Finding a job's processes through /proc and signalling exactly the one that was checked.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// The processes of this pid namespace, as /proc lists them.
std::vector<pid_t> all_processes();

// True when one of the process's descriptors is open on the file (device, inode).
bool holds_open(pid_t pid, dev_t device, ino_t inode);

// The process's name as the kernel keeps it (/proc/<pid>/comm); empty when it is gone.
std::string process_name(pid_t pid);

// The process's NUL-separated arguments or environment ("cmdline", "environ"), split; empty
// when unreadable.
std::vector<std::string> process_strings(pid_t pid, const std::string& which);

// Sends `signal` to pid when its real, effective and saved user ids are all `owner` and
// is_it(pid) (if given) holds, all checked on the process that receives it even if the pid
// is reused meanwhile; false when not sent.
bool signal_checked(pid_t pid, uid_t owner, int signal, const std::function<bool(pid_t)>& is_it = {});
