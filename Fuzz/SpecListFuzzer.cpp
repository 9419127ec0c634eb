// Stored spec lists come from a settings file anyone can edit: whatever the bytes, decoding
// answers with specs or an error, and decoded specs survive another round through the store.
#include "PlenwickCore/ExportSpec.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

using plenwick::ExportSpec;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto decoded =
        ExportSpec::decodeList(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!decoded)
        return 0;
    auto text = ExportSpec::encodeList(decoded.value());
    if (!text)
        __builtin_trap();
    auto again = ExportSpec::decodeList(*text);
    if (!again || again.value() != decoded.value())
        __builtin_trap();
    return 0;
}
