// Packed pixels as a device sends them: the payload is the input's front, and numbers from the
// back pick the packing, the width, the height and the line padding the leader claims.
//
// Checked: unpacking succeeds exactly when the payload holds the image, reads nothing outside
// it (the payload is copied to a buffer of its own size), gives samples within their bit depth,
// and a row-by-row unpack agrees with unpacking the whole image.
#include <vector>

#include "fuzz_support.hpp"
#include "korvalite/pixel/unpack.hpp"

using namespace korvalite;
using pixel::Packing;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    constexpr Packing kPackings[] = {Packing::Lsb10, Packing::Lsb12, Packing::Msb12Pairs};
    const Packing packing = kPackings[input.take_u64(1) % 3];
    const pixel::PackedImage image{static_cast<std::uint32_t>(input.take_u64(2) % 2049),
                                   static_cast<std::uint32_t>(input.take_u64(1)),
                                   static_cast<std::uint32_t>(input.take_u64(1) % 16)};
    const fuzz::Bytes rest = input.rest();
    const std::vector<std::byte> payload(rest.begin(), rest.end());

    std::vector<std::uint16_t> out(std::size_t{image.width} * image.height);
    const bool unpacked = pixel::unpack_image(packing, payload, image, out);
    KORVALITE_FUZZ_CHECK(unpacked == (payload.size() >= pixel::packed_image_bytes(packing, image)));
    if (!unpacked) return 0;

    const std::uint16_t limit = packing == Packing::Lsb10 ? 1024 : 4096;
    for (const std::uint16_t sample : out) KORVALITE_FUZZ_CHECK(sample < limit);
    if (image.line_padding == 0) {
        std::vector<std::uint16_t> whole(out.size());
        KORVALITE_FUZZ_CHECK(pixel::unpack(packing, payload, whole));
        KORVALITE_FUZZ_CHECK(whole == out);
    }
    return 0;
}
