// ctest: serial
// ctest: timeout 600
#include "audiofixtures.h"
#include "icecastserver.h"
#include "olmain.h"
#include "tonesource.h"

#include "automation/hotkeys.h"
#include "dialogs/settings/settingsdialog.h"
#include "engine/silencedetector.h"
#include "library/security.h"
#include "outputs/broadcastservice.h"
#include "outputs/nowplayingfile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMediaDevices>
#include <QPushButton>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTextDocument>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <algorithm>
#include <memory>

namespace {

using Values = QMap<QString, QString>;
const QString kRemoved = QStringLiteral("<removed>");

// The settings file as python3's configparser reads it: "group/key" to the
// value Qt wrote, its quotes and escapes undone.
Values iniValues()
{
    QSettings s;
    s.sync();
    static const QString script = QStringLiteral(R"(
import configparser, json, re, sys
p = configparser.RawConfigParser(strict=False)
p.optionxform = str
p.read(sys.argv[1], encoding='utf-8')
esc = {'n': '\n', 't': '\t', 'r': '\r', '0': '\0'}
def unquote(v):
    if len(v) >= 2 and v[0] == '"' and v[-1] == '"':
        v = v[1:-1]
    return re.sub(r'\\(x[0-9a-fA-F]{1,4}|.)', lambda m: chr(int(m.group(1)[1:], 16))
                  if m.group(1)[0] == 'x' and len(m.group(1)) > 1 else esc.get(m.group(1), m.group(1)), v)
print(json.dumps({s + '/' + k: unquote(v) for s in p.sections() for k, v in p.items(s)}))
)");
    QByteArray out;
    if (!AudioFixtures::run(QStringLiteral("python3"), {QStringLiteral("-c"), script, s.fileName()}, &out))
        return {{QStringLiteral("error"), QStringLiteral("python3 failed")}};
    Values v;
    const QJsonObject o = QJsonDocument::fromJson(out).object();
    for (auto it = o.begin(); it != o.end(); ++it)
        v.insert(it.key(), it.value().toString());
    return v;
}

// What changed from one reading to the next; a key that went is kRemoved.
Values changes(const Values& before, const Values& after)
{
    Values out;
    for (auto it = after.begin(); it != after.end(); ++it) {
        if (!before.contains(it.key()) || before.value(it.key()) != it.value())
            out.insert(it.key(), it.value());
    }
    for (auto it = before.begin(); it != before.end(); ++it) {
        if (!after.contains(it.key()))
            out.insert(it.key(), kRemoved);
    }
    return out;
}

// The keys on which two readings differ, for a failure message.
QByteArray mismatches(const Values& actual, const Values& expected)
{
    const QString absent = QStringLiteral("(absent)");
    QStringList out;
    for (const QString& key : QSet<QString>(actual.keyBegin(), actual.keyEnd())
                                  | QSet<QString>(expected.keyBegin(), expected.keyEnd())) {
        const QString got = actual.value(key, absent);
        const QString want = expected.value(key, absent);
        if (got != want)
            out << QStringLiteral("%1: got \"%2\", want \"%3\"").arg(key, got, want);
    }
    out.sort();
    return out.join(QStringLiteral("; ")).toUtf8();
}

QByteArray fileBytes()
{
    QSettings s;
    s.sync();
    QFile f(s.fileName());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The edited controls, which carry their settings key as object name.
QList<QWidget*> controls(const QWidget& dialog)
{
    QList<QWidget*> out;
    for (QWidget* w : dialog.findChildren<QWidget*>()) {
        if (w->objectName().contains(QLatin1Char('/')) && !qobject_cast<QLabel*>(w))
            out << w;
    }
    return out;
}

QString valueOf(const QWidget* w)
{
    if (auto* e = qobject_cast<const QLineEdit*>(w))
        return e->text();
    if (auto* b = qobject_cast<const QCheckBox*>(w))
        return b->isChecked() ? QStringLiteral("on") : QStringLiteral("off");
    if (auto* g = qobject_cast<const QGroupBox*>(w))
        return g->isChecked() ? QStringLiteral("on") : QStringLiteral("off");
    if (auto* c = qobject_cast<const QComboBox*>(w))
        return c->currentText();
    if (auto* s = qobject_cast<const QSpinBox*>(w))
        return QString::number(s->value());
    if (auto* s = qobject_cast<const QSlider*>(w))
        return QString::number(s->value());
    return QStringLiteral("?");
}

// Sets a control as an operator would; a combo box by its shown text.
bool setValue(QWidget* w, const QString& value)
{
    if (auto* e = qobject_cast<QLineEdit*>(w))
        e->setText(value);
    else if (auto* b = qobject_cast<QCheckBox*>(w))
        b->setChecked(value == QLatin1String("on"));
    else if (auto* g = qobject_cast<QGroupBox*>(w))
        g->setChecked(value == QLatin1String("on"));
    else if (auto* c = qobject_cast<QComboBox*>(w))
        c->setCurrentIndex(c->findText(value));
    else if (auto* s = qobject_cast<QSpinBox*>(w))
        s->setValue(value.toInt());
    else if (auto* s = qobject_cast<QSlider*>(w))
        s->setValue(value.toInt());
    return valueOf(w) == value;
}

// Moves a control off whatever it shows.
void perturb(QWidget* w)
{
    if (auto* e = qobject_cast<QLineEdit*>(w))
        e->setText(e->text() + QStringLiteral("x"));
    else if (auto* b = qobject_cast<QCheckBox*>(w))
        b->toggle();
    else if (auto* g = qobject_cast<QGroupBox*>(w))
        g->setChecked(!g->isChecked());
    else if (auto* c = qobject_cast<QComboBox*>(w))
        c->setCurrentIndex((c->currentIndex() + 1) % c->count());
    else if (auto* s = qobject_cast<QSpinBox*>(w))
        s->setValue(s->value() < s->maximum() ? s->value() + 1 : s->value() - 1);
    else if (auto* s = qobject_cast<QSlider*>(w))
        s->setValue(s->value() < s->maximum() ? s->value() + 1 : s->value() - 1);
}

Values snapshot(const QWidget& dialog)
{
    Values v;
    for (const QWidget* w : controls(dialog)) {
        if (!w->objectName().startsWith(QLatin1String("security/")))
            v.insert(w->objectName(), valueOf(w));
    }
    return v;
}

QAbstractButton* button(const QWidget& parent, const QString& text)
{
    for (QAbstractButton* b : parent.findChildren<QAbstractButton*>()) {
        if (b->text() == text)
            return b;
    }
    return nullptr;
}

template <class W>
W* control(const QWidget& dialog, const char* name)
{
    return dialog.findChild<W*>(QString::fromLatin1(name));
}

// The button in the same row of a layout as the field.
QAbstractButton* buttonBeside(const QWidget* field)
{
    for (QLayout* layout : field->parentWidget()->findChildren<QLayout*>()) {
        const int at = layout->indexOf(field);
        if (at < 0)
            continue;
        auto* grid = qobject_cast<QGridLayout*>(layout);
        const auto rowOf = [grid](int index) {
            int row = 0, column = 0, rows = 0, columns = 0;
            if (grid)
                grid->getItemPosition(index, &row, &column, &rows, &columns);
            return row;
        };
        for (int i = 0; i < layout->count(); ++i) {
            auto* b = qobject_cast<QAbstractButton*>(layout->itemAt(i)->widget());
            if (b && rowOf(i) == rowOf(at))
                return b;
        }
    }
    return nullptr;
}

QString plainText(const QLabel* label)
{
    QTextDocument doc;
    doc.setHtml(label->text());
    return doc.toPlainText();
}

QString pactl(const QStringList& args)
{
    QByteArray out;
    AudioFixtures::run(QStringLiteral("pactl"), args, &out);
    return QString::fromUtf8(out).trimmed();
}

const QString kMic = QStringLiteral("Test-Mic");

} // namespace

class TestSettingsDialog : public QObject
{
    Q_OBJECT

