// The directory chooser on a temporary tree.
#include <unistd.h>

#include <QDir>
#include <QListWidget>
#include <QTest>
#include <filesystem>
#include <set>

#include "dialogs/dir_chooser_dialog.h"
#include "tests/dialogs/dialogs_fixture.h"

namespace kestrum::test {
namespace {

class DirChooserTest : public WidgetTest {
  protected:
    DirChooserTest() {
        for (const char* dir : {"data/web/img/a", "data/web/img/B", "data/web/css", "data/web/.hidden", "data/Other"})
            std::filesystem::create_directories(tree / dir);
        WriteFile(tree / "data/web/file.txt", "not a directory");
    }

    QString Path(const std::string& rel = "") const {
        return QString::fromStdString(rel.empty() ? tree.path() : tree / rel);
    }
    // "/" and every directory above the tree, down to the tree itself, then the directories below it.
    QStringList TreeAncestors(const std::vector<std::string>& below = {}) const {
        QStringList paths = {"/"};
        const QString root = Path();
        for (qsizetype slash = root.indexOf(u'/', 1); slash > 0; slash = root.indexOf(u'/', slash + 1))
            paths << root.left(slash);
        paths << root;
        for (const std::string& rel : below)
            paths << Path(rel);
        return paths;
    }
    static QStringList Items(QWidget* d) {
        auto* list = Find<QListWidget>(d, "1037");
        QStringList items;
        for (int i = 0; i < list->count(); ++i)
            items << list->item(i)->text();
        return items;
    }
    static QString SelectedItem(QWidget* d) {
        QListWidgetItem* item = Find<QListWidget>(d, "1037")->currentItem();
        return item ? item->text() : QString();
    }
    static void DoubleClick(QWidget* d, const QString& path) {
        auto* list = Find<QListWidget>(d, "1037");
        const QList<QListWidgetItem*> found = list->findItems(path, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1) << path.toStdString();
        list->scrollToItem(found[0]);
        const QPoint at = list->visualItemRect(found[0]).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    }
    std::unique_ptr<DirChooserDialog> Open(const QString& start) {
        auto dialog = std::make_unique<DirChooserDialog>(start, nullptr, drives);
        dialog->show();
        return dialog;
    }

