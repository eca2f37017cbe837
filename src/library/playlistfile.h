#pragma once

#include <QStringList>

class QTextStream;

// Reading of playlist files (M3U and PLS).
class PlaylistFile
{
public:
    // The entries in file order, as written in it. A PLS file gives the
    // values of its FileN keys; any other file its lines that are neither
    // blank nor comments.
    static QStringList entries(QTextStream& in, bool pls);
};
