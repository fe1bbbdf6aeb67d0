// Creating the module's system user.
#pragma once

#include <string>

// Creates the account with useradd and copies the module's launcher and statistics libraries
// into its home; returns `name`. Throws TUError "Can not create system user".
std::string create_user(const std::string& name);

// Creates the first free account of the preferred names, else of "cstrike1000" to
// "cstrike9999"; returns its name. Throws TUError "Can not create system user" when every
// name is taken or useradd fails.
std::string generate_user();
