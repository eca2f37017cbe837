#include "outputs/weatherservice.h"

#include "library/appsettings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <cmath>

namespace {

constexpr int kTransferTimeoutMs = 15000;

QString roundedText(double value)
{
    // A value no weather has would not convert to a whole number.
    if (!(std::abs(value) < 1e9))
        return QStringLiteral("--");
    return QString::number(qint64(std::round(value)));
}

// An unreadable body reads as an empty object.
QJsonObject bodyObject(QNetworkReply* reply)
{
    return QJsonDocument::fromJson(reply->readAll()).object();
}

struct CityParts
{
    QString name, region, country;
};

CityParts splitCity(const QString& city)
{
    const QStringList parts = city.split(QLatin1Char(','), Qt::SkipEmptyParts);
    CityParts c;
    c.name = parts.value(0).trimmed();
    c.region = parts.value(1).trimmed();
    c.country = parts.value(2).trimmed();
    return c;
}

int score(const QJsonObject& result, const CityParts& wanted)
{
    int points = 0;
    if (!wanted.region.isEmpty()) {
        const QString admin1 = result.value(QStringLiteral("admin1")).toString();
        const QString code = result.value(QStringLiteral("admin1_code")).toString();
        if (admin1.compare(wanted.region, Qt::CaseInsensitive) == 0)
            points += 2;
        else if (admin1.contains(wanted.region, Qt::CaseInsensitive)
                 || code.isEmpty() || wanted.region.contains(code, Qt::CaseInsensitive))
            points += 1;
    }
    if (!wanted.country.isEmpty()
        && (result.value(QStringLiteral("country_code")).toString().compare(wanted.country, Qt::CaseInsensitive) == 0
            || result.value(QStringLiteral("country")).toString().compare(wanted.country, Qt::CaseInsensitive) == 0))
        points += 2;
    return points;
}

} // namespace

WeatherService::WeatherService(QObject* parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
    , m_refreshTimer(new QTimer(this))
{
    m_refreshTimer->setInterval(kRefreshMs);
    connect(m_refreshTimer, &QTimer::timeout, this, &WeatherService::refresh);
}

QString WeatherService::defaultGeocodingUrl()
{
    return QStringLiteral("https://geocoding-api.open-meteo.com");
}

QString WeatherService::defaultForecastUrl()
{
    return QStringLiteral("https://api.open-meteo.com");
}

void WeatherService::setUnits(const QString& wind, const QString& precip)
{
    if (!wind.isEmpty())
        m_windUnit = wind;
    if (!precip.isEmpty())
        m_precipUnit = precip;
}

void WeatherService::setCity(const QString& text)
{
    ++m_generation;
    m_city = text.trimmed();
    m_haveCoords = false;
    if (m_city.isEmpty()) {
        m_refreshTimer->stop();
        return;
    }
    m_refreshTimer->start();
    refresh();
}

void WeatherService::setCoords(double lat, double lon, const QString& label)
{
    ++m_generation;
    m_city.clear();
    m_lat = lat;
    m_lon = lon;
    m_haveCoords = true;
    m_place = label.trimmed();
    if (m_place.isEmpty())
        m_place = QStringLiteral("%1, %2").arg(lat, 0, 'f', 3).arg(lon, 0, 'f', 3);
    m_refreshTimer->start();
    fetchForCoords(lat, lon);
}

void WeatherService::refresh()
{
    if (m_haveCoords)
        fetchForCoords(m_lat, m_lon);
    else if (!m_city.isEmpty())
        lookUpCity();
}

void WeatherService::send(const TextKey& address, const QString& fallback, const QString& path,
                          const QList<std::pair<QString, QString>>& query, Handler handler)
{
    QString base = address.read().trimmed();
    if (base.isEmpty())
        base = fallback;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);

    // QUrlQuery leaves '+' alone, which servers read as a blank.
    QUrlQuery q;
    for (const auto& [key, value] : query)
        q.addQueryItem(key, QString(value).replace(QLatin1Char('+'), QLatin1String("%2B")));
    QUrl url(base + path);
    url.setQuery(q);

    // A server that accepts and never answers would otherwise hold the reply
    // open for good, and enough of those stall every later request.
    QNetworkRequest request(url);
    request.setTransferTimeout(kTransferTimeoutMs);
    QNetworkReply* reply = m_network->get(request);
    const quint64 generation = m_generation;
    connect(reply, &QNetworkReply::finished, this, [this, reply, generation, handler] {
        reply->deleteLater();
        if (generation == m_generation)
            (this->*handler)(reply);
    });
}

void WeatherService::lookUpCity()
{
    send(Setting::WeatherGeocodingUrl, defaultGeocodingUrl(), QStringLiteral("/v1/search"),
         {{QStringLiteral("name"), splitCity(m_city).name}, {QStringLiteral("count"), QStringLiteral("10")}},
         &WeatherService::onGeocoded);
}

