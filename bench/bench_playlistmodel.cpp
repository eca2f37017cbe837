// A 10 000-row playlist on a real library.db: how long building it,
// recomputing start times and reading the cells a view asks for take, beside
// a QStandardItemModel that holds the same values.
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

namespace {

constexpr int kRows = 10000;
constexpr int kRecomputeRuns = 20;
constexpr int kScreenRows = 40;

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

    PlaylistModel model;
    {
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < kRows; ++i)
            model.addTrack(benchTrack(i));
        report("build 10 000 rows with addTrack", msSince(t), QStringLiteral("%1 rows").arg(model.rowCount()));
    }
    model.setShowHourMarkers(true);
    model.setCurrentRow(5000);

    {
        QElapsedTimer t;
        t.start();
        for (int run = 0; run < kRecomputeRuns; ++run)
            model.recomputeStartTimes();
        report("recomputeStartTimes (mean of 20)", msSince(t) / kRecomputeRuns);
    }

    {
        QElapsedTimer t;
        t.start();
        const int valid = readCells(model, 0, kRows, {Qt::DisplayRole, Qt::ToolTipRole});
        report("display and tool tip of every cell", msSince(t), QStringLiteral("%1 values").arg(valid));
    }

    const QList<int> viewRoles{Qt::DisplayRole,    Qt::ToolTipRole,  Qt::FontRole,
                               Qt::TextAlignmentRole, Qt::BackgroundRole, Qt::ForegroundRole};
    QStandardItemModel reference;
    copyInto(model, reference, viewRoles);
    for (const QAbstractItemModel* m : {static_cast<const QAbstractItemModel*>(&model),
                                        static_cast<const QAbstractItemModel*>(&reference)}) {
        const QString who = m == &model ? QStringLiteral("PlaylistModel") : QStringLiteral("QStandardItemModel");
        {
            QElapsedTimer t;
            t.start();
            const int valid = readCells(*m, 0, kRows, viewRoles);
            report("all painted roles of every cell", msSince(t), QStringLiteral("%1 values, %2").arg(valid).arg(who));
        }
        {
            QElapsedTimer t;
            t.start();
            int screens = 0;
            for (int first = 0; first + kScreenRows <= kRows; first += kScreenRows * 10, ++screens)
                readCells(*m, first, kScreenRows, viewRoles);
            report("one screen of 40 rows, all painted roles", msSince(t) / screens,
                   QStringLiteral("mean of %1 screens, %2").arg(screens).arg(who));
        }
    }

    // A day on air: the first half played, each row with a listener peak,
    // some rows queued and with overrides; that state follows each removal.
    {
        for (int r = 0; r < kRows / 2; ++r) {
            model.markPlayed(r);
            model.recordListeners(r, 1 + r % 30);
        }
        for (int r = 6000; r < 6020; ++r) {
            model.addToQueue(r);
            model.setSegueOverrides(r, {{1000, -1}});
        }
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < 100; ++i)
            model.removeRow(100);
        report("removeRow, 5 000 played rows (mean of 100)", msSince(t) / 100);
        t.restart();
        model.clearAbove(2000);
        report("clearAbove of 2 000 rows, 4 900 played", msSince(t));
    }

    {
        QElapsedTimer t;
        t.start();
        model.moveRowsTo({10, 20, 30, 4000, 9000}, 7000);
        report("moveRowsTo of 5 rows", msSince(t));
        t.restart();
        model.shuffle();
        report("shuffle", msSince(t));
        t.restart();
        model.clearBelow(model.rowCount() - 101);
        report("clearBelow of the last 100 rows", msSince(t));
    }

    std::printf("current row still names its track: %s\n",
                model.tracks().at(model.currentRow()).title == benchTrack(5000).title ? "yes" : "NO");
    return 0;
}
