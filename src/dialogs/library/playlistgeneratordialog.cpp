#include "playlistgeneratordialog.h"

#include "dialogs/prompts.h"
#include "library/musiclibrary.h"
#include "library/ownconnection.h"
#include "library/trackparams.h"
#include "library/trackselector.h"

#include <QCheckBox>
#include <QDateTime>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator64>
#include <QSet>
#include <QSpinBox>
#include <QThread>
#include <QtConcurrent>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace {

constexpr int kMaxTurns = 500000;
constexpr int kHistoryLimit = 200;

QSpinBox* makeSpin(QWidget* parent, const char* name, int maximum, const QString& suffix = {},
                   const QString& specialText = {})
{
    auto* spin = new QSpinBox(parent);
    spin->setObjectName(QLatin1String(name));
    spin->setRange(0, maximum);
    spin->setSuffix(suffix);
    spin->setSpecialValueText(specialText);
    return spin;
}

QLineEdit* makeEdit(QWidget* parent, const char* name, const QString& text, const QString& placeholder)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(QLatin1String(name));
    edit->setPlaceholderText(placeholder);
    return edit;
}

QToolButton* makeTool(QWidget* parent, const QString& text, const QString& toolTip = {})
{
    auto* button = new QToolButton(parent);
    button->setText(text);
    button->setToolTip(toolTip);
    return button;
}

// A file of a pool that may play now and passes the filters, with its tags.
struct Entry
{
    qsizetype file; // in Pool::files
    QStringList tags;
};

// The texts separation compares of an admitted track.
struct Key
{
    int artist = -1; // ids of the texts up to case; -1 for an empty text
    int title = -1;
    int album = -1;
};

// Admitted tracks by the id of one of their texts, in admission order: those
// of id k are members[starts[k]] up to members[starts[k + 1]].
struct TextIndex
{
    QList<int> starts;
    QList<int> members;

    void build(const QList<Key>& keys, int Key::*text, int idCount)
    {
        starts.fill(0, idCount + 1);
        for (const Key& key : keys) {
            if (key.*text >= 0)
                ++starts[key.*text + 1];
        }
        for (int id = 0; id < idCount; ++id)
            starts[id + 1] += starts[id];
        members.resize(starts.last());
        QList<int> next = starts;
        for (int i = 0; i < keys.size(); ++i) {
            if (keys[i].*text >= 0)
                members[next[keys[i].*text]++] = i;
        }
    }

    template <typename F>
    void forEach(int id, F f) const
    {
        if (id < 0 || id + 1 >= starts.size())
            return;
        for (int at = starts[id]; at < starts[id + 1]; ++at)
            f(members[at]);
    }
};

// The key under which texts that TrackSelector takes for equal meet: each
// UTF-16 unit folded the way a case-insensitive QString comparison folds it.
void foldKey(const QString& text, std::u32string& key)
{
    key.clear();
    char16_t last = 0;
    for (const QChar c : text) {
        char32_t unit = c.unicode();
        if (c.isLowSurrogate() && QChar::isHighSurrogate(last))
            unit = QChar::surrogateToUcs4(last, c.unicode());
        last = c.unicode();
        key.push_back(QChar::toCaseFolded(unit));
    }
}

class TextIds
{
public:
    int idFor(const QString& text)
    {
        if (text.isEmpty())
            return -1;
        // Folded into one buffer: most texts were seen before and need no key of their own.
        foldKey(text, m_folded);
        const auto seen = m_ids.find(std::u32string_view(m_folded));
        if (seen != m_ids.end())
            return seen->second;
        return m_ids.emplace(m_folded, int(m_ids.size())).first->second;
    }

    int count() const { return int(m_ids.size()); }

private:
    struct Hash
    {
        using is_transparent = void;
        size_t operator()(std::u32string_view key) const { return std::hash<std::u32string_view>()(key); }
    };
    std::unordered_map<std::u32string, int, Hash, std::equal_to<>> m_ids;
    std::u32string m_folded;
};

// A record with what the listing read of a file.
void fill(Track& track, const MusicLibrary::File& file)
{
    track.filePath = file.filePath;
    track.artist = file.artist;
    track.title = file.title;
    track.album = file.album;
    track.genre = file.genre;
    track.year = file.year;
    track.durationMs = file.durationMs;
}

// A path without stored parameters has the defaults.
const TrackParams& paramsOf(const QHash<QString, TrackParams>& params, const QString& path)
{
    static const TrackParams defaults;
    const auto p = params.constFind(path);
    return p == params.constEnd() ? defaults : *p;
}

