#pragma once

#include <QObject>
#include <initializer_list>

class QSocketNotifier;

// Signals of the process as Qt signals on the main thread: the handler only writes the
// signal's number into a pipe, the event loop reads it.
class SignalPipe : public QObject
{
    Q_OBJECT

public:
    // Throws AppError when the pipe cannot be made.
    SignalPipe(std::initializer_list<int> numbers, QObject *parent = nullptr);
    ~SignalPipe() override;

signals:
    void received(int signal);

private:
    void readPending();

    QSocketNotifier *notifier_ = nullptr;
};
