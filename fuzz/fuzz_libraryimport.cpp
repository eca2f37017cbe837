// The older JSON library files, imported once into an empty library.db.
#include "fuzzsupport.h"
#include "library/musiclibrary.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

QList<QByteArray> olFuzzSeeds()
{
    return {"{\"name\":\"Rock\",\"tracks\":[{\"artist\":\"A\",\"title\":\"T\",\"filePath\":\"/m/a.mp3\","
            "\"durationMs\":180000,\"year\":1999,\"isStream\":false,\"playCount\":3}]}",
            "{\"name\":\" \",\"tracks\":[{\"durationMs\":1e300,\"year\":-1e300,\"streamLimitMs\":\"x\"},7,null]}",
            "[]", "{\"tracks\":{}}"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QString folder;
    if (folder.isEmpty()) {
        olFuzzInit();
        MusicLibrary::initDatabase();
        folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QStringLiteral("/libraries");
        QDir().mkpath(folder);
    }
    for (const QString& name : MusicLibrary::availableLibraries())
        MusicLibrary::deleteLibrary(name);
    QFile file(folder + QStringLiteral("/fuzz.json"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    file.write(reinterpret_cast<const char*>(data), qint64(size));
    file.close();
    MusicLibrary::migrateFromJson();
    for (const QString& name : MusicLibrary::availableLibraries()) {
        MusicLibrary lib;
        lib.load(name);
        (void)lib.count();
        (void)lib.totalDurationMs();
        (void)lib.search(QString());
    }
    return 0;
}
