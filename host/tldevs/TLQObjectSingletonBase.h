#pragma once

#include <QObject>

// Base of the host's QObject singletons.
class TLQObjectSingletonBase : public QObject
{
    Q_OBJECT
public:
    explicit TLQObjectSingletonBase(QObject *parent = nullptr);
    ~TLQObjectSingletonBase() override;
};