    QString m_micModule;

private slots:
    // A PulseAudio pipe source stands in for a microphone.
    void initTestCase()
    {
        m_micModule = pactl({QStringLiteral("load-module"), QStringLiteral("module-pipe-source"),
                             QStringLiteral("source_name=") + kMic,
                             QStringLiteral("file=") + testHome().scratch(QStringLiteral("pipes")) + QStringLiteral("/mic"),
                             QStringLiteral("format=s16le"), QStringLiteral("rate=48000"), QStringLiteral("channels=1"),
                             QStringLiteral("source_properties=device.description=") + kMic});
        QVERIFY2(!m_micModule.isEmpty(), "the pipe source did not load");
        QTRY_VERIFY_WITH_TIMEOUT(std::ranges::any_of(QMediaDevices::audioInputs(),
                                                     [](const QAudioDevice& d) { return d.description() == kMic; }),
                                 10000);
    }

    void cleanupTestCase()
    {
        if (!m_micModule.isEmpty())
            pactl({QStringLiteral("unload-module"), m_micModule});
    }

    // Every page's controls in, OK, and out again through the real file.
    void everyControlRoundTrips()
    {
        // Control, what the operator enters, what the file then holds.
        struct Edit
        {
            const char* name;
            QString typed;
            QString stored;
        };
        const QList<Edit> edits{
            {"audio/defaultVolume", "55", "55"}, {"playback/resumeOnStart", "on", "true"},
            {"playback/autoPlayNext", "off", "false"}, {"view/clock24h", "on", "true"},
            {"updates/checkOnStartup", "on", "true"}, {"voicetrack/folder", "  /srv/vt  ", "/srv/vt"},
            {"updates/url", " https://u.example/api/latest.json ", "https://u.example/api/latest.json"},
            {"weather/city", " Lisbon, Portugal ", "Lisbon, Portugal"}, {"weather/lat", "38.7 ", "38.7"},
            {"weather/lon", " -9.1", "-9.1"}, {"weather/label", "Lisboa", "Lisboa"},
            {"weather/windUnit", "knots", "kn"}, {"weather/precipUnit", "inches", "inch"},
            {"audio/outputDevice", "Null-Output", "Null-Output"}, {"playback/crossfadeEnabled", "on", "true"},
            {"playback/fadeInMs", "1550", "1550"}, {"playback/fadeOutMs", "3000", "3000"},
            {"audio/micDevice", kMic, kMic}, {"audio/lineInDevice", kMic, kMic},
            {"broadcast/host", " 127.0.0.1 ", "127.0.0.1"}, {"broadcast/port", "80a0", "0"},
            {"broadcast/mount", " /live.mp3 ", "/live.mp3"}, {"broadcast/username", " dj ", "dj"},
            {"broadcast/password", "pw ", "pw "}, {"broadcast/sampleRate", "48000", "48000"},
            {"broadcast/bitrate", "192", "192"}, {"broadcast/channels", "Mono", "1"},
            {"broadcast/inputDevice", kMic, kMic}, {"broadcast/internalMix", "on", "true"},
            {"broadcast/name", "Rádio Ñ, FM", "Rádio Ñ, FM"}, {"broadcast/genre", "Jazz", "Jazz"},
            {"broadcast/url", "http://r.example/", "http://r.example/"},
            {"broadcast/description", " A station ", " A station "}, {"broadcast/public", "on", "true"},
            {"server/enabled", "on", "true"}, {"server/port", "8123", "8123"},
            {"server/maxListeners", "25", "25"}, {"server/bitrate", "256", "256"},
            {"nowplaying/enabled", "on", "true"}, {"nowplaying/path", " /tmp/np.txt ", "/tmp/np.txt"},
            {"nowplaying/format", "%title%", "%title%"}, {"nowplaying/maxLength", "0", "0"},
            {"nowplaying/padForRds", "on", "true"}, {"nowplaying/whenStopped", "Off air", "Off air"},
            {"silence/enabled", "on", "true"}, {"silence/timeout", "45", "45"},
            {"silence/action", "Load an extra playlist", "2"},
            {"silence/playlist", " /srv/fallback.m3u ", "/srv/fallback.m3u"}, {"silence/threshold", "7", "0.07"},
            {"dtmf/source", "Network stream URL", "url"}, {"dtmf/url", " http://s.example/live ", "http://s.example/live"},
            {"dtmf/minLevel", "10", "10"}, {"dtmf/beforeMin", "15", "15"}, {"dtmf/afterMin", "20", "20"},
            {"dtmf/delaySec", "30", "30"}, {"api/enabled", "on", "true"}, {"api/port", "9100", "9100"},
            {"api/localhostOnly", "off", "false"}, {"api/password", "p&w<1>", "p&w<1>"},
            {"api/username", "a<b", "a<b"}, {"api/https", "on", "true"},
            {"api/certFile", "/etc/c.pem", "/etc/c.pem"}, {"api/keyFile", "/etc/k.pem", "/etc/k.pem"},
        };
        // A password of blanks is a password; the built-in server announces
        // the station's name and genre.
        Values expected{{"security/settingsHash", Security::hashPassword(QStringLiteral("   "))},
                        {"server/name", "Rádio Ñ, FM"}, {"server/genre", "Jazz"}};
        for (const Edit& e : edits)
            expected.insert(QString::fromLatin1(e.name), e.stored);

        const Values before = iniValues();
        Values shown;
        {
            SettingsDialog d;
            // The receivers find every page stored, the last ones included.
            QStringList atSignal;
            connect(&d, &SettingsDialog::settingsChanged, this, [&] {
                const QSettings s;
                atSignal << s.value(QStringLiteral("security/settingsHash")).toString()
                         << s.value(QStringLiteral("server/name")).toString()
                         << s.value(QStringLiteral("silence/threshold")).toString();
            });
            QCOMPARE(controls(d).size(), edits.size() + 4); // and the Security page's four
            for (const Edit& e : edits)
                QVERIFY2(setValue(d.findChild<QWidget*>(QString::fromLatin1(e.name)), e.typed), e.name);
            QVERIFY(setValue(control<QLineEdit>(d, "security/settingsPassword"), QStringLiteral("   ")));
            shown = snapshot(d);
            button(d, QStringLiteral("OK"))->click();
            QCOMPARE(d.result(), int(QDialog::Accepted));
            QCOMPARE(atSignal, QStringList({expected.value(QStringLiteral("security/settingsHash")),
                                            QStringLiteral("Rádio Ñ, FM"), QStringLiteral("0.07")}));
        }
        const Values got = changes(before, iniValues());
        QVERIFY2(got == expected, mismatches(got, expected).constData());

        // Opened again, every control shows what was saved; a text field
        // what the file holds.
        SettingsDialog again;
        for (const Edit& e : edits) {
            if (qobject_cast<QLineEdit*>(again.findChild<QWidget*>(QString::fromLatin1(e.name))))
                shown[QString::fromLatin1(e.name)] = e.stored;
        }
        QCOMPARE(snapshot(again), shown);
        QVERIFY(std::ranges::count(again.findChildren<QLabel*>(), QStringLiteral("Status: protected"),
                                   &QLabel::text) == 1);
    }

