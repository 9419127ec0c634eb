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

// 14 bits: a weight above 1 still fits 16 bits, and a sum of products fits 32.
constexpr int fixedOne = 1 << 14;

// Box rows are summed down this many pixels and rows at a time: the sum of all their bytes in
// one band fits 32 bits.
constexpr int64_t stretchPixels = 4096;
constexpr int64_t rowsAtOnce = 4096;

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

// The sums of `lines` rows `stride` bytes apart, `bytes` long, into `down`.
void sumDown(const uint8_t* source, size_t stride, size_t lines, size_t bytes, uint32_t* down) {
    size_t x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= bytes; x += 16) {
        __m128i sums[4] = {zero, zero, zero, zero};
        for (size_t r = 0; r < lines; ++r) {
            const __m128i sixteen =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + r * stride + x));
            const __m128i low = _mm_unpacklo_epi8(sixteen, zero);
            const __m128i high = _mm_unpackhi_epi8(sixteen, zero);
            sums[0] = _mm_add_epi32(sums[0], _mm_unpacklo_epi16(low, zero));
            sums[1] = _mm_add_epi32(sums[1], _mm_unpackhi_epi16(low, zero));
            sums[2] = _mm_add_epi32(sums[2], _mm_unpacklo_epi16(high, zero));
            sums[3] = _mm_add_epi32(sums[3], _mm_unpackhi_epi16(high, zero));
        }
        for (int part = 0; part < 4; ++part)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(down + x + 4 * part), sums[part]);
    }
#endif
    for (; x < bytes; ++x) {
        uint32_t sum = 0;
        for (size_t r = 0; r < lines; ++r)
            sum += source[r * stride + x];
        down[x] = sum;
    }
}

// `count` sums of `area` samples each as their means, rounded to the nearest level with ties to
// the even one: rounding them up would brighten boxes of two or four pixels by an eighth of a
// level on average. Adding and taking away 2^52 leaves no fraction, in the default rounding.
void means(const int64_t* sums, size_t count, double area, uint8_t* to) {
    constexpr double noFraction = 0x1p52;
    size_t at = 0;
#if defined(__SSE2__)
    const __m128d areas = _mm_set1_pd(area);
    const __m128d magic = _mm_set1_pd(noFraction);
    for (; at + 4 <= count; at += 4) {
        __m128i whole[2];
        for (int half = 0; half < 2; ++half) {
            const size_t i = at + 2 * static_cast<size_t>(half);
            const __m128d mean = _mm_div_pd(
                _mm_set_pd(static_cast<double>(sums[i + 1]), static_cast<double>(sums[i])), areas);
            whole[half] = _mm_cvttpd_epi32(_mm_sub_pd(_mm_add_pd(mean, magic), magic));
        }
        const __m128i four = _mm_unpacklo_epi64(whole[0], whole[1]);
        const __m128i shorts = _mm_packs_epi32(four, four);
        const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(shorts, shorts));
        std::memcpy(to + at, &bytes, sizeof bytes);
    }
#endif
    for (; at < count; ++at)
        to[at] =
            static_cast<uint8_t>(static_cast<double>(sums[at]) / area + noFraction - noFraction);
}

// The pixels of `down`, `width` of them with `bands` samples each, added into the boxes of `box`
// pixels at `sums`; the first box has `first` of its pixels in `down`. With four bands or fewer,
// a pixel's samples are added as one vector: `down` has room for three more samples after the
// last pixel, and a box's part of `down` fits 32 bits in each lane.
void sumAcross(const uint32_t* down, int64_t width, int bands, int64_t box, int64_t first,
               int64_t* sums) {
    for (int64_t pixel = 0, end = std::min(first, width); pixel < width;
         pixel = end, end = std::min(end + box, width), sums += bands) {
#if defined(__SSE2__)
        if (bands <= 4) {
            __m128i sum = _mm_setzero_si128();
            for (int64_t at = pixel; at < end; ++at)
                sum = _mm_add_epi32(
                    sum, _mm_loadu_si128(reinterpret_cast<const __m128i*>(down + at * bands)));
            uint32_t lanes[4];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), sum);
            for (int band = 0; band < bands; ++band)
                sums[band] += lanes[band];
            continue;
        }
#endif
        for (int band = 0; band < bands; ++band) {
            int64_t sum = 0;
            for (int64_t at = pixel; at < end; ++at)
                sum += down[at * bands + band];
            sums[band] += sum;
        }
    }
}

