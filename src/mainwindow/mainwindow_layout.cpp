// The View menu, and the layout kept in the settings between runs.
#include "mainwindow.h"

#include "library/appsettings.h"

#include <QAction>
#include <QGroupBox>
#include <QHeaderView>
#include <QMenu>
#include <QSettings>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QToolBar>

namespace {

const QList<int> kDefaultColumnSizes{260, 520, 400};

const StoredKey kViewKeys[] = {Setting::ViewSearch,   Setting::ViewLog, Setting::ViewTrackInfo,
                               Setting::ViewCartWall, Setting::ViewAux, Setting::ViewToolbar};

} // namespace

void MainWindow::createViewMenu()
{
    auto toggle = [this](const QString& text, QWidget* panel) {
        QAction* a = m_viewMenu->addAction(text);
        a->setCheckable(true);
        a->setChecked(true);
        connect(a, &QAction::toggled, this, [this, panel](bool on) {
            if (panel)
                panel->setVisible(on);
            updateColumnVisibility();
        });
        return a;
    };
    m_panelsAction = toggle(QStringLiteral("Panels"), m_leftTabs);
    m_logAction = toggle(QStringLiteral("Log"), m_logBox);
    m_trackInfoAction = toggle(QStringLiteral("Track info"), m_trackInfoFrame);
    m_cartWallAction = toggle(QStringLiteral("Cart Wall"), m_cartTabs);

    m_auxAction = m_viewMenu->addAction(QStringLiteral("AUX Deck"));
    m_auxAction->setCheckable(true);
    m_auxAction->setChecked(true);
    connect(m_auxAction, &QAction::toggled, this, [this](bool on) {
        setAuxShown(on);
        updateColumnVisibility();
    });

    if (m_toolBar) {
        m_viewMenu->addSeparator();
        m_toolbarAction = m_toolBar->toggleViewAction();
        m_toolbarAction->setText(QStringLiteral("Toolbar"));
        // The action itself only answers clicks; restore and reset set its state.
        connect(m_toolbarAction, &QAction::toggled, m_toolBar, &QToolBar::setVisible);
        m_viewMenu->addAction(m_toolbarAction);
    }
    m_viewMenu->addSeparator();
    m_viewMenu->addAction(QStringLiteral("Reset layout"), this, &MainWindow::resetLayout);
}

void MainWindow::setAuxShown(bool shown)
{
    if (!m_cartTabs || !m_auxPage)
        return;
    const int tab = m_cartTabs->indexOf(m_auxPage);
    if (shown && tab < 0)
        m_cartTabs->addTab(m_auxPage, QStringLiteral("AUX"));
    else if (!shown && tab >= 0)
        m_cartTabs->removeTab(tab);
    updateCartTabCloseButtons();
}

void MainWindow::updateColumnVisibility()
{
    auto checked = [](QAction* a) { return a && a->isChecked(); };
    if (m_leftColumn)
        m_leftColumn->setVisible(checked(m_panelsAction) || checked(m_logAction));
    if (m_rightColumn)
        m_rightColumn->setVisible(checked(m_cartWallAction) || checked(m_auxAction));
}

void MainWindow::configurePlaylistColumns()
{
    if (!m_playlistTable)
        return;
    QHeaderView* h = m_playlistTable->horizontalHeader();
    const struct
    {
        int width;
        QHeaderView::ResizeMode mode;
    } columns[] = {{24, QHeaderView::Fixed},       {34, QHeaderView::Interactive}, {90, QHeaderView::Interactive},
                   {0, QHeaderView::Stretch},      {70, QHeaderView::Interactive}, {44, QHeaderView::Fixed},
                   {24, QHeaderView::Fixed}};
    for (int c = 0; c < int(std::size(columns)) && c < h->count(); ++c) {
        h->setSectionResizeMode(c, columns[c].mode);
        if (columns[c].mode != QHeaderView::Stretch)
            h->resizeSection(c, columns[c].width);
    }
}

