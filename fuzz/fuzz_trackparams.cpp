// The per-file parameters as stored JSON text, and everything that reads the
// values that came from it.
#include "fuzzsupport.h"
#include "library/trackparams.h"

#include <QJsonDocument>

QList<QByteArray> olFuzzSeeds()
{
    TrackParams p;
    p.start = 1200;
    p.end = 181000;
    p.intro = 9000;
    p.hookIn = 60000;
    p.hookOut = 75000;
    p.fadeIn = 300;
    p.mix = 4000;
    p.mixStart = 170000;
    p.level = 0.8;
    p.rating = 7;
    p.tags = QStringList{QStringLiteral("up"), QStringLiteral("80s")};
    p.startDate = QDate(2026, 1, 1);
    p.endDate = QDate(2026, 12, 31);
    p.setDaypart(0, 7, true);
    p.voiceover.ins = 5000;
    p.voiceover.source = QStringLiteral("/vo");
    return {QJsonDocument(p.toJson()).toJson(QJsonDocument::Compact),
            QJsonDocument(TrackParams().toJson()).toJson(QJsonDocument::Compact),
            "{\"start\":1e300,\"end\":-1e300,\"daypart\":[1e300,-1,\"x\",4294967296],\"level\":\"nan\"}"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    olFuzzInit();
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size)));
    const TrackParams p = TrackParams::fromJson(doc.object());
    (void)p.isDefault();
    (void)p.hasDaypart();
    for (int day = 0; day < 7; ++day)
        for (int hour = 0; hour < 24; ++hour)
            (void)p.daypartAllows(day, hour);
    (void)p.isAvailableAt(QDateTime(QDate(2026, 6, 1), QTime(8, 30)));
    (void)p.effectiveDuration(180000);
    (void)p.effectiveDuration(0);
    (void)p.voiceover.isSet();
    const MixConfig global;
    TrackParams::SegueOverride segue;
    segue.mixPointMs = p.mix;
    segue.fadeOutMs = p.fadeOut;
    (void)TrackParams::resolveMix(global, global, true, p, segue, true, p.mixStart);
    (void)TrackParams::fromJson(p.toJson());
    return 0;
}