    // Cancel after touching every control writes nothing at all.
    void cancelLeavesTheFileAsItWas()
    {
        const QByteArray before = fileBytes();
        QVERIFY(!before.isEmpty());
        SettingsDialog d;
        QSignalSpy changed(&d, &SettingsDialog::settingsChanged);
        const Values shown = snapshot(d);
        for (QWidget* w : controls(d))
            perturb(w);
        for (auto it = shown.begin(); it != shown.end(); ++it)
            QVERIFY2(valueOf(d.findChild<QWidget*>(it.key())) != it.value(), qPrintable(it.key()));
        button(d, QStringLiteral("Generate"))->click();
        button(d, QStringLiteral("Cancel"))->click();
        QCOMPARE(d.result(), int(QDialog::Rejected));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(fileBytes(), before);
    }

    // Stored values no control can show come back as the nearest the
    // control offers, and OK stores that; a device that has gone comes back
    // as the system default.
    void storedValuesOutsideTheControls()
    {
        // Devices chosen before and not present now (this Qt keeps listing a
        // source unloaded while the process runs, so none is unloaded here):
        // they stay stored through OK.
        QSettings s;
        for (const char* key : {"audio/micDevice", "audio/lineInDevice", "broadcast/inputDevice"})
            s.setValue(QString::fromLatin1(key), QStringLiteral("Gone-Mic"));
        const Values seeds{{"audio/outputDevice", "No-Such-Output"}, {"silence/threshold", "0.5"},
                           {"silence/action", "5"}, {"dtmf/source", "Mic"}, {"dtmf/minLevel", "0"},
                           {"dtmf/beforeMin", "90"}, {"broadcast/sampleRate", "32000"},
                           {"broadcast/bitrate", "160"}, {"server/bitrate", "160"}, {"playback/fadeInMs", "20000"},
                           {"weather/windUnit", "beaufort"}, {"updates/url", "   "}};
        for (auto it = seeds.begin(); it != seeds.end(); ++it)
            s.setValue(it.key(), it.value());
        s.setValue(QStringLiteral("security/schedulerHash"), Security::hashPassword(QStringLiteral("old")));
        const Values before = iniValues();

        SettingsDialog d;
        QCOMPARE(control<QComboBox>(d, "audio/micDevice")->currentText(), QStringLiteral("Gone-Mic (not connected)"));
        QCOMPARE(control<QComboBox>(d, "audio/outputDevice")->currentText(),
                 QStringLiteral("No-Such-Output (not connected)"));
        QCOMPARE(control<QSlider>(d, "silence/threshold")->value(), 20);
        QVERIFY(std::ranges::count(d.findChildren<QLabel*>(), QStringLiteral("0.50"), &QLabel::text) == 1);
        QCOMPARE(control<QComboBox>(d, "dtmf/source")->currentText(), QStringLiteral("Off"));
        QVERIFY(!control<QLineEdit>(d, "dtmf/url")->isEnabled());
        QCOMPARE(control<QComboBox>(d, "broadcast/sampleRate")->currentText(), QStringLiteral("22050"));
        control<QLineEdit>(d, "security/schedulerPassword")->setText(QStringLiteral("typed"));
        control<QCheckBox>(d, "security/schedulerRemove")->setChecked(true);
        button(d, QStringLiteral("OK"))->click();

        const Values expected{
            {"silence/threshold", "0.2"}, {"silence/action", "0"},
            {"dtmf/source", "off"}, {"dtmf/minLevel", "2"}, {"dtmf/beforeMin", "5"},
            {"broadcast/sampleRate", "22050"}, {"broadcast/bitrate", "64"}, {"server/bitrate", "64"},
            {"playback/fadeInMs", "1500"}, {"weather/windUnit", "kmh"}, {"updates/url", kRemoved},
            {"security/schedulerHash", kRemoved},
        };
        const Values got = changes(before, iniValues());
        QVERIFY2(got == expected, mismatches(got, expected).constData());
    }

