#include "PlenwickCore/LanczosResampler.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plenwick {

namespace {

using Floats4 = LanczosResampler::Floats4;

constexpr double lobes = 3.0;

double lanczos(double x) {
    if (x == 0.0)
        return 1.0;
    if (x <= -lobes || x >= lobes)
        return 0.0;
    const double px = std::numbers::pi * x;
    return lobes * std::sin(px) * std::sin(px / lobes) / (px * px);
}

Floats4 load4(const float* from) {
    Floats4 value;
    std::memcpy(&value, from, sizeof value);
    return value;
}

// Four samples rounded and clipped to bytes.
void store4(uint8_t* to, Floats4 samples) {
#if defined(__SSE2__)
    __m128i whole = _mm_cvtps_epi32(samples);
    whole = _mm_packs_epi32(whole, whole);
    const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(whole, whole));
    std::memcpy(to, &bytes, sizeof bytes);
#else
    for (int lane = 0; lane < 4; ++lane) {
        const float value = samples[lane] + 0.5f;
        to[lane] = value <= 0.0f ? 0 : value >= 255.0f ? 255 : static_cast<uint8_t>(value);
    }
#endif
}

} // namespace

LanczosResampler::Taps LanczosResampler::taps(int64_t from, int64_t to) {
    // Centres sit in the middle of their pixels on both grids, as libvips places them.
    const double scale = static_cast<double>(from) / static_cast<double>(to);
    const double stretch = std::max(1.0, scale);
    const double support = lobes * stretch;
    Taps taps;
    // The kernel is zero from `support` out, so no more source positions than this lie inside it.
    taps.count = static_cast<int>(std::ceil(2.0 * support));
    taps.first.resize(static_cast<size_t>(to));
    taps.weights.resize(static_cast<size_t>(to) * static_cast<size_t>(taps.count));
    std::vector<double> weights(static_cast<size_t>(taps.count));
    for (int64_t position = 0; position < to; ++position) {
        const double centre = (static_cast<double>(position) + 0.5) * scale - 0.5;
        const auto first = static_cast<int64_t>(std::floor(centre - support)) + 1;
        double sum = 0.0;
        for (int k = 0; k < taps.count; ++k) {
            weights[k] = lanczos((static_cast<double>(first + k) - centre) / stretch);
            sum += weights[k];
        }
        taps.first[position] = first;
        float* stored = &taps.weights[static_cast<size_t>(position * taps.count)];
        for (int k = 0; k < taps.count; ++k)
            stored[k] = static_cast<float>(weights[k] / sum);
    }
    return taps;
}

// The weights of `taps` in units of 1 / fixedOne, each position's summing to exactly fixedOne
// (the rounding error goes to its largest weight) so that a flat area stays flat.
std::vector<int16_t> LanczosResampler::fixedPoint(const Taps& taps) {
    std::vector<int16_t> fixed(taps.weights.size());
    for (size_t position = 0; position < taps.first.size(); ++position) {
        const size_t base = position * static_cast<size_t>(taps.count);
        int sum = 0;
        size_t largest = base;
        for (size_t k = base; k < base + static_cast<size_t>(taps.count); ++k) {
            fixed[k] = static_cast<int16_t>(std::lround(taps.weights[k] * fixedOne));
            sum += fixed[k];
            if (taps.weights[k] > taps.weights[largest])
                largest = k;
        }
        fixed[largest] = static_cast<int16_t>(fixed[largest] + fixedOne - sum);
    }
    return fixed;
}

LanczosResampler::LanczosResampler(PixelSize from, PixelSize to, int bands)
    : m_from(from), m_to(to), m_bands(bands), m_vertical(taps(from.height, to.height)),
      m_horizontal(taps(from.width, to.width)) {
    // The first tap of an edge pixel lies `count` positions out at most; one spare pixel lets
    // the last band of the last pixel be read as part of four floats.
    m_padding = m_horizontal.count + 1;
    m_column.resize(static_cast<size_t>((from.width + 2 * m_padding) * bands));
    m_lines.resize(static_cast<size_t>(m_vertical.count));
    m_row.resize(static_cast<size_t>(to.width * bands + 3));
    m_verticalFixed = fixedPoint(m_vertical);
    // Each weight in all four lanes, so that the inner loop multiplies straight from memory.
    m_horizontalSpread.resize(m_horizontal.weights.size());
    for (size_t k = 0; k < m_horizontal.weights.size(); ++k)
        m_horizontalSpread[k] = Floats4{} + m_horizontal.weights[k];
}

