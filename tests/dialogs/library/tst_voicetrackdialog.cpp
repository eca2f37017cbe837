// ctest: serial
// ctest: timeout 600
// The voice-track recorder on a microphone: a PulseAudio pipe source fed
// with speech and marker tones, recorded through the stream archive and
// ffmpeg. ffprobe checks every take, and the tones show which audio a trim
// kept and where.
#include "dialogs/library/voicetrackdialog.h"
#include "dialogs/library/waveformview.h"
#include "outputs/streamarchive.h"

#include "audiofixtures.h"
#include "olmain.h"
#include "pipemic.h"
#include "sinkrecorder.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMediaPlayer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QScopeGuard>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <memory>

namespace {

constexpr double kFrameMs = 1152 * 1000.0 / 44100;
// Each encoding puts the encoder's delay in front of the audio and pads the
// end to a whole frame; without a gapless header, decoders keep both.
constexpr double kEncoderDelayMs = 1105 * 1000.0 / 44100;
constexpr int kHopMs = 5;
// How exactly a tone's onset is found in a file.
constexpr double kToneMs = 10.0;

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What is wrong with a take as ffprobe reads it; empty when nothing is. It
// may last up to a frame longer than expected, never shorter.
QString mp3Fault(const QString& path, double expectedMs)
{
    const QStringList want{QStringLiteral("stream=codec_name"), QStringLiteral("mp3"),
                           QStringLiteral("stream=bit_rate"), QStringLiteral("192000"),
                           QStringLiteral("stream=sample_rate"), QStringLiteral("44100"),
                           QStringLiteral("stream=channels"), QStringLiteral("2")};
    for (qsizetype i = 0; i < want.size(); i += 2) {
        const QString got = AudioFixtures::probe(path, want.at(i));
        if (got != want.at(i + 1))
            return QStringLiteral("%1 is %2").arg(want.at(i), got);
    }
    const double ms = AudioFixtures::probe(path, QStringLiteral("format=duration")).toDouble() * 1000.0;
    if (ms < expectedMs - 1 || ms > expectedMs + kFrameMs)
        return QStringLiteral("lasts %1 ms, not %2").arg(ms).arg(expectedMs);
    return {};
}

// Where a marker tone begins, in ms (the middle of the envelope window
// that first reaches half of it); -1 when it is not there. Speech has
// energy at these frequencies too, but never at -6 dBFS for 200 ms.
double toneAtMs(const QList<float>& samples, double hz)
{
    const QList<double> env = SinkRecorder::toneEnvelope(samples, hz, 20, kHopMs);
    const qsizetype i = SinkRecorder::firstSustained(env, 0.25, 0, 200 / kHopMs);
    return i < 0 ? -1.0 : i * kHopMs + 10.0;
}

void drag(WaveformView* view, qint64 fromMs, qint64 toMs)
{
    const QPoint from(view->msToX(fromMs), view->height() / 2);
    const QPoint to(view->msToX(toMs), view->height() / 2);
    QTest::mousePress(view, Qt::LeftButton, {}, from);
    QTest::mouseMove(view, to);
    QTest::mouseRelease(view, Qt::LeftButton, {}, to);
}

} // namespace

class TestVoiceTrackDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recordTrimCutAndSave();
    void failuresOnAPlacedTake();
    void closingWhileRecordingFinishesTheTake();
    void takesArePrivate();

private:
    // The dialog's controls, shown on screen.
    struct Ui
    {
        explicit Ui(VoiceTrackDialog& d)
            : dialog(d)
        {
            d.show();
            exposed = QTest::qWaitForWindowExposed(&d);
        }
        template <class T = QPushButton>
        T* get(const char* name) const
        {
            return dialog.findChild<T*>(QLatin1String(name));
        }
        VoiceTrackDialog& dialog;
        bool exposed = false;
        QLabel* status = get<QLabel>("statusLabel");
        QLabel* hint = get<QLabel>("hintLabel");
        QLineEdit* name = get<QLineEdit>("nameEdit");
        QPushButton* record = get("recordButton");
        QPushButton* play = get("playButton");
        QPushButton* trim = get("trimButton");
        QPushButton* cut = get("deleteButton");
        QPushButton* save = get("saveButton");
        WaveformView* view = get<WaveformView>("waveform");
        StreamArchive* recorder = dialog.findChild<StreamArchive*>();
        QMediaPlayer* player = dialog.findChild<QMediaPlayer*>();
    };

    // A take put in place of a recording: a 4 s tone.
    bool placeTake(VoiceTrackDialog& dialog)
    {
        if (!QFile::exists(m_tone) && !AudioFixtures::tone(m_tone, 1000, -6, 4))
            return false;
        m_take = dialog.takePath();
        if (!QFile::copy(m_tone, m_take))
            return false;
        dialog.loadWaveform();
        dialog.updateState();
        return true;
    }

    std::unique_ptr<PipeMic> m_mic;
    QString m_feed;   // speech with a marker tone after each sentence
    QString m_tone;
    QString m_take;
    QString m_folder;
};

