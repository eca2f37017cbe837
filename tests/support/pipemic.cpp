#include "pipemic.h"

#include "audiofixtures.h"

#include <QAudioDevice>
#include <QDir>
#include <QFile>
#include <QMediaDevices>
#include <QTest>

#include <algorithm>

PipeMic::PipeMic(QString name, QString description, int rate, int channels)
    : m_name(std::move(name))
    , m_description(std::move(description))
    , m_rate(rate)
    , m_channels(channels)
{
}

PipeMic::~PipeMic()
{
    unload();
}

QString PipeMic::pactl(const QStringList& args, bool* ok)
{
    QByteArray out;
    QString err;
    const bool done = AudioFixtures::run(QStringLiteral("pactl"), args, &out, &err, 20000);
    if (ok)
        *ok = done;
    if (!done)
        qWarning("pactl %s: %s", qPrintable(args.join(QLatin1Char(' '))), qPrintable(err));
    return QString::fromUtf8(out).trimmed();
}

bool PipeMic::load(const QString& folder)
{
    m_fifo = QDir(folder).filePath(m_name + QStringLiteral(".fifo"));
    if (QFile::exists(m_fifo)) {
        qWarning("fifo %s already exists", qPrintable(m_fifo));
        return false;
    }
    bool ok = false;
    m_module = pactl({QStringLiteral("load-module"), QStringLiteral("module-pipe-source"),
                      QStringLiteral("source_name=") + m_name, QStringLiteral("file=") + m_fifo,
                      QStringLiteral("format=s16le"), QStringLiteral("rate=%1").arg(m_rate),
                      QStringLiteral("channels=%1").arg(m_channels),
                      QStringLiteral("source_properties=device.description=") + m_description},
                     &ok);
    if (!ok)
        m_module.clear();
    return ok && !m_module.isEmpty();
}

bool PipeMic::feed(const QString& audioFile)
{
    m_feeder = std::make_unique<QProcess>();
    m_feeder->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_feeder->start(QStringLiteral("ffmpeg"),
                    {QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
                     QStringLiteral("error"), QStringLiteral("-re"), QStringLiteral("-i"), audioFile,
                     QStringLiteral("-f"), QStringLiteral("s16le"), QStringLiteral("-ar"), QString::number(m_rate),
                     QStringLiteral("-ac"), QString::number(m_channels), QStringLiteral("-y"), m_fifo});
    return m_feeder->waitForStarted(10000);
}

bool PipeMic::open(const QString& folder, const QString& audioFile)
{
    if (!load(folder) || !feed(audioFile))
        return false;
    return QTest::qWaitFor(
        [this] {
            const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
            return std::any_of(inputs.cbegin(), inputs.cend(),
                               [this](const QAudioDevice& d) { return d.description() == m_description; });
        },
        10000);
}

void PipeMic::unload()
{
    if (!m_module.isEmpty()) {
        pactl({QStringLiteral("unload-module"), m_module});
        m_module.clear();
    }
    if (m_feeder) {
        m_feeder->kill();
        m_feeder->waitForFinished(5000);
        m_feeder.reset();
    }
    if (!m_fifo.isEmpty())
        QFile::remove(m_fifo);
}
