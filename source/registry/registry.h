// Copy of a registry key with all its values and subkeys.
#pragma once

#include "platform/platform.h"

// Copies the key source_key_path under HKEY_LOCAL_MACHINE, with every value
// and every subkey at any depth, to dest_key_path under root_key. Values
// move byte for byte (through the wide calls, so text outside the ANSI code
// page survives). Every failure is fatal; the result is always 1.
int copy_registry_tree(platform::HKEY root_key, const char* source_key_path, const char* dest_key_path);

// Whether the key whole_path under HKEY_LOCAL_MACHINE has every subkey, at
// any depth, that the key part_path has (values are not compared): 1 yes,
// 0 no (a key is missing for sure, or whole_path itself), -1 when the
// registry could not tell. Never fatal. (contains.cpp)
int registry_tree_contains(const char* whole_path, const char* part_path);
