// Measures the indirect link: how soon the trigger-file wait, and lastExposureSettings with it,
// return after the console's trigger file appears, how much CPU the wait costs while nothing
// comes, and what hostile exposure reports cost the host in memory and time.
//
//   bench_indirect [runs]      (default 50 runs per latency row)
//   bench_indirect --reports   (only the hostile reports)
//   bench_indirect --report FILE     (one report read in this process; used by that table)

#include "BenchCommon.h"
#include "TLKestrovanIndirectCommunicator.h"

#include "TLHostApplication.h"
#include "TLHostSystemSettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QPair>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {
using Clock = std::chrono::steady_clock;

constexpr int UnrelatedFiles = 10000;
constexpr int WaitTimeoutMs = 3000; // the driver's own trigger-file time-out
// The console writes its trigger this long after the wait began: time enough for the wait to
// list a crowded folder once, also on a loaded machine, so that the reaction alone is measured.
constexpr int TriggerAfterMs = 100;
constexpr double ReportKv = 73.0;

double threadCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    const auto ms = [](const timeval &t) {
        return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

bool writeInOneStep(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit();
}

void fillWithUnrelatedFiles(const QString &folder)
{
    for (int i = 0; i < UnrelatedFiles; ++i) {
        QFile file(QDir(folder).filePath(QStringLiteral("image_%1.dat").arg(i, 5, 10, QLatin1Char('0'))));
        file.open(QIODevice::WriteOnly);
    }
}

struct LatencyResult
{
    double medianMs = 0;
    double p99Ms = 0;
    double maxMs = 0;
    int wrongRecords = 0;
};

// One exposure per run: the report is already there, a helper thread plays the console and
// writes the next trigger file while the main thread sits in lastExposureSettings().
// With waitOnly, the trigger-file wait alone is timed, without reading the report.
LatencyResult measureLatency(bool crowded, int runs, bool waitOnly)
{
    QTemporaryDir folder;
    if (crowded)
        fillWithUnrelatedFiles(folder.path());
    TLKestrovanIndirectCommunicator communicator;
    communicator.init(folder.path());
    QByteArray report = "<report><kv>" + QByteArray::number(ReportKv) + "</kv></report>";
    writeInOneStep(folder.filePath(QStringLiteral("GEN50RFT_A.xml")), report);

    LatencyResult result;
    std::vector<double> latencies;
    QString previous;
    for (int run = 0; run < runs; ++run) {
        communicator.activate(QStringLiteral("BENCH"));
        // Counting down, so that each new name sorts before the previous one.
        const QString name = QStringLiteral("T%1.trg").arg(9999999 - run);
        std::atomic<long long> appearedNs{0};
        // Written beforehand under another name and renamed into place at once, as a console does
        // that never shows a half-written file; the clock starts just before the rename.
        const QString written = folder.filePath(name + QStringLiteral(".part"));
        writeInOneStep(written, QByteArray());
        std::thread console([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(TriggerAfterMs));
            appearedNs = Clock::now().time_since_epoch().count();
            QFile::rename(written, folder.filePath(name));
        });
        TLGeneratorSettings read;
        if (waitOnly)
            read.kV = communicator.waitForNewTriggerFile(WaitTimeoutMs) ? ReportKv : 0;
        else
            read = communicator.lastExposureSettings();
        const long long returnedNs = Clock::now().time_since_epoch().count();
        console.join();
        latencies.push_back(static_cast<double>(returnedNs - appearedNs.load()) / 1e6);
        if (read.kV != ReportKv)
            ++result.wrongRecords;
        if (!previous.isEmpty())
            QFile::remove(folder.filePath(previous));
        previous = name;
    }
    result.medianMs = percentile(latencies, 0.5);
    result.p99Ms = percentile(latencies, 0.99);
    result.maxMs = *std::max_element(latencies.begin(), latencies.end());
    return result;
}

struct CpuResult
{
    double wallMs = 0;
    double cpuMs = 0;
    long listings = 0; // only known for the reference loop
};

