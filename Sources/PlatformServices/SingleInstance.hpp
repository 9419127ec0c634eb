#pragma once

#include "PlatformServices/Expected.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace plenwick {

// One instance of a program per desktop session: the first launch owns a well-known name on the
// session bus and answers org.freedesktop.Application.Activate on it; a later launch finds the
// name taken and asks that instance to activate instead of starting again.
class SingleInstance {
public:
    // What a launch brings for raising a window: a Wayland desktop hands each launch a token
    // that lets the window it opens, or asks another to raise, take the focus.
    struct Activation {
        // XDG_ACTIVATION_TOKEN; empty without one.
        std::string activationToken;

        // The tokens of this launch, taken out of its environment, so that no program it starts
        // inherits them. Call before any thread starts: it changes the environment.
        static Activation takeFromEnvironment();
    };
    // Called on the instance's own thread, once per Activate request.
    using Activated = std::function<void(const Activation&)>;

    // How a claim that worked ended.
    enum class Outcome {
        // This launch owns the name and serves Activate until the instance goes.
        first,
        // Another instance owns it and has answered Activate: this launch is done.
        handedOver,
    };
    struct Claim {
        Outcome outcome = Outcome::handedOver;
        // first: the owner of the name, served while it lives.
        std::unique_ptr<SingleInstance> instance;
    };

    // Why a claim came to nothing, in words.
    struct Failure {
        enum class Kind {
            // No session bus could be reached, or it refused the name: run without one.
            noBus,
            // Another instance owns the name but did not answer in time.
            unanswered,
        };
        Kind kind = Kind::noBus;
        std::string message;
    };

    // `name` is the well-known bus name (and the desktop entry's name); the object is served
    // at the path made from it ("com.example.App" gives /com/example/App).
    static Expected<Claim, Failure>
    claim(const std::string& name, const Activation& launch, Activated activated,
          std::chrono::milliseconds timeout = std::chrono::seconds(10));

    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // The object path a name is served at.
    static std::string objectPath(const std::string& name);

    struct Service;

private:
    explicit SingleInstance(std::unique_ptr<Service> service);

    std::unique_ptr<Service> m_service;
};

} // namespace plenwick
