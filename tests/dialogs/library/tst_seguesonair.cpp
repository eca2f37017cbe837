// ctest: serial
// What the crossfades dialog and the segue editor set, heard on the air: a
// playlist and engine built as the main window builds them, the dialogs'
// results handed over as it hands them, and the null sink's monitor
// recorded.
#include "dialogs/library/crossfadesdialog.h"
#include "dialogs/library/segueeditordialog.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"

#include "audiofixtures.h"
#include "olmain.h"
#include "sinkrecorder.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QSettings>

#include <functional>

namespace {

constexpr int kHopMs = 5;
const double kLevel = std::pow(10.0, -6.0 / 20);

// Times from the onset of the first row's tone, in ms.
struct Transition
{
    double fadeStart = -1; // the first row's tone below 90 % of its level
    double fadeEnd = -1;   // and below 5 %
    double nextHeard = -1; // the next row's tone at half its level
};

// First index from which env stays below threshold for 50 ms.
qsizetype firstBelow(const QList<double>& env, double threshold, qsizetype from)
{
    QList<double> negated;
    for (double v : env)
        negated.append(-v);
    return SinkRecorder::firstSustained(negated, -threshold, from);
}

// A playlist of two rows and the engine that plays it.
struct Station
{
    Station(const QString& first, const QString& second)
    {
        model.addTrack(Track::fromFile(first));
        model.addTrack(Track::fromFile(second));
        engine.setPlaylist(&model);
    }
    PlaylistModel model;
    AudioEngine engine;
};

// The main window's round trip: the editor over the first row and the next
// with their overrides, edited, OK, and its result stored on the rows.
void editSegue(Station& station, const std::function<void(SegueEditorDialog&)>& edit)
{
    SegueEditorDialog editor(station.model.tracks().mid(0, 2), station.model.segueOverrides(0, 1));
    edit(editor);
    editor.findChild<QPushButton*>(QStringLiteral("okButton"))->click();
    station.model.setSegueOverrides(0, editor.overrides());
}

} // namespace

class TestSeguesOnAir : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void crossfadesDialogSetsTheMixPoint();
    void segueEditorOverridesIt();

private:
    // Plays a 6 s 440 Hz row into a 4 s 880 Hz one.
    Transition play(Station& station);

    QString m_first;
    QString m_second;
};

void TestSeguesOnAir::initTestCase()
{
    QVERIFY(MusicLibrary::initDatabase());
    TrackParams::ensureSchema();
    const QString dir = testHome().scratch(QStringLiteral("audio"));
    m_first = dir + QStringLiteral("/first.wav");
    m_second = dir + QStringLiteral("/second.wav");
    QVERIFY(AudioFixtures::tone(m_first, 440, -6, 6));
    QVERIFY(AudioFixtures::tone(m_second, 880, -6, 4));
}

// Crossfading on with a 3 s mix point and a 1 s fade-out; no fade-in, so
// that each onset is sharp.
void TestSeguesOnAir::init()
{
    QSettings s;
    s.clear();
    s.setValue(QStringLiteral("audio/defaultVolume"), 100);
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/fadeInMs"), 0);
    s.setValue(QStringLiteral("playback/mixPointMs"), 3000);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 1000);
    s.setValue(QStringLiteral("playback/minCrossfadeMs"), 3000);
}

