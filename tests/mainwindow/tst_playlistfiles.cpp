// Playlist files, the printout and the render, each of the viewed playlist
// while another one is on air, read back by other programs.
#include "audiofixtures.h"
#include "engine/audiorender.h"
#include "engine/playlistmodel.h"
#include "findwidget.h"
#include "olmain.h"
#include "windowfixture.h"

#include <QComboBox>
#include <QDir>
#include <QJsonDocument>
#include <QLabel>
#include <QPrinter>
#include <QSpinBox>
#include <QTabBar>
#include <QTableView>
#include <QTextDocument>

#include <cmath>
#include <sys/stat.h>

namespace {

QString runPython(const QString& script, const QString& path)
{
    QByteArray out;
    AudioFixtures::run(QStringLiteral("python3"), {QStringLiteral("-c"), script, path}, &out);
    return QString::fromUtf8(out);
}

// The strength of one frequency in a stretch of a channel (Goertzel).
double strength(const QList<float>& samples, int rate, int channels, double fromSec, double hz)
{
    const qint64 first = qint64(fromSec * rate), n = rate / 10;
    const double w = 2 * M_PI * hz / rate;
    double s1 = 0, s2 = 0;
    for (qint64 i = 0; i < n && (first + i) * channels < samples.size(); ++i) {
        const double s0 = samples[(first + i) * channels] + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return std::sqrt(s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2) * 2 / n;
}

Track stopRow()
{
    Track t;
    t.marker = true;
    t.label = QStringLiteral("stop");
    return t;
}

} // namespace

class TestPlaylistFiles : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowFixture> f;
    PlaylistModel* viewed = nullptr;
    QString dir;

    // Playlist 1 goes on air with one row; Playlist 2 is viewed, empty.
    void openTwo(const QVariantMap& settings = {})
    {
        f = std::make_unique<WindowFixture>(settings);
        f->addPaths({QStringLiteral("/air/Not - Me.mp3")});
        f->find<QTabBar>(QStringLiteral("playlistTabs"))->setCurrentIndex(1);
        viewed = qobject_cast<PlaylistModel*>(f->find<QTableView>(QStringLiteral("playlist"))->model());
        dir = testHome().scratch(QStringLiteral("lists"));
    }

private slots:
    void cleanup() { f.reset(); }

