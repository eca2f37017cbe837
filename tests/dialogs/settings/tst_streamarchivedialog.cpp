// ctest: timeout 600
#include "audiofixtures.h"
#include "findwidget.h"
#include "olmain.h"
#include "tonesource.h"

#include "dialogs/settings/streamarchivedialog.h"
#include "outputs/streamarchive.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>

namespace {

// The six editors, in the dialog's order: folder, pattern, bitrate,
// split, own mix, capture device.
QList<QWidget*> editors(const QDialog& d)
{
    const QList<QLineEdit*> lines = d.findChildren<QLineEdit*>();
    const QList<QComboBox*> lists = d.findChildren<QComboBox*>();
    return {lines.value(0), lines.value(1), lists.value(0), d.findChild<QSpinBox*>(),
            d.findChild<QCheckBox*>(), lists.value(1)};
}

bool allEnabled(const QDialog& d, bool enabled)
{
    for (const QWidget* w : editors(d)) {
        if (!w || w->isEnabled() != enabled)
            return false;
    }
    return true;
}

QString statusText(const QDialog& d)
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

private slots:
    void init()
    {
        if (!StreamArchive::encoderAvailable())
            QSKIP("ffmpeg is not installed");
        m_pump.start();
    }

    void cleanup()
    {
        m_pump.stop();
    }

    void recordsWithTheEditedConfiguration()
    {
        const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
        StreamArchive recorder;
        connect(&m_pump, &TonePump::buffer, &recorder, &StreamArchive::pushAudio);
        ArchiveConfig c;
        c.folder.clear();
        c.namePattern = QStringLiteral("'Show_'yyyy-MM-dd_HH-mm-ss");
        c.bitrate = 160;
        c.splitMinutes = 2000;
        c.sampleRate = 22050;
        c.channels = 1;
        c.internalMix = true;
        c.inputDevice = QStringLiteral("No such microphone");
        recorder.setConfig(c);

        StreamArchiveDialog d(&recorder);
        const QList<QWidget*> e = editors(d);
        auto* folder = qobject_cast<QLineEdit*>(e.at(0));
        auto* pattern = qobject_cast<QLineEdit*>(e.at(1));
        QCOMPARE(folder->text(), music);
        QCOMPARE(qobject_cast<QComboBox*>(e.at(2))->currentText(), QStringLiteral("64"));
        QCOMPARE(qobject_cast<QSpinBox*>(e.at(3))->value(), 1440);
        QVERIFY(qobject_cast<QCheckBox*>(e.at(4))->isChecked());
        QCOMPARE(qobject_cast<QComboBox*>(e.at(5))->currentText(), QStringLiteral("System default"));
        QLabel* example = nullptr;
        for (QLabel* label : d.findChildren<QLabel*>()) {
            if (label->text().startsWith(QStringLiteral("Example: ")))
                example = label;
        }
        QVERIFY(example);
        QVERIFY(QRegularExpression(QStringLiteral("^Example: Show_\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\\.mp3$"))
                    .match(example->text())
                    .hasMatch());
        pattern->setText(QStringLiteral("'Live-'HHmm"));
        QVERIFY2(QRegularExpression(QStringLiteral("^Example: Live-\\d{4}\\.mp3$")).match(example->text()).hasMatch(),
                 qPrintable(example->text()));
        pattern->clear();
        QVERIFY(example->text().startsWith(QStringLiteral("Example: Orchidlantern_")));
        pattern->setText(QStringLiteral("  'Show_'yyyy-MM-dd_HH-mm-ss "));
        QCOMPARE(statusText(d), QStringLiteral("Not recording."));

        QVERIFY(clickButton(d, QStringLiteral("Start recording")));
        QVERIFY(recorder.isRecording());
        QVERIFY(allEnabled(d, false));
        QVERIFY(findByText(d, QStringLiteral("Stop recording")));
        const QString file = recorder.currentFile();
        const QRegularExpression name(QStringLiteral("^Show_\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d(-\\d+)?\\.mp3$"));
        QVERIFY2(name.match(QFileInfo(file).fileName()).hasMatch(), qPrintable(file));
        QCOMPARE(QFileInfo(file).absolutePath(), music);
        QSettings s;
        QCOMPARE(s.value(QStringLiteral("archive/folder")).toString(), music);
        QCOMPARE(s.value(QStringLiteral("archive/namePattern")).toString(), QStringLiteral("'Show_'yyyy-MM-dd_HH-mm-ss"));
        QCOMPARE(s.value(QStringLiteral("archive/bitrate")).toInt(), 64);
        QCOMPARE(s.value(QStringLiteral("archive/splitMinutes")).toInt(), 1440);
        QCOMPARE(s.value(QStringLiteral("archive/sampleRate")).toInt(), 44100);
        QCOMPARE(s.value(QStringLiteral("archive/channels")).toInt(), 2);
        QCOMPARE(s.value(QStringLiteral("archive/inputDevice")).toString(), QString());
        QCOMPARE(s.value(QStringLiteral("archive/internalMix")).toBool(), true);

        // The timer moves the elapsed time on; a folder chosen now waits
        // for the next start.
        QTRY_VERIFY_WITH_TIMEOUT(statusText(d).contains(QRegularExpression(QStringLiteral("&mdash; 00:00:0[2-9]$"))),
                                 20000);
        QCOMPARE(statusText(d).left(statusText(d).indexOf(QStringLiteral(" &mdash; "))),
                 QStringLiteral("<b>Recording</b> ") + QFileInfo(file).fileName());
        PromptScript script;
        script.answerFolder(testHome().scratch(QStringLiteral("later")));
        clickButton(d, QStringLiteral("Browse..."));
        QCOMPARE(folder->text(), testHome().scratch(QStringLiteral("later")));

        QVERIFY(clickButton(d, QStringLiteral("Stop recording")));
        QVERIFY(!recorder.isRecording());
        QVERIFY(allEnabled(d, true));
        QCOMPARE(statusText(d), QStringLiteral("Not recording."));
        QCOMPARE(AudioFixtures::probe(file, QStringLiteral("stream=sample_rate")), QStringLiteral("44100"));
        QCOMPARE(AudioFixtures::probe(file, QStringLiteral("stream=channels")), QStringLiteral("2"));
        const int kbps = AudioFixtures::probe(file, QStringLiteral("stream=bit_rate")).toInt() / 1000;
        QVERIFY2(kbps >= 60 && kbps <= 68, qPrintable(QString::number(kbps)));
        const double seconds = AudioFixtures::probe(file, QStringLiteral("format=duration")).toDouble();
        QVERIFY2(seconds > 1.5, qPrintable(QString::number(seconds)));
    }

