#pragma once

#include <QString>
#include <QStringList>

// The audio files the program takes: one list for every file dialog, folder
// scan, drop and import, so no road accepts a file another one skips.
class AudioFiles
{
public:
    // Lower-case suffixes without the dot.
    static const QStringList& suffixes();
    // "*.mp3" and so on, for folder scans and file-system models.
    static const QStringList& nameFilters();
    // "label (*.mp3 ... extra)" for a file dialog; the caller adds any
    // further filters after ";;".
    static QString dialogFilter(const QString& label, const QStringList& extraPatterns = {});
    // The audio files of one folder (not its sub-folders), suffixes in any
    // case, by absolute path, sorted by name.
    static QStringList inFolder(const QString& folder);
    // By the suffix in any case; the file is not opened.
    static bool hasAudioSuffix(const QString& path);
};
