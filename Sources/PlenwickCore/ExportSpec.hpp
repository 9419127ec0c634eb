#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlenwickCore/DecodingError.hpp"
#include "PlenwickCore/SizeRule.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plenwick {

// One output target: the folder below the output root, the size rule and the JPEG quality.
struct ExportSpec {
    std::string id;
    std::string folder;
    SizeRule rule;
    double quality = 0;

    // The built-in list, which "the defaults" means throughout: Instagram and Threads 1080 wide,
    // Facebook 2048 on the long edge, all at 0.85.
    static const std::vector<ExportSpec>& defaults();

    // The stored form: a compact JSON array of spec objects, in list order. A quality that is
    // not a finite number has no JSON form, and then there is no text.
    static std::optional<std::string> encodeList(const std::vector<ExportSpec>& specs);
    static Expected<std::vector<ExportSpec>, DecodingError> decodeList(std::string_view json);

    bool operator==(const ExportSpec&) const = default;
};

} // namespace plenwick
