#include "testhome.h"

#include <QDir>

TestHome::TestHome()
    : m_dir(QDir::tempPath() + QStringLiteral("/ol-test-XXXXXX"))
{
    if (qEnvironmentVariableIsSet("OL_KEEP_TEST_HOME"))
        m_dir.setAutoRemove(false);
    const QString home = m_dir.path();
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_CACHE_HOME", (home + QStringLiteral("/.cache")).toUtf8());
    qputenv("XDG_STATE_HOME", (home + QStringLiteral("/.local/state")).toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
}

TestHome::~TestHome() = default;

QString TestHome::path() const
{
    return m_dir.path();
}

QString TestHome::scratch(const QString& name) const
{
    const QString p = m_dir.path() + QLatin1Char('/') + name;
    QDir().mkpath(p);
    return p;
}
