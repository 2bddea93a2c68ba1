#pragma once
// Dialog 102, the program's one window: profile chooser, start/cancel, menu
// 129, the run log view and the progress indicators. It holds the run owner
// and is the user port of the runs it starts: its adapter carries calls made
// from the worker thread onto the window's thread and the worker waits for them.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialogs/message_box.h"
#include "engine/run_owner.h"
#include "engine/user_port.h"
#include "ftp/ftp_client.h"
#include "profiles/profile_store.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QUrl;
class QMenu;

namespace kestrum {

class ActivityAnimation;

// The first README.md, README or kestrum.html found in dirs, as an absolute
// path; empty when there is none. The help command opens it.
QString FindHelpFile(const QStringList& dirs);
// Where an installed or built program looks for its manual.
QStringList DefaultHelpDirs();

// Command ids of menu 129, button 1001 and the completion command.
enum Command : int {
    kCmdStartRun = 32771,
    kCmdQuit = 32772,
    kCmdCancelRun = 32773,
    kCmdSettings = 32774,
    kCmdAbout = 32776,
    kCmdShowLog = 32777,
    kCmdAlign = 32778,
    kCmdOnlineHelp = 32780,
    kCmdCache = 32781,
    kCmdPreview = 32790,
    kCmdWatch = 32791,
    kCmdHelp = 57670,
    kCmdFinishRun = 35000,
};

class MainWindow : public QDialog, public UserPort {
    Q_OBJECT
  public:
    // How the window runs a modal dialog of its own (password prompt, about
    // box, settings); returns the dialog's result. Tests answer without exec().
    using DialogRunner = std::function<int(QDialog& dialog)>;
    using UrlOpener = std::function<bool(const QUrl& url)>;

    // Pixels the log takes at the default size: the show-log toggle removes and restores them.
    static constexpr int kLogHeight = 170;

    explicit MainWindow(std::string programDir, std::unique_ptr<FtpClientFactory> ftp = nullptr,
                        QWidget* parent = nullptr);
    ~MainWindow() override;

    // The window's initialisation: log hidden, global values, profile chooser,
    // idle state, log file. Message boxes may be shown; the close request may
    // already have gone through when it returns (see Closed()).
    void Initialise();
    // True once the close request closed the window.
    bool Closed() const { return closed_; }

    // The commands of menu 129 and button 1001, by id.
    void RunCommand(int id);
    // The close request: exit check, then close (close box, Alt+F4, 32772).
    void CloseRequest();

    // UserPort: each call is carried out on the window's thread.
    void ShowLogLine(std::string_view line) override;
    void ShowProgress(int position) override;
    void ShowCounter(std::string_view text) override;
    void SetAnimation(bool playing) override;
    void ShowMessage(std::string_view text) override;
    void RevealLog() override;
    bool AskOkCancel(std::string_view text) override;
    bool AskRisky(std::string_view text) override;
    std::optional<std::string> AskPassword(std::string_view prompt, size_t maxBytes) override;
    void SetRunningState(int running) override;
    void PostCompletion() override;
    void RequestClose() override;
    void ShowWatchStatus(std::string_view text) override;

    MessageBoxes& Boxes() { return boxes_; }
    void SetDialogRunner(DialogRunner runner) { dialogRunner_ = std::move(runner); }
    void SetUrlOpener(UrlOpener opener) { urlOpener_ = std::move(opener); }

    RunState& State() { return owner_.State(); }
    RunLog& Log() { return owner_.Log(); }
    ProfileStore& Store() { return store_; }
    const std::string& ProgramDir() const { return programDir_; }
    const std::string& ProfileName() const { return profileName_; }

