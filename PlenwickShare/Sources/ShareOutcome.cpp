#include "ShareOutcome.hpp"

namespace plenwick {

int ShareOutcome::exitStatus() const {
    switch (status) {
    case Status::exported:
        return 0;
    case Status::incomplete:
        return 1;
    case Status::dismissed:
        break;
    }
    return 130;
}

} // namespace plenwick
