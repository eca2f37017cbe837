#pragma once

#include "outputs/updateinfo.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

class QNetworkAccessManager;

// Asks the update service (updates/url) whether a newer release exists.
// Silent checks, the one at start-up, run at most every 20 hours, stay
// quiet about failures and respect the version the operator skipped.
class UpdateChecker : public QObject
{
    Q_OBJECT

public:
    static constexpr int kSilentIntervalSecs = 72000;
    static constexpr int kTransferTimeoutMs = 15000;

    explicit UpdateChecker(QObject* parent = nullptr);

    static QString defaultEndpoint();
    // 1 when a is newer than b, -1 when older, 0 when equal; parts are
    // compared as numbers, a part that is not one counts as 0.
    static int compareVersions(const QString& a, const QString& b);
    // The service's answer; a missing member reads as empty.
    static UpdateInfo infoFrom(const QJsonObject& answer);

public slots:
    void checkForUpdates(bool silent);

signals:
    void updateAvailable(const UpdateInfo& info);
    void upToDate(const QString& version);
    void checkFailed(const QString& message);
    void updateSkipped(const QString& version);

private:
    QNetworkAccessManager* m_network = nullptr;
    // The mode of the check started last, applied to whichever answer comes.
    bool m_silent = false;
};
