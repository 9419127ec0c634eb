#include "PlenwickCore/FeedFetch.hpp"

#include <memory>

#include <curl/curl.h>

namespace plenwick {

namespace {

struct CleanupEasy {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct CleanupMulti {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using Easy = std::unique_ptr<CURL, CleanupEasy>;
using Multi = std::unique_ptr<CURLM, CleanupMulti>;

// libcurl's global set-up is not safe to race with the first handle on another thread.
bool curlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

struct Transfer {
    std::string body;
    bool tooLarge = false;
};

size_t collect(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    size_t length = size * count;
    // Any other count than the one offered fails the transfer with a write error.
    if (transfer->body.size() + length > FeedFetch::maximumSize) {
        transfer->tooLarge = true;
        return 0;
    }
    transfer->body.append(data, length);
    return length;
}

void configure(CURL* easy, const std::string& url, std::chrono::milliseconds connectTimeout,
               std::chrono::milliseconds totalTimeout, Transfer& transfer, char* errors) {
    bool secure = url.starts_with("https:");
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(totalTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(FeedFetch::maximumSize));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errors);
}

FeedFetch::Failure failed(std::string message,
                          FeedFetch::Failure::Kind kind = FeedFetch::Failure::Kind::failed) {
    return {kind, std::move(message)};
}

} // namespace

Expected<FeedFetch::Answer, FeedFetch::Failure>
FeedFetch::get(const std::string& url, std::chrono::milliseconds connectTimeout,
               std::chrono::milliseconds totalTimeout, std::stop_token stop) {
    const Failure cancelled{Failure::Kind::cancelled, "the request was stopped"};
    if (stop.stop_requested())
        return cancelled;
    Easy easy(curlReady() ? curl_easy_init() : nullptr);
    Multi multi(curlReady() ? curl_multi_init() : nullptr);
    if (!easy || !multi)
        return failed("libcurl could not start a request");
    Transfer transfer;
    char errors[CURL_ERROR_SIZE] = "";
    configure(easy.get(), url, connectTimeout, totalTimeout, transfer, errors);

    // Through the multi interface the transfer waits in curl_multi_poll, which a stop request
    // wakes at once; the easy interface would notice it only at its next progress call.
    curl_multi_add_handle(multi.get(), easy.get());
    struct Detach {
        CURLM* multi;
        CURL* easy;
        ~Detach() { curl_multi_remove_handle(multi, easy); }
    } detach{multi.get(), easy.get()};
    std::stop_callback wake(stop, [handle = multi.get()] { curl_multi_wakeup(handle); });

    int running = 1;
    while (running) {
        if (stop.stop_requested())
            return cancelled;
        CURLMcode status = curl_multi_perform(multi.get(), &running);
        if (status == CURLM_OK && running)
            status = curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
        if (status != CURLM_OK)
            return failed(curl_multi_strerror(status));
    }

    int queued = 0;
    CURLMsg* message = curl_multi_info_read(multi.get(), &queued);
    CURLcode result = message && message->msg == CURLMSG_DONE ? message->data.result : CURLE_OK;
    if (result == CURLE_WRITE_ERROR && transfer.tooLarge)
        // libcurl calls this a write error, which would mislead.
        return failed("the answer is larger than 1 MiB", Failure::Kind::tooLarge);
    if (result != CURLE_OK)
        return failed(*errors ? errors : curl_easy_strerror(result),
                      result == CURLE_FILESIZE_EXCEEDED ? Failure::Kind::tooLarge
                                                        : Failure::Kind::failed);

    long code = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &code);
    return Answer{code, std::move(transfer.body)};
}

} // namespace plenwick