// The vertical pass into `column`: one row as wide as the boxes across. In fixed point, two taps at
// a time, so that one multiply-add instruction takes the pair for four samples.
void verticalPass(const uint8_t* const* lines, const int16_t* fixed, int count, size_t line,
                  float* column) {
    size_t x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128 unit = _mm_set1_ps(1.0f / fixedOne);
    for (; x + 16 <= line; x += 16) {
        __m128i sums[4] = {zero, zero, zero, zero};
        for (int k = 0; k < count; k += 2) {
            const bool paired = k + 1 < count;
            const __m128i weights = _mm_set1_epi32(static_cast<int>(
                static_cast<uint16_t>(fixed[k]) |
                (paired ? static_cast<uint32_t>(static_cast<uint16_t>(fixed[k + 1])) << 16 : 0u)));
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lines[k] + x));
            const __m128i b =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(lines[paired ? k + 1 : k] + x));
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
    for (; x < line; ++x) {
        int sum = 0;
        for (int k = 0; k < count; ++k)
            sum += fixed[k] * lines[k][x];
        column[x] = static_cast<float>(sum) * (1.0f / fixedOne);
    }
}

// Copies of the edge pixels, `padding` of them on both sides of the `line` samples of `column`.
void padEdges(float* column, size_t line, int bands, int64_t padding) {
    for (int64_t pad = 1; pad <= padding; ++pad) {
        std::memcpy(column - pad * bands, column, static_cast<size_t>(bands) * sizeof(float));
        std::memcpy(column + line + (pad - 1) * bands, column + line - bands,
                    static_cast<size_t>(bands) * sizeof(float));
    }
}

// The horizontal pass from `column` into `out`, `width` pixels: four bands of a pixel at a time.
// The spare lanes of a pixel's last four are written too, and then overwritten by the next pixel or
// left in the row's spare bytes.
void horizontalPass(const float* column, const Floats4* spread, const int64_t* firsts, int count,
                    int64_t width, int bands, uint8_t* out) {
    for (int64_t position = 0; position < width; ++position) {
        const Floats4* tap = &spread[static_cast<size_t>(position * count)];
        const float* first = column + firsts[position] * bands;
        for (int band = 0; band < bands; band += 4) {
            // Two sums, so that each addition need not wait for the one before.
            Floats4 even = {};
            Floats4 odd = {};
            int k = 0;
            for (; k + 1 < count; k += 2) {
                even += tap[k] * load4(first + k * bands + band);
                odd += tap[k + 1] * load4(first + (k + 1) * bands + band);
            }
            if (k < count)
                even += tap[k] * load4(first + k * bands + band);
            store4(out + position * bands + band, even + odd);
        }
    }
}

} // namespace

LanczosResampler::Taps LanczosResampler::taps(int64_t from, int64_t to) {
    Taps taps;
    Axis& axis = taps.axis;
    // From sixteen times on, boxes of an eighth of the reduction leave the kernel eight to twelve
    // times: the pixels a box merges then lie so close under the kernel that real photos move by
    // one level at most (up to three in thumbnails of 80 pixels). Boxes of half the reduction
    // moved their edges by up to fifteen.
    axis.box = std::max<int64_t>(1, from / (8 * to));
    axis.length = (from + axis.box - 1) / axis.box;
    // Centres sit in the middle of their pixels on both grids, as libvips places them, and a
    // box's in the middle of its own; positions and the kernel's reach are counted in boxes.
    const double scale =
        static_cast<double>(from) / static_cast<double>(axis.box) / static_cast<double>(to);
    const double stretch = std::max(1.0, scale);
    const double support = lobes * stretch;
    // The kernel is zero from `support` out, so no more positions than this lie inside it.
    axis.count = static_cast<int>(std::ceil(2.0 * support));
    axis.first.resize(static_cast<size_t>(to));
    taps.weights.resize(static_cast<size_t>(to) * static_cast<size_t>(axis.count));
    std::vector<double> weights(static_cast<size_t>(axis.count));
    for (int64_t position = 0; position < to; ++position) {
        const double centre = (static_cast<double>(position) + 0.5) * scale - 0.5;
        const auto first = static_cast<int64_t>(std::floor(centre - support)) + 1;
        double sum = 0.0;
        for (int k = 0; k < axis.count; ++k) {
            weights[k] = lanczos((static_cast<double>(first + k) - centre) / stretch);
            sum += weights[k];
        }
        axis.first[position] = first;
        float* stored = &taps.weights[static_cast<size_t>(position * axis.count)];
        for (int k = 0; k < axis.count; ++k)
            stored[k] = static_cast<float>(weights[k] / sum);
    }
    return taps;
}

// The weights of `taps` in units of 1 / fixedOne, each position's summing to exactly fixedOne
// (the rounding error goes to its largest weight) so that a flat area stays flat.
std::vector<int16_t> LanczosResampler::fixedPoint(const Taps& taps) {
    const auto count = static_cast<size_t>(taps.axis.count);
    std::vector<int16_t> fixed(taps.weights.size());
    for (size_t base = 0; base < fixed.size(); base += count) {
        int sum = 0;
        size_t largest = base;
        for (size_t k = base; k < base + count; ++k) {
            fixed[k] = static_cast<int16_t>(std::lround(taps.weights[k] * fixedOne));
            sum += fixed[k];
            if (taps.weights[k] > taps.weights[largest])
                largest = k;
        }
        fixed[largest] = static_cast<int16_t>(fixed[largest] + fixedOne - sum);
    }
    return fixed;
}

