#pragma once

#include "common/DiagnosticLog.h"
#include "layouts/LayoutDocument.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

struct LayoutEntry
{
    QString name;
    QString title;
    QString mode;
    bool builtin = false;
};

// The layouts every phone shares: the built-ins compiled into the program,
// and those saved in a folder of the user's, one NAME.json each. Nothing is
// written for a request that is refused; a file that is no layout is skipped
// with one line.
class LayoutStore
{
public:
    static constexpr int kMaxSaved = 100;
    static constexpr qsizetype kMaxDocumentBytes = 64 * 1024;

    LayoutStore(QString directory, DiagnosticLog& log);
    // $XDG_CONFIG_HOME/kestrelio/layouts
    static QString defaultDirectory();
    // 1 to 40 characters of a-z, 0-9 and "-".
    static bool isValidName(QStringView name);
    static bool isBuiltin(QStringView name);

    // Built-ins first, then the saved ones by name.
    QList<LayoutEntry> list();
    std::optional<QByteArray> read(const QString& name);

    struct Saving
    {
        enum class Result
        {
            Saved,
            InvalidName,
            Invalid,
            Builtin,
            Full,
            Failed,
        };
        Result result;
        QString detail; // the title when saved, otherwise why not
    };
    Saving save(const QString& name, QByteArrayView document);

    enum class Removal
    {
        Removed,
        Missing,
        Builtin,
        Failed,
    };
    // The title of what was removed goes into `title`.
    Removal remove(const QString& name, QString& title);

private:
    QString pathOf(const QString& name) const;
    QStringList savedNames() const;
    std::optional<QByteArray> readSaved(const QString& name);
    std::optional<LayoutSummary> summaryOf(const QString& name);
    bool makeDirectory() const;

    QString directory_;
    DiagnosticLog& log_;
    // What each file held when last read: every phone's menu lists them all
    // whenever it opens, on the network thread. A broken file is reported
    // once per change.
    struct Known
    {
        QDateTime modified;
        qint64 size = 0;
        std::optional<LayoutSummary> summary;
    };
    QHash<QString, Known> known_;
};
