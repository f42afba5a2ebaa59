#include "layouts/LayoutStore.h"

#include "layouts/LayoutDocument.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

constexpr QStringView kBuiltins[] = {u"gamepad-keys", u"game-pad", u"wasd-mouse", u"arrows"};

QByteArray builtinDocument(QStringView name)
{
    QFile file(QStringLiteral(":/layouts/%1.json").arg(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

LayoutStore::LayoutStore(QString directory, DiagnosticLog& log)
    : directory_(std::move(directory)), log_(log)
{}

QString LayoutStore::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kestrelio/layouts");
}

bool LayoutStore::isValidName(QStringView name)
{
    static const QRegularExpression pattern(QStringLiteral(R"(\A[a-z0-9-]{1,40}\z)"));
    return pattern.match(name.toString()).hasMatch();
}

bool LayoutStore::isBuiltin(QStringView name)
{
    return std::find(std::begin(kBuiltins), std::end(kBuiltins), name) != std::end(kBuiltins);
}

QString LayoutStore::pathOf(const QString& name) const
{
    return directory_ + u'/' + name + QStringLiteral(".json");
}

QStringList LayoutStore::savedNames() const
{
    QStringList names;
    const QStringList files =
        QDir(directory_).entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    for (const QString& file : files) {
        const QString name = file.chopped(5);
        if (isValidName(name) && !isBuiltin(name))
            names.append(name);
    }
    return names;
}

std::optional<QByteArray> LayoutStore::readSaved(const QString& name)
{
    const QString path = pathOf(name);
    QFile file(path);
    QString problem;
    QByteArray document;
    if (!file.open(QIODevice::ReadOnly))
        problem = file.errorString();
    else if (file.size() > kMaxDocumentBytes)
        problem = QStringLiteral("larger than %1 bytes").arg(kMaxDocumentBytes);
    else if (document = file.readAll(); !checkLayout(document).valid())
        problem = checkLayout(document).refusal;
    const QFileInfo info(path);
    Known& known = known_[path];
    const bool changed = known.modified != info.lastModified() || known.size != info.size();
    known = {info.lastModified(), info.size(), std::nullopt};
    if (problem.isEmpty()) {
        known.summary = checkLayout(document).summary;
        return document;
    }
    if (changed)
        log_.writeLine(QStringLiteral("Skipped the layout file %1: %2").arg(path, problem));
    return std::nullopt;
}

std::optional<LayoutSummary> LayoutStore::summaryOf(const QString& name)
{
    const QFileInfo info(pathOf(name));
    const auto known = known_.constFind(info.filePath());
    if (known != known_.constEnd() && known->modified == info.lastModified() &&
        known->size == info.size())
        return known->summary;
    readSaved(name);
    return known_.value(info.filePath()).summary;
}

QList<LayoutEntry> LayoutStore::list()
{
    QList<LayoutEntry> entries;
    for (QStringView name : kBuiltins) {
        const LayoutSummary summary = checkLayout(builtinDocument(name)).summary;
        entries.append({name.toString(), summary.title, summary.mode, true});
    }
    for (const QString& name : savedNames()) {
        if (const std::optional<LayoutSummary> summary = summaryOf(name))
            entries.append({name, summary->title, summary->mode, false});
    }
    return entries;
}

std::optional<QByteArray> LayoutStore::read(const QString& name)
{
    if (isBuiltin(name))
        return builtinDocument(name);
    if (!isValidName(name))
        return std::nullopt;
    return readSaved(name);
}

bool LayoutStore::makeDirectory() const
{
    const QFileInfo folder(directory_);
    if (folder.isDir())
        return true;
    // The folders made here are the user's alone, as the settings' folder is.
    QDir parent = folder.dir();
    const bool parentExisted = parent.exists();
    if (!QDir().mkpath(directory_))
        return false;
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    if (!parentExisted)
        QFile::setPermissions(parent.path(), ownerOnly);
    return QFile::setPermissions(directory_, ownerOnly);
}

LayoutStore::Saving LayoutStore::save(const QString& name, QByteArrayView document)
{
    using Result = Saving::Result;
    if (isBuiltin(name))
        return {Result::Builtin, QStringLiteral("%1 is a built-in layout").arg(name)};
    if (!isValidName(name))
        return {Result::InvalidName,
                QStringLiteral("A layout's name is 1 to 40 characters of a-z, 0-9 and -")};
    if (document.size() > kMaxDocumentBytes)
        return {Result::Invalid, QStringLiteral("Larger than %1 bytes").arg(kMaxDocumentBytes)};
    const CheckedLayout checked = checkLayout(document);
    if (!checked.valid())
        return {Result::Invalid, checked.refusal};
    if (!QFile::exists(pathOf(name)) && savedNames().size() >= kMaxSaved)
        return {Result::Full,
                QStringLiteral("At most %1 layouts are kept: delete one first").arg(kMaxSaved)};
    if (!makeDirectory())
        return {Result::Failed, QStringLiteral("Cannot make the folder %1").arg(directory_)};
    QSaveFile file(pathOf(name));
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) ||
        file.write(document.data(), document.size()) != document.size() || !file.commit())
        return {Result::Failed,
                QStringLiteral("Cannot write %1: %2").arg(pathOf(name), file.errorString())};
    return {Result::Saved, checked.summary.title};
}

LayoutStore::Removal LayoutStore::remove(const QString& name, QString& title)
{
    if (isBuiltin(name))
        return Removal::Builtin;
    if (!isValidName(name) || !QFile::exists(pathOf(name)))
        return Removal::Missing;
    // A broken file can still be removed; it is named by its file then.
    const std::optional<QByteArray> document = readSaved(name);
    title = document ? checkLayout(*document).summary.title : name;
    known_.remove(pathOf(name));
    return QFile::remove(pathOf(name)) ? Removal::Removed : Removal::Failed;
}
