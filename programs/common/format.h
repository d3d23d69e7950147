// Sizes and counts as qvdisk shows them (names: termtext.h).
#pragma once

#include <cstdint>
#include <string>

// 1023 B, 1.5 KiB, ... TiB, one decimal.
std::string human(uint64_t bytes);
// 1,234,567
std::string grouped(uint64_t n);
