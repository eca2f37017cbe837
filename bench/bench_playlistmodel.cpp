// A 10 000-row playlist on a real library.db: how long building it,
// recomputing start times and reading the cells a view asks for take. The
// reads are timed as the first paint of a list makes them: the FIRST read
// of a model that has read nothing yet (its row texts and voice-over
// look-ups still to be worked out), beside the first read of a
// QStandardItemModel holding the same values (filled from a twin, so that
// the model timed stays unread), both in the same round; rows give the
// median and range of 5 rounds, each on fresh models. A read of a model
// already read once (warm) is shown apart.
//
// Run: tools/inroot build/bench/bench_playlistmodel
#include "benchtiming.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"
#include "testhome.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QStandardItemModel>
#include <QTextStream>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr int kRows = 10000;
constexpr int kScreenRows = 40;
constexpr int kRounds = 5;

double msSince(const QElapsedTimer& t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

void report(const char* what, double ms, const QString& extra = QString())
{
    std::printf("%-44s %10.2f ms%s\n", what, ms, extra.isEmpty() ? "" : qPrintable(QStringLiteral("  ") + extra));
}

Track benchTrack(int i)
{
    Track t;
    if (i % 97 == 0) {
        t.marker = true;
        t.label = QStringLiteral("stop");
        return t;
    }
    if (i % 53 == 0) {
        t.isStream = true;
        t.artist = QStringLiteral("Online stream");
        t.title = t.filePath = QStringLiteral("http://radio.example/stream%1").arg(i);
        t.streamLimitMs = (i % 2) ? 0 : 600000;
        return t;
    }
    t.artist = QStringLiteral("Artist %1").arg(i % 400);
    t.title = QStringLiteral("Title number %1").arg(i);
    t.filePath = QStringLiteral("/srv/music/Artist %1/Title number %2.mp3").arg(i % 400).arg(i);
    t.durationMs = 120000 + (i * 7919) % 240000;
    t.category = (i % 11 == 0) ? QStringLiteral("Jingle") : QStringLiteral("Foreign");
    t.voiceTrack = i % 41 == 0;
    return t;
}

int readCells(const QAbstractItemModel& m, int firstRow, int rows, const QList<int>& roles)
{
    int valid = 0;
    for (int r = firstRow; r < firstRow + rows; ++r) {
        for (int c = 0; c < m.columnCount(); ++c) {
            const QModelIndex i = m.index(r, c);
            for (int role : roles)
                valid += m.data(i, role).isValid() ? 1 : 0;
        }
    }
    return valid;
}

// The same values as plain items: the floor any model can reach.
void copyInto(const QAbstractItemModel& from, QStandardItemModel& to, const QList<int>& roles)
{
    to.setRowCount(from.rowCount());
    to.setColumnCount(from.columnCount());
    for (int r = 0; r < from.rowCount(); ++r) {
        for (int c = 0; c < from.columnCount(); ++c) {
            auto* item = new QStandardItem;
            for (int role : roles)
                item->setData(from.data(from.index(r, c), role), role);
            to.setItem(r, c, item);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));

    if (!MusicLibrary::initDatabase()) {
        std::fprintf(stderr, "library.db could not be opened\n");
        return 1;
    }

    // Stored parameters for every 10th file, a voice-over on every 20th, so
    // that the background look-ups find rows as well as miss them.
    {
        QElapsedTimer t;
        t.start();
        QSqlDatabase db = MusicLibrary::database();
        db.transaction();
        int stored = 0;
        for (int i = 0; i < kRows; i += 10) {
            const Track track = benchTrack(i);
            if (track.marker || track.isStream)
                continue;
            TrackParams p;
            p.rating = 5;
            if (i % 20 == 0) {
                p.voiceover.ins = 5000;
                p.voiceover.source = QStringLiteral("/srv/voice/drop.mp3");
            }
            TrackParams::save(track.filePath, p);
            ++stored;
        }
        db.commit();
        report("store track parameters", msSince(t), QStringLiteral("%1 files").arg(stored));
    }

    {
        QList<double> build;
        for (int round = 0; round < kRounds; ++round) {
            PlaylistModel model;
            QElapsedTimer t;
            t.start();
            for (int i = 0; i < kRows; ++i)
                model.addTrack(benchTrack(i));
            build << msSince(t);
        }
        const Spread s = spreadOf(build);
        report("build 10 000 rows with addTrack", s.median, QStringLiteral("(%1-%2)").arg(s.low, 0, 'f', 2).arg(s.high, 0, 'f', 2));
    }

    const QList<int> viewRoles{Qt::DisplayRole,    Qt::ToolTipRole,  Qt::FontRole,
                               Qt::TextAlignmentRole, Qt::BackgroundRole, Qt::ForegroundRole};
    QList<Track> rows;
    for (int i = 0; i < kRows; ++i)
        rows << benchTrack(i);
    // A model as a restored or loaded list leaves it: rows in, nothing read.
    const auto freshModel = [&rows] {
        auto model = std::make_unique<PlaylistModel>();
        model->setShowHourMarkers(true);
        model->insertTracks(0, rows);
        model->setCurrentRow(5000);
        return model;
    };
    const auto timed = [](const std::function<void()>& read) {
        QElapsedTimer t;
        t.start();
        read();
        return msSince(t);
    };
    QList<double> screenModel, screenReference, allModel, allReference, allWarm;
    for (int round = 0; round < kRounds; ++round) {
        QStandardItemModel reference;
        copyInto(*freshModel(), reference, viewRoles);
        const auto firstScreen = freshModel();
        screenModel << timed([&] { readCells(*firstScreen, 0, kScreenRows, viewRoles); });
        screenReference << timed([&] { readCells(reference, 0, kScreenRows, viewRoles); });
        const auto whole = freshModel();
        allModel << timed([&] { readCells(*whole, 0, kRows, viewRoles); });
        allReference << timed([&] { readCells(reference, 0, kRows, viewRoles); });
        allWarm << timed([&] { readCells(*whole, 0, kRows, viewRoles); });
    }
    const auto row = [](const char* what, const QList<double>& ms, const QList<double>& reference) {
        const Spread s = spreadOf(ms);
        QString extra;
        if (!reference.isEmpty()) {
            QList<double> ratios;
            for (qsizetype i = 0; i < ms.size(); ++i)
                ratios << ms.at(i) / reference.at(i);
            const Spread r = spreadOf(ratios);
            extra = QStringLiteral("  %1x (%2-%3) the reference").arg(r.median, 0, 'f', 2).arg(r.low, 0, 'f', 2).arg(r.high, 0, 'f', 2);
        }
        report(what, s.median,
               QStringLiteral("(%1-%2)%3").arg(s.low, 0, 'f', 2).arg(s.high, 0, 'f', 2).arg(extra));
    };
    row("first screen of 40 rows: QStandardItemModel", screenReference, {});
    row("first screen of 40 rows: PlaylistModel", screenModel, screenReference);
    row("first read of every cell: QStandardItemModel", allReference, {});
    row("first read of every cell: PlaylistModel", allModel, allReference);
    row("second read of every cell: PlaylistModel", allWarm, allReference);

    // A day on air: the first half played, each row with a listener peak,
    // some rows queued and with overrides; that state follows each edit.
    QList<double> recompute, removal, above, move, shuffled, below;
    bool kept = true;
    for (int round = 0; round < kRounds; ++round) {
        const auto model = freshModel();
        recompute << timed([&] { model->recomputeStartTimes(); });
        for (int r = 0; r < kRows / 2; ++r) {
            model->markPlayed(r);
            model->recordListeners(r, 1 + r % 30);
        }
        for (int r = 6000; r < 6020; ++r) {
            model->addToQueue(r);
            model->setSegueOverrides(r, {{1000, -1}});
        }
        removal << timed([&] {
            for (int i = 0; i < 100; ++i)
                model->removeRow(100);
        }) / 100;
        above << timed([&] { model->clearAbove(2000); });
        move << timed([&] { model->moveRowsTo({10, 20, 30, 4000, 9000}, 7000); });
        shuffled << timed([&] { model->shuffle(); });
        below << timed([&] { model->clearBelow(model->rowCount() - 101); });
        kept = kept && model->tracks().at(model->currentRow()).title == benchTrack(5000).title;
    }
    row("recomputeStartTimes", recompute, {});
    row("removeRow, 5 000 played rows (mean of 100)", removal, {});
    row("clearAbove of 2 000 rows, 4 900 played", above, {});
    row("moveRowsTo of 5 rows", move, {});
    row("shuffle", shuffled, {});
    row("clearBelow of the last 100 rows", below, {});

    std::printf("current row still names its track: %s\n", kept ? "yes" : "NO");
    return 0;
}
