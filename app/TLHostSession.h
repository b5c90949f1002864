#pragma once

#include "TLAbstractGeneratorDriver.h"
#include "TLHostDevice.h"

#include <QLibrary>
#include <QString>

#include <memory>

class QTemporaryDir;
class TLHostCommandLine;
class TLSerialTraceRelay;

// What the host sets up around one driver object: the plug-in loaded with QLibrary and its
// entry point `driver`, the host device, the device configuration, the procedure code, the
// system settings' directories and the host's answers to the exposure handshake. In direct
// mode with a trace file the driver is given the port of a trace relay instead of the real one.
class TLHostSession
{
public:
    using DriverEntry = TLAbstractGeneratorDriver *(*)();

    TLHostSession();
    ~TLHostSession();
    TLHostSession(const TLHostSession &) = delete;
    TLHostSession &operator=(const TLHostSession &) = delete;

    // Loads the plug-in and resolves `driver`. False with errorString() when the file does not
    // exist, cannot be loaded or exports no `driver`.
    bool loadPlugin(const QString &path);
    QString pluginPath() const { return library.fileName(); }
    // The plug-in's own version, from a driver object made for the question; "unknown" from a
    // plug-in too old to tell.
    QString pluginVersion() const;

    // Creates a driver object for direct mode on the port (or for indirect mode on the folder),
    // configured from the options. A driver made earlier is destroyed first.
    bool openDirect(const QString &portName, const TLHostCommandLine &options);
    bool openIndirect(const QString &folder, const TLHostCommandLine &options);
    // Destroys the driver as the host does (it switches the generator off) and stops the relay.
    void close();

    TLAbstractGeneratorDriver *driver() const { return generatorDriver.get(); }
    TLHostDevice &device() { return hostDevice; }
    // The port the driver was given: the real one, or the relay's when tracing.
    QString driverPort() const { return portForDriver; }
    QString errorString() const { return error; }

private:
    bool open(bool direct, const QString &portOrFolder, const TLHostCommandLine &options);
    bool setDirectories(const TLHostCommandLine &options);

    QLibrary library;
    DriverEntry entry = nullptr;
    TLHostDevice hostDevice;
    std::unique_ptr<TLSerialTraceRelay> relay;
    std::unique_ptr<QTemporaryDir> workingFolder;
    std::unique_ptr<TLAbstractGeneratorDriver> generatorDriver;
    QString portForDriver;
    QString error;
};
