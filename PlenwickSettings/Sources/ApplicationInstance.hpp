#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/SingleInstance.hpp"

#include <memory>

#include <QObject>

namespace plenwick {

// The settings application's claim to be the one instance in the desktop session: it owns the
// bus name the desktop entry is named after, and tells of each later launch on the GUI thread.
class ApplicationInstance : public QObject {
    Q_OBJECT

public:
    static constexpr const char* applicationID = "com.brindlemoor.Plenwick";

    explicit ApplicationInstance(QObject* parent = nullptr);
    ~ApplicationInstance() override;

    // Claims the name for this process, or hands this launch, with what it brought for raising
    // a window, over to the instance that owns it; else why neither was done.
    Expected<SingleInstance::Outcome, SingleInstance::Failure>
    claim(const SingleInstance::Activation& launch = {});

signals:
    // Another launch asked for the window, with the token that lets it take the focus.
    void activated(const std::string& activationToken);

private:
    std::unique_ptr<SingleInstance> m_instance;
};

} // namespace plenwick
