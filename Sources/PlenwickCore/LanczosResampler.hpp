#pragma once

#include "PlenwickCore/PixelSize.hpp"

#include <cstdint>
#include <vector>

namespace plenwick {

// Resamples 8-bit interleaved pixels with a Lanczos 3 kernel, stretched when shrinking so that
// it also filters out what the smaller image cannot hold. Written for the exporter's inner loop:
// libvips' own horizontal pass is scalar and took half of a share's time. Rows are made one at a
// time into a small buffer of its own.
class LanczosResampler {
public:
    // Four floats in one vector register; GCC and Clang lower it without relying on the
    // optimiser to find the loops.
    using Floats4 = float __attribute__((vector_size(16)));

    // Both sizes at least 1 by 1, `bands` at least 1.
    LanczosResampler(PixelSize from, PixelSize to, int bands);

    // Output row `y` (`to.width * bands` bytes, valid until the next call) from `pixels`,
    // the whole source image as contiguous rows of `from.width * bands` bytes.
    const uint8_t* row(const uint8_t* pixels, int64_t y);

private:
    // For each output position, the first source position it reads and its normalised weights;
    // positions outside the source repeat the edge.
    struct Taps {
        int count = 0;
        std::vector<int64_t> first;
        std::vector<float> weights;
    };
    static Taps taps(int64_t from, int64_t to);
    // 14 bits: a weight above 1 still fits 16 bits, and a sum of products fits 32.
    static constexpr int fixedOne = 1 << 14;
    static std::vector<int16_t> fixedPoint(const Taps& taps);

    PixelSize m_from;
    PixelSize m_to;
    int m_bands;
    Taps m_vertical;
    Taps m_horizontal;
    std::vector<int16_t> m_verticalFixed;
    std::vector<Floats4> m_horizontalSpread;
    // One source-wide row after the vertical pass, padded at both ends with copies of the edge
    // pixels so that the horizontal pass never tests its bounds.
    int64_t m_padding;
    std::vector<float> m_column;
    // The source rows the vertical pass reads for the current output row.
    std::vector<const uint8_t*> m_lines;
    std::vector<uint8_t> m_row;
};

} // namespace plenwick
