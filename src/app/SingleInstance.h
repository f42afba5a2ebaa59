#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>

#include <functional>

// The one Kestrelio a user runs: the first start holds a lock and a local
// socket in the user's runtime directory (two servers cannot share port
// 3330); a later start finds it there and asks it to raise its window.
class SingleInstance : public QObject
{
public:
    enum class Other
    {
        None,            // this start is the one instance
        RaisedItsWindow, // another runs with a window, now in front
        Headless,        // another runs without a window
        Silent,          // another holds the lock but does not answer
    };

    // Needs a QCoreApplication.
    SingleInstance();

    // Becomes the one instance, or asks the one that runs to raise its window.
    Other claim();
    // Run for each later start's request while this is the instance; it
    // returns whether there was a window to raise. Without it the answer is
    // that there is none.
    void onRaiseRequest(std::function<bool()> raise) { raise_ = std::move(raise); }

private:
    Other askTheOther();

    QString directory_;
    QLockFile lock_;
    QLocalServer server_;
    std::function<bool()> raise_;
};

// What a start that finds another Kestrelio without a window says.
QString alreadyServingText();
