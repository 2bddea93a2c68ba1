#pragma once
// The directory chooser: picks a local directory by walking the mounted
// volumes and the folder tree. The folder list holds full paths: the
// ancestors of the current directory ("/" first), the current directory and
// its immediate subdirectories, kept sorted so that it reads as a tree.

#include <QDialog>
#include <QString>
#include <vector>

class QComboBox;
class QLineEdit;
class QListWidget;

namespace kestrum {

// One mounted volume offered in the drive list.
struct DriveInfo {
    QString root;       // its mount point, e.g. "/" or "/media/usb"
    int picture = 148;  // 147 removable, 148 fixed or other, 149 network, 151 CD-ROM
};

// The mounted volumes whose mount point is a directory, "/" first, then by path.
std::vector<DriveInfo> MountedDrives();

class DirChooserDialog : public QDialog {
  public:
    // Starts at StartingDirectory(startPath).
    explicit DirChooserDialog(const QString& startPath, QWidget* parent = nullptr,
                              std::vector<DriveInfo> drives = MountedDrives());

    // The directory the chooser opens at: startPath without one trailing "/",
    // made absolute and clean, when it names an existing directory; otherwise
    // the process's current directory.
    static QString StartingDirectory(const QString& startPath);

    // After Accepted: the chosen directory, without a trailing "/" except for "/" itself.
    const QString& SelectedDirectory() const { return selected_; }

    void accept() override;

  private:
    void ShowDirectory(const QString& dir);
    void OpenItem(int row);
    void OpenDrive(int index);
    int AddItem(const QString& path);
    void AddSubdirectories(const QString& dir);
    void SelectDriveOf(const QString& dir);

    QString selected_;
    QLineEdit* current_;    // 1036
    QListWidget* folders_;  // 1037
    QComboBox* drives_;     // 1038
};

// Folder depth: the number of "/" in the path, a trailing one not counted ("/" is 0).
int FolderDepth(const QString& path);
// The folder's own name: the text after the last "/", or the whole path for "/".
QString FolderLabel(const QString& path);

}  // namespace kestrum
