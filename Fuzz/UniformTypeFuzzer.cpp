// A shared file's type comes from its first bytes, which anyone can choose: sniffing any bytes,
// whole or cut off, gives a type of the table or nothing.
#include "PlatformServices/UniformType.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

using plenwick::UniformType;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (bool complete : {true, false}) {
        auto type = UniformType::ofContents(bytes, complete);
        if (!type)
            continue;
        if (!type->conformsTo(UniformType::data()) ||
            UniformType::withIdentifier(type->identifier()) != type)
            __builtin_trap();
        type->preferredFilenameExtension();
        type->preferredMIMEType();
    }
    // The same bytes as a file name extension.
    UniformType::withFilenameExtension(bytes, UniformType::image());
    return 0;
}