Transition TestSeguesOnAir::play(Station& station)
{
    PlaylistModel& model = station.model;
    AudioEngine& engine = station.engine;
    SinkRecorder rec;
    if (!rec.start())
        return {};
    engine.playRow(0);
    const bool segued = QTest::qWaitFor([&] { return model.currentRow() == 1; }, 15000);
    QTest::qWait(2500);
    const QList<float> samples = rec.stop();
    engine.stop();
    if (!segued)
        return {};

    const QList<double> first = SinkRecorder::toneEnvelope(samples, 440, 20, kHopMs);
    const QList<double> second = SinkRecorder::toneEnvelope(samples, 880, 20, kHopMs);
    const qsizetype on = SinkRecorder::firstSustained(first, 0.5 * kLevel);
    if (on < 0)
        return {};
    const auto fromOnset = [on](qsizetype i) { return i < 0 ? -1.0 : double((i - on) * kHopMs); };
    Transition t;
    t.fadeStart = fromOnset(firstBelow(first, 0.9 * kLevel, on));
    t.fadeEnd = fromOnset(firstBelow(first, 0.05 * kLevel, on));
    t.nextHeard = fromOnset(SinkRecorder::firstSustained(second, 0.5 * kLevel, on));
    qInfo("the first row fell from %.0f to %.0f ms; the next was heard at %.0f ms", t.fadeStart, t.fadeEnd,
          t.nextHeard);
    return t;
}

// The engine starts the segue at the first position report inside the mix
// point (they come up to 110 ms apart), and the outputs add their latency.
// The outgoing deck's volume changes in steps of a buffer or so, and the
// deck stops when its gain reaches zero, which cuts the last step short.
#define VERIFY_SEGUE(t, mixPointMs, fadeOutMs)                                                     \
    do {                                                                                          \
        const double segueAt = 6000.0 - (mixPointMs);                                            \
        QVERIFY2((t).nextHeard >= segueAt - 60 && (t).nextHeard <= segueAt + 350,                \
                 qPrintable(QString::number((t).nextHeard)));                                     \
        QVERIFY2((t).fadeStart >= segueAt - 60 && (t).fadeStart <= segueAt + 350,                \
                 qPrintable(QString::number((t).fadeStart)));                                     \
        const double fall = (t).fadeEnd - (t).fadeStart;                                         \
        QVERIFY2(fall >= 0.5 * (fadeOutMs) && fall <= (fadeOutMs) + 150, qPrintable(QString::number(fall))); \
    } while (false)

void TestSeguesOnAir::crossfadesDialogSetsTheMixPoint()
{
    Station station(m_first, m_second);
    CrossfadesDialog dialog;
    connect(&dialog, &CrossfadesDialog::settingsChanged, &station.engine, &AudioEngine::applySettings);
    dialog.findChild<QDoubleSpinBox*>(QStringLiteral("mixSpin"))->setValue(1.5);
    dialog.findChild<QDoubleSpinBox*>(QStringLiteral("fadeOutSpin"))->setValue(0.5);
    dialog.findChild<QPushButton*>(QStringLiteral("okButton"))->click();
    const Transition t = play(station);
    VERIFY_SEGUE(t, 1500, 500);

    // With crossfading off the next row waits for the end.
    dialog.findChild<QCheckBox*>(QStringLiteral("enableBox"))->setChecked(false);
    dialog.findChild<QPushButton*>(QStringLiteral("okButton"))->click();
    const Transition off = play(station);
    QVERIFY2(off.fadeEnd >= 6000 - 60 && off.fadeEnd - off.fadeStart < 60, qPrintable(QString::number(off.fadeStart)));
    QVERIFY2(off.nextHeard >= off.fadeEnd - 60, qPrintable(QString::number(off.nextHeard)));
}

void TestSeguesOnAir::segueEditorOverridesIt()
{
    Station station(m_first, m_second);
    editSegue(station, [](SegueEditorDialog& editor) {
        editor.findChild<QDoubleSpinBox*>(QStringLiteral("mixSpin0"))->setValue(2.0);
        editor.findChild<QDoubleSpinBox*>(QStringLiteral("fadeSpin0"))->setValue(0.25);
    });
    const Transition t = play(station);
    VERIFY_SEGUE(t, 2000, 250);

    // Cleared, the transition follows the settings again.
    editSegue(station, [](SegueEditorDialog& editor) {
        editor.findChild<QPushButton*>(QStringLiteral("clearButton"))->click();
    });
    const Transition settings = play(station);
    VERIFY_SEGUE(settings, 3000, 1000);
}

OL_TEST_MAIN(TestSeguesOnAir)
#include "tst_seguesonair.moc"
