#include "ChildProcess.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace plenwick::test {

namespace {

std::vector<std::string>
environmentWith(const std::map<std::string, std::optional<std::string>>& changes) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        size_t equals = text.find('=');
        if (equals != std::string::npos)
            variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value)
            variables[name] = *value;
        else
            variables.erase(name);
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : variables)
        result.push_back(name + "=" + value);
    return result;
}

void closeIfOpen(int& descriptor) {
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

} // namespace

ChildProcess::ChildProcess(Options options) {
    int input[2] = {-1, -1};
    int output[2];
    int error[2];
    if ((options.pipeStandardInput && ::pipe2(input, O_CLOEXEC) != 0) ||
        ::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(error, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make pipes");
    if (options.outputReaderGone) {
        // Closed before the program starts, so that its very first write finds no reader.
        ::close(output[0]);
        ::close(error[0]);
        output[0] = error[0] = -1;
    }

    std::vector<std::string> environment = environmentWith(options.environment);
    std::vector<char*> argv;
    for (std::string& argument : options.arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    m_pid = ::fork();
    if (m_pid < 0)
        throw std::runtime_error("cannot fork");
    if (m_pid == 0) {
        int null = ::open(options.standardInputFile.value_or("/dev/null").c_str(), O_RDONLY);
        ::dup2(options.pipeStandardInput ? input[0] : null, STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(error[1], STDERR_FILENO);
        // The test runner may block signals; the program must start as a user's would.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // An ignored signal stays ignored across exec: SIGPIPE must do what it does for a user.
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (options.pipeStandardInput) {
        ::close(input[0]);
        m_input = input[1];
    }
    ::close(output[1]);
    ::close(error[1]);
    m_output = output[0];
    m_error = error[0];
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    closeIfOpen(m_input);
    closeIfOpen(m_output);
    closeIfOpen(m_error);
}

void ChildProcess::writeStandardInput(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t count = ::write(m_input, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            throw std::runtime_error("cannot write to the program");
        bytes.remove_prefix(static_cast<size_t>(count));
    }
}

void ChildProcess::closeStandardInput() {
    closeIfOpen(m_input);
}

bool ChildProcess::collect(std::chrono::milliseconds timeout) {
    pollfd waits[2] = {{m_output, POLLIN, 0}, {m_error, POLLIN, 0}};
    if (m_output < 0 && m_error < 0)
        return false;
    int ready = ::poll(waits, 2, static_cast<int>(timeout.count()));
    if (ready <= 0)
        return true;
    char buffer[65536];
    int* descriptors[2] = {&m_output, &m_error};
    std::string* texts[2] = {&m_standardOutput, &m_standardError};
    for (int i = 0; i < 2; ++i) {
        if (!(waits[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        ssize_t count = ::read(*descriptors[i], buffer, sizeof buffer);
        if (count > 0)
            texts[i]->append(buffer, static_cast<size_t>(count));
        else if (count == 0 || errno != EINTR)
            closeIfOpen(*descriptors[i]);
    }
    return m_output >= 0 || m_error >= 0;
}

bool ChildProcess::waitForStandardError(std::string_view text, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_standardError.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !collect(std::min(left, std::chrono::milliseconds(100))))
            return m_standardError.find(text) != std::string::npos;
    }
    return true;
}

void ChildProcess::signal(int number) {
    ::kill(m_pid, number);
}

bool ChildProcess::waitUntilBlocking(int number, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string status = "/proc/" + std::to_string(m_pid) + "/status";
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream file(status);
        for (std::string line; std::getline(file, line);) {
            if (!line.starts_with("SigBlk:"))
                continue;
            unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            if (mask & (1ULL << (number - 1)))
                return true;
        }
        collect(std::chrono::milliseconds(10));
    }
    return false;
}

ChildProcess::Exit ChildProcess::wait() {
    closeStandardInput();
    while (collect(std::chrono::milliseconds(1000))) {
    }
    int status = 0;
    rusage usage{};
    ::wait4(m_pid, &status, 0, &usage);
    return ended(status, usage);
}

std::optional<ChildProcess::Exit> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
    closeStandardInput();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    rusage usage{};
    for (;;) {
        pid_t done = ::wait4(m_pid, &status, WNOHANG, &usage);
        if (done == m_pid)
            break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (done < 0 || left.count() <= 0)
            return std::nullopt;
        // Output that nobody reads would block the program in its writes.
        if (!collect(std::min(left, std::chrono::milliseconds(10))))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    while (collect(std::chrono::milliseconds(1000))) {
    }
    return ended(status, usage);
}

ChildProcess::Exit ChildProcess::ended(int status, const rusage& usage) {
    m_pid = -1;
    Exit exit;
    exit.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    exit.peakResidentKilobytes = usage.ru_maxrss;
    exit.standardOutput = std::move(m_standardOutput);
    exit.standardError = std::move(m_standardError);
    return exit;
}

} // namespace plenwick::test
