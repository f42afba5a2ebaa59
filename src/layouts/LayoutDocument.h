#pragma once

#include <QByteArrayView>
#include <QString>

// What the menu shows of a layout that passed the check.
struct LayoutSummary
{
    QString title;
    QString mode; // "keys" or "pad"
};

// A layout document as the page stores it, checked against what the key and
// pad sockets can act on. `refusal` says in one line why it is no layout;
// empty when it is one.
struct CheckedLayout
{
    LayoutSummary summary;
    QString refusal;

    bool valid() const { return refusal.isEmpty(); }
};

CheckedLayout checkLayout(QByteArrayView json);

constexpr int kMaxLayoutControls = 64;
constexpr int kMaxLayoutLabelLength = 24;
constexpr int kMaxLayoutTitleLength = 64;
