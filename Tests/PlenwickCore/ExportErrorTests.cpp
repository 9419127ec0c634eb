#include "PlenwickCore/ExportError.hpp"

#include <gtest/gtest.h>

using namespace plenwick;

namespace {

TEST(ExportError, EqualityAndDescriptions) {
    EXPECT_EQ(ExportError::write("/a b.jpg", "x"), ExportError::write("/a b.jpg", "x"));
    EXPECT_NE(ExportError::write("/a.jpg", "x"), ExportError::write("/a.jpg", "y"));
    EXPECT_NE(ExportError::unreadable("/a.jpg"), ExportError::encodeFailed("/a.jpg"));
    EXPECT_EQ(ExportError::unreadable("/in/a b.png").description(),
              "unreadable(file:///in/a%20b.png)");
    EXPECT_EQ(ExportError::write("/out/a.jpg", "Not a directory").description(),
              "write(file:///out/a.jpg, \"Not a directory\")");
    EXPECT_EQ(ExportError::cancelled().description(), "cancelled");
}

} // namespace
