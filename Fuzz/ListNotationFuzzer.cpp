// Type identifiers and names in the notes come from other programs: whatever the bytes, the
// notation is one line of valid UTF-8 that starts and ends as a list.
#include "PlatformServices/ListNotation.hpp"
#include "PlatformServices/UTF8.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ListNotation = plenwick::ListNotation;
namespace UTF8 = plenwick::UTF8;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A 0xFE byte separates elements; it never occurs in UTF-8, so any text fits in between.
    std::vector<std::string> elements(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFE)
            elements.emplace_back();
        else
            elements.back() += static_cast<char>(data[i]);
    }
    std::string text = ListNotation::format(elements);
    if (!UTF8::isValid(text) || text.front() != '[' || text.back() != ']')
        __builtin_trap();
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            __builtin_trap();
    return 0;
}
