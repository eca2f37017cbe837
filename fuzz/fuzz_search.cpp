// Search text as an operator types it (or a remote client sends it), free
// and field by field, against a small real library.
#include "fuzzsupport.h"
#include "library/musiclibrary.h"

QList<QByteArray> olFuzzSeeds()
{
    return {"beat", "\"the\" OR -x*", "a", "NEAR(x y) col:title", "' OR 1=1; --", "\xc3\xa9t\xc3\xa9 \xe2\x80\x94",
            "*", "^\"\"", QByteArray("x\0y", 3)};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static MusicLibrary* library = nullptr;
    if (!library) {
        olFuzzInit();
        MusicLibrary::initDatabase();
        MusicLibrary::createLibrary(QStringLiteral("Fuzz"));
        library = new MusicLibrary;
        library->load(QStringLiteral("Fuzz"));
        const QStringList words{QStringLiteral("Beat"), QStringLiteral("The Night"), QStringLiteral("Été — hiver"),
                                QStringLiteral("O'Brien"), QStringLiteral("\"Quoted\"")};
        for (int i = 0; i < words.size(); ++i) {
            Track t;
            t.artist = words[i];
            t.title = words[(i + 1) % words.size()];
            t.album = words[(i + 2) % words.size()];
            t.filePath = QStringLiteral("/music/%1.mp3").arg(i);
            t.durationMs = 60000 * (i + 1);
            t.year = 1990 + i;
            library->addTrack(t);
        }
    }
    FuzzInput in(data, size);
    const QString text = in.text();
    (void)library->search(text);
    (void)MusicLibrary::ftsTerms(text);
    (void)MusicLibrary::ftsTerms(text, QStringLiteral("title"));
    MusicLibrary::Query q;
    q.any = in.text();
    q.artist = in.text();
    q.title = in.text();
    q.album = in.text();
    q.genre = in.text();
    q.comment = in.text();
    q.filename = in.text();
    q.year = in.text();
    q.duration = in.text();
    (void)library->search(q);
    (void)library->searchMemory(text);
    return 0;
}
