#pragma once

#include "TLCondition.h"
#include "TLGeneratorSettings.h"

#include <QObject>
#include <QStringList>

#include <memory>

class TLKestrovanFolderWatch;

// The exchange with the generator's console software through the communication folder:
// the parameter file "EDVRAD.par", the "*.trg" trigger files and the report "GEN50RFT_A.xml".
// Lives in the thread that calls the driver; nothing here is locked.
class TLKestrovanIndirectCommunicator : public QObject
{
    Q_OBJECT
public:
    explicit TLKestrovanIndirectCommunicator(QObject *parent = nullptr);
    ~TLKestrovanIndirectCommunicator() override;

    TLCondition init(const QString &communicationFolder);
    TLCondition activate(const QString &procedureCode);
    bool waitForNewTriggerFile(qint32 timeoutMs);
    TLGeneratorSettings lastExposureSettings();

    TLCondition createParameterFile(const QString &filePath, const QString &procedureCode);
    QStringList triggerFiles() const;
    QString firstTriggerFile() const;
    TLGeneratorSettings readExposureReport() const;

private:
    // Cheap pass over the report before the DOM parser sees it; false when the document
    // must not be handed to the DOM parser (see the limits in the source).
    static bool isSafeToParse(const QByteArray &document);
    // The watch on the folder for a trigger-file wait, with nothing reported yet.
    TLKestrovanFolderWatch &folderWatch();

    QString communicationPath;
    QString currentTriggerFile;
    // Kept from one wait to the next: the kernel may take tens of milliseconds to close a watch.
    std::unique_ptr<TLKestrovanFolderWatch> watch;
};
