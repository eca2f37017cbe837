// ctest: serial
// The crossfades dialog and the segue editor: what they show and store, and
// what the engine then plays, heard on the null sink's monitor. Playlist,
// engine and the hand-over of the dialogs' results are as the main window
// has them.
#include "dialogs/library/crossfadesdialog.h"
#include "dialogs/library/segueeditordialog.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"

#include "audiofixtures.h"
#include "findwidget.h"
#include "olmain.h"
#include "sinkrecorder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QSettings>

#include <functional>

namespace {

constexpr int kHopMs = 5;
const double kLevel = std::pow(10.0, -6.0 / 20);

// The dialog's controls in order: a box as "+" or "-", a spin as its text,
// each in brackets when disabled.
QString shown(const QDialog& d)
{
    QStringList out;
    for (const char* name : {"enableBox", "fadeInBox", "fadeInSpin", "mixBox", "mixSpin", "fadeOutBox",
                             "fadeOutSpin", "triggerBox", "triggerSpin", "fadeOnMixBox", "minLengthSpin",
                             "typeOverrideBox", "typeMixSpin", "typeFadeSpin", "typePreviousBox"}) {
        const QWidget* w = d.findChild<QWidget*>(QLatin1String(name));
        const auto* box = qobject_cast<const QCheckBox*>(w);
        const QString text = box ? QString(box->isChecked() ? '+' : '-') : static_cast<const QDoubleSpinBox*>(w)->text();
        out << (w->isEnabled() ? text : QLatin1Char('(') + text + QLatin1Char(')'));
    }
    return out.join(QLatin1Char(' '));
}

// The settings file as it lies on disk, as "group/key" -> text.
QMap<QString, QString> settingsFile()
{
    QMap<QString, QString> values;
    QFile f(QSettings().fileName());
    if (!f.open(QIODevice::ReadOnly))
        return values;
    QString group;
    for (QString line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('[')))
            group = line.mid(1, line.size() - 2);
        else if (line.contains(QLatin1Char('=')))
            values.insert(group + QLatin1Char('/') + line.section(QLatin1Char('='), 0, 0).replace(QLatin1Char('\\'), QLatin1Char('/')),
                          line.section(QLatin1Char('='), 1));
    }
    return values;
}

// Times from the onset of the first row's tone, in ms.
struct Transition
{
    double fadeStart = -1; // the first row's tone below 90 % of its level
    double fadeEnd = -1;   // and below 5 %
    double nextHeard = -1; // the next row's tone at half its level
};

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
    clickButton(editor, QStringLiteral("OK"));
    station.model.setSegueOverrides(0, editor.overrides());
}

} // namespace

// The engine starts the segue at the first position report inside the mix
// point (they come up to 110 ms apart), and the outputs add their latency.
// The outgoing deck's volume changes in steps of a buffer or so, and the
// deck stops when its gain reaches zero, which cuts the last step short.
#define VERIFY_SEGUE(t, mixPointMs, fadeOutMs)                                                           \
    do {                                                                                                \
        const double segueAt = 6000.0 - (mixPointMs);                                                  \
        QVERIFY2((t).nextHeard >= segueAt - 60 && (t).nextHeard <= segueAt + 350,                      \
                 qPrintable(QString::number((t).nextHeard)));                                           \
        QVERIFY2((t).fadeStart >= segueAt - 60 && (t).fadeStart <= segueAt + 350,                      \
                 qPrintable(QString::number((t).fadeStart)));                                           \
        const double fall = (t).fadeEnd - (t).fadeStart;                                               \
        QVERIFY2(fall >= 0.5 * (fadeOutMs) && fall <= (fadeOutMs) + 150, qPrintable(QString::number(fall))); \
    } while (false)

class TestCrossfadesDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void crossfadesShownStoredAndPlayed();
    void segueEditorOverridesThem();

private:
    // Plays the 6 s 440 Hz row into the 4 s 880 Hz one.
    Transition play(Station& station);

    QString m_first;
    QString m_second;
};

void TestCrossfadesDialog::initTestCase()
{
    QVERIFY(MusicLibrary::initDatabase());
    TrackParams::ensureSchema();
    const QString dir = testHome().scratch(QStringLiteral("audio"));
    m_first = dir + QStringLiteral("/first.wav");
    m_second = dir + QStringLiteral("/second.wav");
    QVERIFY(AudioFixtures::tone(m_first, 440, -6, 6));
    QVERIFY(AudioFixtures::tone(m_second, 880, -6, 4));
    QSettings().setValue(QStringLiteral("audio/defaultVolume"), 100);
}