// The communicator's own wait: 3000 ms in a folder where no trigger file ever comes.
CpuResult measureWait(bool crowded)
{
    QTemporaryDir folder;
    if (crowded)
        fillWithUnrelatedFiles(folder.path());
    TLKestrovanIndirectCommunicator communicator;
    communicator.init(folder.path());
    communicator.activate(QStringLiteral("BENCH"));
    CpuResult result;
    QElapsedTimer wall;
    const double cpuBefore = threadCpuMs();
    wall.start();
    communicator.waitForNewTriggerFile(WaitTimeoutMs);
    result.wallMs = static_cast<double>(wall.elapsed());
    result.cpuMs = threadCpuMs() - cpuBefore;
    return result;
}

// Resident memory of this process in KiB, now ("VmRSS") or at its peak ("VmHWM").
qint64 residentKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field)) + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// One report read in a fresh process, after a real report was read once (so that code and the
// parser's own tables are resident): prints the peak and the lasting resident size above the
// quiet one, in MiB, the milliseconds the call took and whether the values were read.
int readOneReport(const QString &file)
{
    QTemporaryDir folder;
    TLKestrovanIndirectCommunicator communicator;
    communicator.init(folder.path());
    writeInOneStep(folder.filePath(QStringLiteral("GEN50RFT_A.xml")), "<report><kv>70</kv></report>");
    communicator.readExposureReport();
    QFile::remove(folder.filePath(QStringLiteral("GEN50RFT_A.xml")));
    QFile::copy(file, folder.filePath(QStringLiteral("GEN50RFT_A.xml")));

    // Writing 5 resets the peak to the present size (Linux 4.0 and later).
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
        return 2;
    clear.close();
    const qint64 quiet = residentKiB("VmRSS:");
    QElapsedTimer timer;
    timer.start();
    const TLGeneratorSettings read = communicator.readExposureReport();
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    std::printf("%.1f %.1f %.1f %d\n", double(residentKiB("VmHWM:") - quiet) / 1024.0,
                double(residentKiB("VmRSS:") - quiet) / 1024.0, ms, read.kV == 70.0 ? 1 : 0);
    return 0;
}

// A report made of one piece repeated inside the root element, up to a size or a count.
QByteArray repeatedReport(const QByteArray &piece, qint64 bytes, int count = -1)
{
    const QByteArray head = "<r><kv>70</kv>", end = "</r>";
    return head + piece.repeated(count >= 0 ? count : int((bytes - head.size() - end.size()) / piece.size()))
           + end;
}

// A root element with unique attributes, up to a size or a count.
QByteArray attributesReport(qint64 bytes, int count = -1)
{
    static const char names[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.";
    const QByteArray end = "><kv>70</kv></r>";
    QByteArray report = "<r";
    for (int i = 0; count >= 0 ? i < count : report.size() + 9 + end.size() < bytes; ++i) {
        char attribute[] = " aaaa=\"\"";
        attribute[1] = names[(i / (64 * 64 * 64)) % 52];
        attribute[2] = names[(i / (64 * 64)) % 64];
        attribute[3] = names[(i / 64) % 64];
        attribute[4] = names[i % 64];
        report += attribute;
    }
    return report + end;
}

void printReportTable(const char *self)
{
    constexpr qint64 MiB = qint64(1024) * 1024;
    // The pieces of the hostile reports, each just under the earlier limit of 16 MiB and just
    // under today's of 1 MiB; then what the reader accepts at most, beside a real report.
    const QByteArray pieces[] = {"<a b=\"\"/>x", "x&a;", "<a/>x"};
    QList<QPair<QString, QByteArray>> rows;
    for (const qint64 size : {16 * MiB - 64, MiB - 64}) {
        for (const QByteArray &piece : pieces)
            rows.append({QString::fromLatin1(piece + " repeated"), repeatedReport(piece, size)});
        rows.append({QStringLiteral("unique attributes"), attributesReport(size)});
    }
    rows.append({QStringLiteral("a real report"),
                 "<?xml version=\"1.0\"?><report><kv>70</kv><mAs>12.5</mAs><ma>250</ma><ms>50</ms>"
                 "<mGy_cm2>1.8</mGy_cm2></report>"});
    rows.append({QStringLiteral("one text just under 1 MiB"), repeatedReport("x", MiB - 64)});
    rows.append({QStringLiteral("<a/>x, most accepted"), repeatedReport("<a/>x", 0, 9990)});
    rows.append({QStringLiteral("attributes, most accepted"), attributesReport(0, 19980)});

    QTemporaryDir folder;
    std::printf("\nOne report read by lastExposureSettings (each in a fresh process; memory above the quiet\n"
                "resident size at the peak and after the call)\n");
    std::printf("%-28s %10s %10s %10s %10s %6s\n", "content", "bytes", "peak MiB", "kept MiB", "ms", "read");
    for (const auto &row : rows) {
        const QString file = folder.filePath(QStringLiteral("report.xml"));
        writeInOneStep(file, row.second);
        QProcess child;
        child.start(QString::fromLocal8Bit(self), {QStringLiteral("--report"), file});
        child.waitForFinished(-1);
        const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
        std::printf("%-28s %10d %10s %10s %10s %6s\n", qPrintable(row.first), row.second.size(),
                    figures.value(0).constData(), figures.value(1).constData(), figures.value(2).constData(),
                    figures.value(3) == "1" ? "yes" : "no");
    }
}

// Reference: the same listing back to back with nothing in between, as a wait that tested again
// at once would do, and how many listings 3000 ms hold.
CpuResult measureBareLoop(bool crowded)
{
    QTemporaryDir folder;
    if (crowded)
        fillWithUnrelatedFiles(folder.path());
    TLKestrovanIndirectCommunicator communicator;
    communicator.init(folder.path());
    CpuResult result;
    QElapsedTimer wall;
    const double cpuBefore = threadCpuMs();
    wall.start();
    while (wall.elapsed() <= WaitTimeoutMs) {
        communicator.firstTriggerFile();
        ++result.listings;
    }
    result.wallMs = static_cast<double>(wall.elapsed());
    result.cpuMs = threadCpuMs() - cpuBefore;
    return result;
}
} // namespace

