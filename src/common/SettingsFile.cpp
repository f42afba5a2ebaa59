#include "common/SettingsFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>

namespace {

QString badCopyPath()
{
    return SettingsFile::path() + QStringLiteral(".bad-") +
           QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

// Returns whether the mode had to change.
bool narrowMode(const QString& path, mode_t mode)
{
    struct stat status
    {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 ||
        (status.st_mode & 0777 & ~mode) == 0)
        return false;
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

} // namespace

namespace SettingsFile {

QString path()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kestrelio/kestrelio.conf");
}

void prepare(DiagnosticLog& log)
{
    const QString file = path();
    const QString folder = QFileInfo(file).path();
    // Made private from the start, so that only a folder someone widened is reported.
    bool narrowed = false;
    if (QDir folderDir(folder); folderDir.exists()) {
        narrowed = narrowMode(folder, 0700);
    } else {
        QDir().mkpath(QFileInfo(folder).path());
        QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    if (!QFile::exists(file)) {
        QFile created(file);
        // An empty file now, so that the settings are written into a private one.
        if (created.open(QIODevice::WriteOnly))
            created.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }
    narrowed |= narrowMode(file, 0600);
    if (narrowed)
        log.writeLine(QStringLiteral("Made %1 readable by its owner only").arg(file));

    if (QFileInfo(file).size() > kMaxBytes) {
        const QString aside = badCopyPath();
        if (QFile::rename(file, aside))
            log.writeLine(QStringLiteral("The settings file %1 is larger than 1 MiB: moved aside "
                                         "as %2, starting with defaults")
                              .arg(file, aside));
        else
            log.writeLine(QStringLiteral(
                              "The settings file %1 is larger than 1 MiB and cannot be moved aside")
                              .arg(file));
    }
}

QString keepBadCopy()
{
    const QString aside = badCopyPath();
    return QFile::copy(path(), aside) ? aside : QString();
}

} // namespace SettingsFile
