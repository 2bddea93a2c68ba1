#include "dialogs/dir_chooser_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QStorageInfo>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>

#include "dialogs/field_helpers.h"

namespace kestrum {

namespace {

constexpr int kItemHeight = 16;
constexpr int kPictureSize = 16;

// The list's order: letters compared without case, then exactly. A directory
// sorts before everything below it, so the list reads as a tree.
bool ListOrder(const QString& a, const QString& b) {
    const int folded = QString::compare(a, b, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : a < b;
}

QString JoinPath(const QString& dir, const QString& name) {
    return dir.endsWith(u'/') ? dir + name : dir + u'/' + name;
}

bool IsInside(const QString& path, const QString& root) {
    return root == QLatin1String("/") || path == root || path.startsWith(root + u'/');
}

// Device names of a mount ("/dev/sdb1") are removable when their disk says so.
bool IsRemovableDevice(const QByteArray& device) {
    if (!device.startsWith("/dev/"))
        return false;
    const QString name = QFileInfo(QString::fromLocal8Bit(device)).canonicalFilePath().section(u'/', -1);
    if (name.isEmpty())
        return false;
    // /sys/class/block/<partition> links into the disk's directory.
    const QString partition = QFileInfo(QStringLiteral("/sys/class/block/") + name).canonicalFilePath();
    for (const QString& dir : {partition, QFileInfo(partition).path()}) {
        QFile flag(dir + QStringLiteral("/removable"));
        if (flag.open(QIODevice::ReadOnly))
            return flag.readAll().trimmed() == "1";
    }
    return false;
}

int DrivePicture(const QStorageInfo& volume) {
    const QByteArray type = volume.fileSystemType();
    static const QList<QByteArray> network = {"nfs", "nfs4", "cifs",      "smb3",       "smbfs", "ncpfs",      "afs",
                                              "9p",  "ceph", "glusterfs", "fuse.sshfs", "davfs", "fuse.davfs2"};
    if (network.contains(type))
        return 149;
    if (type == "iso9660" || type == "udf")
        return 151;
    const QString root = volume.rootPath();
    if (root.startsWith(QLatin1String("/media/")) || root.startsWith(QLatin1String("/run/media/")) ||
        IsRemovableDevice(volume.device())) {
        return 147;
    }
    return 148;
}

// Draws a folder as an indented tree row, or a drive with its picture.
class FolderDelegate : public QStyledItemDelegate {
  public:
    FolderDelegate(QLineEdit* current, QObject* parent) : QStyledItemDelegate(parent), current_(current) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const QString path = index.data(Qt::DisplayRole).toString();
        const qsizetype currentLength = current_->text().size();
        const int picture = path.size() == currentLength ? 146 : path.size() < currentLength ? 145 : 144;
        const int indent = 10 * FolderDepth(path);
        const bool selected = option.state & QStyle::State_Selected;
        const QPalette& palette = option.palette;

        painter->save();
        painter->fillRect(option.rect, selected ? palette.highlight() : palette.base());
        if (selected && (option.state & QStyle::State_HasFocus)) {
            QStyleOptionFocusRect focus;
            focus.QStyleOption::operator=(option);
            focus.backgroundColor = palette.color(QPalette::Highlight);
            option.widget->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, option.widget);
        }
        const QRect rect = option.rect;
        painter->drawPixmap(rect.left() + 10 + indent, rect.top() + (rect.height() - kPictureSize) / 2,
                            DialogPicture(picture));
        painter->setPen(selected ? palette.color(QPalette::HighlightedText) : palette.color(QPalette::Text));
        const QRect textRect(rect.left() + 30 + indent, rect.top(), rect.width() - 30 - indent, rect.height());
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, FolderLabel(path));
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const QString path = index.data(Qt::DisplayRole).toString();
        const int width = 30 + 10 * FolderDepth(path) + option.fontMetrics.horizontalAdvance(FolderLabel(path)) + 4;
        return {width, std::max(kItemHeight, option.fontMetrics.height())};
    }

  private:
    QLineEdit* current_;
};

}  // namespace

std::vector<DriveInfo> MountedDrives() {
    std::vector<DriveInfo> drives;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        const QString root = volume.rootPath();
        if (!volume.isValid() || !QFileInfo(root).isDir())
            continue;
        const bool seen =
            std::any_of(drives.begin(), drives.end(), [&](const DriveInfo& drive) { return drive.root == root; });
        if (!seen)
            drives.push_back({root, DrivePicture(volume)});
    }
    std::sort(drives.begin(), drives.end(), [](const DriveInfo& a, const DriveInfo& b) {
        if ((a.root == QLatin1String("/")) != (b.root == QLatin1String("/")))
            return a.root == QLatin1String("/");
        return a.root < b.root;
    });
    return drives;
}

int FolderDepth(const QString& path) {
    qsizetype count = path.count(u'/');
    if (path.endsWith(u'/'))
        --count;
    return static_cast<int>(count);
}

QString FolderLabel(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0 || slash + 1 == path.size())
        return path;
    return path.mid(slash + 1);
}

