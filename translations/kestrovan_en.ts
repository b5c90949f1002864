<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>TLFileSystemHelper</name>
    <message>
        <source>Die Zieldatei existiert bereits.</source>
        <translation>The destination file already exists.</translation>
    </message>
    <message>
        <source>Die Quelldatei kann nicht gelesen werden.</source>
        <translation>The source file cannot be read.</translation>
    </message>
    <message>
        <source>Die Zieldatei kann nicht geschrieben werden.</source>
        <translation>The destination file cannot be written.</translation>
    </message>
</context>
<context>
    <name>TLGeneratorDriverKestrovan</name>
    <message>
        <source>Der Generator ist nicht initialisiert.</source>
        <translation>The generator is not initialised.</translation>
    </message>
    <message>
        <source>Keine Einschalt-Rückmeldung vom Generator.</source>
        <translation>The generator did not confirm that it is switched on.</translation>
    </message>
    <message>
        <source>Die Verbindung zum Generator ist nicht hergestellt.</source>
        <translation>There is no connection to the generator.</translation>
    </message>
    <message>
        <source>Fokus nicht bereit.</source>
        <translation>Focus not ready.</translation>
    </message>
</context>
<context>
    <name>TLKestrovanErrorHandler</name>
    <message>
        <source>Die Datei mit Fehlerinformationen existiert nicht.</source>
        <translation>The file with error information does not exist.</translation>
    </message>
    <message>
        <source>Die Datei mit Fehlerinformationen kann nicht geöffnet werden nicht.</source>
        <translation>The file with error information cannot be opened.</translation>
    </message>
    <message>
        <source>Generatorfehler: </source>
        <translation>Generator error: </translation>
    </message>
    <message>
        <source>Fehlerhafte Anzahl von Elementen in Zeile %1.</source>
        <translation>Wrong number of fields in line %1.</translation>
    </message>
    <message>
        <source>Fehlerhafter Typ in Zeile %1.</source>
        <translation>Wrong type in line %1.</translation>
    </message>
    <message>
        <source>Fehler bei Initialisierung der Fehlerdatei.
Unter Umständen sind keine weiteren Infomationen zu den Fehlercodes des Generators verfügbar.
</source>
        <translation>Error while loading the error file.
Further information on the generator&apos;s error codes may not be available.
</translation>
    </message>
    <message>
        <source>Generatorfehler: %1</source>
        <translation>Generator error: %1</translation>
    </message>
</context>
<context>
    <name>TLKestrovanIndirectCommunicator</name>
    <message>
        <source>Es ist kein Kommunikationsverzeichnis angegeben.</source>
        <translation>No communication folder is configured.</translation>
    </message>
    <message>
        <source>Das Kommunikationsverzeichnis existiert nicht.</source>
        <translation>The communication folder does not exist.</translation>
    </message>
    <message>
        <source>Der Procedure Code für den Generator fehlt.
Bitte nehmen Sie die Einstellungen am Bedienpult des Generators manuell vor.</source>
        <translation>The procedure code for the generator is missing.
Please make the settings manually at the generator&apos;s console.</translation>
    </message>
    <message>
        <source>Fehler bei der Erstellung der Parameterdatei.</source>
        <translation>The parameter file could not be created.</translation>
    </message>
    <message>
        <source>Im Kommunikationsverzeichnis sind mehrere Trigger-Dateien vorhanden.
Bitte prüfen Sie das Verzeichnis.</source>
        <translation>The communication folder holds more than one trigger file.
Please check the folder.</translation>
    </message>
</context>
<context>
    <name>TLKestrovanProtocol</name>
    <message>
        <source>Die Verbindung zum Generator ist nicht hergestellt.</source>
        <translation>There is no connection to the generator.</translation>
    </message>
</context>
<context>
    <name>TLKestrovanSerialCommunicator</name>
    <message>
        <source>Fehler beim Öffnen des COM-Ports %1</source>
        <translation>Error opening COM port %1</translation>
    </message>
    <message>
        <source>Fehler beim Schreiben auf COM-Port %1.</source>
        <translation>Error writing to COM port %1.</translation>
    </message>
    <message>
        <source>Es konnten nicht alle Daten auf COM-Port %1 gesendet werden.</source>
        <translation>Not all data could be sent on COM port %1.</translation>
    </message>
    <message>
        <source>Timeout oder Fehler beim Senden der Daten auf COM-Port %1.</source>
        <translation>Time-out or error while sending data on COM port %1.</translation>
    </message>
    <message>
        <source>Es trat ein Fehler bei der Kommunikation mit dem Generator auf.</source>
        <translation>An error occurred in the communication with the generator.</translation>
    </message>
</context>
<context>
    <name>TLKestrovanTelegram</name>
    <message>
        <source>Der Wert %1 ist zu lang für ein Telegramm.</source>
        <translation>The value %1 is too long for a telegram.</translation>
    </message>
    <message>
        <source>Der Wert %1 enthält ein unzulässiges Zeichen.</source>
        <translation>The value %1 contains a character that is not allowed.</translation>
    </message>
</context>
</TS>
