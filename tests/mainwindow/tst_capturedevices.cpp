// ctest: timeout 600
// The window's captures of an input device, on a sound server of the
// test's own: the broadcast, the stream archive and the microphone asked
// for a device that is not there (the "Air" remap not made), and the
// server itself restarting under them.
#include "icecastserver.h"
#include "olmain.h"
#include "outputs/broadcastservice.h"
#include "outputs/streamarchive.h"
#include "pipemic.h"
#include "privatepulse.h"
#include "windowfixture.h"

#include <QAudioDevice>
#include <QFileInfo>
#include <QLabel>
#include <QMediaDevices>
#include <QToolButton>

namespace {

const QString kTone = QStringLiteral("tone");
const QString kAir = QStringLiteral("Air");

// The capture streams the server has on one of its sources.
int streamsOn(const QString& sourceName)
{
    QString index;
    for (const QString& line : PipeMic::pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")})
                                   .split(QLatin1Char('\n'))) {
        const QStringList cols = line.split(QLatin1Char('\t'));
        if (cols.size() > 1 && cols.at(1) == sourceName)
            index = cols.at(0);
    }
    if (index.isEmpty())
        return 0;
    int n = 0;
    for (const QString& line :
         PipeMic::pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("source-outputs")})
             .split(QLatin1Char('\n')))
        n += line.split(QLatin1Char('\t')).value(1) == index;
    return n;
}

// The README's remap, made as the station makes it.
bool makeAir()
{
    bool ok = false;
    PipeMic::pactl({QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
                    QStringLiteral("master=") + kTone, QStringLiteral("source_name=air"),
                    QStringLiteral("source_properties=device.description=") + kAir},
                   &ok);
    return ok;
}

bool airListed()
{
    return PipeMic::pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")})
        .contains(QStringLiteral("\tair\t"));
}

bool anyLabel(WindowFixture& f, const QString& text)
{
    const QList<QLabel*> labels = f->findChildren<QLabel*>();
    return std::ranges::any_of(labels, [&](const QLabel* l) { return l->text() == text; });
}

} // namespace

class TestCaptureDevices : public QObject
{
    Q_OBJECT

private:
    // The desk: a null sink's monitor made a listed input, as the remap is.
    PrivatePulse m_pulse{{QStringLiteral("module-null-sink sink_name=desk sink_properties=device.description=Desk-Out"),
                          QStringLiteral("module-remap-source master=desk.monitor source_name=tone "
                                         "source_properties=device.description=Desk")}};
    IcecastServer m_ice;
    QString m_toneName; // the description the framework lists for the tone source

    QVariantMap settings() const
    {
        return {{QStringLiteral("broadcast/host"), QStringLiteral("127.0.0.1")},
                {QStringLiteral("broadcast/port"), m_ice.port()},
                {QStringLiteral("broadcast/mount"), QString::fromLatin1(IcecastServer::kMount)},
                {QStringLiteral("broadcast/password"), QString::fromLatin1(IcecastServer::kSourcePassword)},
                {QStringLiteral("broadcast/internalMix"), false},
                {QStringLiteral("broadcast/inputDevice"), kAir},
                {QStringLiteral("archive/folder"), testHome().scratch(QStringLiteral("archive"))},
                {QStringLiteral("archive/internalMix"), false},
                {QStringLiteral("archive/inputDevice"), kAir},
                {QStringLiteral("audio/micDevice"), kAir}};
    }

