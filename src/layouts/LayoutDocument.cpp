#include "layouts/LayoutDocument.h"

#include "common/DiagnosticLog.h"
#include "gamepad/PadMessage.h"
#include "input/KeyMap.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <variant>

namespace {

// Fields a control may have beyond its type and bind.
const QSet<QString> kPlacement{QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("w"),
                               QStringLiteral("h")};

// Text from the request goes into a one-line answer.
QString quoted(const QString& text)
{
    return u'"' + shortened(escapeControlCharacters(text), 32) + u'"';
}

qsizetype characters(const QString& text)
{
    return text.toUcs4().size();
}

bool isKeyBind(const QString& bind)
{
    return isKeyName(bind) || isPointerButtonName(bind);
}

// A name the pad socket takes alone as a press: a button or a d-pad direction.
bool isPadButton(const QString& bind)
{
    if (bind != bind.trimmed().toLower())
        return false;
    const PadMessage message = parsePadMessage(bind);
    if (const auto* button = std::get_if<PadButtonMessage>(&message))
        return button->pressed;
    if (const auto* direction = std::get_if<PadDirectionMessage>(&message))
        return direction->pressed;
    return false;
}

bool isOneOf(const QString& bind, std::initializer_list<QStringView> names)
{
    return std::any_of(names.begin(), names.end(),
                       [&bind](QStringView name) { return bind == name; });
}

// Why `control`'s bind does not fit its type in this mode; empty when it fits.
QString bindRefusal(const QJsonObject& control, const QString& type, bool pad)
{
    const QJsonValue bind = control.value(QStringLiteral("bind"));
    const QString text = bind.toString();
    const auto needsText = [&](auto fits) {
        return bind.isString() && fits(text)
                   ? QString()
                   : QStringLiteral("a %1 cannot be bound to %2")
                         .arg(type, bind.isString() ? quoted(text) : QStringLiteral("that value"));
    };
    if (type == u"button")
        return needsText(pad ? isPadButton : isKeyBind);
    if (type == u"stick")
        return needsText([pad](const QString& name) {
            return pad ? isOneOf(name, {u"ls", u"rs"})
                       : isOneOf(name, {u"wasd", u"arrows", u"mouse"});
        });
    if (type == u"trigger")
        return needsText([](const QString& name) { return isOneOf(name, {u"l2", u"r2"}); });
    if (type == u"motion")
        return needsText([](const QString& name) {
            return isOneOf(name, {u"mouse", u"wasd", u"arrows"});
        });
    if (type == u"dpad" && !pad) {
        const QJsonArray keys = bind.toArray();
        const bool fits = keys.size() == 4 && std::all_of(keys.begin(), keys.end(), [](auto key) {
                              return key.isString() && isKeyName(key.toString());
                          });
        return fits ? QString()
                    : QStringLiteral("a dpad is bound to four key names: up, left, down, right");
    }
    // The pad's d-pad, a touchpad and a scroll area do one thing each.
    return bind.isUndefined() ? QString() : QStringLiteral("a %1 takes no bind").arg(type);
}

QString controlRefusal(const QJsonValue& value, bool pad)
{
    if (!value.isObject())
        return QStringLiteral("is not an object");
    const QJsonObject control = value.toObject();
    const QString type = control.value(QStringLiteral("type")).toString();
    const bool known =
        pad ? isOneOf(type, {u"button", u"dpad", u"stick", u"trigger"})
            : isOneOf(type, {u"button", u"dpad", u"stick", u"touchpad", u"scroll", u"motion"});
    if (!known)
        return QStringLiteral("has a type that %1 mode does not know: %2")
            .arg(pad ? u"pad" : u"keys", quoted(type));
    for (const QString& field : kPlacement) {
        const QJsonValue number = control.value(field);
        if (!number.isDouble() || number.toDouble() < 0 || number.toDouble() > 1)
            return QStringLiteral("needs %1 between 0 and 1").arg(field);
    }
    const QJsonValue label = control.value(QStringLiteral("label"));
    if (!label.isUndefined() &&
        (!label.isString() || characters(label.toString()) > kMaxLayoutLabelLength))
        return QStringLiteral("has a label that is no text of at most %1 characters")
            .arg(kMaxLayoutLabelLength);
    for (auto it = control.begin(); it != control.end(); ++it) {
        if (!kPlacement.contains(it.key()) && !isOneOf(it.key(), {u"type", u"label", u"bind"}))
            return QStringLiteral("has an unknown field %1").arg(quoted(it.key()));
    }
    return bindRefusal(control, type, pad);
}

QString documentRefusal(const QJsonObject& root, LayoutSummary& summary)
{
    for (auto it = root.begin(); it != root.end(); ++it) {
        if (!isOneOf(it.key(), {u"version", u"title", u"mode", u"controls"}))
            return QStringLiteral("Unknown field %1").arg(quoted(it.key()));
    }
    if (root.value(QStringLiteral("version")) != QJsonValue(1))
        return QStringLiteral("Only version 1 is known");
    const QJsonValue title = root.value(QStringLiteral("title"));
    summary.title = title.toString();
    if (!title.isString() || summary.title.trimmed().isEmpty() ||
        characters(summary.title) > kMaxLayoutTitleLength)
        return QStringLiteral("The title must be text of 1 to %1 characters")
            .arg(kMaxLayoutTitleLength);
    summary.mode = root.value(QStringLiteral("mode")).toString();
    if (!isOneOf(summary.mode, {u"keys", u"pad"}))
        return QStringLiteral("The mode must be \"keys\" or \"pad\"");
    const QJsonValue controls = root.value(QStringLiteral("controls"));
    if (!controls.isArray())
        return QStringLiteral("The controls must be a list");
    if (controls.toArray().size() > kMaxLayoutControls)
        return QStringLiteral("At most %1 controls").arg(kMaxLayoutControls);
    const bool pad = summary.mode == u"pad";
    qsizetype index = 0;
    for (const QJsonValue& control : controls.toArray()) {
        ++index;
        if (const QString refusal = controlRefusal(control, pad); !refusal.isEmpty())
            return QStringLiteral("Control %1 %2").arg(index).arg(refusal);
    }
    return {};
}

} // namespace

CheckedLayout checkLayout(QByteArrayView json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError)
        return {
            {},
            QStringLiteral("Not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset)};
    if (!document.isObject())
        return {{}, QStringLiteral("A layout is a JSON object")};
    CheckedLayout checked;
    checked.refusal = documentRefusal(document.object(), checked.summary);
    return checked;
}