using History = QList<std::pair<Key, qint64>>; // newest first, age in minutes

struct Pool
{
    QList<MusicLibrary::File> files; // the library's files in search order
    bool playable = false; // some file may play now
    QList<Entry> admitted; // those that may play and pass the filters: the fallback list
    // Per admitted track, apart from the records so that a turn's scan reads
    // little memory.
    QList<Key> keys;
    QList<double> weights;
    QList<bool> mayFollow; // carries the first tag of a cannot-follow pair
    mutable QList<int> blockedIn; // the last turn separation blocked it in
    // Admitted tracks by the ids of their texts, so that a turn touches only
    // the tracks the history blocks.
    TextIndex byArtist;
    TextIndex byTitle;
    TextIndex byAlbum;

    void index(int idCount)
    {
        byArtist.build(keys, &Key::artist, idCount);
        byTitle.build(keys, &Key::title, idCount);
        byAlbum.build(keys, &Key::album, idCount);
    }

    void admitAll(TextIds& textIds, const QHash<QString, TrackParams>& params, const GeneratorRules& rules,
                  const QDateTime& now)
    {
        QStringList afterTags;
        for (const GeneratorRules::CannotFollow& pair : rules.cannotFollow)
            afterTags << pair.afterTag;
        admitted.reserve(files.size());
        keys.reserve(files.size());
        weights.reserve(files.size());
        mayFollow.reserve(files.size());
        Track probe;
        for (qsizetype f = 0; f < files.size(); ++f) {
            const MusicLibrary::File& t = files.at(f);
            const TrackParams& p = paramsOf(params, t.filePath);
            if (!p.isAvailableAt(now))
                continue;
            playable = true;
            fill(probe, t);
            if (!TrackSelector::passesFilters(probe, p.tags, rules))
                continue;
            admitted.append({f, p.tags});
            keys.append({textIds.idFor(t.artist), textIds.idFor(t.title), textIds.idFor(t.album)});
            weights.append(TrackSelector::weightFor(TrackSelector::priorityFor(probe, p.rating, rules)));
            mayFollow.append(TrackSelector::violatesCannotFollow(p.tags, afterTags, rules));
        }
        blockedIn.fill(-1, admitted.size());
    }

    void block(const History& history, const GeneratorRules& rules, int turn) const
    {
        const auto mark = [&](const TextIndex& by, int id) { by.forEach(id, [&](int i) { blockedIn[i] = turn; }); };
        for (const auto& [key, age] : history) {
            if (age < rules.noRepeatArtistMin)
                mark(byArtist, key.artist);
            if (age < rules.noRepeatTitleMin)
                mark(byTitle, key.title);
            if (age < rules.noRepeatAlbumMin)
                mark(byAlbum, key.album);
        }
    }
};

using Pick = std::pair<const Pool*, qsizetype>; // a pool and one of its files

// The turns of a run, one rotation slot each, until the target is reached.
QList<Pick> runTurns(const QList<const Pool*>& turns, const GeneratorRules& rules, qint64 target,
                      int historyLimit, QRandomGenerator64& random)
{
    QStringList firstTags;
    for (const GeneratorRules::CannotFollow& pair : rules.cannotFollow)
        firstTags << pair.tag;
    History history;
    QList<Pick> output;
    QStringList previousTags;
    QList<int> candidates;
    QList<double> weights;
    qint64 total = 0;
    int idleTurns = 0;
    for (int turn = 0; turn < kMaxTurns && total < target; ++turn) {
        const Pool& pool = *turns[turn % turns.size()];
        int pick = -1;
        if (pool.playable) {
            pool.block(history, rules, turn);
            const bool followRules = TrackSelector::violatesCannotFollow(firstTags, previousTags, rules);
            // Filled in place: the scan runs over the whole pool every turn.
            const qsizetype count = pool.weights.size();
            candidates.resize(count);
            weights.resize(count);
            int* candidate = candidates.data();
            double* weight = weights.data();
            const double* poolWeight = pool.weights.constData();
            const int* blockedIn = pool.blockedIn.constData();
            qsizetype found = 0;
            for (int i = 0; i < count; ++i) {
                if (poolWeight[i] <= 0.0 || blockedIn[i] == turn)
                    continue;
                if (followRules && pool.mayFollow[i]
                    && TrackSelector::violatesCannotFollow(pool.admitted[i].tags, previousTags, rules))
                    continue;
                candidate[found] = i;
                weight[found] = poolWeight[i];
                ++found;
            }
            candidates.resize(found);
            weights.resize(found);
            const double r = random.bounded(1000000) / 1000000.0;
            const int i = TrackSelector::pickWeighted(weights, r);
            if (i >= 0)
                pick = candidates[i];
            else if (!pool.admitted.isEmpty())
                pick = random.bounded(int(pool.admitted.size()));
        }
        if (pick < 0) {
            // The fallback lists are fixed for the run, so once a whole cycle
            // picked nothing no later turn can pick either.
            if (++idleTurns >= turns.size())
                break;
            continue;
        }
        idleTurns = 0;

        const MusicLibrary::File& track = pool.files.at(pool.admitted[pick].file);
        output.append({&pool, pool.admitted[pick].file});
        previousTags = pool.admitted[pick].tags;
        const bool unmeasured = track.durationMs < 1;
        total += unmeasured ? 180000 : track.durationMs;
        const qint64 minutes = unmeasured ? 4 : track.durationMs / 60000 + 1;
        for (auto& entry : history)
            entry.second += minutes;
        history.prepend({pool.keys[pick], 0});
        while (history.size() > historyLimit)
            history.removeLast();
    }

    return output;
}

