#pragma once

#include "library/appsettings.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <optional>
#include <utility>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// The current weather for the station's town, for the display: a town text
// looked up once through a geocoding service, or fixed coordinates, then a
// forecast every 15 minutes. The services' addresses are the settings
// weather/geocodingUrl and weather/forecastUrl (scheme and host).
class WeatherService : public QObject
{
    Q_OBJECT

public:
    static constexpr int kRefreshMs = 900000;

    explicit WeatherService(QObject* parent = nullptr);

    static QString defaultGeocodingUrl();
    static QString defaultForecastUrl();

    void setUnits(const QString& wind, const QString& precip);
    void setCity(const QString& text);
    void setCoords(double lat, double lon, const QString& label);
    void fetchForCoords(double lat, double lon);

    // The two display lines of a forecast answer, or none without "current".
    static std::optional<std::pair<QString, QString>> parseForecast(const QJsonObject& answer,
                                                                   const QString& windUnit,
                                                                   const QString& precipUnit);
    // The geocoding result that best fits a town text ("name, region,
    // country"): the first of the highest score; empty without results.
    static QJsonObject chooseCity(const QJsonArray& results, const QString& city);
    static QString describeCode(int code);
    static QString windUnitLabel(const QString& unit);
    static QString precipUnitLabel(const QString& unit);

public slots:
    void refresh();

signals:
    void weatherReady(const QString& conditions, const QString& detail, const QString& location);
    void weatherError(const QString& message);

private:
    void lookUpCity();
    void onGeocoded(QNetworkReply* reply);
    void onForecast(QNetworkReply* reply);
    using Handler = void (WeatherService::*)(QNetworkReply*);
    // GET on the service named by settingsKey; the handler sees the answer
    // only while no newer town or coordinates came in.
    void send(const TextKey& address, const QString& fallback, const QString& path,
              const QList<std::pair<QString, QString>>& query, Handler handler);

    QNetworkAccessManager* m_network = nullptr;
    QTimer* m_refreshTimer = nullptr;
    QString m_city;
    QString m_place;
    QString m_windUnit = QStringLiteral("kmh");
    QString m_precipUnit = QStringLiteral("mm");
    double m_lat = 0.0;
    double m_lon = 0.0;
    bool m_haveCoords = false;
    // Bumped by every new town or coordinates: an answer to a request sent
    // before that belongs to a place no longer shown and is dropped.
    quint64 m_generation = 0;
};
