#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

namespace plenwick::test {

// A program writing into a FIFO, as `cat photo.jpg > fifo` does in a script: it waits in open
// until a reader comes, writes its bytes, and then ends as it was told. A reader that goes away
// ends the writer too (it gets EPIPE, never SIGPIPE).
class FifoWriter {
public:
    enum class End {
        close,  // closes the FIFO after its bytes, so that the reader sees the end
        hold,   // keeps the FIFO open without another byte until the writer goes
        endless // writes zero bytes after its bytes until the reader goes or the writer does
    };

    FifoWriter(std::filesystem::path fifo, std::string bytes, End end);
    ~FifoWriter() { finish(); }
    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;

    // Ends the writer now and closes its end of the FIFO. A writer still waiting for a reader is
    // let go: this opens the FIFO for reading.
    void finish();

    // Whether a reader has opened the FIFO, and how many bytes went into it.
    bool opened() const { return m_opened; }
    int64_t written() const { return m_written; }

private:
    void write(const std::stop_token& stop, int fifo);

    std::filesystem::path m_fifo;
    std::string m_bytes;
    End m_end;
    std::atomic<bool> m_opened{false};
    std::atomic<int64_t> m_written{0};
    // Last, so that it ends before the values it reads go.
    std::jthread m_thread;
};

} // namespace plenwick::test
