#include "outputs/headertext.h"

QString HeaderText::clean(const QString& text)
{
    QString out;
    out.reserve(text.size());
    bool inRun = false;
    for (const QChar ch : text) {
        if (ch.category() == QChar::Other_Control) {
            if (!inRun)
                out.append(QLatin1Char(' '));
            inRun = true;
            continue;
        }
        inRun = false;
        out.append(ch);
    }
    return out;
}
