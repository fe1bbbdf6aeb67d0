// The panel's product configuration: "KEY value" lines in /etc/vexa/vexa.conf.
#pragma once

#include <string>

// The value of key `name`, or null when the file is unreadable or no line defines it.
// The pointer stays valid for the life of the process.
const char* get_conf_param(const char* name);

// Loads and checks every standard key; ends the process with a message on the first one
// missing. A second call does nothing.
void load_product_conf();

// PRODUCT_ROOT_D, once load_product_conf() has run; null before.
const char* product_root();

// <PRODUCT_ROOT_D>/admin/bin/modules/zentra/shaper
std::string module_shaper_path();

// <PRODUCT_ROOT_D>/admin/bin/modules/zentra/libstatistics.so.1.0.0
std::string module_library_path();

// <PRODUCT_ROOT_D>/admin/bin/modules/zentra/libstatistics32.so.1.0.0, the i386 build that the
// launcher preloads into 32-bit programs; shipped where the toolchain could build it.
std::string module_library32_path();

namespace panel_conf {

// Finds `name` in a prepared buffer (see prepare_buffer): the first line "KEY<ws>value".
const char* lookup(const char* buffer, size_t size, const char* name);

// Cuts the lines of a buffer of `size` bytes (plus a NUL at buffer[size]) in place:
// every newline and the whitespace before it become NUL.
void prepare_buffer(char* buffer, size_t size);

// Reads a configuration file into the process cache from another path (tests only).
bool load_cache_from(const char* path);

// Forgets the cache and the loaded values (tests only).
void reset_cache();

// How many times a configuration file was read into the cache.
int cache_loads();

}  // namespace panel_conf