void WeatherService::onGeocoded(QNetworkReply* reply)
{
    if (reply->error() != QNetworkReply::NoError) {
        emit weatherError(QStringLiteral("Weather: network error"));
        return;
    }
    const QJsonArray results = bodyObject(reply).value(QStringLiteral("results")).toArray();
    if (results.isEmpty()) {
        emit weatherError(QStringLiteral("Weather: city not found"));
        return;
    }

    const QJsonObject best = chooseCity(results, m_city);

    m_lat = best.value(QStringLiteral("latitude")).toDouble();
    m_lon = best.value(QStringLiteral("longitude")).toDouble();
    m_haveCoords = true;
    m_place = best.value(QStringLiteral("name")).toString();
    const QString admin1 = best.value(QStringLiteral("admin1")).toString();
    const QString countryCode = best.value(QStringLiteral("country_code")).toString();
    if (!admin1.isEmpty())
        m_place += QStringLiteral(", ") + admin1;
    if (!countryCode.isEmpty())
        m_place += QLatin1Char(' ') + countryCode;
    fetchForCoords(m_lat, m_lon);
}

void WeatherService::fetchForCoords(double lat, double lon)
{
    send(Setting::WeatherForecastUrl, defaultForecastUrl(), QStringLiteral("/v1/forecast"),
         {{QStringLiteral("latitude"), QString::number(lat, 'g', 6)},
          {QStringLiteral("longitude"), QString::number(lon, 'g', 6)},
          {QStringLiteral("current"), QStringLiteral("temperature_2m,weather_code,wind_speed_10m")},
          {QStringLiteral("daily"), QStringLiteral("precipitation_sum")},
          {QStringLiteral("wind_speed_unit"), m_windUnit},
          {QStringLiteral("precipitation_unit"), m_precipUnit},
          {QStringLiteral("timezone"), QStringLiteral("auto")}},
         &WeatherService::onForecast);
}

void WeatherService::onForecast(QNetworkReply* reply)
{
    if (reply->error() != QNetworkReply::NoError) {
        emit weatherError(QStringLiteral("Weather: network error"));
        return;
    }
    const auto texts = parseForecast(bodyObject(reply), m_windUnit, m_precipUnit);
    if (!texts) {
        emit weatherError(QStringLiteral("Weather: no data"));
        return;
    }
    emit weatherReady(texts->first, texts->second, m_place);
}

QJsonObject WeatherService::chooseCity(const QJsonArray& results, const QString& city)
{
    const CityParts wanted = splitCity(city);
    QJsonObject best;
    int bestScore = -1;
    for (const QJsonValue& v : results) {
        const QJsonObject result = v.toObject();
        const int s = score(result, wanted);
        if (s > bestScore) {
            best = result;
            bestScore = s;
        }
    }
    return best;
}

std::optional<std::pair<QString, QString>> WeatherService::parseForecast(const QJsonObject& answer,
                                                                         const QString& windUnit,
                                                                         const QString& precipUnit)
{
    const QJsonObject current = answer.value(QStringLiteral("current")).toObject();
    if (current.isEmpty())
        return std::nullopt;
    const double temperature = current.value(QStringLiteral("temperature_2m")).toDouble();
    const int code = current.value(QStringLiteral("weather_code")).toInt();
    const double wind = current.value(QStringLiteral("wind_speed_10m")).toDouble();
    const QJsonArray sums = answer.value(QStringLiteral("daily")).toObject()
                                .value(QStringLiteral("precipitation_sum")).toArray();
    const double rain = sums.isEmpty() ? 0.0 : sums.first().toDouble();

    const bool inch = precipUnit == QLatin1String("inch");
    return std::pair{
        QStringLiteral("%1°C  %2").arg(roundedText(temperature), describeCode(code)),
        QStringLiteral("Wind %1 %2   Rain %3 %4")
            .arg(roundedText(wind), windUnitLabel(windUnit), QString::number(rain, 'f', inch ? 2 : 1),
                 precipUnitLabel(precipUnit))};
}

QString WeatherService::describeCode(int code)
{
    switch (code) {
    case 0: return QStringLiteral("Clear");
    case 1: return QStringLiteral("Mainly clear");
    case 2: return QStringLiteral("Partly cloudy");
    case 3: return QStringLiteral("Overcast");
    case 45: case 48: return QStringLiteral("Fog");
    case 51: case 53: case 55: return QStringLiteral("Drizzle");
    case 56: case 57: return QStringLiteral("Freezing drizzle");
    case 61: case 63: case 65: return QStringLiteral("Rain");
    case 66: case 67: return QStringLiteral("Freezing rain");
    case 71: case 73: case 75: return QStringLiteral("Snow");
    case 77: return QStringLiteral("Snow grains");
    case 80: case 81: case 82: return QStringLiteral("Showers");
    case 85: case 86: return QStringLiteral("Snow showers");
    case 95: return QStringLiteral("Thunderstorm");
    case 96: case 99: return QStringLiteral("Thunderstorm, hail");
    default: return QStringLiteral("--");
    }
}

QString WeatherService::windUnitLabel(const QString& unit)
{
    if (unit == QLatin1String("ms"))
        return QStringLiteral("m/s");
    if (unit == QLatin1String("mph"))
        return QStringLiteral("mph");
    if (unit == QLatin1String("kn"))
        return QStringLiteral("kn");
    return QStringLiteral("km/h");
}

QString WeatherService::precipUnitLabel(const QString& unit)
{
    return unit == QLatin1String("inch") ? QStringLiteral("in") : QStringLiteral("mm");
}
