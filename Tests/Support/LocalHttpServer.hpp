#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace plenwick::test {

// A small HTTP/1.1 server on 127.0.0.1 with canned answers per path, for tests of code that
// fetches. Every connection is served on its own thread and closed after one answer.
class LocalHttpServer {
public:
    struct Response {
        int status = 200;
        std::string body{};
        // Further header lines, without the line end ("Location: /loop").
        std::vector<std::string> headers{};
        // Waits this long before answering.
        std::chrono::milliseconds delay{0};
        // Reads the request and never answers, until the server goes.
        bool stall = false;
        // Sends no Content-Length: the body ends when the connection closes.
        bool closeDelimited = false;
        // Announces this length but sends only the body (a cut-off answer).
        std::optional<size_t> announcedLength{};
        // Sent as it is, instead of a status line, headers and body.
        std::optional<std::string> raw{};
    };

    LocalHttpServer();
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    // Paths without a response answer 404.
    void respond(const std::string& path, Response response);
    std::string url(std::string_view path) const;
    uint16_t port() const { return m_port; }

    // Requests whose head was read, over all paths.
    int requests() const { return m_requests.load(); }
    // True once `count` requests arrived, false when `timeout` passed first.
    bool waitForRequests(int count, std::chrono::milliseconds timeout) const;

    // A port on 127.0.0.1 where nothing listens: connecting to it is refused.
    static uint16_t closedPort();

private:
    void serve(std::stop_token stop);
    void answer(std::stop_token stop, int connection);
    Response responseFor(const std::string& path);

    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<int> m_requests{0};
    // Tests change answers while connection threads read them.
    std::mutex m_mutex;
    std::map<std::string, Response> m_responses;
    std::jthread m_thread;
};

} // namespace plenwick::test
