#include "PlenwickCore/PlenwickCore.hpp"

#include <vips/vips8>

namespace plenwick {

bool PlenwickCore::start(const char* programName) {
    static const bool started = VIPS_INIT(programName) == 0;
    return started;
}

} // namespace plenwick
