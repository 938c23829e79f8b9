// Copy of a registry key with all its values and subkeys.
#pragma once

#include "platform/platform.h"

// Copies the key source_key_path under HKEY_LOCAL_MACHINE, with every value
// and every subkey at any depth, to dest_key_path under root_key. Values
// move byte for byte (through the wide calls, so text outside the ANSI code
// page survives). Every failure is fatal; the result is always 1.
int copy_registry_tree(platform::HKEY root_key, const char* source_key_path, const char* dest_key_path);