    void pagesDevicesAndScreenshots()
    {
        // The devices of the system alone, none kept from before.
        QSettings().remove(QStringLiteral("audio/outputDevice"));
        SettingsDialog d;
        auto* stack = d.findChild<QStackedWidget*>();
        auto* tree = d.findChild<QTreeWidget*>();
        QCOMPARE(stack->count(), 11);
        for (const QString& name : {QStringLiteral("Fading"), QStringLiteral("nothing"), QString()}) {
            d.showPage(name);
            QCOMPARE(stack->currentIndex(), 0);
        }
        d.showPage(QStringLiteral("bROADcast"));
        QCOMPARE(stack->currentIndex(), 4);
        QTreeWidgetItem* playback = tree->findItems(QStringLiteral("Playback"), Qt::MatchExactly).first();
        tree->setCurrentItem(playback->child(0));
        QCOMPARE(stack->currentIndex(), 2);
        tree->setCurrentItem(playback);
        QCOMPARE(stack->currentIndex(), 1);

        QStringList outputs{QStringLiteral("System default")};
        for (const QAudioDevice& dev : QMediaDevices::audioOutputs())
            outputs << dev.description();
        QVERIFY(outputs.contains(QStringLiteral("Null-Output")));
        auto* output = control<QComboBox>(d, "audio/outputDevice");
        QStringList listed;
        for (int i = 0; i < output->count(); ++i)
            listed << output->itemText(i);
        QCOMPARE(listed, outputs);
        QVERIFY(control<QComboBox>(d, "audio/lineInDevice")->findData(kMic) > 0);

        // To look at: every page as the operator sees it.
        const QString folder = qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR", testHome().path())
                               + QStringLiteral("/screenshots/settings");
        QVERIFY(QDir().mkpath(folder));
        d.resize(760, 620);
        d.show();
        int index = 0;
        for (QTreeWidgetItemIterator it(tree); *it; ++it, ++index) {
            tree->setCurrentItem(*it);
            const QString path = QStringLiteral("%1/%2-%3.png").arg(folder).arg(index, 2, 10, QLatin1Char('0'))
                                     .arg((*it)->text(0).toLower().replace(QLatin1Char(' '), QLatin1Char('-')));
            QVERIFY(d.grab().save(path));
        }
        QCOMPARE(index, 11);
    }