Transition TestCrossfadesDialog::play(Station& station)
{
    SinkRecorder rec;
    if (!rec.start())
        return {};
    station.engine.playRow(0);
    const bool segued = QTest::qWaitFor([&] { return station.model.currentRow() == 1; }, 15000);
    QTest::qWait(2500);
    const QList<float> samples = rec.stop();
    station.engine.stop();
    if (!segued)
        return {};

    const QList<double> first = SinkRecorder::toneEnvelope(samples, 440, 20, kHopMs);
    QList<double> firstNegated; // below a level as above its negation
    for (double v : first)
        firstNegated.append(-v);
    const QList<double> second = SinkRecorder::toneEnvelope(samples, 880, 20, kHopMs);
    const qsizetype on = SinkRecorder::firstSustained(first, 0.5 * kLevel);
    if (on < 0)
        return {};
    const auto fromOnset = [on](qsizetype i) { return i < 0 ? -1.0 : double((i - on) * kHopMs); };
    Transition t;
    t.fadeStart = fromOnset(SinkRecorder::firstSustained(firstNegated, -0.9 * kLevel, on));
    t.fadeEnd = fromOnset(SinkRecorder::firstSustained(firstNegated, -0.05 * kLevel, on));
    t.nextHeard = fromOnset(SinkRecorder::firstSustained(second, 0.5 * kLevel, on));
    qInfo("the first row fell from %.0f to %.0f ms; the next was heard at %.0f ms", t.fadeStart, t.fadeEnd,
          t.nextHeard);
    return t;
}

void TestCrossfadesDialog::crossfadesShownStoredAndPlayed()
{
    Station station(m_first, m_second);
    CrossfadesDialog d;
    QCOMPARE(shown(d), QStringLiteral("- + (1.5 sec) + (2.5 sec) + (2.5 sec) - (-14.0 dB) + 45.0 sec "
                                      "- (1.0 sec) (1.0 sec) -"));
    QList<QMap<QString, QString>> atSignal;
    connect(&d, &CrossfadesDialog::settingsChanged, this, [&] { atSignal.append(settingsFile()); });
    connect(&d, &CrossfadesDialog::settingsChanged, &station.engine, &AudioEngine::applySettings);
    d.findChild<QCheckBox*>(QStringLiteral("enableBox"))->setChecked(true);
    d.findChild<QCheckBox*>(QStringLiteral("fadeInBox"))->setChecked(false);
    d.findChild<QDoubleSpinBox*>(QStringLiteral("mixSpin"))->setValue(1.5);
    d.findChild<QDoubleSpinBox*>(QStringLiteral("fadeOutSpin"))->setValue(0.5);
    d.findChild<QDoubleSpinBox*>(QStringLiteral("triggerSpin"))->setValue(-20.5);
    d.findChild<QDoubleSpinBox*>(QStringLiteral("minLengthSpin"))->setValue(3.0);
    d.findChild<QCheckBox*>(QStringLiteral("typeOverrideBox"))->setChecked(true);
    QCOMPARE(shown(d), QStringLiteral("+ - (1.5 sec) + 1.5 sec + 0.5 sec - (-20.5 dB) + 3.0 sec + 1.0 sec 1.0 sec -"));
    QVERIFY(clickButton(d, QStringLiteral("OK")));
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QCOMPARE(atSignal.size(), 1);
    const QMap<QString, QString> expected{
        {"playback/crossfadeEnabled", "true"},  {"playback/fadeInMs", "0"},
        {"playback/fadeOutMs", "500"},          {"playback/mixPointMs", "1500"},
        {"playback/triggerMixEnabled", "false"}, {"playback/triggerMixDb", "-20.5"},
        {"playback/fadeOutOnMix", "true"},      {"playback/minCrossfadeMs", "3000"},
        {"crossfade/music/override", "true"},   {"crossfade/music/mixPointMs", "1000"},
        {"crossfade/music/fadeOutMs", "1000"},  {"crossfade/music/overridePrev", "false"},
        {"audio/defaultVolume", "100"}};
    QCOMPARE(atSignal.at(0), expected);

    const Transition t = play(station);
    VERIFY_SEGUE(t, 1500, 500);

    // Reopened, it shows what it stored; a switch of the file type stores
    // the type left at once, and Cancel does not take it back.
    CrossfadesDialog again;
    QCOMPARE(shown(again), QStringLiteral("+ - (0.0 sec) + 1.5 sec + 0.5 sec - (-20.5 dB) + 3.0 sec + 1.0 sec 1.0 sec -"));
    again.findChild<QDoubleSpinBox*>(QStringLiteral("typeMixSpin"))->setValue(3.0);
    again.findChild<QComboBox*>()->setCurrentText(QStringLiteral("Voice track"));
    QVERIFY(shown(again).endsWith(QStringLiteral("- (1.0 sec) (1.0 sec) -")));
    again.findChild<QCheckBox*>(QStringLiteral("enableBox"))->setChecked(false);
    QVERIFY(clickButton(again, QStringLiteral("Cancel")));
    QSettings().sync();
    QCOMPARE(settingsFile().value(QStringLiteral("crossfade/music/mixPointMs")), QStringLiteral("3000"));
    QVERIFY(!settingsFile().contains(QStringLiteral("crossfade/voice_track/override")));
    QCOMPARE(settingsFile().value(QStringLiteral("playback/crossfadeEnabled")), QStringLiteral("true"));

    // With crossfading off the next row waits for the end.
    d.findChild<QCheckBox*>(QStringLiteral("enableBox"))->setChecked(false);
    QVERIFY(clickButton(d, QStringLiteral("OK")));
    const Transition off = play(station);
    QVERIFY2(off.fadeEnd >= 6000 - 60 && off.fadeEnd - off.fadeStart < 60, qPrintable(QString::number(off.fadeStart)));
    QVERIFY2(off.nextHeard >= off.fadeEnd - 60, qPrintable(QString::number(off.nextHeard)));
}

