#include "privatepulse.h"

#include "audiofixtures.h"
#include "pipemic.h"

#include <QFile>
#include <QTest>

PrivatePulse::PrivatePulse(QStringList modules)
    : m_dir(QStringLiteral("/tmp/ol-ownpulse-XXXXXX"))
    , m_modules(std::move(modules))
{
    qputenv("PULSE_SERVER", ("unix:" + m_dir.path() + QStringLiteral("/native")).toLocal8Bit());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
    m_process.setProcessEnvironment(env);
    m_process.setStandardOutputFile(m_dir.filePath(QStringLiteral("pulse.log")), QIODevice::Append);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

PrivatePulse::~PrivatePulse()
{
    kill();
}

bool PrivatePulse::start(const QString& defaultSource)
{
    QStringList args{QStringLiteral("-n"), QStringLiteral("--daemonize=no"), QStringLiteral("--exit-idle-time=-1"),
                     QStringLiteral("--use-pid-file=no"), QStringLiteral("-L"),
                     QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=") +
                         m_dir.filePath(QStringLiteral("native")),
                     QStringLiteral("-L"),
                     QStringLiteral("module-null-sink sink_name=ol_null sink_properties=device.description=Null-Output"),
                     QStringLiteral("-L"), QStringLiteral("module-always-sink")};
    for (const QString& m : std::as_const(m_modules))
        args << QStringLiteral("-L") << m;
    m_process.start(QStringLiteral("pulseaudio"), args);
    if (!m_process.waitForStarted(10000))
        return false;
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        QTest::qWait(100);
        QByteArray out;
        up = m_process.state() == QProcess::Running &&
            AudioFixtures::run(QStringLiteral("pactl"), {QStringLiteral("info")}, &out, nullptr, 5000);
    }
    if (up && !defaultSource.isEmpty())
        PipeMic::pactl({QStringLiteral("set-default-source"), defaultSource}, &up);
    return up;
}

void PrivatePulse::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(10000);
}

QString PrivatePulse::log() const
{
    QFile f(m_dir.filePath(QStringLiteral("pulse.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
}
