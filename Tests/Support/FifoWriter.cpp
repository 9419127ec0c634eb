#include "FifoWriter.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace plenwick::test {

FifoWriter::FifoWriter(std::filesystem::path fifo, std::string bytes, End end)
    : m_fifo(std::move(fifo)), m_bytes(std::move(bytes)), m_end(end) {
    m_thread = std::jthread([this](std::stop_token stop) {
        // A reader that goes away answers EPIPE rather than ending the test program.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        int fifo = ::open(m_fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fifo < 0)
            return;
        m_opened = !stop.stop_requested();
        // Writing without blocking, so that a reader that stops reading cannot hold the writer.
        ::fcntl(fifo, F_SETFL, O_NONBLOCK);
        write(stop, fifo);
        ::close(fifo);
    });
}

void FifoWriter::finish() {
    if (!m_thread.joinable())
        return;
    m_thread.request_stop();
    // The writer may still wait in open for a reader: this one lets it go.
    int reader = ::open(m_fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    m_thread.join();
    if (reader >= 0)
        ::close(reader);
}

void FifoWriter::write(const std::stop_token& stop, int fifo) {
    const std::string zeros(1 << 16, '\0');
    std::string_view left = m_bytes;
    while (!stop.stop_requested()) {
        if (left.empty()) {
            if (m_end == End::close)
                return;
            if (m_end == End::endless)
                left = zeros;
        }
        pollfd wait{fifo, static_cast<short>(left.empty() ? 0 : POLLOUT), 0};
        if (::poll(&wait, 1, 20) < 0 && errno != EINTR)
            return;
        if (wait.revents & (POLLERR | POLLHUP))
            return;
        if (left.empty() || !(wait.revents & POLLOUT))
            continue;
        ssize_t count = ::write(fifo, left.data(), left.size());
        if (count < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (count < 0)
            return;
        m_written += count;
        left.remove_prefix(static_cast<size_t>(count));
    }
}

} // namespace plenwick::test
