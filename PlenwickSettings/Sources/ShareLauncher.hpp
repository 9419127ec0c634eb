#pragma once

#include <optional>

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace plenwick {

// Starts plenwick-share for photos the settings window was given, as a process of its own, so
// that closing the window does not stop the share.
namespace ShareLauncher {

// plenwick-share in `folder` (the running program's folder), else the one on PATH; empty
// when there is neither.
QString program(const QString& folder);
// The process id of the started share; nothing when there are no files or it did not start.
std::optional<qint64> share(const QStringList& files);

// Whether a file has one of the image types the exporter decodes, judged as the desktop
// judges it (name, then content).
bool isPhoto(const QString& file);
// The local files among `urls` that are photos, in their order.
QStringList photos(const QList<QUrl>& urls);
// "Photos (*.jpg *.jpeg …)": a file-dialog filter for those image types.
QString photoFilter();

} // namespace ShareLauncher

} // namespace plenwick
