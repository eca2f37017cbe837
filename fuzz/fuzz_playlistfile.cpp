// Playlist files as anyone may write them, M3U and PLS. Every entry is one
// trimmed line (a lone CR ends no line: it may be part of a name); an M3U
// entry is no comment, and an M3U written from the entries reads back the
// same. A PLS value may start with '#'.
#include "fuzzsupport.h"
#include "library/playlistfile.h"

#include <QTextStream>

#include <cstdlib>

QList<QByteArray> olFuzzSeeds()
{
    return {"\x00#EXTM3U\n#EXTINF:183,Artist - Title\n/music/a.mp3\r\n\n  rel/b.flac  \nhttp://h:8000/live\n",
            "\x01[playlist]\nFile1=/music/a.mp3\nTitle1=A\nfile2 = b.ogg\nFile=none\nNumberOfEntries=2\n",
            "\x00\xef\xbb\xbf/m\xc3\xa4\xff.mp3\r\r\n\x00x"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const bool pls = in.byte() & 1;
    QByteArray bytes = in.rest();
    QTextStream text(&bytes);
    text.setEncoding(QStringConverter::Utf8);
    const QStringList entries = PlaylistFile::entries(text, pls);
    QString written = QStringLiteral("#EXTM3U\n");
    for (const QString& e : entries) {
        if (e.isEmpty() || e != e.trimmed() || (!pls && e.startsWith(QLatin1Char('#'))) || e.contains(QLatin1Char('\n')))
            std::abort();
        written += e + QLatin1Char('\n');
    }
    QTextStream back(&written);
    if (!pls && PlaylistFile::entries(back, false) != entries)
        std::abort();
    return 0;
}
