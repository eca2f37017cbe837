// Segues on time, as a listener hears them: how far from its mix point the
// next track is heard on the null sink's monitor. Nine 5-second tracks: a
// 100 ms 1 kHz lead-in, then a tone alternating between 440 and 660 Hz; mix
// point 2 s, fade-in 0 so that every onset is sharp. Reference: the outgoing
// tone's own onset on the monitor plus its length less the mix point (3 s
// later); positive is late. Five runs of eight segues. Also counted: tracks
// whose lead-in was not heard whole (their beginning lost), and for
// comparison the same segues as the engine's own position reports (and the
// clock since the last one) place them.
// Run inside tools/inroot with the test PulseAudio started:
//   tools/inroot bash -c '. tools/audio-env; ol_start_audio; build/bench/bench_segue'
#include "audiofixtures.h"
#include "benchtiming.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "sinkrecorder.h"
#include "testhome.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTest>

#include <cmath>
#include <cstdio>

namespace {

constexpr int kRuns = 5;
constexpr int kRows = 9;
constexpr qint64 kLengthMs = 5000;
constexpr qint64 kMixPointMs = 2000;
constexpr double kDbfs = -12;
constexpr int kHopMs = 2;
constexpr double kTickMs = 40; // one fade step of the engine
const double kHz[2] = {440, 660};
constexpr double kLeadInHz = 1000;
constexpr int kLeadInMs = 100;

double halfScale()
{
    return 0.5 * std::pow(10.0, kDbfs / 20);
}

// Each row's tone onset on the monitor, in ms from the recording's start;
// empty when a row was not heard.
QList<double> onsets(const QList<float>& samples)
{
    const QList<double> env[2] = {SinkRecorder::toneEnvelope(samples, kHz[0], 20, kHopMs),
                                  SinkRecorder::toneEnvelope(samples, kHz[1], 20, kHopMs)};
    const double half = halfScale();
    QList<double> out;
    qsizetype from = 0;
    for (int row = 0; row < kRows; ++row) {
        // The same tone two rows back has faded out 1 s after the row between.
        const qsizetype on = SinkRecorder::firstSustained(env[row % 2], half, from);
        if (on < 0)
            return {};
        out << double(on * kHopMs);
        from = on + 1500 / kHopMs;
    }
    return out;
}

// How long the lead-in before the tone onset was heard, in ms.
double leadInHeard(const QList<double>& leadIn, double onsetMs)
{
    qsizetype end = qsizetype(onsetMs);
    while (end > 0 && leadIn.at(end - 1) < halfScale())
        --end;
    qsizetype begin = end;
    while (begin > 0 && leadIn.at(begin - 1) >= halfScale())
        --begin;
    return double(end - begin);
}

void printRow(const char* what, const QList<double>& late)
{
    const Spread s = spreadOf(late);
    const qsizetype within = std::count_if(late.cbegin(), late.cend(), [](double v) { return std::abs(v) <= kTickMs; });
    std::printf("%-34s median %+6.1f ms, range %+6.1f .. %+6.1f ms, within one fade tick (40 ms): %lld/%lld\n", what,
                s.median, s.low, s.high, qlonglong(within), qlonglong(late.size()));
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    MusicLibrary::initDatabase();
    QString tones[2];
    for (int i = 0; i < 2; ++i) {
        tones[i] = home.scratch() + QStringLiteral("/tone%1.wav").arg(i);
        AudioFixtures::Signal track;
        track.expression = QStringLiteral("pow(10,%1/20)*if(lt(t,%2),sin(2*PI*%3*t),sin(2*PI*%4*t))")
                               .arg(kDbfs)
                               .arg(kLeadInMs / 1000.0)
                               .arg(kLeadInHz)
                               .arg(kHz[i]);
        track.seconds = kLengthMs / 1000.0;
        if (!AudioFixtures::make(tones[i], track))
            return 1;
    }
    QSettings s;
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/minCrossfadeMs"), 3000);
    s.setValue(QStringLiteral("playback/mixPointMs"), kMixPointMs);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 1000);
    s.setValue(QStringLiteral("playback/fadeInMs"), 0);
    s.setValue(QStringLiteral("audio/defaultVolume"), 100);

    QList<double> heard;
    QList<double> reported;
    QList<double> runMedians;
    int cut = 0;
    for (int run = 0; run < kRuns; ++run) {
        PlaylistModel model;
        for (int row = 0; row < kRows; ++row)
            model.addTrack(Track::fromFile(tones[row % 2]));
        AudioEngine engine;
        engine.setPlaylist(&model);

        QElapsedTimer clock;
        clock.start();
        qint64 lastPosition = -1;
        qint64 lastAt = 0;
        qint64 duration = 0;
        QObject::connect(&engine, &AudioEngine::durationChanged, &app, [&](qint64 ms) { duration = ms; });
        QObject::connect(&engine, &AudioEngine::positionChanged, &app, [&](qint64 ms) {
            lastPosition = ms;
            lastAt = clock.elapsed();
        });
        QObject::connect(&engine, &AudioEngine::currentRowChanged, &app, [&](int row) {
            if (row > 0 && lastPosition >= 0 && duration > 0)
                reported << double(lastPosition + (clock.elapsed() - lastAt) - (duration - kMixPointMs));
            lastPosition = -1;
        });

        SinkRecorder rec;
        if (!rec.start())
            return 2;
        engine.playRow(0);
        const bool done = QTest::qWaitFor([&] { return engine.currentRow() == kRows - 1; }, 60000);
        QTest::qWait(1500);
        engine.stop();
        const QList<float> samples = rec.stop();
        const QList<double> on = onsets(samples);
        if (!done || on.isEmpty()) {
            std::fprintf(stderr, "run %d: the segues were not all heard\n", run + 1);
            return 3;
        }
        QList<double> late;
        for (int row = 1; row < kRows; ++row)
            late << on[row] - on[row - 1] - double(kLengthMs - kMixPointMs);
        runMedians << spreadOf(late).median;
        // The envelope at 1 ms steps, entries centred 5 ms on.
        const QList<double> leadIn = SinkRecorder::toneEnvelope(samples, kLeadInHz, 10, 1);
        for (int row = 1; row < kRows; ++row)
            cut += leadInHeard(leadIn, on[row]) < kLeadInMs - 20 ? 1 : 0;
        heard << late;
    }
    std::printf("bench_segue: %d runs of %d segues; reference: the outgoing tone's onset on the sink's monitor + %lld ms\n",
                kRuns, kRows - 1, qlonglong(kLengthMs - kMixPointMs));
    printRow("heard at the monitor:", heard);
    const Spread runs = spreadOf(runMedians);
    std::printf("%-34s median %+6.1f ms, range %+6.1f .. %+6.1f ms\n", "  medians of the runs:", runs.median, runs.low,
                runs.high);
    std::printf("%-34s %d/%d\n", "tracks heard without their start:", cut, kRuns * (kRows - 1));
    printRow("by the engine's position reports:", reported);
    return 0;
}
