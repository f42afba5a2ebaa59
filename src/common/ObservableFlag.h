#pragma once

#include <QObject>

// A boolean owned by one object and watched by others: every change is
// announced, in either direction.
class ObservableFlag : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    bool value() const { return value_; }
    void toggle()
    {
        value_ = !value_;
        emit changed(value_);
    }

signals:
    void changed(bool value);

private:
    bool value_ = false;
};
