#include "ApplicationInstance.hpp"

#include <QMetaObject>

namespace plenwick {

ApplicationInstance::ApplicationInstance(QObject* parent) : QObject(parent) {}

// The bus thread is joined with m_instance, before QObject forgets the events posted to us.
ApplicationInstance::~ApplicationInstance() = default;

Expected<SingleInstance::Outcome, SingleInstance::Failure>
ApplicationInstance::claim(const SingleInstance::Activation& launch) {
    SingleInstance::Claim claimed = PLENWICK_TRY(SingleInstance::claim(
        applicationID, launch, [this](const SingleInstance::Activation& activation) {
            QMetaObject::invokeMethod(
                this, [this, token = activation.activationToken] { emit activated(token); },
                Qt::QueuedConnection);
        }));
    m_instance = std::move(claimed.instance);
    return claimed.outcome;
}

} // namespace plenwick
