#include "FeedRequest.hpp"

#include <memory>

#include <QCoreApplication>
#include <curl/curl.h>

namespace plenwick {

namespace {

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using Curl = std::unique_ptr<CURL, CurlCleanup>;

// A person waits for this answer, so it may take longer than the share's quiet check.
constexpr long connectTimeoutSeconds = 5;
constexpr long totalTimeoutSeconds = 15;

// libcurl's global set-up must not race with a first handle on another thread.
bool curlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

struct Transfer {
    std::string body;
    std::stop_token stop;
    bool tooLarge = false;
};

size_t received(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    size_t length = size * count;
    if (transfer->body.size() + length > FeedRequest::maximumSize) {
        transfer->tooLarge = true;
        return 0;
    }
    transfer->body.append(data, length);
    return length;
}

int progressed(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(context)->stop.stop_requested() ? 1 : 0;
}

QString words(const char* text) {
    return QCoreApplication::translate("plenwick::FeedRequest", text);
}

} // namespace

Expected<std::string, QString> FeedRequest::fetch(const std::string& url, std::stop_token stop) {
    Curl curl(curlReady() ? curl_easy_init() : nullptr);
    if (!curl)
        return words("The network library could not start.");
    Transfer transfer{{}, std::move(stop)};
    char error[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    // A feed asked for over https is never handed over to plain http by a redirect.
    bool secure = url.rfind("https:", 0) == 0;
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https,http");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "https,http");
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, connectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, totalTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maximumSize));
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "Plenwick");
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, received);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, progressed);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);

    CURLcode result = curl_easy_perform(handle);
    if (transfer.tooLarge || result == CURLE_FILESIZE_EXCEEDED)
        return words("The update feed is larger than a feed can be.");
    if (result == CURLE_ABORTED_BY_CALLBACK)
        return words("The check was stopped.");
    if (result != CURLE_OK) {
        QString detail = QString::fromUtf8(*error ? error : curl_easy_strerror(result));
        return words("The update server could not be reached: %1.").arg(detail);
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299)
        return words("The update server answered with HTTP status %1.").arg(status);
    return std::move(transfer.body);
}

} // namespace plenwick