    // Broadcast, archive and microphone switched on as the operator does.
    static void switchOn(WindowFixture& f)
    {
        f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Start Broadcasting"))->trigger();
        QVERIFY(f.waitForLog(QStringLiteral("Broadcast: connected to server — you are on the air")));
        f->runSchedulerCommand(QStringLiteral("streamarchive on"));
        QTRY_VERIFY(f.find<StreamArchive>()->isRecording());
        const QList<QToolButton*> buttons = f->findChildren<QToolButton*>();
        const auto mic = std::ranges::find_if(buttons, [](const QToolButton* b) { return b->text() == "MIC"; });
        QVERIFY(mic != buttons.end());
        (*mic)->click();
        QVERIFY((*mic)->isChecked());
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_pulse.start(kTone), qPrintable(m_pulse.log()));
        QVERIFY2(m_ice.start(), qPrintable(m_ice.errorText()));
        QTRY_VERIFY_WITH_TIMEOUT(!QMediaDevices::audioInputs().isEmpty(), 10000);
        m_toneName = QMediaDevices::defaultAudioInput().description();
        QVERIFY(!m_toneName.isEmpty());
    }

    // Each capture says which device it was asked for and which it takes
    // instead, and so do the indicators; once the device is made, each says
    // so and captures it.
    void missingDeviceIsNamedUntilItComes()
    {
        WindowFixture f(settings());
        switchOn(f);
        const QString instead = QStringLiteral("input device \"Air\" is not present; capturing the default input "
                                               "\"%1\" instead")
                                    .arg(m_toneName);
        for (const char* who : {"Broadcast: ", "Stream Archive: ", "Line-in: "})
            QVERIFY2(f.waitForLog(QLatin1String(who) + instead), qPrintable(f.log().join(QLatin1Char('\n'))));
        const QString note = QStringLiteral(" (default input: \"Air\" not present)");
        QVERIFY(anyLabel(f, QStringLiteral("Broadcast: ON AIR") + note));
        QVERIFY(anyLabel(f, QStringLiteral("REC") + note));
        QVERIFY(anyLabel(f, QStringLiteral("Current: MIC") + note + QStringLiteral("   Peak: 0")));
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(kTone), 3, 10000);

        QVERIFY(makeAir());
        for (const char* who : {"Broadcast: ", "Stream Archive: ", "Line-in: "})
            QVERIFY2(f.waitForLog(QLatin1String(who) + QStringLiteral("input device \"Air\" is present now; capturing it")),
                     qPrintable(f.log().join(QLatin1Char('\n'))));
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(QStringLiteral("air")), 3, 10000);
        QVERIFY(anyLabel(f, QStringLiteral("Broadcast: ON AIR")));
        QVERIFY(anyLabel(f, QStringLiteral("REC")));
        QVERIFY(anyLabel(f, QStringLiteral("Current: MIC   Peak: 0")));
    }

    // The server dies and is started again at the same socket, without the
    // remap: every capture says it went, takes the default input instead
    // (Qt still lists "Air", and would wait for ever on it) and says it is
    // back; the recording grows again.
    void capturesComeBackWithTheSoundServer()
    {
        if (!airListed())
            QVERIFY(makeAir());
        WindowFixture f(settings());
        switchOn(f);
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(QStringLiteral("air")), 3, 10000);
        auto* archive = f.find<StreamArchive>();

        m_pulse.kill();
        const QString went = QStringLiteral("the sound server stopped the capture from \"Air\"; capturing again as "
                                            "soon as it answers");
        for (const char* who : {"Broadcast: ", "Stream Archive: ", "Line-in: "})
            QVERIFY2(f.waitForLog(QLatin1String(who) + went), qPrintable(f.log().join(QLatin1Char('\n'))));
        QVERIFY2(m_pulse.start(kTone), qPrintable(m_pulse.log()));

        const QString instead = QStringLiteral("input device \"Air\" is not present; capturing the default input "
                                               "\"%1\" instead")
                                    .arg(m_toneName);
        const QString back = QStringLiteral("capturing from \"%1\" again, after ").arg(m_toneName);
        for (const char* who : {"Broadcast: ", "Stream Archive: ", "Line-in: "}) {
            QVERIFY2(f.waitForLog(QLatin1String(who) + instead, 30000), qPrintable(f.log().join(QLatin1Char('\n'))));
            QTRY_VERIFY2_WITH_TIMEOUT(std::ranges::any_of(f.log(), [&](const QString& l) {
                                          return l.startsWith(QLatin1String(who) + back);
                                      }),
                                      qPrintable(f.log().join(QLatin1Char('\n'))), 30000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(kTone), 3, 10000);
        QVERIFY(f.find<BroadcastService>()->isStreaming() || f.find<BroadcastService>()->isReconnecting());
        QVERIFY(anyLabel(f, QStringLiteral("REC (default input: \"Air\" not present)")));
        const qint64 size = QFileInfo(archive->currentFile()).size();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(archive->currentFile()).size() > size + 16000, 20000);
    }
};

OL_TEST_MAIN(TestCaptureDevices)
#include "tst_capturedevices.moc"
