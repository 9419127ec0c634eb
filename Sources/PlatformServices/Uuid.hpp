#pragma once

#include <string>

namespace plenwick {

struct Uuid {
    Uuid() = delete;

    // A new random (version 4) UUID in its 36-character form, upper case:
    // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    static std::string random();
};

} // namespace plenwick
