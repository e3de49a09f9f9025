// Filler text carried in the launcher's read-only data; nothing reads it.
#pragma once

#include <stddef.h>

#include <array>

constexpr size_t FILLER_TEXT_BYTES = 64 * 1024;

extern const std::array<char, FILLER_TEXT_BYTES> g_fillerText;