    // A recording started elsewhere is shown and followed: it ends by its
    // own stop-after time and the dialog shows that at once.
    void followsTheRecorder()
    {
        const QString folder = testHome().scratch(QStringLiteral("elsewhere"));
        StreamArchive recorder;
        connect(&m_pump, &TonePump::buffer, &recorder, &StreamArchive::pushAudio);
        ArchiveConfig c;
        c.folder = folder;
        c.namePattern = QStringLiteral("'a<b>&'");
        c.splitMinutes = 0;
        c.stopAfterMs = 2500;
        c.internalMix = true;
        recorder.setConfig(c);
        recorder.start();
        QVERIFY(recorder.isRecording());

        StreamArchiveDialog d(&recorder);
        QStringList statusAtSignal;
        connect(&recorder, &StreamArchive::recordingChanged, this, [&] { statusAtSignal << statusText(d); });
        QVERIFY(allEnabled(d, false));
        QCOMPARE(d.findChild<QSpinBox*>()->text(), QStringLiteral("never"));
        QVERIFY2(statusText(d).startsWith(QStringLiteral("<b>Recording</b> a&lt;b&gt;&amp;.mp3 &mdash; 00:00:0")),
                 qPrintable(statusText(d)));
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.isRecording(), 30000);
        QCOMPARE(statusAtSignal, QStringList{QStringLiteral("Not recording.")});
        QVERIFY(allEnabled(d, true));
        QVERIFY(findByText(d, QStringLiteral("Start recording")));

        // A start from here has no stop-after time; one that fails leaves
        // the recorder idle without a message box.
        PromptScript script;
        QSignalSpy log(&recorder, &StreamArchive::logMessage);
        auto* folderEdit = qobject_cast<QLineEdit*>(editors(d).at(0));
        QFile blocker(folder + QStringLiteral("/file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        folderEdit->setText(blocker.fileName() + QStringLiteral("/sub"));
        clickButton(d, QStringLiteral("Start recording"));
        QVERIFY(!recorder.isRecording());
        QCOMPARE(statusText(d), QStringLiteral("Not recording."));
        QVERIFY(script.messages().isEmpty());
        QVERIFY(!log.isEmpty() && log.last().at(0).toString().startsWith(QStringLiteral("Stream Archive: cannot write ")));

        folderEdit->setText(folder);
        clickButton(d, QStringLiteral("Start recording"));
        QCOMPARE(recorder.config().stopAfterMs, 0);
        QCOMPARE(QSettings().value(QStringLiteral("archive/splitMinutes")).toInt(), 0);
        const QString second = recorder.currentFile();
        QTest::qWait(3500);
        QVERIFY(recorder.isRecording());
        clickButton(d, QStringLiteral("Close"));
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QVERIFY(recorder.isRecording());
        recorder.stop();
        const double seconds = AudioFixtures::probe(second, QStringLiteral("format=duration")).toDouble();
        QVERIFY2(seconds > 3.0, qPrintable(QString::number(seconds)));
    }
};

OL_TEST_MAIN(TestStreamArchiveDialog)
#include "tst_streamarchivedialog.moc"