    void hotKeysStoreAtOnce()
    {
        PromptScript prompts;
        SettingsDialog d;
        auto* table = control<QTableWidget>(d, "hotkeys");
        QCOMPARE(table->rowCount(), 35); // 30 actions under 5 headings
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("Playback"));
        QVERIFY(!(table->item(0, 0)->flags() & Qt::ItemIsSelectable));
        QCOMPARE(table->item(1, 0)->text(), QStringLiteral("   Play"));
        QCOMPARE(table->item(1, 1)->text(), QStringLiteral("Ctrl+P"));

        button(d, QStringLiteral("Disable"))->click();
        button(d, QStringLiteral("Assign…"))->click();
        QCOMPARE(prompts.messages(), QStringList{QStringLiteral("Select an action first.")});

        table->setCurrentCell(1, 1);
        prompts.answerText(QStringLiteral("Ctrl+K"));
        button(d, QStringLiteral("Assign…"))->click();
        QCOMPARE(prompts.messages().last(), QStringLiteral("Ctrl+K is already assigned to \"Focus the search box\"."));
        QVERIFY(!QSettings().contains(QStringLiteral("hotkeys/play")));
        QCOMPARE(table->item(1, 1)->text(), QStringLiteral("Ctrl+P"));

        prompts.answerText(QString());
        button(d, QStringLiteral("Assign…"))->click();
        QCOMPARE(QSettings().value(QStringLiteral("hotkeys/play")).toString(), QString());
        QCOMPARE(table->item(1, 1)->text(), QString());
        table->setCurrentCell(2, 1);
        button(d, QStringLiteral("Disable"))->click();
        QVERIFY(HotKeys::shortcut(QStringLiteral("pause")).isEmpty());

