#pragma once
// Base64 of RFC 4648 (standard alphabet, "=" padding).

#include <optional>

#include "Core/CoreDef.h"

namespace _CODEC {
namespace BASE64 {

// The Base64 text of the bytes of input, without line breaks; empty only
// when encoding raised an error.
std::optional<_STRING> Encode(const _STRING& input);

// The decoded bytes. "=" is accepted only as the padding of the last group
// (at most two) and yields no bytes; unpadded input of k characters gives
// floor(6k/8) bytes. Empty for any character outside the alphabet, misplaced
// padding, or a length that leaves one character over after whole groups.
std::optional<_STRING> Decode(const _STRING& input);

}  // namespace BASE64
}  // namespace _CODEC
