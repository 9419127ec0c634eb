#include "UpdateCheck.hpp"

#include "PlenwickCore/AppcastCheck.hpp"

#include <QCoreApplication>

namespace plenwick {

namespace {

// Only web pages are opened from a feed: never a local file or another program's scheme.
QUrl webPage(const std::string& text) {
    QUrl url(QString::fromStdString(text).trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return {};
    QString scheme = url.scheme().toLower();
    return scheme == u"https" || scheme == u"http" ? url : QUrl();
}

} // namespace

UpdateCheck UpdateCheck::failure(QString reason) {
    UpdateCheck check;
    check.reason = std::move(reason);
    return check;
}

UpdateCheck UpdateCheck::evaluate(std::string_view feed, int64_t currentBuild) {
    auto latest = AppcastCheck::latestRelease(feed);
    if (!latest)
        return failure(QCoreApplication::translate(
            "plenwick::UpdateCheck", "The update feed is not an appcast that names a build."));
    UpdateCheck check;
    if (latest->build <= currentBuild) {
        check.outcome = Outcome::upToDate;
        return check;
    }
    check.outcome = Outcome::available;
    check.latestBuild = latest->build;
    for (const std::string& page : latest->pages) {
        check.page = webPage(page);
        if (!check.page.isEmpty())
            break;
    }
    return check;
}

} // namespace plenwick
