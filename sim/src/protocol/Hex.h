// Byte strings as the control protocol and the request log write them: lower-case hex without
// separators. Shared by the simulated machine and its control client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qosim {

using Bytes = std::vector<std::uint8_t>;

// Lower-case hex without separators; fromHex accepts upper or lower case and ignores spaces.
std::string toHex(const std::uint8_t* data, std::size_t size);
inline std::string toHex(const Bytes& b) { return toHex(b.data(), b.size()); }
std::optional<Bytes> fromHex(const std::string& text);

}  // namespace qosim