        button(d, QStringLiteral("Reset all to defaults"))->click();
        QCOMPARE(table->item(1, 1)->text(), QStringLiteral("Ctrl+P"));
        QCOMPARE(table->item(2, 1)->text(), QStringLiteral("Space"));
        QVERIFY(!QSettings().contains(QStringLiteral("hotkeys/play")));

        prompts.answerText(QStringLiteral(" Ctrl+Shift+F7 "));
        button(d, QStringLiteral("Assign…"))->click();
        button(d, QStringLiteral("Cancel"))->click();
        QCOMPARE(HotKeys::shortcut(QStringLiteral("pause")), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F7));
        HotKeys::resetAll();
    }

    // Each chooser fills its field; a cancelled one leaves it.
    void choosersFillTheirFields()
    {
        PromptScript prompts;
        SettingsDialog d;
        const QList<std::pair<const char*, Prompts::Kind>> fields{
            {"voicetrack/folder", Prompts::Kind::Folder}, {"nowplaying/path", Prompts::Kind::SaveFile},
            {"silence/playlist", Prompts::Kind::OpenFile}, {"api/certFile", Prompts::Kind::OpenFile},
            {"api/keyFile", Prompts::Kind::OpenFile}};
        // The playlist's chooser works only for the action that loads it.
        auto* action = control<QComboBox>(d, "silence/action");
        QVERIFY(setValue(action, QStringLiteral("Play the next track")));
        QVERIFY(!buttonBeside(control<QLineEdit>(d, "silence/playlist"))->isEnabled());
        QVERIFY(setValue(action, QStringLiteral("Load an extra playlist")));
        for (const auto& [name, kind] : fields) {
            auto* field = control<QLineEdit>(d, name);
            QAbstractButton* browse = buttonBeside(field);
            QVERIFY2(browse && browse->text().startsWith(QLatin1String("Browse")), name);
            const QString chosen = QStringLiteral("/chosen/") + QString::fromLatin1(name);
            if (kind == Prompts::Kind::Folder)
                prompts.answerFolder(chosen);
            else
                prompts.answerFile(chosen);
            browse->click();
            QCOMPARE(field->text(), chosen);
            prompts.answer(kind, Prompts::Answer());
            browse->click();
            QCOMPARE(field->text(), chosen);
        }
        QCOMPARE(prompts.asked().size(), 10);
        QCOMPARE(prompts.asked().at(0).title, QStringLiteral("Voice Track folder"));
    }

    void apiExampleAndPassword()
    {
        QSettings().remove(QStringLiteral("api"));
        SettingsDialog d;
        auto* example = control<QLabel>(d, "api/example");
        QVERIFY(plainText(example).contains(QStringLiteral("Next track: http://127.0.0.1:9001/?pass=PASSWORD&cmd=next")));
        QVERIFY(plainText(example).contains(QStringLiteral("cmd=play%201")));

        // The host and what the operator typed show as typed.
        control<QCheckBox>(d, "api/localhostOnly")->setChecked(false);
        control<QLineEdit>(d, "api/username")->setText(QStringLiteral("a<b&c"));
        control<QLineEdit>(d, "api/password")->setText(QStringLiteral("p&amp;<i>"));
        control<QCheckBox>(d, "api/https")->setChecked(true);
        QCOMPARE(plainText(example).count(QStringLiteral("https://<this-pc>:9001/?user=a<b&c&pass=p&amp;<i>&")), qsizetype(3));
        QVERIFY(control<QLineEdit>(d, "api/certFile")->isEnabled());
        control<QCheckBox>(d, "api/https")->setChecked(false);
        QVERIFY(!control<QLineEdit>(d, "api/keyFile")->isEnabled());
        QVERIFY(button(d, QStringLiteral("Browse..."))->isEnabled());

        const QString alphabet = QStringLiteral("ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789");
        QSet<QString> drawn;
        for (int i = 0; i < 50; ++i) {
            button(d, QStringLiteral("Generate"))->click();
            const QString p = control<QLineEdit>(d, "api/password")->text();
            QCOMPARE(p.size(), 12);
            QVERIFY2(std::ranges::all_of(p, [&](QChar c) { return alphabet.contains(c); }), qPrintable(p));
            QVERIFY(plainText(example).contains(QStringLiteral("pass=") + p + QStringLiteral("&cmd=next")));
            drawn << p;
        }
        QCOMPARE(drawn.size(), 50);
    }

    // What the pages save is what the real services then do.
    void savedSettingsTakeEffect()
    {
        if (!BroadcastService::encoderAvailable())
            QSKIP("ffmpeg is not installed");
        IcecastServer ice;
        QVERIFY2(ice.start(), qPrintable(ice.errorText()));
        const QString npFile = testHome().scratch(QStringLiteral("np")) + QStringLiteral("/nowplaying.txt");
        QString preview;
        {
            SettingsDialog d;
            const QList<std::pair<const char*, QString>> edits{
                {"broadcast/host", "127.0.0.1"}, {"broadcast/port", QString::number(ice.port())},
                {"broadcast/mount", QString::fromLatin1(IcecastServer::kMount)},
                {"broadcast/username", "source"}, {"broadcast/password", QString::fromLatin1(IcecastServer::kSourcePassword)},
                {"broadcast/internalMix", "on"}, {"broadcast/name", "Settings FM"},
                {"silence/enabled", "on"}, {"silence/timeout", "1"}, {"silence/threshold", "7"},
                {"nowplaying/enabled", "on"}, {"nowplaying/path", npFile},
                {"nowplaying/format", "%title% (%year%) %duration%"}, {"nowplaying/maxLength", "30"},
                {"nowplaying/padForRds", "on"}};
            for (const auto& [name, value] : edits)
                QVERIFY2(setValue(d.findChild<QWidget*>(QString::fromLatin1(name)), value), name);
            preview = control<QLabel>(d, "nowplaying/preview")->text();
            QCOMPARE(preview, QStringLiteral("Preview: [Morning Tide (1984) 03:51     ]"));
            button(d, QStringLiteral("OK"))->click();
        }

        Track sample;
        sample.artist = QStringLiteral("Velvet Coastline");
        sample.title = QStringLiteral("Morning Tide");
        sample.album = QStringLiteral("Salt and Silver");
        sample.year = 1984;
        sample.durationMs = 231000;
        QVERIFY(NowPlayingFile::update(NowPlayingFile::configFromSettings(), sample, QString()));
        QFile np(npFile);
        QVERIFY(np.open(QIODevice::ReadOnly));
        QCOMPARE(QStringLiteral("Preview: [") + QString::fromUtf8(np.readAll()) + QLatin1Char(']'), preview);

        std::unique_ptr<SilenceDetector> detector(SilenceDetector::fromSettings());
        QVERIFY(!detector->feed(0.08, 2000));
        QVERIFY(!detector->feed(0.07, 900));
        QVERIFY(detector->feed(0.07, 100));

        ToneSource tone(44100, 2);
        TonePump pump(&tone, 40, 1.0);
        BroadcastService svc;
        connect(&pump, &TonePump::buffer, &svc, &BroadcastService::pushAudio);
        svc.setConfig(BroadcastService::configFromSettings());
        svc.start();
        QTRY_VERIFY_WITH_TIMEOUT(svc.isStreaming(), 15000);
        pump.start();
        QTRY_COMPARE_WITH_TIMEOUT(ice.mountStatus().value(QStringLiteral("server_name")).toString(),
                                  QStringLiteral("Settings FM"), 20000);
        svc.stop();
    }
};

OL_TEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