void TestCrossfadesDialog::segueEditorOverridesThem()
{
    QSettings s;
    s.clear();
    s.setValue(QStringLiteral("audio/defaultVolume"), 100);
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/fadeInMs"), 0);
    s.setValue(QStringLiteral("playback/mixPointMs"), 3000);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 1000);
    s.setValue(QStringLiteral("playback/minCrossfadeMs"), 3000);

    Track stop;
    stop.marker = true;
    stop.label = QStringLiteral("stop");
    Track bare;
    bare.filePath = QStringLiteral("/m/bare.mp3");
    SegueEditorDialog three({Track::fromFile(m_first), stop, bare}, {{2500, -1}});
    QCOMPARE(three.windowTitle(), QStringLiteral("Segue Editor 3"));
    QStringList titles, spins;
    for (const QGroupBox* g : three.findChildren<QGroupBox*>())
        titles << g->title();
    for (const QDoubleSpinBox* spin : three.findChildren<QDoubleSpinBox*>())
        spins << spin->text();
    QCOMPARE(titles, QStringList({Track::fromFile(m_first).displayName() + QStringLiteral("  \u2192  >> STOP <<"),
                                  QStringLiteral(">> STOP <<  \u2192  /m/bare.mp3")}));
    QCOMPARE(spins, QStringList({"2.50 sec", "inherit", "inherit", "inherit"}));
    QVERIFY(clickButton(three, QStringLiteral("Clear overrides")));
    QVERIFY(clickButton(three, QStringLiteral("Cancel")));
    QVERIFY(three.overrides().isEmpty());

    Station station(m_first, m_second);
    editSegue(station, [](SegueEditorDialog& editor) {
        QCOMPARE(editor.windowTitle(), QStringLiteral("Segue Editor"));
        editor.findChild<QDoubleSpinBox*>(QStringLiteral("mixSpin0"))->setValue(2.0);
        editor.findChild<QDoubleSpinBox*>(QStringLiteral("fadeSpin0"))->setValue(0.25);
    });
    QCOMPARE(station.model.segueAt(0).mixPointMs, 2000);
    const Transition t = play(station);
    VERIFY_SEGUE(t, 2000, 250);

    // Cleared, the transition follows the settings again.
    editSegue(station, [](SegueEditorDialog& editor) { clickButton(editor, QStringLiteral("Clear overrides")); });
    QCOMPARE(station.model.segueAt(0).mixPointMs, -1);
    const Transition settings = play(station);
    VERIFY_SEGUE(settings, 3000, 1000);
}

OL_TEST_MAIN(TestCrossfadesDialog)
#include "tst_crossfadesdialog.moc"
