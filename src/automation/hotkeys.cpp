#include "automation/hotkeys.h"

#include "library/appsettings.h"

#include <QSettings>

namespace {

struct Row
{
    const char* id;
    const char* label;
    const char* category;
    const char* key;
};

// Actions of one category follow each other: the settings page lists them
// under one heading each.
constexpr Row kRows[] = {
    {"play", "Play", "Playback", "Ctrl+P"},
    {"pause", "Pause / resume", "Playback", "Space"},
    {"stop", "Stop", "Playback", "Ctrl+S"},
    {"next", "Next track", "Playback", "Ctrl+Right"},
    {"previous", "Previous track", "Playback", "Ctrl+Left"},
    {"fadeout", "Fade out and stop", "Playback", "Ctrl+F"},
    {"seekback", "Seek back 10 seconds", "Playback", "Ctrl+,"},
    {"seekforward", "Seek forward 10 seconds", "Playback", "Ctrl+."},
    {"shuffle", "Toggle shuffle", "Playback", "Ctrl+H"},
    {"volup", "Volume up", "Volume", "Ctrl+Up"},
    {"voldown", "Volume down", "Volume", "Ctrl+Down"},
    {"mic", "Microphone on / off", "Sources", "Ctrl+M"},
    {"linein", "Line-in on / off", "Sources", "Ctrl+L"},
    {"broadcast", "Start / stop broadcasting", "Sources", "Ctrl+E"},
    {"record", "Start / stop recording", "Sources", "Ctrl+R"},
    {"rate1", "Rate current track 1", "Rating", "Ctrl+1"},
    {"rate2", "Rate current track 2", "Rating", "Ctrl+2"},
    {"rate3", "Rate current track 3", "Rating", "Ctrl+3"},
    {"rate4", "Rate current track 4", "Rating", "Ctrl+4"},
    {"rate5", "Rate current track 5", "Rating", "Ctrl+5"},
    {"rate6", "Rate current track 6", "Rating", "Ctrl+6"},
    {"rate7", "Rate current track 7", "Rating", "Ctrl+7"},
    {"rate8", "Rate current track 8", "Rating", "Ctrl+8"},
    {"rate9", "Rate current track 9", "Rating", "Ctrl+9"},
    {"rate10", "Rate current track 10", "Rating", "Ctrl+0"},
    {"rateclear", "Clear rating", "Rating", "Ctrl+-"},
    {"search", "Focus the search box", "Windows", "Ctrl+K"},
    {"queue", "Playback queue", "Windows", "Ctrl+Q"},
    {"library", "Music Library", "Windows", "Ctrl+B"},
    {"addqueue", "Add selection to the queue", "Windows", "Ctrl+Shift+Q"},
};

QKeySequence parse(const QString& text)
{
    return QKeySequence::fromString(text, QKeySequence::PortableText);
}

const QList<HotKeyAction>& table()
{
    static const QList<HotKeyAction> rows = [] {
        QList<HotKeyAction> list;
        for (const Row& r : kRows) {
            list.append({QString::fromLatin1(r.id), QString::fromLatin1(r.label),
                         QString::fromLatin1(r.category), parse(QString::fromLatin1(r.key))});
        }
        return list;
    }();
    return rows;
}

QKeySequence shortcutIn(const QSettings& settings, const HotKeyAction& action)
{
    const QString key = HotKeys::settingsKey(action.id);
    if (!settings.contains(key))
        return action.defaultKey;
    return parse(settings.value(key).toString());
}

} // namespace

QList<HotKeyAction> HotKeys::actions()
{
    return table();
}

HotKeyAction HotKeys::action(const QString& id)
{
    for (const HotKeyAction& a : table()) {
        if (a.id == id)
            return a;
    }
    return {};
}

QString HotKeys::settingsKey(const QString& id)
{
    return Setting::hotKey(id);
}

QKeySequence HotKeys::shortcut(const QString& id)
{
    const HotKeyAction a = action(id);
    if (a.isEmpty())
        return {};
    return shortcutIn(QSettings(), a);
}

void HotKeys::setShortcut(const QString& id, const QKeySequence& sequence)
{
    if (action(id).isEmpty())
        return;
    QSettings().setValue(settingsKey(id), sequence.toString(QKeySequence::PortableText));
}

void HotKeys::reset(const QString& id)
{
    QSettings().remove(settingsKey(id));
}

void HotKeys::resetAll()
{
    QSettings s;
    for (const HotKeyAction& a : table())
        s.remove(settingsKey(a.id));
}

QString HotKeys::conflictingAction(const QString& id, const QKeySequence& sequence)
{
    if (sequence.isEmpty())
        return {};
    const QSettings s;
    for (const HotKeyAction& a : table()) {
        if (a.id != id && shortcutIn(s, a) == sequence)
            return a.id;
    }
    return {};
}
