#include "Codec/Base64.h"

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/transform_width.hpp>

namespace _CODEC {
namespace BASE64 {

namespace {

namespace it = boost::archive::iterators;

typedef it::base64_from_binary<it::transform_width<_STRING::const_iterator, 6, 8>> ENCODER;
typedef it::transform_width<it::binary_from_base64<_STRING::const_iterator>, 8, 6> DECODER;

// The 64 characters of the standard alphabet.
struct ALPHABET {
    bool member[256] = {};
    ALPHABET()
    {
        for (const char* c = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"; *c; ++c)
            member[static_cast<unsigned char>(*c)] = true;
    }
};
const ALPHABET Alphabet_;

}  // namespace

std::optional<_STRING> Encode(const _STRING& input)
{
    try {
        _STRING out(ENCODER(input.begin()), ENCODER(input.end()));
        out.append((3 - input.size() % 3) % 3, '=');
        return out;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<_STRING> Decode(const _STRING& input)
{
    try {
        size_t pad = 0;
        while (pad < input.size() && input[input.size() - 1 - pad] == '=')
            ++pad;
        const size_t k = input.size() - pad;
        if (pad > 2 || k % 4 == 1)
            return std::nullopt;
        if (pad > 0 && (k + pad) % 4 != 0)
            return std::nullopt;   // padding must complete the last group exactly
        for (size_t i = 0; i < k; ++i)
            if (!Alphabet_.member[static_cast<unsigned char>(input[i])])
                return std::nullopt;

        const auto begin = input.begin();
        _STRING out(DECODER(begin), DECODER(begin + static_cast<std::ptrdiff_t>(k)));
        // The iterators complete a last partial byte with zero bits; such a
        // byte carries no data.
        out.resize(k * 6 / 8);
        return out;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace BASE64
}  // namespace _CODEC
