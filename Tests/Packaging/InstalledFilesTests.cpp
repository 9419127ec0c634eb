#include "ChildProcess.hpp"
#include "PlenwickCore/ImageTypes.hpp"
#include "TestSupport.hpp"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace plenwick;
namespace fs = std::filesystem;

namespace {

// The values of a `Key=a;b;` line, or of every <key>value</key> element.
std::vector<std::string> listed(const std::string& text, const std::string& key) {
    std::vector<std::string> values;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::string open = "<" + key + ">";
        if (size_t at = line.find(open); at != std::string::npos) {
            size_t start = at + open.size();
            values.push_back(line.substr(start, line.find("</", start) - start));
        } else if (line.rfind(key + "=", 0) == 0) {
            std::istringstream items(line.substr(key.size() + 1));
            std::string item;
            while (std::getline(items, item, ';'))
                values.push_back(item);
        }
    }
    return values;
}

// What `cmake --install` puts in place offers Plenwick for exactly the types the exporter
// decodes, in every file a desktop or file manager reads them from.
TEST(InstalledFiles, NameExactlyTheImageTypesTheExporterDecodes) {
    test::TemporaryFolder prefix;
    test::ChildProcess::Exit install =
        test::ChildProcess({{PLENWICK_CMAKE_COMMAND, "--install", PLENWICK_BINARY_DIR, "--prefix",
                             prefix.path().string()},
                            {}})
            .wait();
    ASSERT_EQ(install.status, 0) << install.standardError;

    std::vector<std::string> decoded(ImageTypes::mimeTypes.begin(), ImageTypes::mimeTypes.end());
    const std::pair<const char*, const char*> files[] = {
        {"share/applications/com.brindlemoor.Plenwick.Share.desktop", "MimeType"},
        {"share/kio/servicemenus/plenwick-share.desktop", "MimeType"},
        {"share/Thunar/sendto/plenwick-share.desktop", "MimeType"},
        {"share/nemo/actions/plenwick-share.nemo_action", "Mimetypes"},
        {"share/metainfo/com.brindlemoor.Plenwick.metainfo.xml", "mediatype"},
    };
    for (const auto& [file, key] : files) {
        std::string text = test::readFile(prefix / file);
        ASSERT_FALSE(text.empty()) << file;
        EXPECT_EQ(listed(text, key), decoded) << file;
    }
    // The settings window's entry is named after the bus name it owns, and opens no files.
    std::string settings =
        test::readFile(prefix / "share/applications/com.brindlemoor.Plenwick.desktop");
    EXPECT_NE(settings.find("Exec=plenwick\n"), std::string::npos) << settings;
    EXPECT_TRUE(listed(settings, "MimeType").empty());
}

} // namespace
