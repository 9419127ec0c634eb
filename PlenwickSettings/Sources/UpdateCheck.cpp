#include "UpdateCheck.hpp"

#include "PlenwickCore/AppcastCheck.hpp"
#include "PlenwickCore/VersionCollector.hpp"

#include <QByteArray>
#include <QCoreApplication>
#include <QXmlStreamReader>

namespace plenwick {

namespace {

bool isBuild(QStringView text, int64_t build) {
    QByteArray utf8 = text.toUtf8();
    auto number = VersionCollector::buildNumber(std::string_view(utf8.constData(), utf8.size()));
    return number && *number == build;
}

// Only web pages are opened from a feed: never a local file or another program's scheme.
QUrl webPage(const QString& text) {
    QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return {};
    QString scheme = url.scheme().toLower();
    return scheme == u"https" || scheme == u"http" ? url : QUrl();
}

// The page of the first item that announces `build`: the enclosure that carries the build, else
// the item's first enclosure, else its link.
QUrl pageOf(std::string_view feed, int64_t build) {
    QXmlStreamReader reader(
        QByteArray::fromRawData(feed.data(), static_cast<qsizetype>(feed.size())));
    reader.setNamespaceProcessing(false);
    bool inItem = false;
    bool announces = false;
    QUrl matchingEnclosure, firstEnclosure, link;
    while (!reader.atEnd()) {
        auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            auto name = reader.qualifiedName();
            if (name == u"item") {
                inItem = true;
                announces = false;
                matchingEnclosure = firstEnclosure = link = QUrl();
            } else if (!inItem) {
                continue;
            } else if (name == u"enclosure") {
                auto attributes = reader.attributes();
                QUrl url = webPage(attributes.value(QLatin1String("url")).toString());
                if (firstEnclosure.isEmpty())
                    firstEnclosure = url;
                if (isBuild(attributes.value(QLatin1String("sparkle:version")), build)) {
                    announces = true;
                    if (matchingEnclosure.isEmpty())
                        matchingEnclosure = url;
                }
            } else if (name == u"sparkle:version") {
                QString text = reader.readElementText(QXmlStreamReader::IncludeChildElements);
                if (isBuild(QStringView(text).trimmed(), build))
                    announces = true;
            } else if (name == u"link") {
                if (link.isEmpty())
                    link = webPage(reader.readElementText(QXmlStreamReader::SkipChildElements));
            }
        } else if (token == QXmlStreamReader::EndElement && reader.qualifiedName() == u"item") {
            inItem = false;
            if (!announces)
                continue;
            for (const QUrl& candidate : {matchingEnclosure, firstEnclosure, link})
                if (!candidate.isEmpty())
                    return candidate;
            return {};
        }
    }
    return {};
}

} // namespace

UpdateCheck UpdateCheck::failure(QString reason) {
    UpdateCheck check;
    check.reason = std::move(reason);
    return check;
}

UpdateCheck UpdateCheck::evaluate(std::string_view feed, int64_t currentBuild) {
    auto latest = AppcastCheck::latestBuild(feed);
    if (!latest)
        return failure(QCoreApplication::translate(
            "plenwick::UpdateCheck", "The update feed is not an appcast that names a build."));
    UpdateCheck check;
    if (*latest <= currentBuild) {
        check.outcome = Outcome::upToDate;
        return check;
    }
    check.outcome = Outcome::available;
    check.latestBuild = *latest;
    check.page = pageOf(feed, *latest);
    return check;
}

} // namespace plenwick
