#include "PlenwickCore/SizeRule.hpp"

namespace plenwick {

std::string SizeRule::description() const {
    return std::string(kind == Kind::width ? "width" : "longEdge") + "(" + std::to_string(pixels) +
           ")";
}

} // namespace plenwick