    void savedFilesReadBackLineByLine()
    {
        openTwo();
        PromptScript prompts;
        f->menuAction(QStringLiteral("&File"), QStringLiteral("Save playlist..."))->trigger();
        QCOMPARE(prompts.messages(), QStringList{"The playlist is empty - nothing to save."});

        const QString longTitle = QString(600, QChar(u'é'));
        f->addPaths({QStringLiteral("music/Ünïcode - Çafé.mp3"), QStringLiteral("/abs/") + longTitle + ".flac",
                        QStringLiteral("http://radio.invalid/live")});
        Track tagged;
        tagged.artist = QStringLiteral("Line\r\nBreak");
        tagged.title = QStringLiteral("Two\nLines");
        tagged.filePath = QStringLiteral("/abs/tagged.mp3");
        tagged.durationMs = 59999;
        viewed->addTrack(tagged);
        viewed->tracks()[2].streamLimitMs = 90000;
        viewed->insertTrack(1, stopRow());

        prompts.answerFile(dir + QStringLiteral("/show.txt"));
        f->menuAction(QStringLiteral("&File"), QStringLiteral("Save playlist as..."))->trigger();
        QCOMPARE(f->log().first(), QStringLiteral("Saved playlist show.txt.m3u (4 tracks)"));
        const QString saved = dir + QStringLiteral("/show.txt.m3u");
        const QString lines = runPython(QStringLiteral("import sys,json\n"
                                                       "lines = [l.rstrip('\\n') for l in open(sys.argv[1], encoding='utf-8')]\n"
                                                       "sys.stdout.buffer.write(json.dumps(lines, ensure_ascii=False).encode())"),
                                        saved);
        QCOMPARE(QJsonDocument::fromJson(lines.toUtf8()).toVariant().toStringList(),
                 (QStringList{"#EXTM3U", "#EXTINF:0,Ünïcode - Çafé", "music/Ünïcode - Çafé.mp3",
                              "#EXTOL-MARKER:stop", "#EXTINF:0," + longTitle, "/abs/" + longTitle + ".flac",
                              "#EXTINF:0,Online stream - http://radio.invalid/live", "#EXTOL-LIMIT:90000",
                              "http://radio.invalid/live", "#EXTINF:59,Line Break - Two Lines", "/abs/tagged.mp3"}));

        // A failed write keeps the remembered file, which Save then writes without asking.
        prompts.answerFile(dir + QStringLiteral("/missing/x.m3u"));
        f->menuAction(QStringLiteral("&File"), QStringLiteral("Save playlist as..."))->trigger();
        QCOMPARE(f->log().first(), QStringLiteral("Could not write playlist: ") + dir + QStringLiteral("/missing/x.m3u"));
        viewed->removeRow(0);
        f->menuAction(QStringLiteral("&File"), QStringLiteral("Save playlist..."))->trigger();
        QCOMPARE(f->log().first(), QStringLiteral("Saved playlist show.txt.m3u (3 tracks)"));
        QCOMPARE(prompts.count(Prompts::Kind::SaveFile), 2);

        // It loads back with the same rows, the command row and the stream's limit
        // included, the removed row excepted.
        const QList<Track> before = viewed->tracks();
        QCOMPARE(before.size(), 4);
        QVERIFY((*f)->loadPlaylistFile(saved));
        QVERIFY(f->waitForLog(QStringLiteral("Loaded playlist show.txt.m3u (3 tracks)")));
        QCOMPARE(viewed->rowCount(), 4);
        for (int i = 0; i < 4; ++i) {
            const Track& t = viewed->tracks().at(i);
            QCOMPARE(t.filePath + t.label + QString::number(t.marker) + QString::number(t.streamLimitMs),
                     before.at(i).filePath + before.at(i).label + QString::number(before.at(i).marker)
                         + QString::number(before.at(i).streamLimitMs));
        }
    }

    void handWrittenFilesLoadAsTheyStand()
    {
        openTwo();
        auto write = [this](const QString& name, const QByteArray& bytes) {
            QFile file(dir + '/' + name);
            file.open(QIODevice::WriteOnly);
            file.write(bytes);
            return file.fileName();
        };
        const QString m3u = write(QStringLiteral("morning.m3u"),
                                  "\xEF\xBB\xBFmusic/a.mp3\r\n\r\n# a comment\r\n\t #EXTINF:12,x\r\n"
                                  "  /gone/missing.mp3  \r\nRTSP://cam.invalid/feed\r\n../up.mp3\r\n");
        QVERIFY((*f)->loadPlaylistFile(m3u));
        QVERIFY(f->waitForLog(QStringLiteral("Loaded playlist morning.m3u (4 tracks)")));
        QStringList paths;
        for (const Track& t : viewed->tracks())
            paths << t.filePath + (t.isStream ? "|stream" : "");
        QCOMPARE(paths, (QStringList{dir + "/music/a.mp3", "/gone/missing.mp3", "RTSP://cam.invalid/feed|stream",
                                     dir + "/../up.mp3"}));

        const QString pls = write(QStringLiteral("old.pls"), "[playlist]\nFile1=b.mp3\nTitle1=B\nNumberOfEntries=1\n");
        QVERIFY((*f)->loadPlaylistFile(pls));
        QTRY_COMPARE(viewed->tracks().first().filePath, dir + QStringLiteral("/b.mp3"));

        // Nothing to load leaves the playlist as it is.
        QVERIFY((*f)->loadPlaylistFile(write(QStringLiteral("empty.m3u"), "#EXTM3U\n#EXTINF:1,x\n\n")));
        QVERIFY(f->waitForLog(QStringLiteral("Playlist is empty: ") + dir + QStringLiteral("/empty.m3u")));
        QVERIFY((*f)->loadPlaylistFile(dir + QStringLiteral("/nope.m3u")));
        QVERIFY(f->waitForLog(QStringLiteral("Could not open playlist: %1/nope.m3u (does not exist)").arg(dir)));
        QCOMPARE(viewed->rowCount(), 1);
    }

