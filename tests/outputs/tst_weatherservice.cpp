#include "olmain.h"
#include "outputs/weatherservice.h"
#include "webstandin.h"

#include <QNetworkReply>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTimer>

namespace {

const QString kForecastQuery = QStringLiteral(
    "&current=temperature_2m,weather_code,wind_speed_10m&daily=precipitation_sum"
    "&wind_speed_unit=%1&precipitation_unit=%2&timezone=auto");

QJsonObject place(const QString& name, const QString& admin1, const QString& code, const QString& country,
                  double lat, double lon)
{
    QJsonObject o{{QStringLiteral("name"), name}, {QStringLiteral("admin1"), admin1},
                  {QStringLiteral("country_code"), country}, {QStringLiteral("latitude"), lat},
                  {QStringLiteral("longitude"), lon}};
    if (!code.isEmpty())
        o.insert(QStringLiteral("admin1_code"), code);
    return o;
}

QJsonObject forecast(double temperature, int code, double wind, double rain)
{
    return {{QStringLiteral("current"), QJsonObject{{QStringLiteral("temperature_2m"), temperature},
                                                    {QStringLiteral("weather_code"), code},
                                                    {QStringLiteral("wind_speed_10m"), wind}}},
            {QStringLiteral("daily"), QJsonObject{{QStringLiteral("precipitation_sum"), QJsonArray{rain}}}}};
}

// The answer to requests on path whose query has key = value.
QJsonObject answerFor(const QString& path, const QString& key, const QString& value, const QJsonValue& body,
                      QJsonObject extra = {})
{
    extra.insert(QStringLiteral("query"), QJsonObject{{key, value}});
    return WebStandIn::answer(path, body, extra);
}

QJsonObject geocoding(const QString& name, const QJsonArray& results, const QJsonObject& extra = {})
{
    return answerFor(QStringLiteral("/v1/search"), QStringLiteral("name"), name,
                     QJsonObject{{QStringLiteral("results"), results}}, extra);
}

QJsonObject forecastAt(const QString& latitude, const QJsonValue& body, const QJsonObject& extra = {})
{
    return answerFor(QStringLiteral("/v1/forecast"), QStringLiteral("latitude"), latitude, body, extra);
}

QJsonObject delayed(int ms)
{
    return {{QStringLiteral("delay"), ms}};
}

} // namespace

class TestWeatherService : public QObject
{
    Q_OBJECT

    WebStandIn m_server;

    // Every request the service sent has been answered and let go.
    static bool settled(WeatherService& w) { return w.findChildren<QNetworkReply*>().isEmpty(); }

