#pragma once

#include "input/KeySynthesizer.h"

#include <QString>

#include <variant>

// The client's text protocol, one message at a time.
struct PongMessage
{};
struct MouseMessage
{
    QString text; // the whole normalised message
};
struct HandshakeMessage
{};
struct MoveMessage
{
    QString text; // the whole normalised message
};
struct KeyMessage
{
    QString name;
    KeyAction action;
};

using ClientMessage =
    std::variant<PongMessage, MouseMessage, HandshakeMessage, MoveMessage, KeyMessage>;

// Lowercases and trims, then the first kind that fits wins: "pong", anything
// containing "mouse", "hsk", "move" and a space or tab followed by more, and
// everything else is a key ("-" anywhere releases; the bare word "move" is the
// key of that name).
ClientMessage parseClientMessage(const QString& text);
