// Which DirectX release is installed.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// ((major * 256) + minor) * 256 + letter number (a = 1 ... z = 26, else 0).
using PackedDirectXVersion = std::uint32_t;
// a.b.c.d, 16 bits each, a in the top bits.
using FileVersion64 = std::uint64_t;

platform::HRESULT query_directx_version(PackedDirectXVersion* packed, char* text, std::int32_t text_length);
platform::HRESULT directx_version_from_diagnostics(std::int32_t* major, std::int32_t* minor, char* letter);
platform::HRESULT directx_version_from_file_versions(std::int32_t* major, std::int32_t* minor, char* letter);
platform::HRESULT read_file_version(const char* path, FileVersion64* version);
FileVersion64 pack_version(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d);
std::int32_t compare_packed_versions(FileVersion64 x, FileVersion64 y);
