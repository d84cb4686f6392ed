// "Browse kept listings" on the offscreen platform: opened from the window by Ctrl+L and its
// context menu; the drives listed, a listing's folders largest first with their sizes and shares,
// a folder opened and closed by the keyboard, a find match revealed in the tree, a folder opened in
// the file manager where its drive is mounted; a listing whose sizes or index are missing or
// damaged named in the status line, never a crash nor a wait; every control named.
#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include "support/accessible_names.h"
#include "support/fake_file_system.h"
#include "support/program_run.h"
#include "support/test_support.h"
#include "window/browse_window.h"
#include "window/main_window.h"

namespace quorvale::test {
namespace {

class BrowseWindow : public ::testing::Test {
  protected:
    BrowseWindow() {
        for (const char* folder : {"", "/small", "/big", "/big/inner", "/mid"}) {
            MakeFolder(tree + folder);
        }
        MakeFile(tree + "/small/s", std::string(10, 's'));
        MakeFile(tree + "/big/b", std::string(300000, 'b'));
        MakeFile(tree + "/big/inner/deep.txt", std::string(9000, 'd'));
        MakeFile(tree + "/mid/m", std::string(60000, 'm'));
        EXPECT_EQ(RunProgram({"--save", tree, "--details", "--list-folder", listing}).status, 0);
        hooks.openFolder = [this](const std::string& folder) {
            opened.push_back(folder);
            return true;
        };
    }
    // Waits until the window has its answers and has shown them.
    static void Settle(window::BrowseWindow& window) {
        EXPECT_TRUE(WaitUntil([&] {
            QApplication::processEvents();
            return !window.Busy();
        }));
        QApplication::processEvents();
    }
    // The names of the rows below `parent` of the tree, as shown.
    static std::vector<std::string> Names(const QTreeView& view, const QModelIndex& parent) {
        std::vector<std::string> names;
        const QAbstractItemModel* model = view.model();
        for (int row = 0; row < model->rowCount(parent); ++row) {
            names.push_back(model->index(row, 0, parent).data().toString().toStdString());
        }
        return names;
    }