QString DirChooserDialog::StartingDirectory(const QString& startPath) {
    QString path = startPath;
    if (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    if (!path.isEmpty()) {
        const QFileInfo info(path);
        if (info.isDir())
            return QDir::cleanPath(info.absoluteFilePath());
    }
    return QDir::cleanPath(QDir::currentPath());
}

DirChooserDialog::DirChooserDialog(const QString& startPath, QWidget* parent, std::vector<DriveInfo> drives)
    : QDialog(parent) {
    setWindowTitle(Tr("ディレクトリを選択してください"));

    current_ = new QLineEdit(this);
    current_->setObjectName("1036");
    current_->setReadOnly(true);
    folders_ = new QListWidget(this);
    folders_->setObjectName("1037");
    folders_->setItemDelegate(new FolderDelegate(current_, folders_));
    folders_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    folders_->setMinimumSize(240, 200);
    drives_ = new QComboBox(this);
    drives_->setObjectName("1038");
    for (const DriveInfo& drive : drives) {
        drives_->addItem(DialogIcon(drive.picture), QStringLiteral("[ - %1  -]").arg(drive.root), drive.root);
    }

    auto* directoryLabel = new QLabel(Tr("ディレクトリ："), this);
    directoryLabel->setBuddy(folders_);
    auto* driveLabel = new QLabel(Tr("ドライブ："), this);
    driveLabel->setBuddy(drives_);
    auto* programIcon = new QLabel(this);
    // The icon of the window that opened the chooser, else the application's.
    programIcon->setPixmap(windowIcon().pixmap(32, 32));

    QDialogButtonBox* buttons = MakeOkCancelButtons(this, Qt::Vertical);

    auto* side = new QVBoxLayout;
    side->addWidget(buttons);
    side->addStretch();
    side->addWidget(programIcon, 0, Qt::AlignHCenter);
    auto* layout = new QGridLayout(this);
    layout->addWidget(directoryLabel, 0, 0);
    layout->addWidget(current_, 1, 0);
    layout->addWidget(folders_, 2, 0);
    layout->addWidget(driveLabel, 3, 0);
    layout->addWidget(drives_, 4, 0);
    layout->addLayout(side, 0, 1, 5, 1);
    layout->setRowStretch(2, 1);

    connect(folders_, &QListWidget::doubleClicked, this, [this](const QModelIndex& index) { OpenItem(index.row()); });
    connect(drives_, &QComboBox::activated, this, &DirChooserDialog::OpenDrive);

    const QString start = StartingDirectory(startPath);
    SelectDriveOf(start);
    ShowDirectory(start);
}

void DirChooserDialog::accept() {
    selected_ = current_->text();
    QDialog::accept();
}

// The whole list for dir: its ancestors from "/" down, dir itself and its subdirectories.
void DirChooserDialog::ShowDirectory(const QString& dir) {
    folders_->clear();
    current_->setText(dir);
    if (dir != QLatin1String("/")) {
        AddItem(QStringLiteral("/"));
        for (qsizetype slash = dir.indexOf(u'/', 1); slash > 0; slash = dir.indexOf(u'/', slash + 1)) {
            AddItem(dir.left(slash));
        }
    }
    AddItem(dir);
    AddSubdirectories(dir);
}

void DirChooserDialog::OpenItem(int row) {
    QListWidgetItem* item = folders_->item(row);
    if (!item)
        return;
    const QString target = item->text();
    const QString current = current_->text();
    if (target.size() == current.size())
        return;  // the current directory

    int keep = row;  // an ancestor: it and everything below it go
    if (target.size() > current.size()) {
        // a subdirectory: everything after the current directory goes
        keep = 0;
        while (keep < folders_->count() && !folders_->item(keep)->text().startsWith(current))
            ++keep;
        ++keep;
    }
    while (folders_->count() > keep)
        delete folders_->takeItem(folders_->count() - 1);

    current_->setText(target);
    AddItem(target);
    AddSubdirectories(target);
    folders_->setCurrentRow(keep);
}

void DirChooserDialog::OpenDrive(int index) {
    const QString root = drives_->itemData(index).toString();
    if (!root.isEmpty())
        ShowDirectory(root);
}

int DirChooserDialog::AddItem(const QString& path) {
    // After every item that does not sort behind it, like a sorted list box.
    int low = 0;
    int high = folders_->count();
    while (low < high) {
        const int middle = (low + high) / 2;
        if (ListOrder(path, folders_->item(middle)->text())) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    folders_->insertItem(low, path);
    return low;
}

void DirChooserDialog::AddSubdirectories(const QString& dir) {
    const QDir listing(dir);
    const QStringList names = listing.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString& name : names)
        AddItem(JoinPath(dir, name));
}

void DirChooserDialog::SelectDriveOf(const QString& dir) {
    int best = -1;
    for (int i = 0; i < drives_->count(); ++i) {
        const QString root = drives_->itemData(i).toString();
        if (IsInside(dir, root) && (best < 0 || root.size() > drives_->itemData(best).toString().size()))
            best = i;
    }
    drives_->setCurrentIndex(best);
}

}  // namespace kestrum
