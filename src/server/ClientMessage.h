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
// The page asks for a one-time pairing code for its https twin.
struct PairCodeRequest
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

using ClientMessage = std::variant<PongMessage, MouseMessage, HandshakeMessage, PairCodeRequest,
                                   MoveMessage, KeyMessage>;

// Lowercases and trims, then the first kind that fits wins: "pong", anything
// containing "mouse", "hsk", "pair-code", "move" and a space or tab followed by
// more, and everything else is a key ("-" anywhere releases; the bare word
// "move" is the key of that name).
ClientMessage parseClientMessage(const QString& text);
