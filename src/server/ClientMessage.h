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
struct KeyMessage
{
    QString name;
    KeyAction action;
};

using ClientMessage =
    std::variant<PongMessage, MouseMessage, HandshakeMessage, PairCodeRequest, KeyMessage>;

// Lowercases and trims, then the first kind that fits wins: "pong", anything
// containing "mouse", "hsk", "pair-code", and everything else is a key ("-" anywhere
// releases).
ClientMessage parseClientMessage(const QString& text);
