#include "FeedRequest.hpp"

#include "PlenwickCore/FeedFetch.hpp"

#include <QCoreApplication>

namespace plenwick {

namespace {

// A person waits for this answer, so it may take longer than the share's quiet check.
constexpr std::chrono::seconds connectTimeout{5};
constexpr std::chrono::seconds totalTimeout{15};

QString words(const char* text) {
    return QCoreApplication::translate("plenwick::FeedRequest", text);
}

} // namespace

Expected<std::string, QString> FeedRequest::fetch(const std::string& url, std::stop_token stop) {
    FeedFetch::Result answer = FeedFetch::get(url, connectTimeout, totalTimeout, std::move(stop));
    switch (answer.outcome) {
    case FeedFetch::Result::Outcome::cancelled:
        return words("The check was stopped.");
    case FeedFetch::Result::Outcome::failed:
        if (answer.tooLarge)
            return words("The update feed is larger than a feed can be.");
        return words("The update server could not be reached: %1.")
            .arg(QString::fromStdString(answer.failure));
    case FeedFetch::Result::Outcome::answered:
        break;
    }
    if (answer.status < 200 || answer.status > 299)
        return words("The update server answered with HTTP status %1.").arg(answer.status);
    return std::move(answer.body);
}

} // namespace plenwick
