// The now-playing line for any format text, tags and length settings.
#include "fuzzsupport.h"
#include "outputs/nowplayingfile.h"

QList<QByteArray> olFuzzSeeds()
{
    const QByteArray nul(1, '\0');
    return {QByteArray("\x40\x01", 2) + "%artist% - %title% (%year%) %duration%" + nul + "Ab" + nul + "Cd" + nul
                + nul + "/m/x.mp3",
            QByteArray("\x05\x03", 2) + "%title%%title%%time% %date% %album%%genre%%comment%%filename%" + nul
                + "\xf0\x9f\x8e\xb5\xf0\x9f\x8e\xb5" + nul + "T" + nul + "Stream - Now",
            QByteArray("\x00\x00", 2) + "%" + nul + "-" + nul + " - " + nul + " - "};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    NowPlayingFile::Config config;
    config.maxLength = int(in.byte()) - 16;
    const quint8 flags = in.byte();
    config.padForRds = flags & 1;
    config.format = in.text();
    Track t;
    t.artist = in.text();
    t.title = in.text();
    const QString overrideText = in.text();
    t.filePath = in.text();
    t.album = in.text();
    t.genre = in.text();
    t.comment = in.text();
    t.year = int(in.number(4000)) - 100;
    t.durationMs = (flags & 2) ? -1 : qint64(in.number(0x7fffffff)) * 1000;
    t.isStream = flags & 4;
    (void)NowPlayingFile::render(config, t, overrideText);
    return 0;
}
