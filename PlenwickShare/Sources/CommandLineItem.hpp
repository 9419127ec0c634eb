#pragma once

#include "PlatformServices/ItemProvider.hpp"

#include <memory>
#include <string>

// What one argument of plenwick-share's command line is handed over as.
namespace plenwick::CommandLineItem {

// "-" for the bytes on `standardInput`, a file:// URI or a path for a file, any other URI for
// something that is not a local file. Reading standard input stops when `cancelDescriptor`
// becomes readable.
std::unique_ptr<ItemProvider> provider(const std::string& argument, int standardInput = 0,
                                       int cancelDescriptor = -1);

} // namespace plenwick::CommandLineItem
