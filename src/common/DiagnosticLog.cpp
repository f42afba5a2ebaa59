#include "common/DiagnosticLog.h"

#include <algorithm>
#include <cstdio>

QString escapeControlCharacters(const QString& line)
{
    const auto isControl = [](QChar c) {
        return c != u'\t' && (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0) ||
                              c == QChar::LineSeparator || c == QChar::ParagraphSeparator);
    };
    if (std::none_of(line.cbegin(), line.cend(), isControl))
        return line;
    QString escaped;
    for (const QChar c : line) {
        if (c == u'\n')
            escaped += QStringLiteral("\\n");
        else if (c == u'\r')
            escaped += QStringLiteral("\\r");
        else if (isControl(c))
            escaped += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QChar(u'0'));
        else
            escaped += c;
    }
    return escaped;
}

void StdoutLog::writeLine(const QString& line)
{
    QByteArray bytes = escapeControlCharacters(line).toUtf8();
    bytes.append('\n');
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}
