#pragma once

#include <QObject>

// A QObject that belongs to the application's main thread, wherever it is made.
class TLMainThreadObject : public QObject
{
    Q_OBJECT
public:
    explicit TLMainThreadObject(QObject *parent = nullptr);
    ~TLMainThreadObject() override;
};