    // Opened from the File menu: a folder entry (two rows) and a FIFO entry
    // (none, and never opened) between command rows; each command row and
    // stream limit stays beside the entry it was written with, and a file
    // shows its tags.
    void rowsStayBesideTheirEntries()
    {
        openTwo();
        const QString tagged = dir + QStringLiteral("/wake.mp3");
        QVERIFY(AudioFixtures::tone(tagged, 440, -12, 1, 44100, 2,
                                    {{QStringLiteral("artist"), QStringLiteral("Morning Crew")},
                                     {QStringLiteral("title"), QStringLiteral("Wake Up")}}));
        const QString block = testHome().scratch(QStringLiteral("block"));
        for (const QString& name : {QStringLiteral("a.wav"), QStringLiteral("b.wav")})
            QVERIFY(QFile::rename(WindowFixture::toneFile(name, 1), block + '/' + name));
        QCOMPARE(::mkfifo(QFile::encodeName(dir + QStringLiteral("/pipe.mp3")).constData(), 0600), 0);
        QFile list(dir + QStringLiteral("/block.m3u"));
        QVERIFY(list.open(QIODevice::WriteOnly));
        list.write("#EXTM3U\nwake.mp3\n#EXTOL-MARKER:pause\n" + block.toUtf8()
                   + "\n#EXTOL-MARKER:stop\npipe.mp3\n#EXTOL-LIMIT:60000\nhttp://radio.invalid/live\n#EXTOL-MARKER:stop\n");
        list.close();

        PromptScript prompts;
        prompts.answerFile(list.fileName());
        f->menuAction(QStringLiteral("&File"), QStringLiteral("Open playlist..."))->trigger();
        QVERIFY(f->waitForLog(QStringLiteral("Loaded playlist block.m3u (4 tracks)")));
        QStringList rows;
        for (const Track& t : viewed->tracks())
            rows << (t.marker ? t.label : t.displayName()) + (t.streamLimitMs ? QStringLiteral(" %1").arg(t.streamLimitMs) : QString());
        QCOMPARE(rows, (QStringList{"Morning Crew - Wake Up", "pause", "a", "b", "stop",
                                    "Online stream - http://radio.invalid/live 60000", "stop"}));
        QVERIFY(f->log().contains(QStringLiteral("Not added: %1/pipe.mp3 is not a regular file").arg(dir)));
    }