void TestVoiceTrackDialog::initTestCase()
{
    const QString scratch = testHome().scratch(QStringLiteral("voicetrack"));
    // The takes live in the temporary folder: one of this test's own.
    qputenv("TMPDIR", testHome().scratch(QStringLiteral("tmp")).toUtf8());
    m_folder = scratch + QStringLiteral("/saved/voice tracks");
    VoiceTrackDialog::setVoiceTrackFolder(m_folder);
    m_tone = scratch + QStringLiteral("/tone.mp3");

    // 1.5 s of speech at -20 dBFS, then a 0.8 s tone at -6 dBFS, four times
    // (500, 700, 1300, 1900 Hz), then speech again: 10.7 s.
    const QString speech = scratch + QStringLiteral("/speech.wav");
    QVERIFY(AudioFixtures::run(QStringLiteral("espeak-ng"),
                               {QStringLiteral("-w"), scratch + QStringLiteral("/said.wav"),
                                QStringLiteral("This is the voice track between two songs, recorded for the test.")}));
    QVERIFY(AudioFixtures::run(QStringLiteral("sox"),
                               {scratch + QStringLiteral("/said.wav"), QStringLiteral("-r"), QStringLiteral("48000"),
                                speech, QStringLiteral("trim"), QStringLiteral("0"), QStringLiteral("1.5"),
                                QStringLiteral("gain"), QStringLiteral("-n"), QStringLiteral("-20")}));
    QStringList parts{speech};
    for (int hz : {500, 700, 1300, 1900}) {
        const QString tone = scratch + QStringLiteral("/t%1.wav").arg(hz);
        QVERIFY(AudioFixtures::run(QStringLiteral("sox"),
                                   {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("48000"),
                                    QStringLiteral("-c"), QStringLiteral("1"), tone, QStringLiteral("synth"),
                                    QStringLiteral("0.8"), QStringLiteral("sine"), QString::number(hz),
                                    QStringLiteral("gain"), QStringLiteral("-6")}));
        parts << tone << speech;
    }
    m_feed = scratch + QStringLiteral("/feed.wav");
    QVERIFY(AudioFixtures::run(QStringLiteral("sox"), parts + QStringList{m_feed}));

    m_mic = std::make_unique<PipeMic>(QStringLiteral("ol_vt_mic"), QStringLiteral("Voice-Track-Mic"), 48000, 1);
    QVERIFY2(m_mic->open(scratch, scratch + QStringLiteral("/t500.wav")), "the pipe microphone did not come up");
    QSettings().setValue(QStringLiteral("audio/micDevice"), m_mic->description());
}

