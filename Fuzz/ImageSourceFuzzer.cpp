// Photos come from anywhere: a mutated real image opens or is unreadable, and what opens
// renders at every size its rules ask for, upright and exactly that size, without an error.
#include "PlenwickCore/ImageLibrary.hpp"
#include "PlenwickCore/ImageSource.hpp"
#include "PlenwickCore/TargetSize.hpp"
#include "ScratchFolder.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <vips/vips8>

using plenwick::ImageSource;
using plenwick::PixelSize;
using plenwick::SizeRule;
namespace TargetSize = plenwick::TargetSize;
using plenwick::fuzz::ScratchFolder;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Readies libvips once, as the programs do (which turns its operation cache off).
    if (!plenwick::ImageLibrary::start("plenwick-fuzz"))
        std::exit(1);
    vips_concurrency_set(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Small targets keep each input fast; the decode bounds are those of a real share.
    const std::vector<SizeRule> rules{SizeRule::width(64), SizeRule::longEdge(48)};
    auto source = ImageSource::open(ScratchFolder::ofProcess().write("input", data, size), rules);
    if (!source)
        return 0;
    for (SizeRule rule : rules) {
        PixelSize size = TargetSize::compute(source.value().uprightSize(), rule);
        vips::VImage image;
        try {
            image = source.value().render(size);
            // Its pixels too, since a turn is only made when it is read; the mean is not needed.
            static_cast<void>(image.avg());
        } catch (const vips::VError& error) {
            // An opened file shows its faults at open: a render that fails after it is a finding.
            std::fprintf(stderr, "render at %lldx%lld failed after the open: %s\n",
                         static_cast<long long>(size.width), static_cast<long long>(size.height),
                         error.what());
            __builtin_trap();
        }
        if (image.width() != size.width || image.height() != size.height || image.bands() != 3 ||
            image.format() != VIPS_FORMAT_UCHAR)
            __builtin_trap();
    }
    return 0;
}