    void printoutOfTheViewedPlaylist()
    {
        openTwo();
        Track hour;
        hour.title = QStringLiteral("Rock & Roll");
        hour.filePath = QStringLiteral("/m/rr.mp3");
        hour.durationMs = 3725000;
        Track live;
        live.isStream = true;
        live.title = QStringLiteral("Live feed");
        live.durationMs = 5000;
        for (const Track& t : {hour, live, stopRow()})
            viewed->addTrack(t);
        viewed->tracks()[2].startTime = QTime();

        QTextDocument document;
        document.setHtml((*f)->playlistHtml());
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(dir + QStringLiteral("/print.pdf"));
        document.print(&printer);
        QByteArray text;
        QVERIFY(AudioFixtures::run(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), printer.outputFileName(), "-"}, &text));
        QStringList lines;
        for (const QString& line : QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts))
            lines << line.simplified();
        const QString start = viewed->tracks().first().startTime.toString(QStringLiteral("HH:mm:ss"));
        QCOMPARE(lines.mid(0, 1), QStringList{"Playlist 2"});
        QVERIFY2(lines.value(1).startsWith(QStringLiteral("Orchidlantern — ") + QLocale(QLocale::English).dayName(QDate::currentDate().dayOfWeek())),
                 qPrintable(lines.value(1)));
        // The page number follows.
        QCOMPARE(lines.mid(2, 5), (QStringList{"# Start Track Duration", "1 " + start + " Rock & Roll 62:05",
                                            "2 " + viewed->tracks().at(1).startTime.toString("HH:mm:ss") + " Live feed LIVE",
                                            "3 - >> STOP << --:--", "3 tracks, total 62:10"}));
        QVERIFY((*f)->playlistHtml().contains(QStringLiteral("<tr style='background:#f7f7f7;'><td align='right'>2</td>")));
    }

    void renderMixesTheViewedPlaylist()
    {
        openTwo({{QStringLiteral("playback/crossfadeEnabled"), true}, {QStringLiteral("playback/mixPointMs"), 1000}});
        QVERIFY(!(*f)->renderPlaylistTo(dir + QStringLiteral("/none.wav")));
        QCOMPARE(f->log().first(), QStringLiteral("renderplaylist: the playlist is empty"));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/none.wav")));

        f->addPaths({WindowFixture::toneFile(QStringLiteral("low.wav"), 2, 440),
                        WindowFixture::toneFile(QStringLiteral("high.wav"), 2, 1500)});
        const QString plain = dir + QStringLiteral("/plain.mp3");
        QVERIFY((*f)->renderPlaylistTo(plain));
        QVERIFY(f->waitForLog(QStringLiteral("renderplaylist: wrote ") + plain, 60000));
        QVERIFY(std::abs(AudioFixtures::probe(plain, QStringLiteral("format=duration")).toDouble() - 4.0) < 0.1);
        QVERIFY(std::abs(AudioFixtures::probe(plain, QStringLiteral("stream=bit_rate")).toInt() - 192000) < 8000);

        PromptScript prompts;
        QStringList seen;
        prompts.answerDialog([&](QDialog& d) {
            auto* bitrate = d.findChild<QComboBox*>(QStringLiteral("bitrate"));
            seen << d.findChild<QSpinBox*>(QStringLiteral("crossfade"))->text();
            bitrate->setCurrentText(QStringLiteral("128"));
            prompts.answerFile(dir + QStringLiteral("/mix.MP3"));
            clickButton(d, QStringLiteral("Render..."));
            seen << d.findChild<QLabel*>(QStringLiteral("status"))->text();
            d.findChild<QComboBox*>(QStringLiteral("format"))->setCurrentIndex(1);
            seen << (bitrate->isEnabled() ? "bitrate on" : "bitrate off");
            return int(QDialog::Rejected);
        });
        f->menuAction(QStringLiteral("&Tools"), QStringLiteral("Render playlist..."))->trigger();
        QCOMPARE(seen, (QStringList{"1000 ms", "Finished.", "bitrate off"}));
        QCOMPARE(prompts.messages(), QStringList{"Done: mix.MP3"});
        const QString mix = dir + QStringLiteral("/mix.MP3");
        QVERIFY(std::abs(AudioFixtures::probe(mix, QStringLiteral("format=duration")).toDouble() - 3.0) < 0.1);
        QCOMPARE(AudioFixtures::probe(mix, QStringLiteral("stream=sample_rate")), QStringLiteral("44100"));
        QCOMPARE(AudioFixtures::probe(mix, QStringLiteral("stream=channels")), QStringLiteral("2"));
        QVERIFY(std::abs(AudioFixtures::probe(mix, QStringLiteral("stream=bit_rate")).toInt() - 128000) < 8000);

        // The low tone alone, then both across the overlap, then the high one alone.
        QList<float> samples;
        int rate = 0, channels = 0;
        AudioRender decoder;
        QVERIFY(decoder.decodeToFloat(mix, samples, rate, channels, 30000));
        auto heard = [&](double at) {
            return QStringLiteral("%1/%2").arg(strength(samples, rate, channels, at, 440) > 0.1)
                .arg(strength(samples, rate, channels, at, 1500) > 0.1);
        };
        QCOMPARE(heard(0.5) + ' ' + heard(1.45) + ' ' + heard(2.5), QStringLiteral("1/0 1/1 0/1"));
    }
};

OL_TEST_MAIN(TestPlaylistFiles)
#include "tst_playlistfiles.moc"
