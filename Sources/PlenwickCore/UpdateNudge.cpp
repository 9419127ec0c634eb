#include "PlenwickCore/UpdateNudge.hpp"

#include "PlatformServices/Log.hpp"
#include "PlenwickCore/AppcastCheck.hpp"

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

const Log& logger() {
    static const Log log("update");
    return log;
}

// libcurl's global set-up is not safe to race with the first handle on another thread.
bool curlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

size_t collect(char* data, size_t size, size_t count, void* context) {
    auto* body = static_cast<std::string*>(context);
    size_t length = size * count;
    // Any other count than the one offered fails the transfer with a write error.
    if (body->size() + length > UpdateNudge::maximumFeedSize)
        return 0;
    body->append(data, length);
    return length;
}

// The request as a plain GET with nothing kept: no cookies (libcurl keeps none unless asked),
// no cache, certificates verified, only http and https, and no downgrade on a redirect.
void configure(CURL* easy, const std::string& url, std::string& body, char* errors) {
    long timeout = static_cast<long>(UpdateNudge::timeout.count());
    bool secure = url.starts_with("https:");
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeout);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeout);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(UpdateNudge::maximumFeedSize));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errors);
}

std::string describe(CURLcode code, const char* errors) {
    if (code == CURLE_WRITE_ERROR)
        return "the answer is larger than 1 MiB";
    return *errors ? errors : curl_easy_strerror(code);
}

} // namespace

struct UpdateNudge::Fetch {
    enum class Outcome { ended, abandoned };

    Outcome outcome = Outcome::ended;
    // The feed's latest build; nothing when the answer was unusable.
    std::optional<int64_t> latestBuild;

    static Fetch ended(std::optional<int64_t> build = std::nullopt) {
        return {Outcome::ended, build};
    }
    static Fetch abandoned() { return {Outcome::abandoned, std::nullopt}; }
};

UpdateNudge::UpdateNudge(std::string feedURL, std::shared_ptr<Preferences> defaults,
                         int64_t currentBuild, Clock now)
    : m_feedURL(std::move(feedURL)), m_defaults(std::move(defaults)), m_currentBuild(currentBuild),
      m_now(now ? std::move(now) : [] { return std::chrono::system_clock::now(); }) {}

std::optional<std::string> UpdateNudge::suffix(std::stop_token stop) const {
    std::optional<Date> lastCheck = m_defaults ? m_defaults->date(lastCheckKey) : std::nullopt;
    if (AppcastCheck::shouldCheck(m_now(), lastCheck)) {
        Fetch fetch = fetchLatestBuild(stop);
        // A cancelled request leaves the check due, so the next share asks again.
        if (fetch.outcome == Fetch::Outcome::ended && m_defaults) {
            m_defaults->setDate(lastCheckKey, m_now());
            if (fetch.latestBuild)
                m_defaults->setInteger(latestBuildKey, *fetch.latestBuild);
        }
    }
    std::optional<int64_t> known = m_defaults ? m_defaults->integer(latestBuildKey) : std::nullopt;
    return AppcastCheck::nudgeText(m_currentBuild, known);
}

UpdateNudge::Fetch UpdateNudge::fetchLatestBuild(std::stop_token stop) const {
    if (stop.stop_requested())
        return Fetch::abandoned();
    Easy easy(curlReady() ? curl_easy_init() : nullptr);
    Multi multi(curlReady() ? curl_multi_init() : nullptr);
    if (!easy || !multi) {
        logger().info("appcast fetch failed: %s", "libcurl could not start a request");
        return Fetch::ended();
    }
    std::string body;
    char errors[CURL_ERROR_SIZE] = "";
    configure(easy.get(), m_feedURL, body, errors);

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
            return Fetch::abandoned();
        CURLMcode status = curl_multi_perform(multi.get(), &running);
        if (status == CURLM_OK && running)
            status = curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
        if (status != CURLM_OK) {
            logger().info("appcast fetch failed: %s", curl_multi_strerror(status));
            return Fetch::ended();
        }
    }

    int queued = 0;
    CURLMsg* message = curl_multi_info_read(multi.get(), &queued);
    CURLcode result = message && message->msg == CURLMSG_DONE ? message->data.result : CURLE_OK;
    if (result != CURLE_OK) {
        logger().info("appcast fetch failed: %s", describe(result, errors).c_str());
        return Fetch::ended();
    }
    long code = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &code);
    if (code < 200 || code > 299) {
        // No status line at all would be 0; it is told as -1.
        logger().info("appcast fetch: HTTP %ld", code == 0 ? -1L : code);
        return Fetch::ended();
    }
    std::optional<int64_t> latest = AppcastCheck::latestBuild(body);
    logger().info("appcast fetch: latest build %ld, current %ld", latest.value_or(-1),
                  m_currentBuild);
    return Fetch::ended(latest);
}

} // namespace plenwick
