#include "LocalHttpServer.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace plenwick::test {

namespace {

constexpr auto tick = std::chrono::milliseconds(10);

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Waits up to one tick for `events` on `descriptor`; false when the wait ended without them.
bool ready(int descriptor, short events) {
    pollfd entry{descriptor, events, 0};
    return ::poll(&entry, 1, static_cast<int>(tick.count())) > 0;
}

// Sleeps in ticks so that the server can go at any moment.
void pause(std::stop_token stop, std::chrono::milliseconds duration) {
    auto until = std::chrono::steady_clock::now() + duration;
    while (!stop.stop_requested() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(tick);
}

bool sendAll(std::stop_token stop, int connection, std::string_view bytes) {
    while (!bytes.empty() && !stop.stop_requested()) {
        if (!ready(connection, POLLOUT))
            continue;
        ssize_t sent = ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0)
            return errno == EINTR || errno == EAGAIN;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return bytes.empty();
}

std::string reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

} // namespace

LocalHttpServer::LocalHttpServer() {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(m_listener, 16) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    m_port = ntohs(address.sin_port);
    m_thread = std::jthread([this](std::stop_token stop) { serve(stop); });
}

LocalHttpServer::~LocalHttpServer() {
    m_thread.request_stop();
    m_thread.join();
    ::close(m_listener);
}

void LocalHttpServer::respond(const std::string& path, Response response) {
    std::lock_guard lock(m_mutex);
    m_responses[path] = std::move(response);
}

std::string LocalHttpServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + std::string(path);
}

bool LocalHttpServer::waitForRequests(int count, std::chrono::milliseconds timeout) const {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (m_requests.load() < count) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

uint16_t LocalHttpServer::closedPort() {
    // Bound but not listening: the kernel refuses connections, and no other test takes it.
    static const int holder = [] {
        int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
        return descriptor;
    }();
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

LocalHttpServer::Response LocalHttpServer::responseFor(const std::string& path) {
    std::lock_guard lock(m_mutex);
    auto found = m_responses.find(path);
    if (found == m_responses.end())
        return Response{404, "not found"};
    return found->second;
}

void LocalHttpServer::serve(std::stop_token stop) {
    // Declared here so that leaving the loop stops and joins every connection thread.
    std::vector<std::jthread> connections;
    while (!stop.stop_requested()) {
        if (!ready(m_listener, POLLIN))
            continue;
        int connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (connection < 0)
            continue;
        connections.emplace_back([this, connection](std::stop_token connectionStop) {
            answer(connectionStop, connection);
            ::close(connection);
        });
    }
}

void LocalHttpServer::answer(std::stop_token stop, int connection) {
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos && !stop.stop_requested()) {
        if (!ready(connection, POLLIN))
            continue;
        char buffer[4096];
        ssize_t received = ::recv(connection, buffer, sizeof buffer, 0);
        if (received <= 0)
            return;
        request.append(buffer, static_cast<size_t>(received));
    }
    if (stop.stop_requested())
        return;
    // "GET /path HTTP/1.1"
    size_t start = request.find(' ') + 1;
    std::string path = request.substr(start, request.find(' ', start) - start);
    ++m_requests;

    Response response = responseFor(path);
    if (response.stall) {
        pause(stop, std::chrono::hours(1));
        return;
    }
    pause(stop, response.delay);
    if (response.raw) {
        sendAll(stop, connection, *response.raw);
        return;
    }
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       reason(response.status) + "\r\nConnection: close\r\n";
    if (!response.closeDelimited)
        head += "Content-Length: " +
                std::to_string(response.announcedLength.value_or(response.body.size())) + "\r\n";
    for (const std::string& header : response.headers)
        head += header + "\r\n";
    head += "\r\n";
    if (sendAll(stop, connection, head))
        sendAll(stop, connection, response.body);
}

} // namespace plenwick::test
