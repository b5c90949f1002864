// Feeds arbitrary bytes to the error catalogue as its "errors.csv" and looks a few codes up.
// Besides crashes and sanitizer findings, it traps when a result breaks what callers rely on.

#include "TLHostApplication.h"
#include "TLKestrovanErrorHandler.h"

#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
// Longest prefix of the input also tried as a code, as the generator would send it.
constexpr size_t InputCodeBytes = 16;

// Made once: the application object for the log, and the folder the catalogue is read from.
struct Rig
{
    Rig() : app(argc, argv)
    {
        // Every bad line logs; recording millions of them would only grow memory.
        app.setRecording(false);
        if (!folder.isValid())
            std::abort();
    }

    int argc = 1;
    char name[20] = "fuzz_errorcatalogue";
    char *argv[2] = {name, nullptr};
    TLHostApplication app;
    QTemporaryDir folder;
};

Rig &rig()
{
    static Rig instance;
    return instance;
}

void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

// Every code the catalogue answers for is shown as a failure with the generator's prefix.
void checkLookup(const TLKestrovanErrorHandler &handler, const QString &code)
{
    const TLCondition c = handler.errorCondition(code);
    require(!c.isSuccess());
    require(c.text().startsWith(QLatin1String("Generatorfehler: ")));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Rig &r = rig();
    const char *bytes = reinterpret_cast<const char *>(data);

    QFile file(r.folder.filePath(QStringLiteral("errors.csv")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(bytes, static_cast<qint64>(size)) != static_cast<qint64>(size))
        std::abort();
    file.close();

    // A fresh catalogue per input keeps runs independent and memory flat.
    TLKestrovanErrorHandler handler;
    const TLCondition loaded = handler.loadErrorFile(r.folder.path());
    // The file is there and readable: only bad lines can make the load fail, and those
    // give a warning with empty details.
    require(loaded.isSuccess() || (loaded.isWarning() && loaded.details().isEmpty()));
    require(TLCondition::autoLoggingErrors());

    for (const char *code : {"0", "1", "105", "-1", "007", "abc"})
        checkLookup(handler, QString::fromLatin1(code));
    const size_t codeBytes = std::min(size, InputCodeBytes);
    checkLookup(handler, QString::fromUtf8(bytes, static_cast<int>(codeBytes)));
    return 0;
}
