#pragma once

#include "PlenwickCore/PixelSize.hpp"

#include <cstdint>
#include <vector>

namespace plenwick {

// Resamples 8-bit interleaved pixels with a Lanczos 3 kernel, stretched when shrinking so that
// it also filters out what the smaller image cannot hold. Written for the exporter's inner loop:
// libvips' own horizontal pass is scalar and took half of a share's time. Rows are made one at a
// time into a small buffer of its own.
//
// An axis reduced sixteen times or more is first averaged over boxes of an eighth as many pixels,
// so that the kernel never spans more than 96 positions: the tables, the buffers and the work
// follow the output, however long an edge of the source is.
class LanczosResampler {
public:
    // Four floats in one vector register; GCC and Clang lower it without relying on the
    // optimiser to find the loops.
    using Floats4 = float __attribute__((vector_size(16)));

    // Both sizes at least 1 by 1, `bands` at least 1.
    LanczosResampler(PixelSize from, PixelSize to, int bands);

    // Output row `y` (`to.width * bands` bytes, valid until the next call) from `pixels`,
    // the whole source image as contiguous rows of `from.width * bands` bytes, the same for every
    // row.
    const uint8_t* row(const uint8_t* pixels, int64_t y);

private:
    // Where each output position reads along one axis: `count` boxes from its first; positions
    // outside the source repeat the edge.
    struct Axis {
        // Source pixels per box (1 when the axis is not box-shrunk) and boxes along the axis; the
        // last box may hold fewer pixels.
        int64_t box = 1;
        int64_t length = 0;
        int count = 0;
        std::vector<int64_t> first;
    };
    // An axis with its normalised weights, `count` for each output position in turn; only the
    // form each pass reads is kept.
    struct Taps {
        Axis axis;
        std::vector<float> weights;
    };
    static Taps taps(int64_t from, int64_t to);
    static std::vector<int16_t> fixedPoint(const Taps& taps);
    static std::vector<Floats4> spread(const Taps& taps);

    // Row `index` of the box-shrunk source, made when no slot holds it yet.
    const uint8_t* boxedRow(const uint8_t* pixels, int64_t index);
    // Points m_lines at the source rows, or box rows, that output row `y` reads.
    void gatherLines(const uint8_t* pixels, int64_t y);

    PixelSize m_from;
    PixelSize m_to;
    int m_bands;
    Axis m_vertical;
    Axis m_horizontal;
    // The vertical weights in 14-bit fixed point; the horizontal ones each in all four lanes, so
    // that the inner loop multiplies straight from memory.
    std::vector<int16_t> m_verticalFixed;
    std::vector<Floats4> m_horizontalSpread;
    // One row, box-shrunk across, after the vertical pass, padded at both ends with copies of the
    // edge pixels so that the horizontal pass never tests its bounds.
    int64_t m_padding = 0;
    std::vector<float> m_column;
    // The rows the vertical pass reads for the current output row.
    std::vector<const uint8_t*> m_lines;
    // When either axis is box-shrunk: a slot for each box row the vertical pass reads at once,
    // row `i` in slot `i % slots`, so that consecutive output rows make each box row once; which
    // row each slot holds; the box sums of the row being made, and those of a stretch of its
    // columns down the box.
    std::vector<uint8_t> m_boxed;
    std::vector<int64_t> m_boxedIndex;
    std::vector<int64_t> m_sums;
    std::vector<uint32_t> m_down;
    std::vector<uint8_t> m_row;
};

} // namespace plenwick
