#include "ShareLauncher.hpp"

#include "PlenwickCore/ImageTypes.hpp"

#include <algorithm>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>

namespace plenwick {

namespace {

const QString shareProgram = QStringLiteral("plenwick-share");

bool decoded(const QMimeType& type) {
    return std::any_of(ImageTypes::mimeTypes.begin(), ImageTypes::mimeTypes.end(),
                       [&](std::string_view name) {
                           return type.inherits(QString::fromLatin1(name.data(), name.size()));
                       });
}

} // namespace

QString ShareLauncher::program(const QString& folder) {
    // The share installed with this window comes first; a different one on PATH would read the
    // same settings but could be another version.
    QFileInfo beside(QDir(folder), shareProgram);
    if (beside.isFile() && beside.isExecutable())
        return beside.absoluteFilePath();
    return QStandardPaths::findExecutable(shareProgram);
}

std::optional<qint64> ShareLauncher::share(const QStringList& files) {
    if (files.isEmpty())
        return std::nullopt;
    QString found = program(QCoreApplication::applicationDirPath());
    if (found.isEmpty())
        return std::nullopt;
    // "--" ends the options, so a photo whose name starts with a dash stays a photo.
    QStringList arguments{QStringLiteral("--")};
    arguments += files;
    qint64 pid = 0;
    if (!QProcess::startDetached(found, arguments, QString(), &pid))
        return std::nullopt;
    return pid;
}

bool ShareLauncher::isPhoto(const QString& file) {
    QFileInfo info(file);
    return info.isFile() && decoded(QMimeDatabase().mimeTypeForFile(info));
}

QStringList ShareLauncher::photos(const QList<QUrl>& urls) {
    QStringList files;
    for (const QUrl& url : urls)
        if (url.isLocalFile() && isPhoto(url.toLocalFile()))
            files << url.toLocalFile();
    return files;
}

QString ShareLauncher::photoFilter() {
    QMimeDatabase database;
    QStringList patterns;
    for (std::string_view name : ImageTypes::mimeTypes)
        for (const QString& pattern :
             database.mimeTypeForName(QString::fromLatin1(name.data(), name.size())).globPatterns())
            if (!patterns.contains(pattern))
                patterns << pattern;
    return QCoreApplication::translate("plenwick::ShareLauncher", "Photos (%1)")
        .arg(patterns.join(u' '));
}

} // namespace plenwick
