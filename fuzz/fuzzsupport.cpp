#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

QTemporaryDir* s_home = nullptr;

} // namespace

void olFuzzInit()
{
    if (s_home)
        return;
    // In memory where there is such a folder: targets write files and the
    // database on every input.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    s_home = new QTemporaryDir(base + QStringLiteral("/ol-fuzz-XXXXXX"));
    const QString home = s_home->path();
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_CACHE_HOME", (home + QStringLiteral("/.cache")).toUtf8());
    // A named zone with daylight-saving changes: the same on every machine,
    // and read once, where an unset TZ has the C library check the zone file
    // on every local-time conversion (it more than halved the scheduler
    // targets' speed).
    qputenv("TZ", "Europe/Berlin");
    static int argc = 1;
    static char name[] = "olfuzz";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    // Fuzzed inputs make the code log; that is not what is looked at.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}

QString olFuzzHome()
{
    olFuzzInit();
    return s_home->path();
}

quint8 FuzzInput::byte()
{
    return m_pos < m_size ? quint8(m_data[m_pos++]) : 0;
}

quint32 FuzzInput::number(quint32 bound)
{
    quint32 v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | byte();
    return v % bound;
}

QString FuzzInput::text()
{
    size_t end = m_pos;
    while (end < m_size && m_data[end] != '\0')
        ++end;
    const QString s = QString::fromUtf8(m_data + m_pos, qsizetype(end - m_pos));
    m_pos = end < m_size ? end + 1 : end;
    return s;
}

QByteArray FuzzInput::rest()
{
    const QByteArray b(m_data + m_pos, qsizetype(m_size - m_pos));
    m_pos = m_size;
    return b;
}

// libFuzzer calls this once before the first input. With OL_FUZZ_SEEDS set
// to a folder, the target writes its seeds there and ends (tools/fuzz starts
// each corpus that way).
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    olFuzzInit();
    const QByteArray folder = qgetenv("OL_FUZZ_SEEDS");
    if (!folder.isEmpty()) {
        QDir().mkpath(QString::fromLocal8Bit(folder));
        int n = 0;
        for (const QByteArray& seed : olFuzzSeeds()) {
            QFile f(QString::fromLocal8Bit(folder) + QStringLiteral("/seed-%1").arg(++n));
            if (f.open(QIODevice::WriteOnly))
                f.write(seed);
        }
        std::exit(0);
    }
    return 0;
}
