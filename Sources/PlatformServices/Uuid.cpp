#include "PlatformServices/Uuid.hpp"

#include <cstdio>

#include <systemd/sd-id128.h>

namespace plenwick {

Expected<std::string, SystemError> Uuid::random() {
    sd_id128_t id{};
    // sd_id128_randomize marks the value as version 4 and reads the kernel's random source.
    if (int result = sd_id128_randomize(&id); result < 0)
        return SystemError::fromErrno("no random UUID", -result);
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  id.bytes[0], id.bytes[1], id.bytes[2], id.bytes[3], id.bytes[4], id.bytes[5],
                  id.bytes[6], id.bytes[7], id.bytes[8], id.bytes[9], id.bytes[10], id.bytes[11],
                  id.bytes[12], id.bytes[13], id.bytes[14], id.bytes[15]);
    return std::string(text);
}

bool Uuid::isRandom(std::string_view text) {
    if (text.size() != 36)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool ok = i == 8 || i == 13 || i == 18 || i == 23 ? c == '-'
                  : i == 14                               ? c == '4'
                  : i == 19 ? c == '8' || c == '9' || c == 'A' || c == 'B'
                            : (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (!ok)
            return false;
    }
    return true;
}

} // namespace plenwick
