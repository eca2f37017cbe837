#pragma once

#include "library/mixconfig.h"

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <array>

// Playout parameters of one audio file, stored as compact JSON per file path
// in track_params. Nothing is cached here: every load reads the row afresh;
// a reader that keeps results compares changeStamp() to know when to drop them.
struct TrackParams
{
    struct Voiceover
    {
        qint64 ins = 0;           // insert point in the track
        QString source;           // a file, or a folder to pick one from
        int position = 0;         // 0: starts at ins; 1: ends at ins
        int probability = 100;    // percent
        double level = 1.0;
        QDate notAfter;

        bool isSet() const { return ins > 0 && !source.isEmpty(); }
    };

    // Override of one transition between two playlist rows; -1 inherits.
    struct SegueOverride
    {
        int mixPointMs = -1;
        int fadeOutMs = -1;
    };

    qint64 start = 0;
    qint64 end = 0;
    qint64 intro = 0;
    qint64 outro = 0;
    qint64 hookIn = 0;
    qint64 hookOut = 0;
    int fadeIn = -1;
    int mix = -1;
    int fadeOut = -1;
    qint64 mixStart = -1;
    Voiceover voiceover;
    double level = 1.0;
    int rating = 0;
    QStringList tags;
    bool disabled = false;
    QDate startDate;
    QDate endDate;
    std::array<quint32, 7> daypart{}; // Monday first; bit h = hour h allowed

    static void ensureSchema(const QString& connectionName = {});
    // connectionName, here and below: a connection of the calling thread;
    // the shared one when empty.
    static TrackParams load(const QString& path, const QString& connectionName = {});
    // The stored parameters of every file of a library, by path, in one
    // read; a path missing from the result has the defaults, as load gives.
    static QHash<QString, TrackParams> loadLibrary(const QString& library, const QString& connectionName = {});
    // false when the database refused the write (MusicLibrary::lastWriteError
    // says why).
    static bool save(const QString& path, const TrackParams& params, const QString& connectionName = {});
    static bool remove(const QString& path, const QString& connectionName = {});
    // Changes whenever stored parameters may have changed: at once for a
    // write through this process's connection, and within half a second for
    // a commit by another connection or program. GUI thread only.
    static quint64 changeStamp();

    QJsonObject toJson() const;
    static TrackParams fromJson(const QJsonObject& o);

    bool isDefault() const;

    static int ratingFor(const QString& path);
    static void setRating(const QString& path, int rating);

    qint64 effectiveDuration(qint64 durationMs) const;

    bool hasDaypart() const;
    void setDaypart(int day, int hour, bool on);
    bool daypartAllows(int day, int hour) const;
    bool isAvailableAt(const QDateTime& when) const;

    static MixConfig resolveMix(const MixConfig& global, const MixConfig& alternative, bool useAlternative,
                                const TrackParams& params, const SegueOverride& segue, bool forceMixPoint,
                                qint64 forcedMixPointMs);
};