std::vector<Floats4> LanczosResampler::spread(const Taps& taps) {
    std::vector<Floats4> spread(taps.weights.size());
    for (size_t k = 0; k < spread.size(); ++k)
        spread[k] = Floats4{} + taps.weights[k];
    return spread;
}

LanczosResampler::LanczosResampler(PixelSize from, PixelSize to, int bands)
    : m_from(from), m_to(to), m_bands(bands) {
    Taps vertical = taps(from.height, to.height);
    Taps horizontal = taps(from.width, to.width);
    m_verticalFixed = fixedPoint(vertical);
    m_horizontalSpread = spread(horizontal);
    m_vertical = std::move(vertical.axis);
    m_horizontal = std::move(horizontal.axis);
    const auto line = static_cast<size_t>(m_horizontal.length * bands);
    // The first tap of an edge pixel lies `count` positions out at most; one spare pixel lets
    // the last band of the last pixel be read as part of four floats.
    m_padding = m_horizontal.count + 1;
    m_column.resize(line + static_cast<size_t>(2 * m_padding * bands));
    m_lines.resize(static_cast<size_t>(m_vertical.count));
    if (m_vertical.box > 1 || m_horizontal.box > 1) {
        const auto slots =
            static_cast<size_t>(std::min<int64_t>(m_vertical.count, m_vertical.length));
        m_boxed.resize(line * slots);
        m_boxedIndex.assign(slots, -1);
        m_sums.resize(line);
        m_down.resize(static_cast<size_t>(std::min(stretchPixels, from.width) * bands + 3));
    }
    m_row.resize(static_cast<size_t>(to.width * bands + 3));
}

const uint8_t* LanczosResampler::boxedRow(const uint8_t* pixels, int64_t index) {
    const size_t line = m_sums.size();
    const auto slot = static_cast<size_t>(index) % m_boxedIndex.size();
    uint8_t* boxed = m_boxed.data() + slot * line;
    if (m_boxedIndex[slot] == index)
        return boxed;
    m_boxedIndex[slot] = index;

    const int64_t top = index * m_vertical.box;
    const int64_t rows = std::min(m_vertical.box, m_from.height - top);
    const int64_t box = m_horizontal.box;
    const auto sourceLine = static_cast<size_t>(m_from.width * m_bands);
    std::fill(m_sums.begin(), m_sums.end(), 0);
    // Down a stretch of columns first, where whole vectors of bytes add up at once, then across
    // into the boxes, so that the slower sums across are made once for all the rows.
    for (int64_t start = 0; start < m_from.width; start += stretchPixels) {
        const int64_t width = std::min(stretchPixels, m_from.width - start);
        for (int64_t done = 0; done < rows; done += rowsAtOnce) {
            const uint8_t* source = pixels + static_cast<size_t>(top + done) * sourceLine +
                                    static_cast<size_t>(start * m_bands);
            sumDown(source, sourceLine, static_cast<size_t>(std::min(rowsAtOnce, rows - done)),
                    static_cast<size_t>(width * m_bands), m_down.data());
            sumAcross(m_down.data(), width, m_bands, box, box - start % box,
                      &m_sums[static_cast<size_t>(start / box * m_bands)]);
        }
    }
    // The last box across may hold fewer columns.
    const auto whole = static_cast<size_t>((m_from.width / box) * m_bands);
    means(m_sums.data(), whole, static_cast<double>(rows * box), boxed);
    means(m_sums.data() + whole, line - whole, static_cast<double>(rows * (m_from.width % box)),
          boxed + whole);
    return boxed;
}

void LanczosResampler::gatherLines(const uint8_t* pixels, int64_t y) {
    const auto line = static_cast<size_t>(m_horizontal.length * m_bands);
    for (int k = 0; k < m_vertical.count; ++k) {
        const int64_t index =
            std::clamp<int64_t>(m_vertical.first[y] + k, 0, m_vertical.length - 1);
        m_lines[k] =
            m_boxed.empty() ? pixels + static_cast<size_t>(index) * line : boxedRow(pixels, index);
    }
}

const uint8_t* LanczosResampler::row(const uint8_t* pixels, int64_t y) {
    const auto line = static_cast<size_t>(m_horizontal.length * m_bands);
    float* column = m_column.data() + m_padding * m_bands;
    gatherLines(pixels, y);
    verticalPass(m_lines.data(), &m_verticalFixed[static_cast<size_t>(y * m_vertical.count)],
                 m_vertical.count, line, column);
    padEdges(column, line, m_bands, m_padding);
    horizontalPass(column, m_horizontalSpread.data(), m_horizontal.first.data(), m_horizontal.count,
                   m_to.width, m_bands, m_row.data());
    return m_row.data();
}

} // namespace plenwick
