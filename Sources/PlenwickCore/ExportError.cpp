#include "PlenwickCore/ExportError.hpp"

#include "PlatformServices/FileURL.hpp"

namespace plenwick {

std::string ExportError::description() const {
    switch (kind) {
    case Kind::unreadable:
        return "unreadable(" + FileURL::string(location) + ")";
    case Kind::encodeFailed:
        return "encodeFailed(" + FileURL::string(location) + ")";
    case Kind::write:
        return "write(" + FileURL::string(location) + ", \"" + message + "\")";
    case Kind::cancelled:
        break;
    }
    return "cancelled";
}

std::string ExportError::reason() const {
    switch (kind) {
    case Kind::unreadable:
        return "not a readable image";
    case Kind::encodeFailed:
        return "could not encode JPEG";
    case Kind::write:
        return message;
    case Kind::cancelled:
        break;
    }
    return "cancelled";
}

} // namespace plenwick