void MainWindow::resetLayout()
{
    for (QAction* a : {m_panelsAction, m_logAction, m_trackInfoAction, m_cartWallAction, m_auxAction, m_toolbarAction}) {
        if (a)
            a->setChecked(true);
    }
    // Pages hidden from the tab menu come back too; with none left the tab
    // bar offers no menu to bring them back.
    for (int i = 0; i < m_leftPanels.size(); ++i)
        setLeftTabShown(i, true);
    if (m_columns)
        m_columns->setSizes(kDefaultColumnSizes);
    if (m_leftSplitter)
        m_leftSplitter->setSizes({180, 320, 200});
    resize(1180, 720);
}

void MainWindow::saveLayout()
{
    saveCartWalls();
    QSettings s;
    Setting::Geometry.write(s, saveGeometry());
    Setting::WindowState.write(s, saveState(0));
    if (m_columns)
        Setting::Columns.write(s, m_columns->saveState());
    if (m_leftSplitter)
        Setting::LeftSplitter.write(s, m_leftSplitter->saveState());
    const QAction* actions[] = {m_panelsAction, m_logAction, m_trackInfoAction, m_cartWallAction, m_auxAction,
                                m_toolbarAction};
    for (int i = 0; i < int(std::size(actions)); ++i)
        kViewKeys[i].write(s, actions[i] && actions[i]->isChecked());
    if (m_leftTabs) {
        QStringList names;
        for (int t = 0; t < m_leftTabs->count(); ++t) {
            const qsizetype page = m_leftPanels.indexOf(m_leftTabs->widget(t));
            if (page >= 0)
                names << m_leftPanelNames.at(page);
        }
        Setting::LeftTabs.write(s, names);
        Setting::LeftTabCurrent.write(s, m_leftTabs->currentIndex());
    }
    settingsWritten(s, QStringLiteral("the window layout"));
}

void MainWindow::restoreLayout()
{
    const QSettings s;
    if (Setting::Geometry.isStored(s))
        restoreGeometry(Setting::Geometry.read(s).toByteArray());
    if (Setting::WindowState.isStored(s))
        restoreState(Setting::WindowState.read(s).toByteArray(), 0);
    if (m_columns && Setting::Columns.isStored(s))
        m_columns->restoreState(Setting::Columns.read(s).toByteArray());
    else if (m_columns)
        // Left to the stretch factors the left column would open at its
        // minimum, too narrow for its own search row and log.
        m_columns->setSizes(kDefaultColumnSizes);
    if (m_leftSplitter && Setting::LeftSplitter.isStored(s))
        m_leftSplitter->restoreState(Setting::LeftSplitter.read(s).toByteArray());

    QAction* actions[] = {m_panelsAction, m_logAction, m_trackInfoAction, m_cartWallAction, m_auxAction,
                          m_toolbarAction};
    for (int i = 0; i < int(std::size(actions)); ++i) {
        const QVariant v = kViewKeys[i].read(s);
        if (actions[i] && v.isValid())
            actions[i]->setChecked(v.toBool());
    }

    if (m_leftTabs && Setting::LeftTabs.isStored(s)) {
        QList<int> pages;
        const QStringList stored = Setting::LeftTabs.read(s).toStringList();
        for (const QString& name : stored) {
            const qsizetype page = m_leftPanelNames.indexOf(name);
            if (page >= 0)
                pages << int(page);
        }
        // A list that names no page would leave no tab to open the menu from.
        if (!pages.isEmpty()) {
            m_leftTabs->clear();
            for (int page : std::as_const(pages))
                setLeftTabShown(page, true);
        }
    }
    const int current = Setting::LeftTabCurrent.read(s);
    if (m_leftTabs && current >= 0 && current < m_leftTabs->count())
        m_leftTabs->setCurrentIndex(current);
    updateColumnVisibility();
}
