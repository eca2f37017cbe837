// The answers of the weather and update services, which lie outside the
// station: the geocoding results, the forecast and the release record.
#include "fuzzsupport.h"
#include "outputs/updatechecker.h"
#include "outputs/weatherservice.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdlib>

QList<QByteArray> olFuzzSeeds()
{
    return {"\x00Springfield, IL, US\x00{\"results\":[{\"name\":\"Springfield\",\"admin1\":\"Missouri\","
            "\"country_code\":\"US\"},{\"name\":\"Springfield\",\"admin1\":\"Illinois\",\"admin1_code\":\"IL\","
            "\"country_code\":\"US\",\"latitude\":39.8,\"longitude\":-89.6}]}",
            "\x01{\"current\":{\"temperature_2m\":-3.6,\"weather_code\":71,\"wind_speed_10m\":1e300},"
            "\"daily\":{\"precipitation_sum\":[2.345]}}",
            "\x02{\"latest_version\":\"1.10.0\",\"critical\":true,\"notes\":\"x\"}\x00" "1.9.99999999999.0",
            "\x03{\"current\":{\"weather_code\":1e300,\"temperature_2m\":\"nan\"}}"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const quint8 kind = in.byte();
    switch (kind % 3) {
    case 0: {
        const QString city = in.text();
        const QJsonArray results = QJsonDocument::fromJson(in.rest()).object().value(QStringLiteral("results")).toArray();
        const QJsonObject best = WeatherService::chooseCity(results, city);
        // The choice is one of the results, and there is one whenever any came.
        if (results.isEmpty() ? !best.isEmpty() : !results.contains(best))
            std::abort();
        break;
    }
    case 1: {
        const QJsonObject answer = QJsonDocument::fromJson(in.rest()).object();
        const QString wind = kind & 4 ? QStringLiteral("mph") : QStringLiteral("kmh");
        const QString precip = kind & 8 ? QStringLiteral("inch") : QStringLiteral("mm");
        const auto lines = WeatherService::parseForecast(answer, wind, precip);
        if (lines.has_value() == answer.value(QStringLiteral("current")).toObject().isEmpty())
            std::abort();
        break;
    }
    default: {
        const QByteArray json = in.text().toUtf8();
        const QString running = in.text();
        const UpdateInfo info = UpdateChecker::infoFrom(QJsonDocument::fromJson(json).object());
        const int a = UpdateChecker::compareVersions(info.latestVersion, running);
        if (a != -UpdateChecker::compareVersions(running, info.latestVersion)
            || UpdateChecker::compareVersions(running, running) != 0)
            std::abort();
        break;
    }
    }
    return 0;
}