    TempDir dir;
    std::string tree = dir / "T";
    std::string listing = dir / "catalogue/T";
    window::FindDialogHooks hooks;
    std::vector<std::string> opened;
};

// With its reader thread, and without one (as when none can be had: the window's own reads).
TEST_F(BrowseWindow, FoldersLargestFirstOpenedRevealedAndOpenedByTheKeyboard) {
    for (const bool threaded : {true, false}) {
        SCOPED_TRACE(threaded);
        opened.clear();
        window::BrowseWindow window({dir / "catalogue"}, hooks, nullptr, threaded);
        window.show();
        Settle(window);
        EXPECT_EQ(window.Drives()->count(), 1);
        EXPECT_TRUE(UnnamedAccessibleElements(&window).isEmpty())
            << UnnamedAccessibleElements(&window).join(", ").toStdString();
        QTreeView* view = window.Tree();
        const QModelIndex root = view->model()->index(0, 0);
        EXPECT_EQ(root.data().toString().toStdString(), tree);
        // The root opened, its folders largest first, each with its share of the root's size.
        EXPECT_EQ(Names(*view, root), (std::vector<std::string>{"big/", "mid/", "small/"}));
        const QModelIndex big = view->model()->index(0, 0, root);
        EXPECT_GT(view->model()->index(0, 2, root).data(Qt::UserRole + 1).toDouble(), 0.6);
        EXPECT_EQ(view->model()->index(0, 3, root).data().toString(), "2");  // files below it
        EXPECT_TRUE(view->model()->index(0, 1, root).data().toString().endsWith("kB"));

        // The keyboard alone: down to "big/", open it, and its folder and file are there, largest
        // first; closed again, its rows are let go of.
        view->setFocus();
        view->setCurrentIndex(root);
        QTest::keyClick(view, Qt::Key_Down);
        EXPECT_EQ(view->currentIndex(), big);
        QTest::keyClick(view, Qt::Key_Right);
        Settle(window);
        EXPECT_EQ(Names(*view, big), (std::vector<std::string>{"b", "inner/"}));
        QTest::keyClick(view, Qt::Key_Left);
        Settle(window);
        EXPECT_EQ(view->model()->rowCount(big), 0);
        // Enter opens the folder in the file manager, where its drive is mounted as listed.
        QTest::keyClick(view, Qt::Key_Return);
        Settle(window);
        EXPECT_EQ(opened, std::vector<std::string>{tree + "/big"});

        // Ctrl+F: a pattern, its match, and the match revealed in the tree below closed folders.
        QTest::keyClick(&window, Qt::Key_F, Qt::ControlModifier);
        ASSERT_TRUE(window.FindEdit()->isVisible());
        EXPECT_TRUE(window.FindEdit()->hasFocus());
        QTest::keyClicks(window.FindEdit(), "DEEP");
        QTest::keyClick(window.FindEdit(), Qt::Key_Return);
        Settle(window);
        ASSERT_EQ(window.Matches()->count(), 1) << window.Status().toStdString();
        window.Matches()->setFocus();
        QTest::keyClick(window.Matches(), Qt::Key_Return);
        Settle(window);
        ASSERT_NE(window.CurrentRow(), nullptr);
        EXPECT_EQ(window.CurrentRow()->name, "deep.txt");
        EXPECT_EQ(window.CurrentRow()->bytes, 9000u);
        EXPECT_TRUE(view->hasFocus());
    }
}

// A folder of more names than a page holds: its first rows at once, then its largest page, and a
// last row that shows the next page when activated; sorted by name, its first page by name.
TEST_F(BrowseWindow, AFolderLargerThanAPageComesAPageAtATime) {
    const std::string many = tree + "/many";
    MakeFolder(many);
    const std::uint64_t names = window::BrowseModel::kPageRows + 30;
    for (std::uint64_t i = 0; i < names; ++i) MakeFile(many + "/n" + std::to_string(i));
    MakeFile(many + "/the largest", std::string(50000, 'l'));
    ASSERT_EQ(RunProgram({"--save", tree, "--details", "--list-folder", listing}).status, 0);
    window::BrowseWindow window({dir / "catalogue"}, hooks);
    window.show();
    Settle(window);
    QTreeView* view = window.Tree();
    const QAbstractItemModel* model = view->model();
    const QModelIndex root = model->index(0, 0);
    QModelIndex folder;
    for (int row = 0; row < model->rowCount(root); ++row) {
        if (model->index(row, 0, root).data().toString() == "many/")
            folder = model->index(row, 0, root);
    }
    ASSERT_TRUE(folder.isValid());
    view->expand(folder);
    Settle(window);
    const int page = static_cast<int>(window::BrowseModel::kPageRows);
    ASSERT_EQ(model->rowCount(folder), page + 1);
    EXPECT_EQ(model->index(0, 0, folder).data().toString(), "the largest");
    EXPECT_EQ(model->index(page, 0, folder).data().toString(), "31 more: Enter shows the next 31");
    // By name: the page of the first names, asked for again.
    view->sortByColumn(window::BrowseModel::kName, Qt::AscendingOrder);
    Settle(window);
    ASSERT_EQ(model->rowCount(folder), page + 1);
    EXPECT_EQ(model->index(0, 0, folder).data().toString(), "n0");
    EXPECT_EQ(model->index(1, 0, folder).data().toString(), "n1");
    // The last row shows the next page when activated, and opens nothing.
    view->setFocus();
    view->setCurrentIndex(model->index(page, 0, folder));
    QTest::keyClick(view, Qt::Key_Return);
    Settle(window);
    EXPECT_EQ(model->rowCount(folder), static_cast<int>(names) + 1);
    EXPECT_EQ(model->index(static_cast<int>(names), 0, folder).data().toString(), "the largest");
    EXPECT_TRUE(opened.empty());
}

// The drives by name and size, the newest listing of each; every listing with "Older listings".
TEST_F(BrowseWindow, EachDriveByNameAndSizeAndOlderListingsOnDemand) {
    ASSERT_EQ(
        RunProgram({"--save", tree, "--details", "--list-folder", dir / "catalogue/T2"}).status, 0);
    window::BrowseWindow window({dir / "catalogue"}, hooks);
    window.show();
    Settle(window);
    ASSERT_EQ(window.Drives()->count(), 1);
    const QString name = window.Drives()->item(0)->text();
    EXPECT_TRUE(name.contains(" (") && name.endsWith("B)")) << name.toStdString();
    window.findChild<QCheckBox*>()->click();
    Settle(window);
    EXPECT_EQ(window.Drives()->count(), 2);
    EXPECT_TRUE(window.Drives()->item(1)->text().contains(", listed ")) << name.toStdString();
}

// A folder too large for a page shows its first rows in listing order, marked provisional, and
// its sorted page takes their place.
TEST(BrowseModel, ProvisionalRowsGiveWayToTheSortedPage) {
    window::BrowseModel model;
    std::vector<std::uint64_t> asked;
    model.askChildren = [&asked](std::uint64_t folder, std::uint64_t) { asked.push_back(folder); };
    catalogue::TreeRow root;
    root.name = "/r";
    root.folder = true;
    root.files = 3;
    model.SetRoot(root);
    const QModelIndex top = model.index(0, 0);
    ASSERT_TRUE(model.canFetchMore(top));
    model.fetchMore(top);
    EXPECT_EQ(asked, std::vector<std::uint64_t>{0});
    const auto file = [](const char* name, std::uint64_t blocks, std::uint64_t entry) {
        catalogue::TreeRow row;
        row.name = name;
        row.blocks = blocks;
        row.number = entry;
        return row;
    };
    window::BrowseModel::Page quick{{file("a", 1, 1)}, 0, 0, true};
    ASSERT_TRUE(model.TakeChildren(0, quick));
    EXPECT_EQ(model.rowCount(top), 1);
    window::BrowseModel::Page sorted{{file("c", 9, 3), file("b", 5, 2), file("a", 1, 1)}, 0, 3};
    ASSERT_TRUE(model.TakeChildren(0, sorted));
    while (model.AddSlice()) {
    }
    ASSERT_EQ(model.rowCount(top), 3);
    EXPECT_EQ(model.index(0, 0, top).data().toString(), "c");
    EXPECT_FALSE(model.TakeChildren(0, quick));  // a late provisional page is not taken
}

// What cannot be browsed is named; the window goes on answering.
TEST_F(BrowseWindow, AListingWithoutSizesOrWithItsIndexDamagedIsNamed) {
    const std::string plain = dir / "plain/P";
    ASSERT_EQ(RunProgram({"--save", tree, "--list-folder", plain}).status, 0);
    window::BrowseWindow withoutSizes({dir / "plain"}, hooks);
    withoutSizes.show();
    Settle(withoutSizes);
    EXPECT_TRUE(withoutSizes.Status().contains("it has no sizes (it was saved without --details)"))
        << withoutSizes.Status().toStdString();
    EXPECT_EQ(withoutSizes.Tree()->model()->rowCount(), 0);

    const std::string index = listing + "/quorvale-index.bin";
    std::string bytes = ReadBytes(index);
    for (std::size_t at = 200; at < bytes.size(); at += 7)
        bytes[at] = static_cast<char>(~bytes[at]);
    MakeFile(index, bytes);
    window::BrowseWindow damaged({dir / "catalogue"}, hooks);
    damaged.show();
    Settle(damaged);
    EXPECT_TRUE(damaged.Status().contains("its index is damaged"))
        << damaged.Status().toStdString();
    EXPECT_EQ(damaged.Tree()->model()->rowCount(), 0);
}

TEST_F(BrowseWindow, CtrlLAndTheContextMenuOpenIt) {
    FakeFileSystem fs;
    TestRuntime runtime(dir / "catalogue");
    window::WindowHooks windowHooks;
    window::MainWindow form(runtime, fs, windowHooks);
    form.show();
    form.activateWindow();
    QApplication::processEvents();
    EXPECT_EQ(form.Browser(), nullptr);
    QTest::keyClick(&form, Qt::Key_L, Qt::ControlModifier);
    ASSERT_NE(form.Browser(), nullptr);
    EXPECT_TRUE(form.Browser()->isVisible());
    EXPECT_EQ(form.Browser()->windowTitle(), "Browse kept listings");
    Settle(*form.Browser());
    EXPECT_EQ(form.Browser()->Drives()->count(), 1);
    form.Browser()->hide();
    ASSERT_EQ(form.actions().size(), 2);
    EXPECT_EQ(form.actions().back()->text(), "Browse Kept Listings...");
    form.actions().back()->trigger();
    EXPECT_TRUE(form.Browser()->isVisible());
}

}  // namespace
}  // namespace quorvale::test
