#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace plenwick::test {

// A program run by a test, with its own environment and its output collected through pipes.
class ChildProcess {
public:
    struct Options {
        std::vector<std::string> arguments;
        // Set, or with nothing, removed from the test's own environment.
        std::map<std::string, std::optional<std::string>> environment;
        // Without it, standard input is /dev/null.
        bool pipeStandardInput = false;
        // Standard output and error are pipes whose reader has gone, as when the reader at the
        // end of a pipeline quit before the program wrote: every write meets EPIPE.
        bool outputReaderGone = false;
        // A file to read standard input from instead, such as a FIFO a test writes into.
        std::optional<std::string> standardInputFile = std::nullopt;
    };

    struct Exit {
        // The exit status, or 128 + the signal that ended it.
        int status = -1;
        std::string standardOutput;
        std::string standardError;
        // The largest resident set the program reached, as the kernel counts it.
        long peakResidentKilobytes = 0;
    };

    explicit ChildProcess(Options options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void writeStandardInput(std::string_view bytes);
    void closeStandardInput();
    // Collects output until standard error holds `text`; false when it did not come in time.
    bool waitForStandardError(std::string_view text, std::chrono::milliseconds timeout);
    void signal(int number);
    // Waits until the program holds `number` blocked, so that a signal sent then is one it
    // handles rather than one that ends it before it is ready; false when that did not come.
    bool waitUntilBlocking(int number, std::chrono::milliseconds timeout);
    // Collects the rest of the output and waits for the program to end.
    Exit wait();
    // The same, for at most `timeout`: nothing when the program still runs then.
    std::optional<Exit> waitFor(std::chrono::milliseconds timeout);

private:
    // Reads what is there within `timeout`; false once both pipes are at their end.
    bool collect(std::chrono::milliseconds timeout);
    // The exit of a program that wait4 found ended with `status` and `usage`, with the output
    // collected.
    Exit ended(int status, const rusage& usage);

    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    int m_error = -1;
    std::string m_standardOutput;
    std::string m_standardError;
};

} // namespace plenwick::test
