#pragma once

// Access to the host's singletons. Each class keeps its one instance inside tldevs, so that
// every library of the process sees the same object.
template <typename T> class TLSingleton
{
public:
    static T *getInstance() { return T::instance(); }
};
