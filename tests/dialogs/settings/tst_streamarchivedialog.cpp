// ctest: timeout 600
#include "audiofixtures.h"
#include "findwidget.h"
#include "olmain.h"
#include "tonesource.h"

#include "dialogs/settings/streamarchivedialog.h"
#include "outputs/streamarchive.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>

namespace {

// Folder, pattern, bitrate, split, own mix and capture device as shown, and
// whether they can be edited.
QString editors(const QDialog& d)
{
    const QList<QLineEdit*> lines = d.findChildren<QLineEdit*>();
    const QList<QComboBox*> lists = d.findChildren<QComboBox*>();
    const QList<QWidget*> all{lines.at(0), lines.at(1), lists.at(0), d.findChild<QSpinBox*>(),
                              d.findChild<QCheckBox*>(), lists.at(1)};
    QStringList out{lines.at(0)->text(), lines.at(1)->text(), lists.at(0)->currentText(),
                    d.findChild<QSpinBox*>()->text(), QString::number(d.findChild<QCheckBox*>()->isChecked()),
                    lists.at(1)->currentText()};
    for (const QWidget* w : all)
        out << (w->isEnabled() ? QStringLiteral("on") : QStringLiteral("off"));
    return out.join(QLatin1Char('|'));
}

QString status(const QDialog& d)
{
    return d.findChildren<QLabel*>().last()->text();
}

} // namespace

class TestStreamArchiveDialog : public QObject
{
    Q_OBJECT

    // The engine's on-air buffers, as the main window hands them over.
    ToneSource m_tone{44100, 2, QAudioFormat::Int16, 440.0, 0.4};
    TonePump m_pump{&m_tone, 40, 1.0};
    StreamArchive m_recorder;

private slots:
    void initTestCase()
    {
        if (!StreamArchive::encoderAvailable())
            QSKIP("ffmpeg is not installed");
        connect(&m_pump, &TonePump::buffer, &m_recorder, &StreamArchive::pushAudio);
        m_pump.start();
    }

    void recordsWithTheEditedConfiguration()
    {
        const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
        ArchiveConfig c;
        c.bitrate = 160;
        c.splitMinutes = 2000;
        c.sampleRate = 22050;
        c.channels = 1;
        c.internalMix = true;
        c.inputDevice = QStringLiteral("No such microphone");
        m_recorder.setConfig(c);
        StreamArchiveDialog d(&m_recorder);
        QCOMPARE(editors(d), QStringLiteral("%1|'Orchidlantern_'yyyy-MM-dd_HH-mm-ss|64|1440 min|1|No such microphone (not connected)|"
                                            "on|on|on|on|on|on").arg(music));
        auto* pattern = d.findChildren<QLineEdit*>().at(1);
        pattern->setText(QStringLiteral("'Live-'HHmm"));
        QVERIFY(d.findChildren<QLabel*>().at(3)->text().contains(QRegularExpression(QStringLiteral("^Example: Live-\\d{4}\\.mp3$"))));
        pattern->setText(QStringLiteral("  'Show_'yyyy-MM-dd_HH-mm-ss "));
        QCOMPARE(status(d), QStringLiteral("Not recording."));

        QVERIFY(clickButton(d, QStringLiteral("Start recording")));
        QVERIFY(m_recorder.isRecording());
        const QString file = m_recorder.currentFile();
        QVERIFY2(QRegularExpression(QStringLiteral("^Show_\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d(-\\d+)?\\.mp3$"))
                     .match(QFileInfo(file).fileName()).hasMatch() && QFileInfo(file).absolutePath() == music,
                 qPrintable(file));
        QStringList stored;
        QSettings s;
        for (const QString& key : s.allKeys())
            stored << key + QLatin1Char('=') + s.value(key).toString();
        QCOMPARE(stored.join(QLatin1Char(' ')),
                 QStringLiteral("archive/bitrate=64 archive/channels=2 archive/folder=%1 archive/inputDevice=No such microphone "
                                "archive/internalMix=true archive/namePattern='Show_'yyyy-MM-dd_HH-mm-ss "
                                "archive/sampleRate=44100 archive/splitMinutes=1440").arg(music));
        QVERIFY(editors(d).endsWith(QStringLiteral("off|off|off|off|off|off")));
        QTRY_VERIFY_WITH_TIMEOUT(status(d).contains(QRegularExpression(QStringLiteral(" &mdash; 00:00:0[2-9]$"))), 20000);
        QVERIFY(status(d).startsWith(QStringLiteral("<b>Recording</b> ") + QFileInfo(file).fileName() + QStringLiteral(" &mdash; ")));

        QSignalSpy finished(&m_recorder, &StreamArchive::recordingChanged);
        QVERIFY(clickButton(d, QStringLiteral("Stop recording")));
        QVERIFY(!m_recorder.isRecording() && editors(d).endsWith(QStringLiteral("on|on|on|on|on|on")));
        QCOMPARE(status(d), QStringLiteral("Not recording."));
        // The file is finished in the background; the signal says when.
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QCOMPARE(AudioFixtures::probe(file, QStringLiteral("stream=sample_rate")) + AudioFixtures::probe(file, QStringLiteral("stream=channels")),
                 QStringLiteral("441002"));
        const int kbps = AudioFixtures::probe(file, QStringLiteral("stream=bit_rate")).toInt() / 1000;
        QVERIFY2(kbps >= 60 && kbps <= 68, qPrintable(QString::number(kbps)));
        QVERIFY(AudioFixtures::probe(file, QStringLiteral("format=duration")).toDouble() > 1.5);
    }

    // A recording started elsewhere is shown, and its end by its own
    // stop-after time is shown at once.
    void followsTheRecorder()
    {
        ArchiveConfig c;
        c.folder = testHome().scratch(QStringLiteral("elsewhere"));
        c.namePattern = QStringLiteral("'a<b>&'");
        c.splitMinutes = 0;
        c.stopAfterMs = 2500;
        c.internalMix = true;
        m_recorder.setConfig(c);
        m_recorder.start();
        StreamArchiveDialog d(&m_recorder);
        QStringList atSignal;
        connect(&m_recorder, &StreamArchive::recordingChanged, &d, [&] { atSignal << status(d); });
        QVERIFY(editors(d).contains(QStringLiteral("|never|1|System default|off|off|off|off|off|off")));
        QVERIFY2(status(d).startsWith(QStringLiteral("<b>Recording</b> a&lt;b&gt;&amp;.mp3 &mdash; 00:00:0")), qPrintable(status(d)));
        QTRY_VERIFY_WITH_TIMEOUT(!m_recorder.isRecording(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(atSignal, QStringList{QStringLiteral("Not recording.")}, 10000);

        // Started here, it has no stop-after time and goes on after Close.
        clickButton(d, QStringLiteral("Start recording"));
        QCOMPARE(m_recorder.config().stopAfterMs, 0);
        QTest::qWait(3500);
        clickButton(d, QStringLiteral("Close"));
        QVERIFY(m_recorder.isRecording());
        m_recorder.stop();
    }
};

OL_TEST_MAIN(TestStreamArchiveDialog)
#include "tst_streamarchivedialog.moc"
