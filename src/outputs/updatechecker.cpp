#include "outputs/updatechecker.h"

#include "library/appsettings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QSysInfo>
#include <QUrl>
#include <QUrlQuery>

UpdateInfo UpdateChecker::infoFrom(const QJsonObject& answer)
{
    auto text = [&answer](const char* key) { return answer.value(QLatin1String(key)).toString(); };
    UpdateInfo info;
    info.latestVersion = text("latest_version");
    info.notes = text("notes");
    info.downloadUrl = text("download_url");
    info.releaseDate = text("release_date");
    info.notesUrl = text("notes_url");
    info.minSupportedVersion = text("min_supported_version");
    info.critical = answer.value(QLatin1String("critical")).toBool();
    return info;
}

UpdateChecker::UpdateChecker(QObject* parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
{
    qRegisterMetaType<UpdateInfo>();
}

QString UpdateChecker::defaultEndpoint()
{
    return QStringLiteral("https://updates.orchidlantern.org/api/latest.json");
}

int UpdateChecker::compareVersions(const QString& a, const QString& b)
{
    const QStringList pa = a.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    const QStringList pb = b.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < std::max(pa.size(), pb.size()); ++i) {
        // toInt gives 0 for a missing part, a non-number and an overflow alike.
        const int x = pa.value(i).toInt();
        const int y = pb.value(i).toInt();
        if (x != y)
            return x > y ? 1 : -1;
    }
    return 0;
}

void UpdateChecker::checkForUpdates(bool silent)
{
    m_silent = silent;
    QSettings settings;
    if (silent) {
        const QDateTime last = Setting::UpdatesLastCheck.read(settings).toDateTime();
        const QDateTime now = QDateTime::currentDateTime();
        if (last.isValid() && last.secsTo(now) < kSilentIntervalSecs)
            return;
        // Counted before sending, so that a failing check also waits its turn.
        Setting::UpdatesLastCheck.write(settings, now);
    }

    QString address = Setting::UpdatesUrl.read(settings).trimmed();
    if (address.isEmpty())
        address = defaultEndpoint();
    const QString running = QCoreApplication::applicationVersion();
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("app"), QCoreApplication::applicationName());
    query.addQueryItem(QStringLiteral("current"), running);
    query.addQueryItem(QStringLiteral("platform"), QSysInfo::productType());
    query.addQueryItem(QStringLiteral("arch"), QSysInfo::currentCpuArchitecture());
    QUrl url(address);
    url.setQuery(query);

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Orchidlantern/") + running);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(kTransferTimeoutMs);

    QNetworkReply* reply = m_network->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, running] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            if (!m_silent)
                emit checkFailed(QStringLiteral("Could not reach the update server."));
            return;
        }
        const UpdateInfo info = infoFrom(QJsonDocument::fromJson(reply->readAll()).object());
        if (info.latestVersion.isEmpty()) {
            if (!m_silent)
                emit checkFailed(QStringLiteral("The update server returned no version."));
            return;
        }
        if (compareVersions(info.latestVersion, running) <= 0) {
            emit upToDate(running);
            return;
        }
        const QString skipped = Setting::UpdatesSkippedVersion.read();
        if (m_silent && !info.critical && info.latestVersion == skipped)
            emit updateSkipped(info.latestVersion);
        else
            emit updateAvailable(info);
    });
}
