#include "server/ClientMessage.h"

namespace {

bool isSpaceOrTab(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

QString trimSpacesAndTabs(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpaceOrTab(text[begin]))
        ++begin;
    while (end > begin && isSpaceOrTab(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

} // namespace

ClientMessage parseClientMessage(const QString& text)
{
    // QChar::isSpace, which trimmed() uses, is exactly the set of white-space
    // and line-break characters the clients may pad a message with.
    const QString message = text.toLower().trimmed();
    if (message == u"pong")
        return PongMessage{};
    if (message.contains(u"mouse"))
        return MouseMessage{message};
    if (message == u"hsk")
        return HandshakeMessage{};
    if (message.startsWith(u"move") && message.size() > 4 && isSpaceOrTab(message[4]))
        return MoveMessage{message};
    const KeyAction action = message.contains(u'-') ? KeyAction::Release : KeyAction::Press;
    return KeyMessage{trimSpacesAndTabs(QString(message).remove(u'-')), action};
}
