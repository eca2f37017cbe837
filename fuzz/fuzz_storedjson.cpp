// JSON the settings hold and a person may have edited: the carts of a wall
// and the auto-intro rules. What is read, written and read again stays the
// same.
#include "automation/autointrorule.h"
#include "fuzzsupport.h"
#include "mainwindow/cart.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdlib>

namespace {

bool sameRule(const AutoIntroRule& a, const AutoIntroRule& b)
{
    return a.name == b.name && a.enabled == b.enabled && a.sources == b.sources && a.probability == b.probability
        && a.condField == b.condField && a.condValue == b.condValue && a.skipAfterTypes == b.skipAfterTypes
        && a.skipFileTypes == b.skipFileTypes && a.mustTags == b.mustTags && a.tagsMatchAll == b.tagsMatchAll
        && a.position == b.position && a.posValue == b.posValue && a.positionSecs == b.positionSecs
        && a.cooldownSecs == b.cooldownSecs && a.lastUsed == b.lastUsed;
}

} // namespace

QList<QByteArray> olFuzzSeeds()
{
    return {"[{\"slot\":0,\"title\":\"Bed\",\"path\":\"/j/bed.mp3\",\"dur\":183000,\"color\":\"#123456\"},"
            "{\"slot\":-1},{\"slot\":3,\"dur\":1e300,\"color\":\"nonsense\"}]",
            "[{\"name\":\"Morning\",\"sources\":[\"/j\",7],\"probability\":50,\"condField\":\"year\","
            "\"condValue\":\"1980-1989\",\"mustTags\":[\"up\"],\"tagsMatchAll\":true,\"posValue\":1,"
            "\"positionSecs\":1e308,\"cooldownSecs\":600,\"lastUsed\":\"2026-03-01T08:00:00\"}]",
            "[{\"condField\":\"duration\",\"condValue\":\"-5--1\",\"cooldownSecs\":2147483647,"
            "\"lastUsed\":\"-9999-01-01T00:00:00\"}]"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    olFuzzInit();
    const QJsonArray stored =
        QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size))).array();
    Track track;
    track.title = QStringLiteral("Song");
    track.year = 1985;
    track.durationMs = 200000;
    const QDateTime now(QDate(2026, 6, 1), QTime(8, 30));
    for (const QJsonValue& v : stored) {
        const QJsonObject o = v.toObject();

        Cart cart;
        cart.colour = Qt::gray;
        cart.restore(o);
        (void)cart.titleLine();
        (void)cart.timeLine();
        Cart again;
        again.restore(cart.toJson(0));
        if (again.title != cart.title || again.path != cart.path || again.durationMs != cart.durationMs
            || again.colourName() != cart.colourName() || cart.durationMs < 0)
            std::abort();

        const AutoIntroRule rule = AutoIntroRule::fromJson(o);
        (void)rule.matchesCondition(track);
        (void)rule.cooldownElapsed(now);
        (void)rule.resolvedPositionSecs(9000, 300);
        if (!sameRule(rule, AutoIntroRule::fromJson(rule.toJson())))
            std::abort();
    }
    return 0;
}
