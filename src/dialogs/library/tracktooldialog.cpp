#include "dialogs/library/tracktooldialog.h"

#include "dialogs/library/waveformview.h"
#include "dialogs/prompts.h"
#include "engine/audiorender.h"
#include "engine/loudnessmeter.h"
#include "engine/voiceovers.h"
#include "engine/waveformdata.h"
#include "library/audiofiles.h"
#include "library/librarywriter.h"

#include <QAudioOutput>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMediaPlayer>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

struct MarkStyle
{
    QString name; // also the mark chooser's item
    QColor colour;
};

const std::array<MarkStyle, 7>& markStyles()
{
    static const std::array<MarkStyle, 7> styles{{
        {QStringLiteral("Start"), QColor(120, 220, 140)},
        {QStringLiteral("End"), QColor(220, 120, 120)},
        {QStringLiteral("Intro"), QColor(120, 180, 240)},
        {QStringLiteral("Outro"), QColor(120, 180, 240)},
        {QStringLiteral("Hook in"), QColor(240, 200, 100)},
        {QStringLiteral("Hook out"), QColor(240, 200, 100)},
        {QStringLiteral("Voice ins"), QColor(240, 130, 200)},
    }};
    return styles;
}

const QStringList kDays{QStringLiteral("Mon"), QStringLiteral("Tue"), QStringLiteral("Wed"), QStringLiteral("Thu"),
                        QStringLiteral("Fri"), QStringLiteral("Sat"), QStringLiteral("Sun")};

constexpr double kTargetLufs = -18.0;
constexpr double kMaxGainDb = 12.0;
constexpr int kDecodeTimeoutMs = 120000;
constexpr int kWaveformBuckets = 1500;
const QString kGrey = QStringLiteral("color:#666;");

QDoubleSpinBox* secondsSpin(double maximum, const QString& name)
{
    auto* spin = new QDoubleSpinBox;
    spin->setObjectName(name);
    spin->setRange(0.0, maximum);
    spin->setDecimals(2);
    spin->setSingleStep(0.25);
    spin->setSuffix(QStringLiteral(" sec"));
    spin->setSpecialValueText(QStringLiteral("not set"));
    return spin;
}

// Shown seconds become milliseconds truncated, never rounded.
qint64 spinMs(const QDoubleSpinBox* spin)
{
    return qint64(spin->value() * 1000.0);
}

// An override spin at "not set" inherits.
qint64 overrideMs(const QDoubleSpinBox* spin)
{
    return spin->value() > 0 ? spinMs(spin) : -1;
}

void showOverride(QDoubleSpinBox* spin, qint64 ms)
{
    spin->setValue(ms > 0 ? ms / 1000.0 : 0.0);
}

// A level factor as the percent a spin shows. Rounded, so that a dialog
// closed without an edit stores the level it loaded (0.29 is 28.999...%).
int levelPercent(double level, const QSpinBox* spin)
{
    const double percent = std::clamp(level * 100.0, double(spin->minimum()), double(spin->maximum()));
    return int(std::lround(percent));
}

QSpinBox* levelSpin(const QString& name)
{
    auto* spin = new QSpinBox;
    spin->setObjectName(name);
    spin->setRange(10, 200);
    spin->setSuffix(QStringLiteral(" %"));
    spin->setValue(100);
    return spin;
}

QLabel* greyLabel(const QString& text, const QString& name = {})
{
    auto* label = new QLabel(text);
    label->setStyleSheet(kGrey);
    label->setObjectName(name);
    return label;
}

QPushButton* button(const QString& text, const QString& name)
{
    auto* b = new QPushButton(text);
    b->setObjectName(name);
    return b;
}

QDateEdit* dateEdit(const QDate& date, const QString& name)
{
    auto* edit = new QDateEdit(date);
    edit->setObjectName(name);
    edit->setCalendarPopup(true);
    edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    return edit;
}

} // namespace

