// SHA-256 (FIPS 180-4) of a byte string, for the instructions version.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kelvo::refresh {

std::array<uint8_t, 32> sha256(std::string_view bytes);

}  // namespace kelvo::refresh