    QStringList newTargets(int& seen)
    {
        const QStringList all = m_server.targets();
        const QStringList fresh = all.mid(seen);
        seen = int(all.size());
        return fresh;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_server.start(), qPrintable(m_server.errorText()));
        QSettings s;
        s.setValue(QStringLiteral("weather/geocodingUrl"), m_server.baseUrl());
        s.setValue(QStringLiteral("weather/forecastUrl"), m_server.baseUrl() + QLatin1Char('/'));
    }

    void forecastTexts()
    {
        auto texts = WeatherService::parseForecast(forecast(-0.5, 61, 2.5, 0), QStringLiteral("kmh"),
                                                   QStringLiteral("mm"));
        QVERIFY(texts);
        QCOMPARE(texts->first, QStringLiteral("-1°C  Rain"));
        QCOMPARE(texts->second, QStringLiteral("Wind 3 km/h   Rain 0.0 mm"));

        texts = WeatherService::parseForecast(forecast(2.5, 96, 10.4, 0.256), QStringLiteral("kn"),
                                              QStringLiteral("inch"));
        QCOMPARE(texts->first, QStringLiteral("3°C  Thunderstorm, hail"));
        QCOMPARE(texts->second, QStringLiteral("Wind 10 kn   Rain 0.26 in"));

        // Missing code and missing daily block read as 0; a unit in other
        // letter case is not one of the known ones.
        const QJsonObject sparse{{QStringLiteral("current"), QJsonObject{{QStringLiteral("temperature_2m"), 12.2}}}};
        texts = WeatherService::parseForecast(sparse, QStringLiteral("KN"), QStringLiteral("Inch"));
        QCOMPARE(texts->first, QStringLiteral("12°C  Clear"));
        QCOMPARE(texts->second, QStringLiteral("Wind 0 km/h   Rain 0.0 mm"));

        QVERIFY(!WeatherService::parseForecast({}, QStringLiteral("kmh"), QStringLiteral("mm")));
        QVERIFY(!WeatherService::parseForecast({{QStringLiteral("current"), QJsonObject()}}, QString(), QString()));
        QCOMPARE(WeatherService::describeCode(4), QStringLiteral("--"));
        QCOMPARE(WeatherService::describeCode(-1), QStringLiteral("--"));
        QCOMPARE(WeatherService::windUnitLabel(QStringLiteral("ms")), QStringLiteral("m/s"));
    }

    void townIsLookedUpOnceThenForecastIsRefreshed()
    {
        // An earlier result in another region and country must lose to the
        // one matching both.
        m_server.setRules({
            geocoding(QStringLiteral("springfield"),
                      {place(QStringLiteral("Springfield"), QStringLiteral("Missouri"), QStringLiteral("MO"),
                             QStringLiteral("CA"), 37.2153, -93.2982),
                       place(QStringLiteral("Springfield"), QStringLiteral("Illinois"), QStringLiteral("IL"),
                             QStringLiteral("US"), 39.80172, -89.64371)}),
            forecastAt(QStringLiteral("39.8017"), forecast(21.4, 2, 14.6, 1.25)),
        });
        WeatherService w;
        QSignalSpy ready(&w, &WeatherService::weatherReady);
        QSignalSpy errors(&w, &WeatherService::weatherError);
        w.setUnits(QStringLiteral("mph"), QStringLiteral("inch"));
        int seen = int(m_server.targets().size());
        w.setCity(QStringLiteral("  springfield, illinois, us  "));
        QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 15000);
        QCOMPARE(ready[0], (QVariantList{QStringLiteral("21°C  Partly cloudy"),
                                          QStringLiteral("Wind 15 mph   Rain 1.25 in"),
                                          QStringLiteral("Springfield, Illinois US")}));
        QCOMPARE(newTargets(seen),
                 (QStringList{QStringLiteral("/v1/search?name=springfield&count=10"),
                              QStringLiteral("/v1/forecast?latitude=39.8017&longitude=-89.6437")
                                  + kForecastQuery.arg(QStringLiteral("mph"), QStringLiteral("inch"))}));

        auto* timer = w.findChild<QTimer*>();
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 900000);

        // Later refreshes skip the lookup; empty units keep the old ones.
        w.setUnits(QString(), QString());
        w.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 2, 15000);
        QCOMPARE(newTargets(seen), QStringList{QStringLiteral("/v1/forecast?latitude=39.8017&longitude=-89.6437")
                                               + kForecastQuery.arg(QStringLiteral("mph"), QStringLiteral("inch"))});
        QCOMPARE(errors.size(), 0);

        // A blank town makes the service idle: no timer, refresh sends nothing.
        w.setCity(QStringLiteral("   "));
        QVERIFY(!timer->isActive());
        w.refresh();
        QTest::qWait(300);
        QCOMPARE(newTargets(seen), QStringList());
    }

    void resultsAreScoredByRegionAndCountry()
    {
        m_server.setRules({
            // Equal scores: the earlier result wins.
            geocoding(QStringLiteral("Portland"),
                      {place(QStringLiteral("Portland"), QStringLiteral("Oregon"), QStringLiteral("OR"),
                             QStringLiteral("US"), 45.5, -122.7),
                       place(QStringLiteral("Portland"), QStringLiteral("Maine"), QStringLiteral("ME"),
                             QStringLiteral("US"), 43.7, -70.3)}),
            // No code at all counts as contained; a code that is not, as no match.
            geocoding(QStringLiteral("Kingston"),
                      {place(QStringLiteral("Kingston"), QStringLiteral("Ontario"), QStringLiteral("08"),
                             QString(), 44.2, -76.5),
                       place(QStringLiteral("Kingston"), QStringLiteral("Surrey"), QString(), QString(), 51.4,
                             -0.3)}),
            // The name is sent exactly, '+' and '&' included.
            geocoding(QStringLiteral("A+B & C"),
                      {place(QStringLiteral("Plus"), QString(), QString(), QString(), 1, 2)}),
            WebStandIn::answer(QStringLiteral("/v1/forecast"), forecast(5, 0, 5, 0)),
        });
        const QList<std::pair<QString, QString>> cases{
            {QStringLiteral("Portland"), QStringLiteral("Portland, Oregon US")},
            {QStringLiteral("Portland, , US"), QStringLiteral("Portland, Oregon US")},
            {QStringLiteral("Kingston, Greater London"), QStringLiteral("Kingston, Surrey")},
            {QStringLiteral("A+B & C"), QStringLiteral("Plus")},
        };
        for (const auto& [town, expected] : cases) {
            WeatherService w;
            QSignalSpy ready(&w, &WeatherService::weatherReady);
            w.setCity(town);
            QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 15000);
            QCOMPARE(ready[0][2].toString(), expected);
        }
    }

    void coordinatesNeedNoLookup()
    {
        m_server.setRules({WebStandIn::answer(QStringLiteral("/v1/forecast"), forecast(5, 3, 5, 0))});
        int seen = int(m_server.targets().size());
        WeatherService w;
        QSignalSpy ready(&w, &WeatherService::weatherReady);
        w.setCoords(51.5074, -0.1278, QStringLiteral("  "));
        QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 15000);
        QCOMPARE(ready[0][2].toString(), QStringLiteral("51.507, -0.128"));
        QCOMPARE(newTargets(seen), QStringList{QStringLiteral("/v1/forecast?latitude=51.5074&longitude=-0.1278")
                                               + kForecastQuery.arg(QStringLiteral("kmh"), QStringLiteral("mm"))});
        w.setCoords(48.8566, 2.3522, QStringLiteral(" Studio roof "));
        QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 2, 15000);
        QCOMPARE(ready[1][2].toString(), QStringLiteral("Studio roof"));
        QVERIFY(w.findChild<QTimer*>()->isActive());
    }

    void failuresAreReportedAndChangeNothing()
    {
        QTcpServer plain;
        QVERIFY(plain.listen(QHostAddress::LocalHost));
        const QString plainUrl = QStringLiteral("http://127.0.0.1:%1/v1/forecast").arg(plain.serverPort());
        m_server.setRules({
            geocoding(QStringLiteral("Down"), QJsonArray(), {{QStringLiteral("status"), 500}}),
            geocoding(QStringLiteral("Nowhere"), QJsonArray()),
            geocoding(QString(), QJsonArray()),
            answerFor(QStringLiteral("/v1/search"), QStringLiteral("name"), QStringLiteral("Garbled"),
                      QStringLiteral("<html>")),
            forecastAt(QStringLiteral("1"), forecast(7, 0, 7, 0)),
            forecastAt(QStringLiteral("2"), forecast(7, 0, 7, 0), {{QStringLiteral("mode"), QStringLiteral("cut")}}),
            forecastAt(QStringLiteral("3"), QString(),
                       {{QStringLiteral("status"), 302},
                        {QStringLiteral("headers"), QJsonObject{{QStringLiteral("Location"), plainUrl}}}}),
            forecastAt(QStringLiteral("4"), QStringLiteral("not json")),
            forecastAt(QStringLiteral("5"), QJsonObject{{QStringLiteral("current"), QJsonArray{1, 2}}}),
            forecastAt(QStringLiteral("6"), QString()),
            forecastAt(QStringLiteral("7"), forecast(7, 0, 7, 0), {{QStringLiteral("mode"), QStringLiteral("hang")}}),
        });
        WeatherService w;
        QSignalSpy ready(&w, &WeatherService::weatherReady);
        QSignalSpy errors(&w, &WeatherService::weatherError);
        auto nextError = [&](int timeoutMs = 15000) {
            const qsizetype before = errors.size();
            if (!QTest::qWaitFor([&] { return errors.size() > before; }, timeoutMs))
                return QStringLiteral("(none)");
            return errors.last().at(0).toString();
        };

        w.setCity(QStringLiteral("Down"));
        QCOMPARE(nextError(), QStringLiteral("Weather: network error"));
        // The failed lookup left no coordinates: a refresh asks again.
        int seen = int(m_server.targets().size());
        w.refresh();
        QCOMPARE(nextError(), QStringLiteral("Weather: network error"));
        QCOMPARE(newTargets(seen), QStringList{QStringLiteral("/v1/search?name=Down&count=10")});
        w.setCity(QStringLiteral("Nowhere"));
        QCOMPARE(nextError(), QStringLiteral("Weather: city not found"));
        w.setCity(QStringLiteral("Garbled"));
        QCOMPARE(nextError(), QStringLiteral("Weather: city not found"));
        w.setCity(QStringLiteral(" , , "));
        QCOMPARE(nextError(), QStringLiteral("Weather: city not found"));
        QCOMPARE(newTargets(seen).last(), QStringLiteral("/v1/search?name=&count=10"));

        w.setCoords(1, 1, QStringLiteral("Good"));
        QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 15000);
        w.setCoords(2, 1, QString());
        QCOMPARE(nextError(), QStringLiteral("Weather: network error"));
        w.setCoords(3, 1, QString());
        QCOMPARE(nextError(), QStringLiteral("Weather: network error"));
        QVERIFY(!plain.waitForNewConnection(200));
        w.setCoords(4, 1, QString());
        QCOMPARE(nextError(), QStringLiteral("Weather: no data"));
        w.setCoords(5, 1, QString());
        QCOMPARE(nextError(), QStringLiteral("Weather: no data"));
        w.setCoords(6, 1, QString());
        QCOMPARE(nextError(), QStringLiteral("Weather: no data"));
        // A server that never answers is given up after the transfer time-out.
        w.setCoords(7, 1, QString());
        QCOMPARE(nextError(30000), QStringLiteral("Weather: network error"));
        QCOMPARE(ready.size(), 1);
    }

    // Answers that arrive after the town or coordinates changed belong to a
    // place no longer wanted: they must neither show nor move the service.
    void lateAnswersForAnEarlierPlaceAreDropped()
    {
        m_server.setRules({
            geocoding(QStringLiteral("Oldtown"), QJsonArray{place(QStringLiteral("Oldtown"), QString(), QString(),
                                                                   QString(), 10, 10)},
                      delayed(1500)),
            geocoding(QStringLiteral("Newtown"), QJsonArray{place(QStringLiteral("Newtown"), QString(), QString(),
                                                                   QString(), 20, 20)}),
            forecastAt(QStringLiteral("10"), forecast(10, 0, 0, 0)),
            forecastAt(QStringLiteral("20"), forecast(20, 0, 0, 0)),
            forecastAt(QStringLiteral("30"), forecast(30, 0, 0, 0), delayed(1500)),
            forecastAt(QStringLiteral("40"), forecast(40, 0, 0, 0)),
        });
        WeatherService w;
        QSignalSpy ready(&w, &WeatherService::weatherReady);
        const auto sentFor = [this](const QString& fragment) {
            return !m_server.targets().filter(fragment).isEmpty();
        };

        w.setCity(QStringLiteral("Oldtown"));
        QTRY_VERIFY_WITH_TIMEOUT(sentFor(QStringLiteral("name=Oldtown")), 15000);
        w.setCity(QStringLiteral("Newtown"));
        QTRY_VERIFY_WITH_TIMEOUT(settled(w), 15000);
        QCOMPARE(ready.size(), 1);
        QCOMPARE(ready[0][2].toString(), QStringLiteral("Newtown"));
        QVERIFY(!sentFor(QStringLiteral("latitude=10")));
        int seen = int(m_server.targets().size());
        w.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 2, 15000);
        QVERIFY(newTargets(seen).value(0).startsWith(QStringLiteral("/v1/forecast?latitude=20&")));

        // A lookup still open when fixed coordinates arrive.
        w.setCity(QStringLiteral("Oldtown"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server.targets().filter(QStringLiteral("name=Oldtown")).size(), 2, 15000);
        w.setCoords(40, 40, QStringLiteral("Fixed"));
        QTRY_VERIFY_WITH_TIMEOUT(settled(w), 15000);
        QCOMPARE(ready.size(), 3);
        QCOMPARE(ready[2][2].toString(), QStringLiteral("Fixed"));
        QVERIFY(!sentFor(QStringLiteral("latitude=10")));

        // A slow forecast overtaken by the one for newer coordinates.
        w.setCoords(30, 30, QStringLiteral("Slow"));
        QTRY_VERIFY_WITH_TIMEOUT(sentFor(QStringLiteral("latitude=30")), 15000);
        w.setCoords(40, 40, QStringLiteral("Fast"));
        QTRY_VERIFY_WITH_TIMEOUT(settled(w), 15000);
        QCOMPARE(ready.size(), 4);
        QCOMPARE(ready[3][0].toString(), QStringLiteral("40°C  Clear"));
        QCOMPARE(ready[3][2].toString(), QStringLiteral("Fast"));
    }
};

OL_TEST_MAIN(TestWeatherService)
#include "tst_weatherservice.moc"