TrackToolDialog::TrackToolDialog(const Track& track, QWidget* parent) : QDialog(parent), m_track(track)
{
    setWindowTitle(QStringLiteral("Track Tool - ") + m_track.displayName());
    setMinimumWidth(560);
    auto* layout = new QVBoxLayout(this);

    auto* header = new QLabel(QStringLiteral("<b>%1</b><br><span style='color:#666;'>%2</span>")
                                  .arg(m_track.displayName().toHtmlEscaped(),
                                       QFileInfo(m_track.filePath).fileName().toHtmlEscaped()));
    header->setObjectName(QStringLiteral("header"));
    header->setTextFormat(Qt::RichText);
    layout->addWidget(header);

    m_waveform = new WaveformView;
    m_waveform->setObjectName(QStringLiteral("waveform"));
    layout->addWidget(m_waveform);

    auto* placeRow = new QHBoxLayout;
    m_waveformHint = greyLabel(QStringLiteral("Click the waveform to place the selected mark."));
    placeRow->addWidget(m_waveformHint, 1);
    placeRow->addWidget(new QLabel(QStringLiteral("Place:")));
    m_markChooser = new QComboBox;
    m_markChooser->setObjectName(QStringLiteral("markChooser"));
    for (const MarkStyle& mark : markStyles())
        m_markChooser->addItem(mark.name);
    placeRow->addWidget(m_markChooser);
    layout->addLayout(placeRow);

    auto* cueGroup = new QGroupBox(QStringLiteral("Cue marks"));
    auto* cueGrid = new QGridLayout(cueGroup);
    m_startSpin = secondsSpin(3600, QStringLiteral("startSpin"));
    m_endSpin = secondsSpin(3600, QStringLiteral("endSpin"));
    m_introSpin = secondsSpin(120, QStringLiteral("introSpin"));
    m_outroSpin = secondsSpin(120, QStringLiteral("outroSpin"));
    m_hookInSpin = secondsSpin(3600, QStringLiteral("hookInSpin"));
    m_hookOutSpin = secondsSpin(3600, QStringLiteral("hookOutSpin"));
    cueGrid->addWidget(new QLabel(QStringLiteral("Start:")), 0, 0);
    cueGrid->addWidget(m_startSpin, 0, 1);
    cueGrid->addWidget(new QLabel(QStringLiteral("End:")), 0, 2);
    cueGrid->addWidget(m_endSpin, 0, 3);
    cueGrid->addWidget(new QLabel(QStringLiteral("Intro:")), 1, 0);
    cueGrid->addWidget(m_introSpin, 1, 1);
    cueGrid->addWidget(new QLabel(QStringLiteral("Outro:")), 1, 2);
    cueGrid->addWidget(m_outroSpin, 1, 3);
    cueGrid->addWidget(new QLabel(QStringLiteral("Hook in:")), 2, 0);
    cueGrid->addWidget(m_hookInSpin, 2, 1);
    cueGrid->addWidget(new QLabel(QStringLiteral("Hook out:")), 2, 2);
    cueGrid->addWidget(m_hookOutSpin, 2, 3);
    m_hookStatus = greyLabel(QString(), QStringLiteral("hookStatus"));
    cueGrid->addWidget(m_hookStatus, 3, 0, 1, 4);
    auto* cueNote = new QLabel(QStringLiteral(
        "<i>Intro and outro are used by voice tracking; the hook marks select the part of the track used in "
        "Teasers (under 21 seconds).</i>"));
    cueNote->setWordWrap(true);
    cueGrid->addWidget(cueNote, 4, 0, 1, 4);
    layout->addWidget(cueGroup);

    auto* fadeGroup = new QGroupBox(QStringLiteral("Crossfade (overrides the file type and Music defaults)"));
    auto* fadeGrid = new QGridLayout(fadeGroup);
    m_fadeInSpin = secondsSpin(30, QStringLiteral("fadeInSpin"));
    m_mixSpin = secondsSpin(60, QStringLiteral("mixSpin"));
    m_fadeOutSpin = secondsSpin(30, QStringLiteral("fadeOutSpin"));
    m_mixStartSpin = secondsSpin(60, QStringLiteral("mixStartSpin"));
    m_mixStartSpin->setToolTip(QStringLiteral("Lets this track start earlier in the mix - typically set after a "
                                              "quiet intro. Requires a Start mark."));
    m_levelSpin = levelSpin(QStringLiteral("levelSpin"));
    m_autoButton = button(QStringLiteral("Auto"), QStringLiteral("autoButton"));
    m_autoButton->setToolTip(QStringLiteral("Measure loudness (EBU R128) and set the level automatically. The "
                                            "audio file is not modified."));
    m_loudnessStatus = greyLabel(QString(), QStringLiteral("loudnessStatus"));
    fadeGrid->addWidget(new QLabel(QStringLiteral("Fade in:")), 0, 0);
    fadeGrid->addWidget(m_fadeInSpin, 0, 1);
    fadeGrid->addWidget(new QLabel(QStringLiteral("Mix:")), 0, 2);
    fadeGrid->addWidget(m_mixSpin, 0, 3);
    fadeGrid->addWidget(new QLabel(QStringLiteral("Fade out:")), 1, 0);
    fadeGrid->addWidget(m_fadeOutSpin, 1, 1);
    fadeGrid->addWidget(new QLabel(QStringLiteral("Mix start:")), 1, 2);
    fadeGrid->addWidget(m_mixStartSpin, 1, 3);
    fadeGrid->addWidget(new QLabel(QStringLiteral("Playback level:")), 2, 0);
    fadeGrid->addWidget(m_levelSpin, 2, 1);
    fadeGrid->addWidget(m_autoButton, 2, 2);
    fadeGrid->addWidget(m_loudnessStatus, 2, 3);
    layout->addWidget(fadeGroup);

    auto* voiceGroup = new QGroupBox(QStringLiteral("Voiceover"));
    auto* voiceRow = new QHBoxLayout(voiceGroup);
    m_voiceInsSpin = secondsSpin(3600, QStringLiteral("voiceInsSpin"));
    m_voiceoverButton = button(QStringLiteral("…"), QStringLiteral("voiceoverButton"));
    m_voiceoverButton->setMaximumWidth(34);
    m_voiceoverButton->setToolTip(
        QStringLiteral("Edit voiceover parameters. Right-click to pre-listen the voice insert."));
    m_voiceoverButton->setContextMenuPolicy(Qt::CustomContextMenu);
    m_voiceoverSummary = greyLabel(QString(), QStringLiteral("voiceoverSummary"));
    voiceRow->addWidget(new QLabel(QStringLiteral("Voice ins:")));
    voiceRow->addWidget(m_voiceInsSpin);
    voiceRow->addWidget(m_voiceoverButton);
    voiceRow->addWidget(m_voiceoverSummary, 1);
    layout->addWidget(voiceGroup);

    auto* availability = new QGroupBox(QStringLiteral("Availability (used by the Playlist Generator)"));
    auto* availLayout = new QVBoxLayout(availability);
    m_disableCheck = new QCheckBox(QStringLiteral("Disable song (never used when generating playlists)"));
    m_disableCheck->setObjectName(QStringLiteral("disableCheck"));
    availLayout->addWidget(m_disableCheck);
    auto* tagsRow = new QHBoxLayout;
    m_tagsEdit = new QLineEdit;
    m_tagsEdit->setObjectName(QStringLiteral("tagsEdit"));
    m_tagsEdit->setPlaceholderText(QStringLiteral("comma-separated labels, e.g. NEW, PROMO"));
    m_tagsEdit->setToolTip(QStringLiteral("User labels. Auto Intro's \"Must contain tags\" filter matches on these."));
    tagsRow->addWidget(new QLabel(QStringLiteral("Tags:")));
    tagsRow->addWidget(m_tagsEdit, 1);
    availLayout->addLayout(tagsRow);
    auto* datesRow = new QHBoxLayout;
    m_dateRangeCheck = new QCheckBox(QStringLiteral("Only play between"));
    m_dateRangeCheck->setObjectName(QStringLiteral("dateRangeCheck"));
    m_fromDate = dateEdit(QDate::currentDate(), QStringLiteral("fromDate"));
    m_toDate = dateEdit(QDate::currentDate().addMonths(1), QStringLiteral("toDate"));
    datesRow->addWidget(m_dateRangeCheck);
    datesRow->addWidget(m_fromDate);
    datesRow->addWidget(new QLabel(QStringLiteral("and")));
    datesRow->addWidget(m_toDate);
    datesRow->addStretch(1);
    availLayout->addLayout(datesRow);
    m_daypartCheck = new QCheckBox(QStringLiteral("Restrict to certain days and hours (dayparting)"));
    m_daypartCheck->setObjectName(QStringLiteral("daypartCheck"));
    availLayout->addWidget(m_daypartCheck);
    buildDaypartGrid(availability);
    availLayout->addWidget(m_daypartGrid);
    auto* gridButtons = new QHBoxLayout;
    auto* selectAll = button(QStringLiteral("Select all"), QStringLiteral("selectAllButton"));
    auto* clearAll = button(QStringLiteral("Clear"), QStringLiteral("clearButton"));
    m_stateLabel = greyLabel(QString(), QStringLiteral("stateLabel"));
    gridButtons->addWidget(selectAll);
    gridButtons->addWidget(clearAll);
    gridButtons->addStretch(1);
    gridButtons->addWidget(m_stateLabel);
    availLayout->addLayout(gridButtons);
    layout->addWidget(availability);

    auto* buttons = new QHBoxLayout;
    auto* reset = button(QStringLiteral("Reset to defaults"), QStringLiteral("resetButton"));
    auto* ok = button(QStringLiteral("OK"), QStringLiteral("okButton"));
    auto* cancel = button(QStringLiteral("Cancel"), QStringLiteral("cancelButton"));
    ok->setDefault(true);
    buttons->addWidget(reset);
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    // Shown at its size hint the window would be cut off below its wrapped
    // texts; it opens tall enough for them at its own width.
    const QSize hint = sizeHint();
    resize(hint.width(), std::max(hint.height(), layout->totalHeightForWidth(hint.width())));

    checkHook();

    connect(m_hookInSpin, &QDoubleSpinBox::valueChanged, this, [this] { checkHook(); });
    connect(m_hookOutSpin, &QDoubleSpinBox::valueChanged, this, [this] { checkHook(); });
    connect(m_autoButton, &QPushButton::clicked, this, [this] { measureLoudness(); });
    connect(this, &QDialog::finished, this, &TrackToolDialog::stopMeasuring);
    connect(m_voiceoverButton, &QPushButton::clicked, this, [this] { editVoiceover(); });
    connect(m_voiceoverButton, &QWidget::customContextMenuRequested, this, [this] { prelistenVoiceover(); });
    connect(selectAll, &QPushButton::clicked, this, [this] { setDaypartAll(true); });
    connect(clearAll, &QPushButton::clicked, this, [this] { setDaypartAll(false); });
    connect(m_dateRangeCheck, &QCheckBox::toggled, this, [this] { applyEnabling(); });
    connect(m_daypartCheck, &QCheckBox::toggled, this, [this] { applyEnabling(); });
    connect(m_daypartGrid, &QTableWidget::cellClicked, this, [this](int row, int column) {
        QTableWidgetItem* cell = m_daypartGrid->item(row, column);
        if (cell)
            cell->setCheckState(cell->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    });
    connect(ok, &QPushButton::clicked, this, [this] {
        if (save())
            accept();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(reset, &QPushButton::clicked, this, [this] { resetToDefaults(); });
    connect(m_waveform, &WaveformView::positionClicked, this, [this](qint64 ms) { placeMark(ms); });
    connect(m_waveform, &WaveformView::selectionChanged, this,
            [this](qint64 startMs, qint64 endMs) { takeSelection(startMs, endMs); });

    load();
    applyEnabling();
    // After the window is on screen: decoding a long file takes a while.
    QTimer::singleShot(0, this, [this] { loadWaveform(); });
}

TrackToolDialog::~TrackToolDialog()
{
    stopMeasuring();
}

void TrackToolDialog::buildDaypartGrid(QWidget* group)
{
    m_daypartGrid = new QTableWidget(7, 24, group);
    m_daypartGrid->setObjectName(QStringLiteral("daypartGrid"));
    m_daypartGrid->setVerticalHeaderLabels(kDays);
    QStringList hours;
    for (int h = 0; h < 24; ++h)
        hours << QString::number(h);
    m_daypartGrid->setHorizontalHeaderLabels(hours);
    m_daypartGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_daypartGrid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_daypartGrid->horizontalHeader()->setMinimumSectionSize(1);
    m_daypartGrid->verticalHeader()->setMinimumSectionSize(1);
    m_daypartGrid->setSelectionMode(QAbstractItemView::NoSelection);
    m_daypartGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Every hour label and all seven days visible without scrolling,
    // whatever the font.
    int columnWidth = 22;
    for (int h = 0; h < 24; ++h)
        columnWidth = std::max(columnWidth, m_daypartGrid->horizontalHeader()->sectionSizeHint(h));
    const int rowHeight = std::max(20, m_daypartGrid->fontMetrics().height() + 4);
    for (int h = 0; h < 24; ++h)
        m_daypartGrid->setColumnWidth(h, columnWidth);
    const int frame = 2 * m_daypartGrid->frameWidth();
    m_daypartGrid->setFixedHeight(m_daypartGrid->horizontalHeader()->sizeHint().height() + 7 * rowHeight + frame);
    m_daypartGrid->setMinimumWidth(m_daypartGrid->verticalHeader()->sizeHint().width() + 24 * columnWidth + frame);
    m_daypartGrid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_daypartGrid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (int d = 0; d < 7; ++d) {
        m_daypartGrid->setRowHeight(d, rowHeight);
        for (int h = 0; h < 24; ++h) {
            auto* cell = new QTableWidgetItem;
            // Not user-checkable: the click handler toggles, and the check
            // indicator would toggle a second time.
            cell->setFlags(Qt::ItemIsEnabled);
            cell->setCheckState(Qt::Unchecked);
            m_daypartGrid->setItem(d, h, cell);
        }
    }
}

void TrackToolDialog::setDaypartAll(bool on)
{
    for (int d = 0; d < m_daypartGrid->rowCount(); ++d) {
        for (int h = 0; h < m_daypartGrid->columnCount(); ++h)
            m_daypartGrid->item(d, h)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
}

void TrackToolDialog::load()
{
    m_params = TrackParams::load(m_track.filePath);
    showParams();
}

void TrackToolDialog::showParams()
{
    const TrackParams& p = m_params;
    m_startSpin->setValue(p.start / 1000.0);
    m_endSpin->setValue(p.end / 1000.0);
    m_introSpin->setValue(p.intro / 1000.0);
    m_outroSpin->setValue(p.outro / 1000.0);
    m_hookInSpin->setValue(p.hookIn / 1000.0);
    m_hookOutSpin->setValue(p.hookOut / 1000.0);
    m_voiceInsSpin->setValue(p.voiceover.ins / 1000.0);
    refreshVoiceoverSummary();
    refreshWaveMarks();

    showOverride(m_fadeInSpin, p.fadeIn);
    showOverride(m_mixSpin, p.mix);
    showOverride(m_fadeOutSpin, p.fadeOut);
    showOverride(m_mixStartSpin, p.mixStart);
    m_levelSpin->setValue(levelPercent(p.level, m_levelSpin));
    m_tagsEdit->setText(p.tags.join(QStringLiteral(", ")));
    m_disableCheck->setChecked(p.disabled);

    const bool ranged = p.startDate.isValid() && p.endDate.isValid();
    m_dateRangeCheck->setChecked(ranged);
    if (ranged) {
        m_fromDate->setDate(p.startDate);
        m_toDate->setDate(p.endDate);
    }

    const bool dayparted = p.hasDaypart();
    m_daypartCheck->setChecked(dayparted);
    for (int d = 0; d < 7; ++d) {
        for (int h = 0; h < 24; ++h) {
            const bool on = dayparted && p.daypartAllows(d, h);
            m_daypartGrid->item(d, h)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
        }
    }
    m_stateLabel->setText(p.isDefault() ? QStringLiteral("Using defaults") : QStringLiteral("Customised"));
}

bool TrackToolDialog::save()
{
    TrackParams p;
    p.start = spinMs(m_startSpin);
    p.end = spinMs(m_endSpin);
    p.intro = spinMs(m_introSpin);
    p.outro = spinMs(m_outroSpin);
    p.hookIn = spinMs(m_hookInSpin);
    p.hookOut = spinMs(m_hookOutSpin);
    p.voiceover = m_params.voiceover;
    p.voiceover.ins = spinMs(m_voiceInsSpin);
    p.fadeIn = int(overrideMs(m_fadeInSpin));
    p.mix = int(overrideMs(m_mixSpin));
    p.fadeOut = int(overrideMs(m_fadeOutSpin));
    p.mixStart = overrideMs(m_mixStartSpin);
    p.level = m_levelSpin->value() / 100.0;
    p.rating = m_params.rating;
    for (const QString& part : m_tagsEdit->text().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString tag = part.trimmed();
        if (!tag.isEmpty())
            p.tags << tag;
    }
    p.disabled = m_disableCheck->isChecked();
    if (m_dateRangeCheck->isChecked()) {
        p.startDate = m_fromDate->date();
        p.endDate = m_toDate->date();
    }
    if (m_daypartCheck->isChecked()) {
        for (int d = 0; d < 7; ++d) {
            for (int h = 0; h < 24; ++h) {
                if (m_daypartGrid->item(d, h)->checkState() == Qt::Checked)
                    p.setDaypart(d, h, true);
            }
        }
    }
    m_params = p;
    // Stored by the library writer while the window waits, live but closed
    // to input: the other program may hold library.db for a while.
    setEnabled(false);
    const QString path = m_track.filePath;
    const LibraryWriter::Outcome stored = LibraryWriter::waitFor(LibraryWriter::instanceOr(this)->write(
        {}, path, [path, p](MusicLibrary& on) { return TrackParams::save(path, p, on.connectionName) ? 1 : -1; },
        LibraryWriter::kOperatorPatienceMs));
    setEnabled(true);
    if (!stored.ok())
        Prompts::warning(this, windowTitle(),
                         QStringLiteral("The settings were not stored (%1). Try again later.").arg(stored.reason));
    return stored.ok();
}

void TrackToolDialog::resetToDefaults()
{
    m_params = TrackParams();
    showParams();
    applyEnabling();
}

void TrackToolDialog::applyEnabling()
{
    m_fromDate->setEnabled(m_dateRangeCheck->isChecked());
    m_toDate->setEnabled(m_dateRangeCheck->isChecked());
    m_daypartGrid->setEnabled(m_daypartCheck->isChecked());
}

bool TrackToolDialog::hasAudioFile() const
{
    return !m_track.filePath.isEmpty() && !m_track.isStream && !Track::isStreamUrl(m_track.filePath);
}

std::array<QDoubleSpinBox*, 7> TrackToolDialog::markSpins() const
{
    return {m_startSpin, m_endSpin, m_introSpin, m_outroSpin, m_hookInSpin, m_hookOutSpin, m_voiceInsSpin};
}

void TrackToolDialog::loadWaveform()
{
    if (!hasAudioFile())
        return;
    // The decode runs a local event loop, in which the dialog may go away.
    const QPointer<TrackToolDialog> alive(this);
    WaveformData data;
    const bool loaded = data.load(m_track.filePath, kWaveformBuckets);
    if (!alive)
        return;
    if (loaded)
        m_waveform->setData(data);
    refreshWaveMarks();
}

void TrackToolDialog::refreshWaveMarks()
{
    m_waveform->clearMarks();
    const auto spins = markSpins();
    for (std::size_t i = 0; i < spins.size(); ++i)
        m_waveform->setMark(markStyles()[i].name, spinMs(spins[i]), markStyles()[i].colour);
}

void TrackToolDialog::placeMark(qint64 ms)
{
    const QString chosen = m_markChooser->currentText();
    const auto spins = markSpins();
    for (std::size_t i = 0; i < spins.size(); ++i) {
        if (markStyles()[i].name == chosen) {
            spins[i]->setValue(ms / 1000.0);
            break;
        }
    }
    refreshWaveMarks();
}

void TrackToolDialog::takeSelection(qint64 startMs, qint64 endMs)
{
    m_hookInSpin->setValue(startMs / 1000.0);
    m_hookOutSpin->setValue(endMs / 1000.0);
    refreshWaveMarks();
}

void TrackToolDialog::checkHook()
{
    const double in = m_hookInSpin->value();
    const double out = m_hookOutSpin->value();
    // In hundredths, which the spins hold exactly, so that 21.00 s is not
    // a hair under 21.
    const qint64 lengthCs = std::llround(out * 100.0) - std::llround(in * 100.0);
    const QString length = QString::number(lengthCs / 100.0, 'f', 1);
    if (!(out > 0) && !(in > 0))
        m_hookStatus->setText(QStringLiteral("No hook set - Teasers will pick one automatically."));
    else if (lengthCs <= 0)
        m_hookStatus->setText(QStringLiteral("Hook out must be after hook in."));
    else if (lengthCs >= 2100)
        m_hookStatus->setText(QStringLiteral("Hook is %1 s - must be under 21 s.").arg(length));
    else
        m_hookStatus->setText(QStringLiteral("Hook length %1 s.").arg(length));
}

void TrackToolDialog::measureLoudness()
{
    if (!hasAudioFile() || m_measuring)
        return;
    m_autoButton->setEnabled(false);
    m_loudnessStatus->setText(QStringLiteral("Analysing..."));

    // An hour of audio takes seconds to decode and measure: that happens on
    // a thread of its own, with the share done so far shown.
    auto render = std::make_shared<AudioRender>();
    auto result = std::make_shared<LoudnessAnalysis>();
    const QString path = m_track.filePath;
    const qint64 lengthMs = m_track.durationMs;
    m_measuring = QThread::create([this, render, result, path, lengthMs] {
        int shown = 0;
        *result = render->analyse(path, kDecodeTimeoutMs, [&](qint64 decodedMs) {
            const int percent = lengthMs > 0 ? int(std::clamp<qint64>(decodedMs * 100 / lengthMs, 0, 99)) : 0;
            if (percent <= shown)
                return;
            shown = percent;
            QMetaObject::invokeMethod(
                this,
                [this, percent] {
                    if (m_measuring)
                        m_loudnessStatus->setText(QStringLiteral("Analysing... %1%").arg(percent));
                },
                Qt::QueuedConnection);
        });
    });
    m_render = render;
    connect(m_measuring, &QThread::finished, this, [this, result, thread = m_measuring] {
        if (m_measuring != thread)
            return; // stopped before it ended
        stopMeasuring();
        showLoudness(*result);
    });
    m_measuring->start();
}

void TrackToolDialog::showLoudness(const LoudnessAnalysis& a)
{
    if (!a.ok || a.integratedLufs <= -70.0) {
        m_loudnessStatus->setText(QStringLiteral("Could not measure"));
    } else {
        const double gain = LoudnessMeter::limitForPeak(
            LoudnessMeter::gainForTarget(a.integratedLufs, kTargetLufs, kMaxGainDb), a.peak);
        m_levelSpin->setValue(int(std::lround(gain * 100.0)));
        m_loudnessStatus->setText(QStringLiteral("%1 LUFS").arg(a.integratedLufs, 0, 'f', 1));
    }
    m_autoButton->setEnabled(true);
}

void TrackToolDialog::stopMeasuring()
{
    if (!m_measuring)
        return;
    m_render->cancel();
    m_measuring->wait();
    delete m_measuring;
    m_measuring = nullptr;
    m_render.reset();
    m_autoButton->setEnabled(true);
}

void TrackToolDialog::editVoiceover()
{
    TrackParams::Voiceover vo = m_params.voiceover;

    QDialog editor(this);
    editor.setWindowTitle(QStringLiteral("Voiceover parameters"));
    editor.setMinimumWidth(460);
    auto* layout = new QVBoxLayout(&editor);
    auto* grid = new QGridLayout;

    auto* source = new QLineEdit(vo.source);
    source->setObjectName(QStringLiteral("sourceEdit"));
    source->setPlaceholderText(QStringLiteral("a file, or a folder to pick from at random"));
    auto* pickFile = button(QStringLiteral("File…"), QStringLiteral("fileButton"));
    auto* pickFolder = button(QStringLiteral("Folder…"), QStringLiteral("folderButton"));
    grid->addWidget(new QLabel(QStringLiteral("Voice insert:")), 0, 0);
    grid->addWidget(source, 0, 1);
    grid->addWidget(pickFile, 0, 2);
    grid->addWidget(pickFolder, 0, 3);

    auto* position = new QComboBox;
    position->setObjectName(QStringLiteral("positionCombo"));
    position->addItem(QStringLiteral("Start - the voiceover begins at the mark"), 0);
    position->addItem(QStringLiteral("End - the voiceover ends at the mark"), 1);
    // The engine reads anything but 1 as "begins at the mark".
    position->setCurrentIndex(vo.position == 1 ? 1 : 0);
    grid->addWidget(new QLabel(QStringLiteral("Position:")), 1, 0);
    grid->addWidget(position, 1, 1, 1, 3);

    auto* probability = new QSpinBox;
    probability->setObjectName(QStringLiteral("probabilitySpin"));
    probability->setRange(0, 100);
    probability->setSuffix(QStringLiteral(" %"));
    probability->setValue(vo.probability);
    grid->addWidget(new QLabel(QStringLiteral("Probability:")), 2, 0);
    grid->addWidget(probability, 2, 1);

    QSpinBox* level = levelSpin(QStringLiteral("levelSpin"));
    level->setValue(levelPercent(vo.level, level));
    grid->addWidget(new QLabel(QStringLiteral("Playback level:")), 3, 0);
    grid->addWidget(level, 3, 1);

    auto* limited = new QCheckBox(QStringLiteral("Do not play after"));
    limited->setObjectName(QStringLiteral("notAfterCheck"));
    limited->setChecked(vo.notAfter.isValid());
    QDateEdit* lastDate =
        dateEdit(vo.notAfter.isValid() ? vo.notAfter : QDate::currentDate().addMonths(1), QStringLiteral("notAfterDate"));
    lastDate->setEnabled(limited->isChecked());
    grid->addWidget(limited, 4, 0);
    grid->addWidget(lastDate, 4, 1);
    layout->addLayout(grid);

    auto* buttons = new QHBoxLayout;
    auto* ok = button(QStringLiteral("OK"), QStringLiteral("okButton"));
    auto* cancel = button(QStringLiteral("Cancel"), QStringLiteral("cancelButton"));
    ok->setDefault(true);
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    connect(limited, &QCheckBox::toggled, lastDate, &QWidget::setEnabled);
    connect(ok, &QPushButton::clicked, &editor, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, &editor, &QDialog::reject);
    connect(pickFile, &QPushButton::clicked, &editor, [&editor, source] {
        const QString path = Prompts::openFileName(&editor, QStringLiteral("Voice insert"), QString(),
                                                   AudioFiles::dialogFilter(QStringLiteral("Audio")));
        if (!path.isEmpty())
            source->setText(path);
    });
    connect(pickFolder, &QPushButton::clicked, &editor, [&editor, source] {
        const QString path = Prompts::existingDirectory(&editor, QStringLiteral("Voice insert folder"));
        if (!path.isEmpty())
            source->setText(path);
    });

    if (Prompts::exec(editor) != QDialog::Accepted)
        return;
    vo.source = source->text().trimmed();
    vo.position = position->currentData().toInt();
    vo.probability = probability->value();
    vo.level = level->value() / 100.0;
    vo.notAfter = limited->isChecked() ? lastDate->date() : QDate();
    m_params.voiceover = vo;
    refreshVoiceoverSummary();
}

void TrackToolDialog::refreshVoiceoverSummary()
{
    const TrackParams::Voiceover& vo = m_params.voiceover;
    if (vo.source.isEmpty()) {
        m_voiceoverSummary->setText(QStringLiteral("No voice insert set."));
        return;
    }
    QString text = QFileInfo(QDir::cleanPath(vo.source)).fileName();
    if (vo.probability <= 99)
        text += QStringLiteral("  %1%").arg(vo.probability);
    text += vo.position != 0 ? QStringLiteral("  (end at mark)") : QStringLiteral("  (start at mark)");
    if (vo.notAfter.isValid())
        text += QStringLiteral("  until ") + QLocale::c().toString(vo.notAfter, QStringLiteral("d MMM yyyy"));
    m_voiceoverSummary->setText(text);
}

void TrackToolDialog::prelistenVoiceover()
{
    const QString file = Voiceovers::pickFile(m_params.voiceover, 0);
    if (file.isEmpty()) {
        m_voiceoverSummary->setText(QStringLiteral("Nothing to pre-listen."));
        return;
    }
    if (!m_previewPlayer) {
        m_previewPlayer = new QMediaPlayer(this);
        m_previewPlayer->setAudioOutput(new QAudioOutput(this));
    }
    if (m_previewPlayer->playbackState() == QMediaPlayer::PlayingState) {
        m_previewPlayer->stop();
        return;
    }
    m_previewPlayer->setSource(QUrl::fromLocalFile(file));
    m_previewPlayer->setPosition(0);
    m_previewPlayer->play();
    m_voiceoverSummary->setText(QStringLiteral("Pre-listening ") + QFileInfo(file).fileName());
}