// The stored parameters of the libraries' files, read on a connection of
// the worker's own so that the listings can be read meanwhile; nothing when
// that connection cannot be opened.
QFuture<std::optional<QHash<QString, TrackParams>>> readParams(const QStringList& libraries)
{
    const QString file = MusicLibrary::database().databaseName();
    return QtConcurrent::run([file, libraries]() -> std::optional<QHash<QString, TrackParams>> {
        OwnConnection connection(file, QStringLiteral("ol_generator_%1").arg(quintptr(QThread::currentThreadId())));
        std::optional<QHash<QString, TrackParams>> params;
        if (connection.open()) {
            params.emplace();
            for (const QString& name : libraries)
                params->insert(TrackParams::loadLibrary(name, connection.name()));
        }
        return params;
    });
}

// The picks as whole records; a file whose record went meanwhile keeps what
// the listing read.
QList<Track> recordsOf(const QList<Pick>& picks)
{
    QSet<qint64> ids;
    for (const auto& [pool, file] : picks)
        ids.insert(pool->files.at(file).id);
    const QHash<qint64, Track> records = MusicLibrary().recordsById(ids.values());
    QList<Track> out;
    out.reserve(picks.size());
    for (const auto& [pool, file] : picks) {
        const MusicLibrary::File& listed = pool->files.at(file);
        const auto record = records.constFind(listed.id);
        if (record != records.cend()) {
            out.append(*record);
            continue;
        }
        fill(out.emplace_back(), listed);
    }
    return out;
}

} // namespace