    QAction* Action(int id) const;
    QMenuBar* MenuBar() const { return menuBar_; }
    QPushButton* StartButton() const { return startButton_; }
    QPlainTextEdit* LogView() const { return logView_; }
    QProgressBar* ProgressBar() const { return progress_; }
    QLineEdit* Counter() const { return counter_; }
    // The watch's status line: shown only while watching.
    QLabel* WatchStatus() const { return watchStatus_; }
    bool Watching() const { return watching_; }
    QComboBox* ProfileChooser() const { return chooser_; }
    ActivityAnimation* Animation() const { return animation_; }
    // Profile names in the chooser's order (code page text).
    const std::vector<std::string>& ChooserNames() const { return chooserNames_; }

  public slots:
    // Enter and Escape never close the window.
    void accept() override {}
    void reject() override {}

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    // A question box on the window's thread, from any thread; true for OK.
    bool Ask(std::string_view text, BoxButtons buttons);
    void BuildControls();
    void BuildMenu();
    QAction* AddItem(QMenu* menu, int id, const QString& text);

    // preview: decisions and reasons only, nothing changed.
    void StartCommand(bool preview = false);
    void CancelCommand();
    // The watch item: checked, a run and then the watch; unchecked, the watch ends.
    void WatchCommand();
    void StartButtonClicked();
    void ToggleLog();
    void ToggleCache();
    void SettingsCommand();
    // Registry start-up, chooser filled and the profile selected (msg::kAskRegisterFirstProfile when
    // there is none); false when the window closed meanwhile.
    bool LoadProfiles();
    void AlignCommand();
    void AboutCommand();
    void OnlineHelpCommand();
    void HelpCommand();
    void CompletionCommand();

    // Registry start-up (InitGlobalValues): false after msg::kStoreDamaged and the close request.
    bool LoadGlobalValues();
    void FillChooser();
    // Selects profileName_ (prefix search) or the first item; false when empty.
    bool SelectProfile();
    void SelectChooserIndex(int index);
    void ChooserChanged(int index);
    // The first item, in sorted order, that begins with text ignoring case.
    int FindChooserItem(const std::string& text) const;
    void SetCacheChecked(bool checked);

    int RunDialog(QDialog& dialog);
    bool OpenUrl(const QUrl& url);
    // Waits for a finished worker without blocking the calls it may still make.
    void JoinWorkerSafely();

    // Runs fn on the window's thread and waits for it; false when it was not
    // run. From the worker while the window waits for the worker to end, fn
    // is queued instead when queueWhenJoining is set (else dropped); while the
    // window is being destroyed it is dropped.
    bool CallOnWindowThread(const std::function<void()>& fn, bool queueWhenJoining = false);
    void AppendToView(const QString& line);

    std::string programDir_;
    MessageBoxes boxes_;
    ProfileStore store_;
    std::unique_ptr<FtpClientFactory> ftp_;
    RunOwner owner_;
    std::string profileName_;

    QMenuBar* menuBar_ = nullptr;
    QWidget* client_ = nullptr;
    QPushButton* startButton_ = nullptr;
    QLineEdit* counter_ = nullptr;
    QLabel* watchStatus_ = nullptr;
    QComboBox* chooser_ = nullptr;
    QPlainTextEdit* logView_ = nullptr;
    QProgressBar* progress_ = nullptr;
    ActivityAnimation* animation_ = nullptr;
    std::map<int, QAction*> actions_;
    std::vector<std::string> chooserNames_;
    long long logLines_ = 0;
    QSize defaultSize_;    // 262 x 163 dialog units, with the log shown
    int shownHeight_ = 0;  // the height to return to when the log shows again

    DialogRunner dialogRunner_;
    UrlOpener urlOpener_;
    bool closed_ = false;
    // The watch item is checked: a watch follows the run going (or the next one).
    bool watchAfterRun_ = false;
    // The owner's worker is a watch.
    bool watching_ = false;
    bool selectingProfile_ = false;
    std::atomic<bool> joining_{false};
    std::atomic<bool> shuttingDown_{false};
    std::atomic<int> callsInFlight_{0};
};

}  // namespace kestrum