    TempDir tree;
    std::vector<DriveInfo> drives = {{"/", 148}, {Path("data"), 147}};
};

TEST_F(DirChooserTest, StartingDirectoryDropsOneTrailingSlashAndFallsBackToTheCurrentDirectory) {
    const QString cwd = QDir::currentPath();
    EXPECT_EQ(DirChooserDialog::StartingDirectory(Path("data/web") + "/"), Path("data/web"));
    EXPECT_EQ(DirChooserDialog::StartingDirectory(Path("data/web")), Path("data/web"));
    EXPECT_EQ(DirChooserDialog::StartingDirectory("/"), "/");
    EXPECT_EQ(DirChooserDialog::StartingDirectory(""), cwd);
    EXPECT_EQ(DirChooserDialog::StartingDirectory(Path("data/missing")), cwd);
    EXPECT_EQ(DirChooserDialog::StartingDirectory(Path("data/web/file.txt")), cwd);
    EXPECT_EQ(DirChooserDialog::StartingDirectory(Path("data/web/img/../css")), Path("data/web/css"));
    // A relative path is taken from the current directory and shown in full.
    ASSERT_EQ(chdir(tree.path().c_str()), 0);
    EXPECT_EQ(DirChooserDialog::StartingDirectory("data/web"), Path("data/web"));
    ASSERT_EQ(chdir(cwd.toStdString().c_str()), 0);
}

TEST_F(DirChooserTest, OpensWithAncestorsCurrentAndSubdirectoriesAsATree) {
    auto dialog = Open(Path("data/web") + "/");
    QWidget* d = dialog.get();
    EXPECT_EQ(Text(d, "1036"), Path("data/web"));
    EXPECT_TRUE(Find<QLineEdit>(d, "1036")->isReadOnly());
    // Hidden directories are listed, files are not; letters sort without case.
    EXPECT_EQ(Items(d), TreeAncestors({"data", "data/web", "data/web/.hidden", "data/web/css", "data/web/img"}));
    EXPECT_EQ(SelectedItem(d), "");
    // The drive list selects the volume holding the directory.
    auto* driveList = Find<QComboBox>(d, "1038");
    EXPECT_EQ(driveList->currentIndex(), 1);
    EXPECT_EQ(driveList->itemText(0), "[ - /  -]");

    const int depth = FolderDepth(Path("data/web"));
    EXPECT_EQ(depth, static_cast<int>(TreeAncestors().size()) + 1);
    EXPECT_EQ(FolderDepth("/"), 0);
    EXPECT_EQ(FolderDepth("/srv"), 1);
    EXPECT_EQ(FolderDepth("/srv/www/"), 2);
    EXPECT_EQ(FolderLabel("/"), "/");
    EXPECT_EQ(FolderLabel("/srv/www"), "www");

    // Deeper items are drawn further right.
    auto* list = Find<QListWidget>(d, "1037");
    const QFontMetrics metrics(list->font());
    QStyleOptionViewItem option;
    option.fontMetrics = metrics;
    auto width = [&](int row) { return list->itemDelegate()->sizeHint(option, list->model()->index(row, 0)).width(); };
    EXPECT_EQ(width(0), 30 + metrics.horizontalAdvance("/") + 4);
    EXPECT_EQ(width(list->count() - 1), 30 + 10 * (depth + 1) + metrics.horizontalAdvance("img") + 4);
    EXPECT_GE(list->sizeHintForRow(0), 16);
}

TEST_F(DirChooserTest, DoubleClickRules) {
    auto dialog = Open(Path("data/web"));
    QWidget* d = dialog.get();
    const QStringList opened = Items(d);

    // The current directory: nothing happens.
    DoubleClick(d, Path("data/web"));
    EXPECT_EQ(Items(d), opened);
    EXPECT_EQ(Text(d, "1036"), Path("data/web"));

    // A subdirectory becomes current: its siblings go, its own subdirectories come.
    DoubleClick(d, Path("data/web/img"));
    EXPECT_EQ(Text(d, "1036"), Path("data/web/img"));
    EXPECT_EQ(Items(d), TreeAncestors({"data", "data/web", "data/web/img", "data/web/img/a", "data/web/img/B"}));
    EXPECT_EQ(SelectedItem(d), Path("data/web/img"));

    // An ancestor becomes current with its own subdirectories.
    DoubleClick(d, Path("data"));
    EXPECT_EQ(Text(d, "1036"), Path("data"));
    EXPECT_EQ(Items(d), TreeAncestors({"data", "data/Other", "data/web"}));
    EXPECT_EQ(SelectedItem(d), Path("data"));

    // The root is the top ancestor.
    DoubleClick(d, "/");
    EXPECT_EQ(Text(d, "1036"), "/");
    EXPECT_EQ(Items(d).first(), "/");
    EXPECT_EQ(SelectedItem(d), "/");
    for (const QString& item : Items(d).mid(1))
        EXPECT_EQ(FolderDepth(item), 1) << item.toStdString();
    const QString first = Items(d).at(1);
    DoubleClick(d, first);
    EXPECT_EQ(Text(d, "1036"), first);

    DoubleClick(d, "/");
    DoubleClick(d, TreeAncestors().at(1));
    Click(d, "1");
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->SelectedDirectory(), TreeAncestors().at(1));
}

TEST_F(DirChooserTest, OkReturnsTheCurrentDirectoryAndCancelNothing) {
    auto cancelled = Open(Path("data/web"));
    DoubleClick(cancelled.get(), Path("data/web/css"));
    Click(cancelled.get(), "2");
    EXPECT_EQ(cancelled->result(), QDialog::Rejected);
    EXPECT_EQ(cancelled->SelectedDirectory(), "");
    auto root = Open("/");
    EXPECT_EQ(Text(root.get(), "1036"), "/");
    Click(root.get(), "1");
    EXPECT_EQ(root->SelectedDirectory(), "/");  // the root keeps its "/"
}

TEST_F(DirChooserTest, ChoosingADriveShowsItsRoot) {
    auto dialog = Open(Path("data/web/img"));
    QWidget* d = dialog.get();
    auto* driveList = Find<QComboBox>(d, "1038");
    driveList->setFocus();
    QTest::keyClick(driveList, Qt::Key_Up);
    EXPECT_EQ(Text(d, "1036"), "/");
    EXPECT_EQ(Items(d).first(), "/");
    EXPECT_FALSE(Items(d).contains(Path("data/web/img/a")));

    QTest::keyClick(driveList, Qt::Key_Down);
    EXPECT_EQ(Text(d, "1036"), Path("data"));
    EXPECT_EQ(Items(d), TreeAncestors({"data", "data/Other", "data/web"}));
    Click(d, "1");
    EXPECT_EQ(dialog->SelectedDirectory(), Path("data"));
}

TEST(DirChooserDrives, MountedVolumesAreDirectoriesWithTheRootFirst) {
    const std::vector<DriveInfo> drives = MountedDrives();
    ASSERT_FALSE(drives.empty());
    EXPECT_EQ(drives.front().root, "/");
    for (size_t i = 0; i < drives.size(); ++i) {
        EXPECT_TRUE(QFileInfo(drives[i].root).isDir()) << drives[i].root.toStdString();
        EXPECT_TRUE(std::set<int>({147, 148, 149, 151}).count(drives[i].picture)) << drives[i].picture;
        for (size_t j = i + 1; j < drives.size(); ++j)
            EXPECT_NE(drives[i].root, drives[j].root);
    }
    TestApp();
    for (int id : {144, 145, 146, 147, 148, 149, 151})
        EXPECT_EQ(DialogPicture(id).size(), QSize(16, 16)) << id;
    EXPECT_TRUE(DialogPicture(150).isNull());
}

}  // namespace
}  // namespace kestrum::test