PlaylistGeneratorDialog::PlaylistGeneratorDialog(QWidget* parent, QRandomGenerator64* random)
    : QDialog(parent)
    , m_random(random ? random : QRandomGenerator64::global())
{
    setWindowTitle(QStringLiteral("Playlist Generator"));
    setMinimumSize(680, 460);
    auto* layout = new QVBoxLayout(this);

    auto* intro = new QLabel(QStringLiteral("Build a rotation from your libraries. Tracks are pulled from each "
                                            "library in turn until the target length is reached."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto* lists = new QGridLayout;
    m_libraryList = new QListWidget(this);
    m_libraryList->setObjectName(QStringLiteral("libraryList"));
    m_rotationList = new QListWidget(this);
    m_rotationList->setObjectName(QStringLiteral("rotationList"));
    m_estimate = new QLabel(this);
    m_estimate->setObjectName(QStringLiteral("estimate"));
    auto* add = makeTool(this, QStringLiteral("→"), QStringLiteral("Add to rotation"));
    auto* remove = makeTool(this, QStringLiteral("←"), QStringLiteral("Remove from rotation"));
    auto* up = makeTool(this, QStringLiteral("↑"));
    auto* down = makeTool(this, QStringLiteral("↓"));
    auto* tools = new QVBoxLayout;
    tools->addStretch();
    tools->addWidget(add);
    tools->addWidget(remove);
    tools->addSpacing(12);
    tools->addWidget(up);
    tools->addWidget(down);
    tools->addStretch();
    auto* rotationHeader = new QHBoxLayout;
    rotationHeader->addWidget(new QLabel(QStringLiteral("Rotation (order)"), this));
    rotationHeader->addStretch();
    rotationHeader->addWidget(m_estimate);
    lists->addWidget(new QLabel(QStringLiteral("Libraries"), this), 0, 0);
    lists->addLayout(rotationHeader, 0, 2);
    lists->addWidget(m_libraryList, 1, 0);
    lists->addLayout(tools, 1, 1);
    lists->addWidget(m_rotationList, 1, 2);
    layout->addLayout(lists, 1);

    auto* options = new QGroupBox(QStringLiteral("Options"), this);
    auto* optionsGrid = new QGridLayout(options);
    m_hours = makeSpin(this, "hoursSpin", 24, QStringLiteral(" h"));
    m_hours->setValue(1);
    m_minutes = makeSpin(this, "minutesSpin", 59, QStringLiteral(" min"));
    m_avoidArtist = new QCheckBox(QStringLiteral("Avoid repeating the same artist within"), this);
    m_avoidArtist->setObjectName(QStringLiteral("avoidArtistBox"));
    m_avoidArtist->setChecked(true);
    m_avoidArtistCount = makeSpin(this, "avoidArtistCount", 100, QStringLiteral(" tracks"));
    m_avoidArtistCount->setMinimum(1);
    m_avoidArtistCount->setValue(10);
    optionsGrid->addWidget(new QLabel(QStringLiteral("Total length:"), this), 0, 0);
    optionsGrid->addWidget(m_hours, 0, 1);
    optionsGrid->addWidget(m_minutes, 0, 2);
    optionsGrid->addWidget(m_avoidArtist, 1, 0, 1, 2);
    optionsGrid->addWidget(m_avoidArtistCount, 1, 2);
    layout->addWidget(options);

    const GeneratorRules stored = GeneratorRules::fromSettings();

    auto* priority = new QGroupBox(QStringLiteral("Separation and priority"), this);
    auto* priorityGrid = new QGridLayout(priority);
    const auto separationRow = [&](int row, const QString& label, const char* name, int minutes) {
        QSpinBox* spin = makeSpin(this, name, 1440, QStringLiteral(" min"), QStringLiteral("off"));
        spin->setValue(minutes);
        priorityGrid->addWidget(new QLabel(label, this), row, 0);
        priorityGrid->addWidget(spin, row, 1);
        return spin;
    };
    m_artistSeparation = separationRow(0, QStringLiteral("Do not repeat artist for:"), "artistSeparation",
                                       stored.noRepeatArtistMin);
    m_titleSeparation = separationRow(1, QStringLiteral("Do not repeat title for:"), "titleSeparation",
                                      stored.noRepeatTitleMin);
    m_albumSeparation = separationRow(2, QStringLiteral("Do not repeat album for:"), "albumSeparation",
                                      stored.noRepeatAlbumMin);
    m_favourRated = new QCheckBox(QStringLiteral("Favour higher-rated tracks"), this);
    m_favourRated->setObjectName(QStringLiteral("favourRatedBox"));
    m_favourRated->setChecked(stored.useRatings);
    m_favourRated->setToolTip(
        QStringLiteral("A track rated 10 is about 3.5x more likely to be chosen than an unrated one."));
    m_minRating = makeSpin(this, "minimumRating", 10, {}, QStringLiteral("any"));
    m_minRating->setValue(stored.minRating);
    priorityGrid->addWidget(m_favourRated, 3, 0, 1, 2);
    priorityGrid->addWidget(new QLabel(QStringLiteral("Minimum rating:"), this), 4, 0);
    priorityGrid->addWidget(m_minRating, 4, 1);
    layout->addWidget(priority);

    auto* filters = new QGroupBox(QStringLiteral("Filters and constraints"), this);
    auto* filterGrid = new QGridLayout(filters);
    const QString joiner = QStringLiteral(", ");
    m_includeTags = makeEdit(this, "includeTags", stored.tagsOf(false).join(joiner),
                             QStringLiteral("any of these, comma-separated (blank = any)"));
    m_excludeTags = makeEdit(this, "excludeTags", stored.tagsOf(true).join(joiner),
                             QStringLiteral("skip tracks carrying any of these"));
    m_genres = makeEdit(this, "genres", stored.genres.join(joiner), QStringLiteral("e.g. Rock, Pop (blank = any)"));
    m_yearFrom = makeSpin(this, "yearFrom", 3000, {}, QStringLiteral("any"));
    m_yearFrom->setValue(stored.minYear);
    m_yearTo = makeSpin(this, "yearTo", 3000, {}, QStringLiteral("any"));
    m_yearTo->setValue(stored.maxYear);
    m_cannotFollow = new QPlainTextEdit(stored.cannotFollowText(), this);
    m_cannotFollow->setObjectName(QStringLiteral("cannotFollow"));
    // Room for three rules whatever the font; the layout must not squeeze it
    // to one line.
    const int threeLines = 3 * m_cannotFollow->fontMetrics().lineSpacing()
                           + 2 * int(m_cannotFollow->document()->documentMargin())
                           + 2 * m_cannotFollow->frameWidth();
    m_cannotFollow->setMinimumHeight(threeLines);
    m_cannotFollow->setMaximumHeight(std::max(70, threeLines));
    m_cannotFollow->setPlaceholderText(
        QStringLiteral("one rule per line: TAG after TAG\n(a track tagged the first may not follow one tagged the second)"));
    filterGrid->addWidget(new QLabel(QStringLiteral("Include tags:"), this), 0, 0);
    filterGrid->addWidget(m_includeTags, 0, 1, 1, 3);
    filterGrid->addWidget(new QLabel(QStringLiteral("Exclude tags:"), this), 1, 0);
    filterGrid->addWidget(m_excludeTags, 1, 1, 1, 3);
    filterGrid->addWidget(new QLabel(QStringLiteral("Genres:"), this), 2, 0);
    filterGrid->addWidget(m_genres, 2, 1, 1, 3);
    filterGrid->addWidget(new QLabel(QStringLiteral("Year from:"), this), 3, 0);
    filterGrid->addWidget(m_yearFrom, 3, 1);
    filterGrid->addWidget(new QLabel(QStringLiteral("to:"), this), 3, 2);
    filterGrid->addWidget(m_yearTo, 3, 3);
    filterGrid->addWidget(new QLabel(QStringLiteral("Cannot follow:"), this), 4, 0);
    filterGrid->addWidget(m_cannotFollow, 4, 1, 1, 3);
    layout->addWidget(filters);

    auto* buttons = new QHBoxLayout;
    auto* generateButton = new QPushButton(QStringLiteral("Generate → Playlist"), this);
    generateButton->setDefault(true);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    buttons->addStretch();
    buttons->addWidget(generateButton);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    // Shown at its size hint the window would be cut off below its wrapped
    // texts; it opens tall enough for them at its own width.
    const QSize hint = sizeHint();
    resize(hint.width(), std::max(hint.height(), layout->totalHeightForWidth(hint.width())));

    const QStringList libraries = MusicLibrary::availableLibraries();
    if (libraries.isEmpty())
        m_libraryList->addItem(QStringLiteral("(no libraries - add some in Music Library)"));
    else
        m_libraryList->addItems(libraries);
    if (!libraries.isEmpty())
        m_rotationList->addItems({libraries.first(), libraries.first()});
    updateEstimate();

    connect(add, &QToolButton::clicked, this, &PlaylistGeneratorDialog::addToRotation);
    connect(m_libraryList, &QListWidget::itemDoubleClicked, this, &PlaylistGeneratorDialog::addToRotation);
    connect(remove, &QToolButton::clicked, this, &PlaylistGeneratorDialog::removeFromRotation);
    connect(up, &QToolButton::clicked, this, &PlaylistGeneratorDialog::moveRotationUp);
    connect(down, &QToolButton::clicked, this, &PlaylistGeneratorDialog::moveRotationDown);
    connect(generateButton, &QPushButton::clicked, this, &PlaylistGeneratorDialog::generate);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_hours, &QSpinBox::valueChanged, this, &PlaylistGeneratorDialog::updateEstimate);
    connect(m_minutes, &QSpinBox::valueChanged, this, &PlaylistGeneratorDialog::updateEstimate);
}

void PlaylistGeneratorDialog::addToRotation()
{
    const QListWidgetItem* item = m_libraryList->currentItem();
    // "(" marks the placeholder shown when there is no library.
    if (item && !item->text().startsWith(QLatin1Char('(')))
        m_rotationList->addItem(item->text());
    updateEstimate();
}

void PlaylistGeneratorDialog::removeFromRotation()
{
    delete m_rotationList->takeItem(m_rotationList->currentRow());
    updateEstimate();
}

void PlaylistGeneratorDialog::moveRotationUp()
{
    const int row = m_rotationList->currentRow();
    if (row <= 0)
        return;
    m_rotationList->insertItem(row - 1, m_rotationList->takeItem(row));
    m_rotationList->setCurrentRow(row - 1);
}

void PlaylistGeneratorDialog::moveRotationDown()
{
    const int row = m_rotationList->currentRow();
    if (row < 0 || row >= m_rotationList->count() - 1)
        return;
    m_rotationList->insertItem(row + 1, m_rotationList->takeItem(row));
    m_rotationList->setCurrentRow(row + 1);
}

void PlaylistGeneratorDialog::updateEstimate()
{
    const int count = m_rotationList->count();
    m_estimate->setText(QStringLiteral("%1 slot%2 • target %3 min")
                            .arg(count)
                            .arg(count == 1 ? QString() : QStringLiteral("s"))
                            .arg(m_hours->value() * 60 + m_minutes->value()));
}

void PlaylistGeneratorDialog::tell(const QString& text)
{
    Prompts::information(this, QStringLiteral("Playlist Generator"), text);
}

GeneratorRules PlaylistGeneratorDialog::rulesFromControls() const
{
    GeneratorRules rules;
    rules.noRepeatArtistMin = m_avoidArtist->isChecked() ? m_artistSeparation->value() : 0;
    rules.noRepeatTitleMin = m_titleSeparation->value();
    rules.noRepeatAlbumMin = m_albumSeparation->value();
    rules.useRatings = m_favourRated->isChecked();
    rules.minRating = m_minRating->value();
    const QStringList include = GeneratorRules::splitList(m_includeTags->text());
    if (!include.isEmpty())
        rules.tagFilters.append({false, include});
    const QStringList exclude = GeneratorRules::splitList(m_excludeTags->text());
    if (!exclude.isEmpty())
        rules.tagFilters.append({true, exclude});
    rules.genres = GeneratorRules::splitList(m_genres->text());
    rules.minYear = m_yearFrom->value();
    rules.maxYear = m_yearTo->value();
    rules.cannotFollow = GeneratorRules::parseCannotFollow(m_cannotFollow->toPlainText());
    return rules;
}

void PlaylistGeneratorDialog::generate()
{
    QStringList rotation;
    for (int i = 0; i < m_rotationList->count(); ++i)
        rotation << m_rotationList->item(i)->text();
    if (rotation.isEmpty()) {
        tell(QStringLiteral("Add at least one library to the rotation."));
        return;
    }

    // Every file's parameters are read once per run, beside the listings:
    // the run blocks the thread that also plays out. Filters, weights and
    // the texts separation compares do not change during a run.
    QMap<QString, Pool> pools;
    for (const QString& name : std::as_const(rotation))
        pools[name];
    auto reading = readParams(pools.keys());
    for (auto p = pools.begin(); p != pools.end(); ++p) {
        MusicLibrary library;
        library.load(p.key());
        p->files = library.listFiles();
    }
    std::optional<QHash<QString, TrackParams>> params = reading.result();
    if (!params) {
        params.emplace();
        for (auto p = pools.cbegin(); p != pools.cend(); ++p)
            params->insert(TrackParams::loadLibrary(p.key()));
    }
    const GeneratorRules rules = rulesFromControls();
    TextIds textIds;
    bool anyPlayable = false;
    for (Pool& pool : pools) {
        pool.admitAll(textIds, *params, rules, QDateTime::currentDateTime());
        anyPlayable = anyPlayable || pool.playable;
    }

    if (!anyPlayable) {
        tell(QStringLiteral("The selected libraries contain no playable tracks."));
        return;
    }

    const qint64 target = (qint64(m_hours->value()) * 3600 + m_minutes->value() * 60) * 1000;
    const int historyLimit = qMax(kHistoryLimit, m_avoidArtistCount->value());
    GeneratorRules::saveToSettings(rules);
    if (target < 1) {
        tell(QStringLiteral("Nothing was generated."));
        return;
    }

    for (Pool& pool : pools)
        pool.index(textIds.count());
    QList<const Pool*> turns;
    for (const QString& name : std::as_const(rotation))
        turns.append(&pools[name]);
    const QList<Track> output = recordsOf(runTurns(turns, rules, target, historyLimit, *m_random));

    if (output.isEmpty()) {
        tell(QStringLiteral("Nothing was generated."));
        return;
    }
    emit playlistGenerated(output);
    accept();
}
