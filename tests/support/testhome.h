#pragma once

#include <QString>
#include <QTemporaryDir>

// Gives the test process a home folder of its own, so that settings, the
// configuration folder and library.db start empty and are never shared.
// Must be constructed before the application object.
class TestHome
{
public:
    TestHome();
    ~TestHome();

    QString path() const;
    // A writable scratch folder inside the home.
    QString scratch(const QString& name = QStringLiteral("scratch")) const;

private:
    QTemporaryDir m_dir;
};
