#include "app/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "align/timestamp_alignment.h"
#include "app/about_dialog.h"
#include "app/activity_animation.h"
#include "dialogs/password_dialog.h"
#include "dialogs/qt_text.h"
#include "dialogs/setup_dialog.h"
#include "engine/watch_run.h"
#include "localfs/local_fs.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"
#include "sftp/sftp_session.h"

// Resources of a static library are registered by name, outside any namespace.
static void InitAppResources() {
    Q_INIT_RESOURCE(app);
}

namespace kestrum {

namespace {

constexpr const char* kMakerWebPage = "https://kestrum.example.org/";

// Dialog units of the window's layout to pixels.
constexpr double kUnitX = 1.6;
constexpr double kUnitY = 1.6;
constexpr int kClientUnitsWidth = 262;
constexpr int kClientUnitsHeight = 163;

QRect Units(int x, int y, int w, int h) {
    return QRect(qRound(x * kUnitX), qRound(y * kUnitY), qRound(w * kUnitX), qRound(h * kUnitY));
}

// A label at its place in dialog units, never narrower than its text and as
// high as the font needs, centred on the place's vertical middle.
QLabel* PlaceLabel(QWidget* parent, const QString& text, QRect place) {
    auto* label = new QLabel(text, parent);
    const QSize hint = label->sizeHint();
    const int height = std::max(place.height(), hint.height());
    label->setGeometry(place.x(), place.center().y() - height / 2, std::max(place.width(), hint.width()), height);
    return label;
}

}  // namespace

QString FindHelpFile(const QStringList& dirs) {
    for (const QString& dir : dirs) {
        for (const char* name : {"README.md", "README", "kestrum.html"}) {
            const QFileInfo info(QDir(dir).filePath(QString::fromLatin1(name)));
            if (info.isFile() && info.isReadable())
                return info.absoluteFilePath();
        }
    }
    return {};
}

QStringList DefaultHelpDirs() {
    const QString app = QCoreApplication::applicationDirPath();
    // Installed: <prefix>/bin and <prefix>/share/doc/kestrum; built: the
    // build directory inside the source tree.
    return {app + "/../share/doc/kestrum", app, app + "/..", app + "/../.."};
}

MainWindow::MainWindow(std::string programDir, std::unique_ptr<FtpClientFactory> ftp, QWidget* parent)
    : QDialog(parent),
      programDir_(std::move(programDir)),
      store_(ProfileStore::DefaultFilePath()),
      ftp_(ftp ? std::move(ftp) : MakeTransportFactory()),
      owner_(*this, store_, *ftp_) {
    InitAppResources();
    setObjectName("102");
    setWindowTitle(QString::fromUtf8("Quill Moor - Kestrum"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QIcon icon;
    for (int size : {16, 32, 48, 256})
        icon.addFile(QString(":/kestrum/icons/kestrum-%1.png").arg(size));
    setWindowIcon(icon);
    owner_.State().settings.programDir = programDir_;

    BuildMenu();
    BuildControls();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    layout->setMenuBar(menuBar_);
    layout->addWidget(client_);

    // The default size is the smallest; what the window grows by goes to the log view.
    const QRect client = Units(0, 0, kClientUnitsWidth, kClientUnitsHeight);
    defaultSize_ = QSize(client.width(), menuBar_->sizeHint().height() + client.height());
    shownHeight_ = defaultSize_.height();
    setMinimumSize(defaultSize_);
    resize(defaultSize_);
}

MainWindow::~MainWindow() {
    // A run still going is told to stop; the calls it makes from now on are
    // dropped, and the ones already waiting are carried out before the join.
    shuttingDown_ = true;
    owner_.State().flags.cancelRequested = 1;
    while (callsInFlight_.load() > 0) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    }
    owner_.Join();

    owner_.Log().Close();
    owner_.State().results.localFiles.clear();
    owner_.State().results.serverFiles.clear();
    owner_.State().results.serverDirectories.clear();
    store_.SaveDefaultProfile(profileName_);
}

void MainWindow::BuildMenu() {
    menuBar_ = new QMenuBar(this);
    menuBar_->setObjectName("129");
    menuBar_->setNativeMenuBar(false);

    QMenu* file = menuBar_->addMenu(QString::fromUtf8("ファイル(&F)"));
    AddItem(file, kCmdStartRun, QString::fromUtf8("FTP開始(&S)"));
    AddItem(file, kCmdPreview, TableText(msg::kMenuPreview));
    AddItem(file, kCmdCancelRun, QString::fromUtf8("FTPキャンセル(&C)"));
    AddItem(file, kCmdWatch, TableText(msg::kMenuWatch))->setCheckable(true);
    file->addSeparator();
    AddItem(file, kCmdShowLog, QString::fromUtf8("ログの表示(&L)"));
    file->addSeparator();
    AddItem(file, kCmdQuit, QString::fromUtf8("終了(&Q)\tAlt+F4"));

    QMenu* settings = menuBar_->addMenu(QString::fromUtf8("設定(&S)"));
    AddItem(settings, kCmdSettings, QString::fromUtf8("設定(&S)"));
    settings->addSeparator();
    AddItem(settings, kCmdAlign, QString::fromUtf8("ディレクトリの初期化(&I)"));
    AddItem(settings, kCmdCache, QString::fromUtf8("キャッシュを有効(&C)"));

    QMenu* help = menuBar_->addMenu(QString::fromUtf8("ヘルプ(&H)"));
    AddItem(help, kCmdHelp, QString::fromUtf8("ヘルプ(&H)\tF1"));
    AddItem(help, kCmdOnlineHelp, QString::fromUtf8("オンラインヘルプ"));
    help->addSeparator();
    AddItem(help, kCmdAbout, QString::fromUtf8("バージョン情報(&A)"));

    // Both check items are checked in the menu resource.
    for (int id : {kCmdShowLog, kCmdCache}) {
        actions_[id]->setCheckable(true);
        actions_[id]->setChecked(true);
    }
    actions_[kCmdHelp]->setShortcut(QKeySequence(Qt::Key_F1));
    actions_[kCmdQuit]->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    for (int id : {kCmdHelp, kCmdQuit}) {
        actions_[id]->setShortcutContext(Qt::WindowShortcut);
        addAction(actions_[id]);
    }

    connect(actions_[kCmdStartRun], &QAction::triggered, this, [this] { StartCommand(); });
    connect(actions_[kCmdPreview], &QAction::triggered, this, [this] { StartCommand(true); });
    connect(actions_[kCmdCancelRun], &QAction::triggered, this, [this] { CancelCommand(); });
    connect(actions_[kCmdWatch], &QAction::triggered, this, [this] { WatchCommand(); });
    connect(actions_[kCmdShowLog], &QAction::triggered, this, [this] { ToggleLog(); });
    connect(actions_[kCmdQuit], &QAction::triggered, this, [this] { CloseRequest(); });
    connect(actions_[kCmdSettings], &QAction::triggered, this, [this] { SettingsCommand(); });
    connect(actions_[kCmdAlign], &QAction::triggered, this, [this] { AlignCommand(); });
    connect(actions_[kCmdCache], &QAction::triggered, this, [this] { ToggleCache(); });
    connect(actions_[kCmdHelp], &QAction::triggered, this, [this] { HelpCommand(); });
    connect(actions_[kCmdOnlineHelp], &QAction::triggered, this, [this] { OnlineHelpCommand(); });
    connect(actions_[kCmdAbout], &QAction::triggered, this, [this] { AboutCommand(); });
}

QAction* MainWindow::AddItem(QMenu* menu, int id, const QString& text) {
    QAction* action = menu->addAction(text);
    action->setData(id);
    action->setObjectName(QString::number(id));
    actions_[id] = action;
    return action;
}

void MainWindow::BuildControls() {
    client_ = new QWidget(this);
    client_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);

    startButton_ = new QPushButton(TableText(msg::kStartButton), client_);
    startButton_->setObjectName("1001");
    startButton_->setAutoDefault(false);
    startButton_->setDefault(false);
    const QRect buttonPlace = Units(203, 13, 53, 14);
    startButton_->setGeometry(buttonPlace.x(), buttonPlace.y(), buttonPlace.width(),
                              std::max(buttonPlace.height(), startButton_->sizeHint().height()));
    connect(startButton_, &QPushButton::clicked, this, [this] { StartButtonClicked(); });

    PlaceLabel(client_, QString::fromUtf8("ファイル転送数："), Units(7, 34, 65, 8));
    counter_ = new QLineEdit(client_);
    counter_->setObjectName("1002");
    counter_->setReadOnly(true);
    counter_->setAlignment(Qt::AlignCenter);
    counter_->setFocusPolicy(Qt::NoFocus);
    const QRect counterPlace = Units(77, 32, 35, 12);
    counter_->setGeometry(counterPlace.x(), counterPlace.center().y() - 11, counterPlace.width(), 22);

    PlaceLabel(client_, QString::fromUtf8("プロファイル："), Units(117, 34, 57, 8));
    chooser_ = new QComboBox(client_);
    chooser_->setObjectName("1004");
    chooser_->setEditable(false);
    const QRect chooserPlace = Units(179, 32, 79, 12);
    chooser_->setGeometry(chooserPlace.x(), chooserPlace.center().y() - 11, chooserPlace.width(), 22);
    chooser_->setMaxVisibleItems(8);
    connect(chooser_, &QComboBox::currentIndexChanged, this, [this](int index) { ChooserChanged(index); });

    watchStatus_ = new QLabel(client_);
    watchStatus_->setObjectName("watchStatus");
    watchStatus_->setGeometry(Units(7, 47, 248, 9));
    watchStatus_->hide();

    PlaceLabel(client_, QString::fromUtf8("ログ ："), Units(7, 59, 18, 8));
    logView_ = new QPlainTextEdit(client_);
    logView_->setObjectName("1003");
    logView_->setReadOnly(true);
    logView_->setUndoRedoEnabled(false);
    logView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab stops every eight half-width columns, as in a standard edit control,
    // measured as four full-width characters: the run header's labels, mostly
    // full-width, then line up at every font size.
    logView_->setTabStopDistance(QFontMetricsF(logView_->font()).horizontalAdvance(QChar(0x3000)) * 4);
    logView_->setGeometry(Units(7, 71, 248, 85));

    PlaceLabel(client_, QString::fromUtf8("進行状況 ："), Units(7, 7, 45, 8));
    progress_ = new QProgressBar(client_);
    progress_->setObjectName("1000");
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    progress_->setGeometry(Units(7, 16, 183, 10));

    animation_ = new ActivityAnimation(client_);
    animation_->setGeometry(Units(50, 8, 43, 10).adjusted(0, -2, 0, 0));
    animation_->Stop();
}

QAction* MainWindow::Action(int id) const {
    const auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

void MainWindow::Initialise() {
    // Item 32777 starts checked: the first toggle hides the log.
    actions_[kCmdShowLog]->trigger();

    if (!LoadProfiles())
        return;

    if (!owner_.Log().Open(programDir_))
        boxes_.Show(this, TableText(msg::kLogFileCreateFailed));
    progress_->setRange(0, 100);
}

bool MainWindow::LoadGlobalValues() {
    std::string selected;
    int cacheFlag = 1;
    if (!store_.InitGlobalValues(programDir_, selected, cacheFlag)) {
        QString text = ToQString(store_.UnwritableText());
        if (text.isEmpty()) {
            text = TableText(msg::kStoreDamaged);
            if (const std::string trouble = store_.TroubleText(); !trouble.empty())
                text += QStringLiteral("\n\n") + ToQString(trouble);
        }
        boxes_.Show(this, text);
        CloseRequest();
        return false;
    }
    profileName_ = selected;
    SetCacheChecked(cacheFlag != 0);
    return true;
}

void MainWindow::SetCacheChecked(bool checked) {
    actions_[kCmdCache]->setChecked(checked);
    owner_.State().options.cacheSwitch = checked ? 1 : 0;
}

void MainWindow::FillChooser() {
    std::vector<std::string> names = store_.ReadProfileList();
    std::sort(names.begin(), names.end(), ProfileNameLess);
    selectingProfile_ = true;
    chooser_->clear();
    chooserNames_ = std::move(names);
    for (const std::string& name : chooserNames_)
        chooser_->addItem(ToQString(name));
    chooser_->setCurrentIndex(-1);
    selectingProfile_ = false;
}

int MainWindow::FindChooserItem(const std::string& text) const {
    const std::string key = FoldKey(text);
    for (size_t i = 0; i < chooserNames_.size(); ++i) {
        if (FoldKey(chooserNames_[i]).starts_with(key))
            return static_cast<int>(i);
    }
    return -1;
}

bool MainWindow::SelectProfile() {
    if (chooserNames_.empty())
        return false;
    int index = profileName_.empty() ? -1 : FindChooserItem(profileName_);
    if (index < 0)
        index = 0;
    SelectChooserIndex(index);
    return true;
}

void MainWindow::SelectChooserIndex(int index) {
    selectingProfile_ = true;
    chooser_->setCurrentIndex(index);
    selectingProfile_ = false;
}

void MainWindow::ChooserChanged(int index) {
    if (selectingProfile_)
        return;
    // The profile never changes during a run, and an empty choice keeps the old one.
    if (owner_.Running() || index < 0 || index >= static_cast<int>(chooserNames_.size()) ||
        chooserNames_[index].empty()) {
        SelectChooserIndex(profileName_.empty() ? -1 : FindChooserItem(profileName_));
        return;
    }
    profileName_ = chooserNames_[index];
}

void MainWindow::RunCommand(int id) {
    if (id == 1001) {
        startButton_->click();
    } else if (id == kCmdFinishRun) {
        CompletionCommand();
    } else if (QAction* action = Action(id)) {
        action->trigger();
    }
}

void MainWindow::StartCommand(bool preview) {
    if (owner_.Running())
        return;
    JoinWorkerSafely();
    owner_.State().options.dryRun = preview;
    owner_.State().settings.profileName = profileName_;
    owner_.State().settings.programDir = programDir_;
    owner_.Start();
}

void MainWindow::CancelCommand() {
    if (watching_) {
        // A watch's normal end: nothing to wait for, no notice.
        watchAfterRun_ = false;
        owner_.State().flags.cancelRequested = 1;
    } else {
        owner_.Cancel();
    }
    actions_[kCmdCancelRun]->setEnabled(false);
}

void MainWindow::WatchCommand() {
    watchAfterRun_ = actions_[kCmdWatch]->isChecked();
    if (!watchAfterRun_) {
        if (watching_)
            CancelCommand();
        return;
    }
    if (!owner_.Running())
        StartCommand();
}

void MainWindow::StartButtonClicked() {
    if (owner_.Running()) {
        CancelCommand();
    } else {
        StartCommand();
    }
}

void MainWindow::ToggleLog() {
    // The item has already flipped when this runs: its old state decides.
    QAction* item = actions_[kCmdShowLog];
    const bool wasChecked = !item->isChecked();
    item->setChecked(!wasChecked);
    if (wasChecked) {
        // The log drops out of sight and the height is fixed until it shows
        // again, at the height the window had.
        shownHeight_ = height();
        const int hiddenHeight = defaultSize_.height() - kLogHeight;
        setMinimumHeight(hiddenHeight);
        setMaximumHeight(hiddenHeight);
    } else {
        setMaximumHeight(QWIDGETSIZE_MAX);
        setMinimumHeight(defaultSize_.height());
        resize(width(), shownHeight_);
    }
    update();
}

void MainWindow::ToggleCache() {
    QAction* item = actions_[kCmdCache];
    const bool wasChecked = !item->isChecked();
    if (wasChecked) {
        SetCacheChecked(false);
        return;
    }
    SetCacheChecked(false);
    boxes_.Show(this, TableText(msg::kCacheNeedsUploadOnly));
    SetCacheChecked(true);
}

bool MainWindow::LoadProfiles() {
    if (!LoadGlobalValues())
        return false;
    FillChooser();
    // No profile yet: offer to register one now.
    if (!SelectProfile() &&
        boxes_.Show(this, TableText(msg::kAskRegisterFirstProfile), BoxButtons::OkCancel, BoxIcon::Question)) {
        SettingsCommand();
        if (closed_)
            return false;
    }
    const int index = chooser_->currentIndex();
    profileName_ = index >= 0 ? chooserNames_[index] : std::string();
    SetRunningState(0);
    return true;
}

void MainWindow::SettingsCommand() {
    SetupDialog dialog(store_, boxes_, profileName_, this);
    if (RunDialog(dialog) != QDialog::Accepted)
        return;
    selectingProfile_ = true;
    chooser_->clear();
    chooserNames_.clear();
    selectingProfile_ = false;
    LoadProfiles();
}

void MainWindow::AlignCommand() {
    if (owner_.Running())
        return;
    JoinWorkerSafely();
    owner_.State().settings.profileName = profileName_;
    owner_.State().settings.programDir = programDir_;
    StartTimestampAlignment(owner_, false);
}

void MainWindow::AboutCommand() {
    AboutDialog dialog(this);
    RunDialog(dialog);
}

void MainWindow::OnlineHelpCommand() {
    OpenUrl(QUrl(QString::fromLatin1(kMakerWebPage)));
}

void MainWindow::HelpCommand() {
    const QString file = FindHelpFile(DefaultHelpDirs());
    if (file.isEmpty()) {
        boxes_.Show(this, TableText(msg::kHelpFileMissing));
        return;
    }
    OpenUrl(QUrl::fromLocalFile(file));
}

bool MainWindow::OpenUrl(const QUrl& url) {
    const bool opened = urlOpener_ ? urlOpener_(url) : QDesktopServices::openUrl(url);
    if (!opened) {
        const std::string shown = url.isLocalFile() ? url.toLocalFile().toStdString() : url.toString().toStdString();
        boxes_.Show(this, QString::fromStdString(ToUtf8(FormatString(msg::kOpenFailed, {FromUtf8(shown)}))));
    }
    return opened;
}

void MainWindow::CompletionCommand() {
    JoinWorkerSafely();
    const bool preview = owner_.State().options.dryRun;
    owner_.Complete();
    if (watching_ || !watchAfterRun_ || closed_ || shuttingDown_ || owner_.State().options.quitAfterRun) {
        watching_ = false;
        watchAfterRun_ = false;
        actions_[kCmdWatch]->setChecked(false);
        watchStatus_->hide();
        return;
    }
    // The watch follows a synchronisation run; after a preview, one is made first.
    if (preview) {
        StartCommand();
    } else if (WatchMayFollow(owner_.State(), owner_.Outcome())) {
        watching_ = true;
        owner_.StartWatch();
    } else {
        watchAfterRun_ = false;
        actions_[kCmdWatch]->setChecked(false);
    }
}

int MainWindow::RunDialog(QDialog& dialog) {
    return dialogRunner_ ? dialogRunner_(dialog) : dialog.exec();
}

void MainWindow::CloseRequest() {
    if (closed_ || shuttingDown_)
        return;
    if (owner_.Running()) {
        if (boxes_.Show(this, TableText(msg::kAskQuitWhileRunning), BoxButtons::OkCancel)) {
            owner_.State().options.quitAfterRun = 1;
            CancelCommand();
        }
        return;
    }
    store_.SaveGlobalValues(profileName_, actions_[kCmdCache]->isChecked() ? 1 : 0);
    closed_ = true;
    done(0);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    // The log view keeps its place and takes the width and height beyond the
    // default size; with the log hidden it stays below the window's edge.
    const int extraWidth = std::max(0, width() - defaultSize_.width());
    const int extraHeight = std::max(0, height() - defaultSize_.height());
    logView_->setGeometry(Units(7, 71, 248, 85).adjusted(0, 0, extraWidth, extraHeight));
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
    CloseRequest();
}

void MainWindow::JoinWorkerSafely() {
    if (!owner_.HasWorker())
        return;
    // The worker may still be on its way out of a blocking call (the close
    // request of FinishRun): let it finish before waiting for the thread.
    joining_ = true;
    while (callsInFlight_.load() > 0) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    }
    owner_.Join();
    joining_ = false;
}

bool MainWindow::CallOnWindowThread(const std::function<void()>& fn, bool queueWhenJoining) {
    if (QThread::currentThread() == thread()) {
        fn();
        return true;
    }
    callsInFlight_.fetch_add(1);
    bool made = false;
    if (shuttingDown_.load()) {
        // dropped
    } else if (joining_.load()) {
        if (queueWhenJoining)
            QMetaObject::invokeMethod(this, fn, Qt::QueuedConnection);
    } else {
        QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
        made = true;
    }
    callsInFlight_.fetch_sub(1);
    return made;
}

void MainWindow::AppendToView(const QString& line) {
    if (logLines_ > 0 && logView_->document()->isEmpty()) {
        // Only an empty first line so far: appendPlainText would write into it.
        QTextCursor cursor(logView_->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertBlock();
        cursor.insertText(line);
    } else {
        // appendPlainText keeps the cost of a line independent of the lines
        // before it (a cursor insertion does not while the view is hidden).
        logView_->appendPlainText(line);
    }
    ++logLines_;
    QScrollBar* bar = logView_->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void MainWindow::ShowLogLine(std::string_view line) {
    QString text = ToQString(line);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    CallOnWindowThread([this, &text] { AppendToView(text); });
}

void MainWindow::ShowProgress(int position) {
    CallOnWindowThread([this, position] { progress_->setValue(std::clamp(position, 0, 100)); });
}

void MainWindow::ShowCounter(std::string_view text) {
    const QString shown = ToQString(text);
    CallOnWindowThread([this, &shown] { counter_->setText(shown); });
}

void MainWindow::SetAnimation(bool playing) {
    CallOnWindowThread([this, playing] {
        if (playing) {
            animation_->Play();
        } else {
            animation_->Stop();
        }
    });
}

void MainWindow::ShowMessage(std::string_view text) {
    const QString shown = ToQString(text);
    CallOnWindowThread([this, &shown] {
        if (!shuttingDown_)
            boxes_.Show(this, shown);
    });
}

void MainWindow::RevealLog() {
    CallOnWindowThread([this] {
        if (!shuttingDown_ && !actions_[kCmdShowLog]->isChecked())
            actions_[kCmdShowLog]->trigger();
    });
}

bool MainWindow::Ask(std::string_view text, BoxButtons buttons) {
    const QString shown = ToQString(text);
    bool ok = false;
    CallOnWindowThread([this, &shown, &ok, buttons] {
        if (!shuttingDown_)
            ok = boxes_.Show(this, shown, buttons);
    });
    return ok;
}

bool MainWindow::AskOkCancel(std::string_view text) {
    return Ask(text, BoxButtons::OkCancel);
}

bool MainWindow::AskRisky(std::string_view text) {
    return Ask(text, BoxButtons::OkCancelRisky);
}

std::optional<std::string> MainWindow::AskPassword(std::string_view prompt, size_t maxBytes) {
    std::optional<std::string> password;
    CallOnWindowThread([this, &password, prompt, maxBytes] {
        if (shuttingDown_)
            return;
        PasswordDialog dialog(this, ToQString(std::string(prompt)), maxBytes);
        if (RunDialog(dialog) == QDialog::Accepted)
            password = dialog.Password();
    });
    return password;
}

void MainWindow::SetRunningState(int running) {
    CallOnWindowThread([this, running] {
        const bool idle = running == 0;
        actions_[kCmdStartRun]->setEnabled(idle);
        actions_[kCmdPreview]->setEnabled(idle);
        actions_[kCmdCancelRun]->setEnabled(!idle);
        actions_[kCmdSettings]->setEnabled(idle);
        actions_[kCmdAlign]->setEnabled(idle);
        startButton_->setText(TableText(idle ? msg::kStartButton : msg::kCancelButton));
    });
}

void MainWindow::PostCompletion() {
    QMetaObject::invokeMethod(
        this, [this] { CompletionCommand(); }, Qt::QueuedConnection);
}

void MainWindow::ShowWatchStatus(std::string_view text) {
    const QString shown = ToQString(text);
    CallOnWindowThread([this, &shown] {
        watchStatus_->setText(shown);
        watchStatus_->setVisible(!shown.isEmpty());
    });
}

void MainWindow::RequestClose() {
    CallOnWindowThread([this] { CloseRequest(); }, true);
}

}  // namespace kestrum
