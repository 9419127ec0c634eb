#include "ShareHost.hpp"

#include "CommandLineItem.hpp"
#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/SystemError.hpp"
#include "ShareSession.hpp"
#include "ShareWindow.hpp"
#include "TerminalShareView.hpp"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

namespace plenwick {

namespace {

sigset_t dismissalSignals() {
    sigset_t dismissal;
    sigemptyset(&dismissal);
    sigaddset(&dismissal, SIGINT);
    sigaddset(&dismissal, SIGTERM);
    return dismissal;
}

bool hasDisplay() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

bool readable(int descriptor) {
    pollfd wait{descriptor, POLLIN, 0};
    return ::poll(&wait, 1, 0) > 0 && (wait.revents & POLLIN);
}

// A share that cannot start says why and ends as one that failed, before anything is read.
int failedToStart(const SystemError& failure) {
    std::cerr << "plenwick-share: " << failure.message << std::endl;
    return ShareOutcome{ShareOutcome::Status::incomplete, {}}.exitStatus();
}

std::vector<std::shared_ptr<ItemProvider>> providersOf(const ShareCommandLine& line,
                                                       int cancelDescriptor) {
    std::vector<std::shared_ptr<ItemProvider>> providers;
    for (const std::string& argument : line.inputs)
        providers.push_back(CommandLineItem::provider(argument, STDIN_FILENO, cancelDescriptor));
    return providers;
}

// Waits for the session, prints its outcome unless the share was dismissed first (the session
// knows whether the dismissal came before its notification) and gives the exit status.
int reportedOutcome(ShareSession& session) {
    ShareOutcome outcome =
        session.wait().value_or(ShareOutcome{ShareOutcome::Status::dismissed, {}});
    if (outcome.status != ShareOutcome::Status::dismissed)
        std::cout << outcome.body << std::endl;
    return outcome.exitStatus();
}

int runInTerminal(std::vector<std::shared_ptr<ItemProvider>> providers,
                  const FileDescriptor& dismissal) {
    FileDescriptor completed(::eventfd(0, EFD_CLOEXEC));
    if (!completed)
        return failedToStart(SystemError::fromErrno("cannot make an event descriptor"));
    TerminalShareView view;
    ShareRequest request{std::move(providers), [fd = completed.get()] {
                             uint64_t one = 1;
                             [[maybe_unused]] auto written = ::write(fd, &one, sizeof one);
                         }};
    ShareSession session(std::move(request), view);
    session.start();

    pollfd waits[2] = {{dismissal.get(), POLLIN, 0}, {completed.get(), POLLIN, 0}};
    while (::poll(waits, 2, -1) < 0 && errno == EINTR) {
    }
    if (waits[0].revents & POLLIN)
        session.cancel();
    return reportedOutcome(session);
}

int runInWindow(std::vector<std::shared_ptr<ItemProvider>> providers,
                const FileDescriptor& dismissal, char* programName) {
    // A display that cannot be reached must not end the share: Qt then falls back to drawing
    // the window nowhere, and the share still runs and notifies.
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    ::setenv("QT_QPA_PLATFORM", wayland && *wayland ? "wayland;xcb;offscreen" : "xcb;offscreen", 0);
    // The toolkit sees the program's name alone: a file named "-platform" stays a file, never an
    // option of Qt's. Qt keeps both for its whole life, so they outlive it here.
    int toolkitArgc = 1;
    char* toolkitArgv[] = {programName, nullptr};
    QApplication application(toolkitArgc, toolkitArgv);
    application.setApplicationName("Plenwick");
    // The desktop entry of "Open With", so that the desktop shows its name and icon.
    application.setDesktopFileName("com.brindlemoor.Plenwick.Share");

    ShareSession* sessionOfWindow = nullptr;
    ShareWindow window([&sessionOfWindow] {
        if (sessionOfWindow)
            sessionOfWindow->cancel();
    });
    ShareRequest request{std::move(providers), [&application] {
                             // exit, not quit: quit closes the window, which is the
                             // dismissal.
                             QMetaObject::invokeMethod(
                                 &application, [&application] { application.exit(0); },
                                 Qt::QueuedConnection);
                         }};
    ShareSession session(std::move(request), window);
    sessionOfWindow = &session;

    QSocketNotifier onSignal(dismissal.get(), QSocketNotifier::Read);
    QObject::connect(&onSignal, &QSocketNotifier::activated, &window, [&] {
        onSignal.setEnabled(false);
        window.close();
    });

    QTimer::singleShot(0, &window, [&session] { session.start(); });
    application.exec();

    return reportedOutcome(session);
}

} // namespace

void ShareHost::holdDismissalSignals() {
    sigset_t dismissal = dismissalSignals();
    pthread_sigmask(SIG_BLOCK, &dismissal, nullptr);
}

int ShareHost::run(const ShareCommandLine& line, char* programName) {
    sigset_t held = dismissalSignals();
    FileDescriptor dismissal(::signalfd(-1, &held, SFD_CLOEXEC));
    // Without it the signals held back would never end the share.
    if (!dismissal)
        return failedToStart(SystemError::fromErrno("cannot receive the dismissal signals"));

    // Standard input is read while the items are made; a dismissal then ends the reading too.
    std::vector<std::shared_ptr<ItemProvider>> providers = providersOf(line, dismissal.get());
    if (readable(dismissal.get()))
        return ShareOutcome{ShareOutcome::Status::dismissed, {}}.exitStatus();

    if (line.noWindow || !hasDisplay())
        return runInTerminal(std::move(providers), dismissal);
    return runInWindow(std::move(providers), dismissal, programName);
}

} // namespace plenwick