const uint8_t* LanczosResampler::row(const uint8_t* pixels, int64_t y) {
    const size_t sourceLine = static_cast<size_t>(m_from.width * m_bands);
    const float* weights = &m_vertical.weights[static_cast<size_t>(y * m_vertical.count)];
    float* column = m_column.data() + m_padding * m_bands;

    for (int k = 0; k < m_vertical.count; ++k) {
        const int64_t line = std::clamp<int64_t>(m_vertical.first[y] + k, 0, m_from.height - 1);
        m_lines[k] = pixels + static_cast<size_t>(line) * sourceLine;
    }

    // Vertical pass: one full-width row. In fixed point, two taps at a time, so that one
    // multiply-add instruction takes the pair for four samples.
    size_t x = 0;
#if defined(__SSE2__)
    const int16_t* fixed = &m_verticalFixed[static_cast<size_t>(y * m_vertical.count)];
    const __m128i zero = _mm_setzero_si128();
    const __m128 unit = _mm_set1_ps(1.0f / fixedOne);
    for (; x + 16 <= sourceLine; x += 16) {
        __m128i sums[4] = {zero, zero, zero, zero};
        for (int k = 0; k < m_vertical.count; k += 2) {
            const bool paired = k + 1 < m_vertical.count;
            const __m128i weights = _mm_set1_epi32(static_cast<int>(
                static_cast<uint16_t>(fixed[k]) |
                (paired ? static_cast<uint32_t>(static_cast<uint16_t>(fixed[k + 1])) << 16 : 0u)));
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_lines[k] + x));
            const __m128i b =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_lines[paired ? k + 1 : k] + x));
            const __m128i low = _mm_unpacklo_epi8(a, b);
            const __m128i high = _mm_unpackhi_epi8(a, b);
            sums[0] = _mm_add_epi32(sums[0], _mm_madd_epi16(_mm_unpacklo_epi8(low, zero), weights));
            sums[1] = _mm_add_epi32(sums[1], _mm_madd_epi16(_mm_unpackhi_epi8(low, zero), weights));
            sums[2] =
                _mm_add_epi32(sums[2], _mm_madd_epi16(_mm_unpacklo_epi8(high, zero), weights));
            sums[3] =
                _mm_add_epi32(sums[3], _mm_madd_epi16(_mm_unpackhi_epi8(high, zero), weights));
        }
        for (int part = 0; part < 4; ++part)
            _mm_storeu_ps(column + x + 4 * part, _mm_mul_ps(_mm_cvtepi32_ps(sums[part]), unit));
    }
#endif
    for (; x < sourceLine; ++x) {
        float sum = 0.0f;
        for (int k = 0; k < m_vertical.count; ++k)
            sum += weights[k] * m_lines[k][x];
        column[x] = sum;
    }
    for (int64_t pad = 1; pad <= m_padding; ++pad) {
        std::memcpy(column - pad * m_bands, column, static_cast<size_t>(m_bands) * sizeof(float));
        std::memcpy(column + sourceLine + (pad - 1) * m_bands, column + sourceLine - m_bands,
                    static_cast<size_t>(m_bands) * sizeof(float));
    }

    // Horizontal pass: four bands of a pixel at a time. The spare lanes of a pixel's last four
    // are written too, and then overwritten by the next pixel or left in the row's spare bytes.
    uint8_t* out = m_row.data();
    for (int64_t position = 0; position < m_to.width; ++position) {
        const Floats4* tap =
            &m_horizontalSpread[static_cast<size_t>(position * m_horizontal.count)];
        const float* first = column + m_horizontal.first[position] * m_bands;
        for (int band = 0; band < m_bands; band += 4) {
            // Two sums, so that each addition need not wait for the one before.
            Floats4 even = {};
            Floats4 odd = {};
            int k = 0;
            for (; k + 1 < m_horizontal.count; k += 2) {
                even += tap[k] * load4(first + k * m_bands + band);
                odd += tap[k + 1] * load4(first + (k + 1) * m_bands + band);
            }
            if (k < m_horizontal.count)
                even += tap[k] * load4(first + k * m_bands + band);
            store4(out + position * m_bands + band, even + odd);
        }
    }
    return out;
}

} // namespace plenwick