void TestVoiceTrackDialog::recordTrimCutAndSave()
{
    VoiceTrackDialog dialog;
    Ui ui(dialog);
    QVERIFY(ui.exposed);
    QCOMPARE(ui.status->text(), QStringLiteral("Ready."));
    QVERIFY(!ui.play->isEnabled() && !ui.save->isEnabled() && !ui.trim->isEnabled() && !ui.cut->isEnabled());
    QVERIFY(QRegularExpression(QStringLiteral("^VT_\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d$"))
                .match(ui.name->text())
                .hasMatch());

    m_take = dialog.takePath();
    QVERIFY(m_take.startsWith(testHome().path()));
    QVERIFY(m_mic->feed(m_feed));
    ui.record->click();
    QVERIFY(ui.recorder->isRecording());
    QCOMPARE(ui.recorder->currentFile(), m_take);
    QCOMPARE(ui.record->text(), QStringLiteral("Stop"));
    QVERIFY(!ui.name->isEnabled() && !ui.save->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(ui.recorder->recordedMs() >= 10300, 20000);
    QTRY_VERIFY(ui.status->text().startsWith(QStringLiteral("Recording  00:10")));
    QCOMPARE(ui.status->styleSheet(), QStringLiteral("font-weight:bold; color:#c0392b;"));
    ui.record->click();

    // The take is drawn once its file is complete.
    QVERIFY(!ui.recorder->isRecording());
    QTRY_VERIFY_WITH_TIMEOUT(ui.view->data().durationMs > 0, 15000);
    QCOMPARE(ui.record->text(), QStringLiteral("Record"));
    QCOMPARE(ui.status->text(), QStringLiteral("Recorded. Press Play to listen, or Save to keep it."));
    QVERIFY(ui.play->isEnabled() && ui.save->isEnabled() && !ui.trim->isEnabled());
    const qint64 takeMs = ui.view->data().durationMs;
    QVERIFY2(takeMs > 9500, qPrintable(QString::number(takeMs)));
    QString fault = mp3Fault(m_take, takeMs);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    const QList<float> take = AudioFixtures::decodeMono(m_take);
    const double at700 = toneAtMs(take, 700);
    const double at1300 = toneAtMs(take, 1300);
    QVERIFY2(at700 > 1000 && qAbs(at1300 - at700 - 2300) < 30,
             qPrintable(QStringLiteral("%1 %2").arg(at700).arg(at1300)));

    // Keep from the speech before the 700 Hz tone to that after the 1300 Hz
    // one, while the take plays.
    drag(ui.view, qint64(at700) - 600, qint64(at1300) + 1200);
    const qint64 s = ui.view->selectionStart();
    const qint64 e = ui.view->selectionEnd();
    QVERIFY(ui.trim->isEnabled() && ui.cut->isEnabled());
    ui.play->click();
    QTRY_COMPARE(ui.player->playbackState(), QMediaPlayer::PlayingState);
    QTRY_COMPARE(ui.play->text(), QStringLiteral("Stop"));
    ui.trim->click();
    QCOMPARE(ui.hint->text(), QStringLiteral("Trimmed to the selection."));
    QCOMPARE(ui.player->playbackState(), QMediaPlayer::StoppedState);
    QVERIFY(ui.player->source().isEmpty());
    fault = mp3Fault(m_take, e - s + kEncoderDelayMs);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    const QList<float> kept = AudioFixtures::decodeMono(m_take);
    const double kept700 = toneAtMs(kept, 700);
    const double kept1300 = toneAtMs(kept, 1300);
    QVERIFY2(qAbs(kept700 - (at700 - s + kEncoderDelayMs)) <= kToneMs, qPrintable(QString::number(kept700)));
    QVERIFY2(qAbs(kept1300 - (at1300 - s + kEncoderDelayMs)) <= kToneMs, qPrintable(QString::number(kept1300)));
    QCOMPARE(toneAtMs(kept, 500), -1.0);
    QCOMPARE(toneAtMs(kept, 1900), -1.0);

    // Cut the 700 Hz tone out: what follows moves up by the cut.
    drag(ui.view, qint64(kept700) - 300, qint64(kept700) + 1100);
    const qint64 cutMs = ui.view->selectionEnd() - ui.view->selectionStart();
    const qint64 trimmedMs = ui.view->data().durationMs;
    ui.cut->click();
    QCOMPARE(ui.hint->text(), QStringLiteral("Selection deleted."));
    fault = mp3Fault(m_take, trimmedMs - cutMs + kEncoderDelayMs);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    const QList<float> rest = AudioFixtures::decodeMono(m_take);
    QCOMPARE(toneAtMs(rest, 700), -1.0);
    QVERIFY(qAbs(toneAtMs(rest, 1300) - (kept1300 - cutMs + kEncoderDelayMs)) <= kToneMs);

    // The name as typed, trimmed, with ".mp3" always added; the folder is made.
    ui.name->setText(QStringLiteral("  intro.mp3 "));
    ui.save->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.savedPath(), QDir(m_folder).absoluteFilePath(QStringLiteral("intro.mp3.mp3")));
    QCOMPARE(contents(dialog.savedPath()), contents(m_take));
}

