#pragma once

#include <QString>
#include <QStringList>

// What kestrovan-host adds to the driver's own texts so that a user knows what to do next:
// why a serial port would not open, what to check when the generator stops answering, and
// whether the folders of indirect mode can be written. Each answer is one line, empty when
// there is nothing to add.
class TLHostHints
{
public:
    // The port the user named (not the trace relay's) and the folders of indirect mode.
    void setPort(const QString &path) { port = path; }
    void setFolders(const QString &communicationFolder, const QString &workingFolder);

    // After a switch-on that failed: a port that does not exist or may not be opened.
    QString afterSwitchOnFailure() const;
    // After the driver gave up on a telegram.
    QString afterGiveUp() const;
    // After an indirect init: the folders the next activate writes to.
    QString afterIndirectInit() const;

    static QString portProblem(const QString &path);
    static QString folderProblem(const QString &what, const QString &path);
    // The stable names of the serial adapters plugged in.
    static QStringList serialPortsById();

    static constexpr const char *SerialByIdFolder = "/dev/serial/by-id";
    // Room for one group entry with its members; a larger one is named "dialout", as most are.
    static constexpr int GroupBufferBytes = 16 * 1024;

private:
    QString port;
    QString communication;
    QString working;
};