int main(int argc, char **argv)
{
    TLHostApplication host(argc, argv);
    host.setRecording(false); // thousands of log lines would only cost memory
    if (argc == 3 && qstrcmp(argv[1], "--report") == 0)
        return readOneReport(QString::fromLocal8Bit(argv[2]));
    if (argc == 2 && qstrcmp(argv[1], "--reports") == 0) {
        printReportTable(argv[0]);
        return 0;
    }
    QTemporaryDir working;
    host.systemSettings().setWorkingDirectory(working.path());
    const int runs = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 50;

    std::printf("Trigger file appears -> the call returns (%d runs each)\n", runs);
    std::printf("%-52s %10s %10s %10s %8s\n", "call, folder", "median ms", "p99 ms", "max ms", "wrong");
    for (const bool waitOnly : {true, false}) {
        for (const bool crowded : {false, true}) {
            const LatencyResult r = measureLatency(crowded, runs, waitOnly);
            std::printf("%-52s %10.3f %10.3f %10.3f %8d\n",
                        qPrintable(QStringLiteral("%1, %2").arg(
                            waitOnly ? "waitForNewTriggerFile" : "lastExposureSettings",
                            crowded ? "10,000 unrelated files" : "empty")),
                        r.medianMs, r.p99Ms, r.maxMs, r.wrongRecords);
        }
    }

    std::printf("\nCPU of the waiting thread while no trigger file comes (%d ms time-out)\n", WaitTimeoutMs);
    std::printf("%-44s %9s %9s %7s %10s\n", "case", "wall ms", "cpu ms", "cpu %", "listings/s");
    for (const bool crowded : {false, true}) {
        const char *where = crowded ? "10,000 files" : "empty folder";
        const CpuResult wait = measureWait(crowded);
        std::printf("%-44s %9.0f %9.0f %6.0f%% %10s\n",
                    qPrintable(QStringLiteral("waitForNewTriggerFile, %1").arg(QLatin1String(where))),
                    wait.wallMs, wait.cpuMs, 100.0 * wait.cpuMs / wait.wallMs, "-");
        const CpuResult bare = measureBareLoop(crowded);
        std::printf("%-44s %9.0f %9.0f %6.0f%% %10.0f\n",
                    qPrintable(QStringLiteral("listing back to back, %1").arg(QLatin1String(where))),
                    bare.wallMs, bare.cpuMs, 100.0 * bare.cpuMs / bare.wallMs,
                    static_cast<double>(bare.listings) * 1000.0 / bare.wallMs);
    }
    printReportTable(argv[0]);
    return 0;
}
