// Playlist generation through the dialog: 24 hours from libraries of 5 000
// and 50 000 tracks, and rules that admit no track. The run is synchronous
// on the GUI thread, so its time is the stall the playout sees.
#include "dialogs/library/playlistgeneratordialog.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"
#include "promptscript.h"
#include "testhome.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRandomGenerator64>
#include <QSpinBox>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kRuns = 3;

void fill(const QString& name, int count, QRandomGenerator& rng)
{
    static const QStringList genres{"Rock", "Pop", "Jazz", "Dance", "Folk", "Soul"};
    static const QStringList tags{"Ballad", "New", "Jingle", "Old", "Upbeat"};
    MusicLibrary library;
    library.load(name);
    QSqlDatabase db = MusicLibrary::database();
    db.transaction();
    for (int i = 0; i < count; ++i) {
        Track t;
        t.artist = QStringLiteral("Artist %1").arg(rng.bounded(count / 6));
        t.title = QStringLiteral("Title %1").arg(rng.bounded(count));
        t.album = QStringLiteral("Album %1").arg(rng.bounded(count / 10));
        t.genre = genres[rng.bounded(int(genres.size()))];
        t.year = 1960 + rng.bounded(65);
        t.durationMs = 150000 + rng.bounded(180000);
        t.filePath = QStringLiteral("/music/%1/%2.mp3").arg(name).arg(i);
        library.addTrack(t);
        if (i % 3 == 0) {
            TrackParams p;
            p.rating = rng.bounded(11);
            p.tags = QStringList{tags[rng.bounded(int(tags.size()))]};
            TrackParams::save(t.filePath, p);
        }
    }
    db.commit();
}

struct Result
{
    double medianMs;
    double worstMs;
    qsizetype picks;
};

Result measure(const QString& library, int hours, const QString& genres)
{
    QList<double> ms;
    qsizetype picks = 0;
    for (int run = 0; run < kRuns; ++run) {
        QRandomGenerator64 random(run + 1);
        PlaylistGeneratorDialog d(nullptr, &random);
        auto* rotation = d.findChild<QListWidget*>(QStringLiteral("rotationList"));
        rotation->clear();
        rotation->addItems({library, library});
        d.findChild<QSpinBox*>(QStringLiteral("hoursSpin"))->setValue(hours);
        d.findChild<QLineEdit*>(QStringLiteral("excludeTags"))->setText(QStringLiteral("Old"));
        d.findChild<QLineEdit*>(QStringLiteral("genres"))->setText(genres);
        d.findChild<QPlainTextEdit*>(QStringLiteral("cannotFollow"))->setPlainText(QStringLiteral("Ballad after Ballad"));
        QObject::connect(&d, &PlaylistGeneratorDialog::playlistGenerated,
                         [&](const QList<Track>& tracks) { picks = tracks.size(); });
        QElapsedTimer timer;
        timer.start();
        d.generate();
        ms << timer.nsecsElapsed() / 1e6;
    }
    std::sort(ms.begin(), ms.end());
    return {ms[kRuns / 2], ms.last(), picks};
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    if (!MusicLibrary::initDatabase()) {
        std::fprintf(stderr, "no library database\n");
        return 1;
    }
    PromptScript prompts; // "Nothing was generated." needs no person

    QRandomGenerator rng(11);
    fill(QStringLiteral("Five"), 5000, rng);
    fill(QStringLiteral("Fifty"), 50000, rng);

    struct Case
    {
        const char* label;
        const char* library;
        const char* genres;
    };
    const Case cases[] = {
        {"24 h from 5 000 tracks", "Five", ""},
        {"24 h from 50 000 tracks", "Fifty", ""},
        {"nothing admitted, 5 000 tracks", "Five", "NoSuchGenre"},
        {"nothing admitted, 50 000 tracks", "Fifty", "NoSuchGenre"},
    };
    double stall = 0;
    for (const Case& c : cases) {
        const Result r = measure(QString::fromLatin1(c.library), 24, QString::fromLatin1(c.genres));
        stall = std::max(stall, r.worstMs);
        std::printf("%-34s median %8.1f ms  worst %8.1f ms  %lld tracks\n", c.label, r.medianMs, r.worstMs,
                    static_cast<long long>(r.picks));
    }
    std::printf("longest GUI stall %.1f ms\n", stall);
    return 0;
}
