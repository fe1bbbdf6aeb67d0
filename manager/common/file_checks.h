// Whether a path names something, asked the two ways the commands need.
#pragma once

#include <string>

// True when `path` names an existing file or directory, links followed.
bool exists(const std::string& path);

// True when the name `path` is taken by anything, a link (even a dangling one) included.
bool name_taken(const std::string& path);