void TestVoiceTrackDialog::failuresOnAPlacedTake()
{
    PromptScript prompts;
    VoiceTrackDialog dialog;
    Ui ui(dialog);
    QVERIFY(ui.exposed);
    QVERIFY(!QFile::exists(dialog.takePath()));
    QVERIFY(placeTake(dialog));
    const QByteArray takeBefore = contents(m_take);
    // A folder where the trimmed file would be written.
    const QString blocker = m_take + QStringLiteral(".trim.mp3");
    QVERIFY(QDir().mkpath(blocker + QStringLiteral("/in-the-way")));
    drag(ui.view, 1000, 2000);
    ui.trim->click();
    QCOMPARE(ui.hint->text(), QStringLiteral("Could not trim the recording."));
    QCOMPARE(contents(m_take), takeBefore);
    QVERIFY(QDir(blocker).removeRecursively());

    // Record, clicked while the cut decodes, neither deletes nor records
    // over the take.
    const qint64 keptMs =
        ui.view->data().durationMs - (ui.view->selectionEnd() - ui.view->selectionStart()) + kEncoderDelayMs;
    QTimer::singleShot(0, ui.record, &QPushButton::click);
    ui.cut->click();
    QCOMPARE(ui.hint->text(), QStringLiteral("Selection deleted."));
    QVERIFY(!ui.recorder->isRecording());
    const QString fault = mp3Fault(m_take, keptMs);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));

    QVERIFY(QDir().mkpath(m_folder));

    // The take went away since the last look.
    QVERIFY(QFile::remove(m_take));
    ui.save->click();
    QVERIFY(QFile::copy(m_tone, m_take));

    ui.name->setText(QStringLiteral("../outside"));
    ui.save->click();
    QVERIFY(!QFile::exists(QDir(m_folder).absoluteFilePath(QStringLiteral("../outside.mp3"))));

    // A copy that fails half-way (the file-size limit, which binds root
    // too) leaves the file of that name as it was, and nothing beside it.
    const QString news = QDir(m_folder).absoluteFilePath(QStringLiteral("news.mp3"));
    QFile old(news);
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
    old.close();
    const QStringList before = QDir(m_folder).entryList(QDir::Files | QDir::Hidden);
    ui.name->setText(QStringLiteral("news"));
    {
        rlimit limit{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlimit saved = limit;
        limit.rlim_cur = 16384;
        const auto restore = qScopeGuard([&] {
            setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, SIG_DFL);
        });
        std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        ui.save->click();
    }
    QCOMPARE(contents(news), QByteArray("old"));
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden), before);
    QCOMPARE(prompts.messages(),
             QStringList({QStringLiteral("Record something first."), QStringLiteral("A name cannot contain / or \\."),
                          QStringLiteral("Could not save to ") + news}));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(dialog.savedPath().isEmpty());

    // Then it is replaced without a question.
    ui.save->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.savedPath(), news);
    QCOMPARE(contents(news), contents(m_take));
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden), before);

    // Without a name, the time names it.
    ui.name->clear();
    ui.save->click();
    QVERIFY2(QRegularExpression(QStringLiteral("/VT_\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\\.mp3$"))
                 .match(dialog.savedPath())
                 .hasMatch(),
             qPrintable(dialog.savedPath()));
    QCOMPARE(prompts.messages().size(), 3);
}

void TestVoiceTrackDialog::closingWhileRecordingFinishesTheTake()
{
    QVERIFY(m_mic->feed(m_feed));
    auto* dialog = new VoiceTrackDialog;
    Ui ui(*dialog);
    QVERIFY(ui.exposed);
    ui.record->click();
    QVERIFY(ui.recorder->isRecording());
    QTRY_VERIFY_WITH_TIMEOUT(ui.recorder->recordedMs() >= 2000, 10000);
    // A second name for the take, which goes with the dialog's folder.
    const QString folder = QFileInfo(dialog->takePath()).absolutePath();
    m_take = testHome().scratch(QStringLiteral("voicetrack")) + QStringLiteral("/closed.mp3");
    QCOMPARE(::link(QFile::encodeName(dialog->takePath()).constData(), QFile::encodeName(m_take).constData()), 0);

    // Loading the waveform on the way out would run an event loop here.
    bool eventLoopRan = false;
    QObject scope; // the check must not outlive this test
    QTimer::singleShot(0, &scope, [&] { eventLoopRan = true; });
    delete dialog;
    QVERIFY(!eventLoopRan);
    QVERIFY(!QFileInfo::exists(folder));
    const double ms = AudioFixtures::probe(m_take, QStringLiteral("format=duration")).toDouble() * 1000.0;
    QVERIFY2(ms > 1000, qPrintable(QString::number(ms)));
    QCOMPARE(AudioFixtures::probe(m_take, QStringLiteral("stream=bit_rate")), QStringLiteral("192000"));
}

// Two recorders at once, as in the two programs: neither touches the
// other's take, and no other account can enter either take's folder.
void TestVoiceTrackDialog::takesArePrivate()
{
    auto first = std::make_unique<VoiceTrackDialog>();
    QVERIFY(placeTake(*first));
    const QString folder = QFileInfo(m_take).absolutePath();
    QCOMPARE(QFile::permissions(folder) & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser
                                             | QFile::WriteUser | QFile::ExeUser),
             QFile::Permissions());
    {
        VoiceTrackDialog second;
        QVERIFY(!second.takePath().isEmpty() && second.takePath() != m_take);
        QVERIFY(QFile::exists(m_take));
    }
    QVERIFY(QFile::exists(m_take));
    first.reset();
    QVERIFY(!QFileInfo::exists(folder));
}

OL_TEST_MAIN(TestVoiceTrackDialog)
#include "tst_voicetrackdialog.moc"
