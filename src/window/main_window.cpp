#include "window/main_window.h"

#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QWindow>
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "catalogue/drive_catalogue.h"
#include "listing/list_file_name.h"
#include "picker/folder_picker.h"
#include "save/listing_save.h"
#include "window/browse_window.h"
#include "window/closing_animation.h"
#include "window/command_button.h"
#include "window/listing_view.h"
#include "window/window_layout.h"

namespace quorvale::window {

namespace {

// How long a message waits for the window it is shown over to be on the screen, at most.
constexpr qint64 kLongestWaitForTheWindowMs = 2000;
// Said where a person rests the pointer (the window's and the list's tip), since no button says it.
constexpr const char* kFindHint = "Ctrl+F (or a right click) finds a file in every listing kept";

const QString kTitle = " Quorvale";
const QString kChooseText = "Choose Folder Or Drive";
const QString kExitText = "Exit";
const QString kSaveText = "Save To TxT File";
const QString kPrompt = "Select A Drive Or Folder";
const QString kTitleIn = "  Quorvale In ";
const QString kTitleSaved = "  Quorvale ";
const QString kChooseFirst = "Choose Folder Or Drive First";
const QString kMessageTitle = "Quorvale";
const QString kLongestStatus = QString::fromStdString(listing::SavedStatus(INT16_MAX));
const QColor kGrey(192, 192, 192);

// Thrown through the walk when the program has ended in the middle of it (only where ending the
// program returns, as in tests).
struct ProgramEnded {};

QString FromBytes(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

// The window's icon: a folder with a listed sheet in front of it.
QIcon MakeIcon() {
    QPixmap pixmap(24, 24);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(120, 90, 20));
    p.setBrush(QColor(236, 190, 70));
    p.drawRoundedRect(QRectF(1.5, 4.5, 21, 17), 2, 2);
    p.drawRect(QRectF(1.5, 2.5, 8, 3));
    p.setPen(QColor(90, 90, 90));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(6.5, 7.5, 13, 13));
    p.setPen(QColor(40, 70, 160));
    for (int y = 10; y <= 18; y += 3)
        p.drawLine(QPointF(8.5 + (y > 10 ? 2 : 0), y), QPointF(17.5, y));
    return QIcon(pixmap);
}

// Whether `text` shows whole in a control of `width` pixels with `font`; buttons lose their frame
// and margins.
bool TextFits(const QString& text, const QFont& font, int width, bool button) {
    int room = width;
    if (button) {
        QStyle* style = QApplication::style();
        room -= 2 * (style->pixelMetric(QStyle::PM_ButtonMargin) / 2 +
                     style->pixelMetric(QStyle::PM_DefaultFrameWidth));
    }
    return QFontMetrics(font).horizontalAdvance(text) <= room;
}

void ShowInformation(QWidget* owner, const QString& text, const QString& title) {
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, owner);
    // Over the window, also where the window system would place it elsewhere, and also when the
    // window has only just been shown (a folder given at the start that is no folder): where the
    // window lands is known once the window system has put it on the screen.
    if (owner != nullptr && owner->isVisible()) {
        QElapsedTimer waited;
        waited.start();
        while (owner->windowHandle() != nullptr && !owner->windowHandle()->isExposed() &&
               waited.elapsed() < kLongestWaitForTheWindowMs) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        }
        box.adjustSize();
        box.move(owner->frameGeometry().center() - box.rect().center());
    }
    box.exec();
}

QPushButton* MakeButton(const QString& text, const char* name, const Place& place,
                        QWidget* parent) {
    auto* button = new CommandButton(text, parent);
    button->setObjectName(name);
    button->setGeometry(place.Pixels());
    return button;
}

QLabel* MakeLabel(const char* name, const Place& place, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setGeometry(place.Pixels());
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

}  // namespace

WindowHooks DefaultWindowHooks() {
    WindowHooks hooks;
    hooks.browseForFolder = picker::BrowseForFolder;
    hooks.messageBox = ShowInformation;
    hooks.endProgram = [] { std::_Exit(0); };
    hooks.closingAnimation = PlayClosingAnimation;
    hooks.openFolder = DefaultFindDialogHooks().openFolder;
    return hooks;
}

QFont ControlFont(const QFont& base) {
    struct Fit {
        const QString& text;
        const Place& place;
        bool button;
    };
    const Fit fits[] = {{kChooseText, layout::kChooseButton, true},
                        {kExitText, layout::kExitButton, true},
                        {kSaveText, layout::kSaveButton, true},
                        {kLongestStatus, layout::kStatusLabel, false}};
    QFont font = base;
    for (qreal points = 8.0; points >= 5.0; points -= 0.25) {
        font.setPointSizeF(points);
        bool all = true;
        for (const Fit& fit : fits)
            all = all && TextFits(fit.text, font, Px(fit.place.width), fit.button);
        if (all) break;
    }
    return font;
}

MainWindow::MainWindow(runtime::RuntimeServices& runtime, reading::FileSystem& fileSystem,
                       WindowHooks hooks, QWidget* parent)
    : QWidget(parent),
      hooks_(std::move(hooks)),
      runtime_(runtime),
      core_(buffer_, fileSystem, runtime),
      listView_(new QListView(this)),
      chooseButton_(MakeButton(kChooseText, "chooseButton", layout::kChooseButton, this)),
      exitButton_(MakeButton(kExitText, "exitButton", layout::kExitButton, this)),
      saveButton_(MakeButton(kSaveText, "saveButton", layout::kSaveButton, this)),
      statusLabel_(MakeLabel("statusLabel", layout::kStatusLabel, this)),
      noticeLabel_(MakeLabel("noticeLabel", layout::kNoticeLabel, this)),
      countLabel_(MakeLabel("countLabel", layout::kCountLabel, this)),
      model_(new ListingModel(buffer_, this)),
      delegate_(new TabStopDelegate(this)) {
    setWindowTitle(kTitle);
    setWindowIcon(MakeIcon());
    // The window's own size, within the screen it opens on at any scale.
    QSize size(Px(layout::kClientWidth), Px(layout::kClientHeight));
    QSize least(Px(layout::kMinimumWidth), Px(layout::kMinimumHeight));
    if (const QScreen* shown = screen()) {
        size = size.boundedTo(shown->availableGeometry().size());
        least = least.boundedTo(size);
    }
    setMinimumSize(least);
    resize(size);
    setAcceptDrops(true);

    QFont font = QApplication::font();
    font.setStyleHint(QFont::SansSerif);
    font = ControlFont(font);
    setFont(font);

    QPalette grey = palette();
    grey.setColor(QPalette::Window, kGrey);
    grey.setColor(QPalette::Button, kGrey);
    grey.setColor(QPalette::WindowText, Qt::black);
    grey.setColor(QPalette::ButtonText, Qt::black);
    // The buttons' raised edges, as the classic grey desktop drew them.
    grey.setColor(QPalette::Light, Qt::white);
    grey.setColor(QPalette::Midlight, QColor(223, 223, 223));
    grey.setColor(QPalette::Dark, QColor(128, 128, 128));
    grey.setColor(QPalette::Shadow, Qt::black);
    setPalette(grey);
    setAutoFillBackground(true);

    listView_->setObjectName("listView");
    listView_->setAccessibleName("Listing");
    listView_->setToolTip(kFindHint);
    setToolTip(kFindHint);
    countLabel_->setAccessibleName("Lines listed");
    statusLabel_->setAccessibleName("Status");
    QPalette white = listView_->palette();
    white.setColor(QPalette::Base, Qt::white);
    white.setColor(QPalette::Text, Qt::black);
    listView_->setPalette(white);
    listView_->setModel(model_);
    listView_->setItemDelegate(delegate_);
    listView_->setUniformItemSizes(true);
    listView_->setSelectionMode(QAbstractItemView::SingleSelection);
    listView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    listView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    listView_->setGeometry(layout::kList.Pixels());
    delegate_->SetTabStops(listView_->font(), layout::kFirstTabStop, layout::kSecondTabStop);

    // What Save does and where the list files go; the folder is elided if it is long.
    try {
        listFolder_ = FromBytes(runtime.ListFileFolder());
    } catch (const runtime::RuntimeError&) {
        listFolder_ = "the program's folder";
    }
    noticeBefore_ =
        "Save lists every folder and file below the chosen one into ListTex1.txt, ListTex2.txt, "
        "... (32000 lines each) in ";
    noticeLabel_->setTextInteractionFlags(Qt::LinksAccessibleByMouse |
                                          Qt::LinksAccessibleByKeyboard);
    connect(noticeLabel_, &QLabel::linkActivated, this, [this] {
        if (hooks_.openFolder) hooks_.openFolder(QFile::encodeName(listFolder_).toStdString());
    });
    LayOut();

    // Tab order: Choose, the list, Exit, Save; labels take no focus.
    setTabOrder(chooseButton_, listView_);
    setTabOrder(listView_, exitButton_);
    setTabOrder(exitButton_, saveButton_);
    chooseButton_->setFocus();

    connect(chooseButton_, &QPushButton::clicked, this, &MainWindow::choose);
    connect(saveButton_, &QPushButton::clicked, this, &MainWindow::save);
    connect(exitButton_, &QPushButton::clicked, this, &MainWindow::exit);
    // Finding in kept listings: Ctrl+F, or the window's context menu (a right click anywhere in
    // it, or the menu key), beside the three buttons rather than among them.
    auto* findAction = new QAction("Find in Kept Listings...", this);
    findAction->setShortcut(QKeySequence::Find);
    findAction->setShortcutContext(Qt::WindowShortcut);
    connect(findAction, &QAction::triggered, this, &MainWindow::openFind);
    addAction(findAction);
    // Browsing the kept listings' folders and sizes: Ctrl+L, or the same menu.
    auto* browseAction = new QAction("Browse Kept Listings...", this);
    browseAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    browseAction->setShortcutContext(Qt::WindowShortcut);
    connect(browseAction, &QAction::triggered, this, &MainWindow::openBrowse);
    addAction(browseAction);
    // The commands by the keys people expect: Ctrl+O chooses, Ctrl+S saves, Ctrl+Q exits.
    const std::pair<QKeySequence, void (MainWindow::*)()> keys[] = {
        {QKeySequence::Open, &MainWindow::choose},
        {QKeySequence::Save, &MainWindow::save},
        {QKeySequence(Qt::CTRL | Qt::Key_Q), &MainWindow::exit}};
    for (const auto& [key, command] : keys) {
        auto* shortcut = new QShortcut(key, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, command);
    }
    setContextMenuPolicy(Qt::ActionsContextMenu);
    core_.SetYield([this] { CatchUpAfterLine(); });
    // While a large folder is read and sorted, or a list file made durable, the window keeps
    // catching up too.
    fileSystem.SetWaitHook([this] { CatchUpDuringWalk(); });
    core_.SetWaitHook([this] { CatchUpDuringWalk(); });
    core_.SetCountDisplay([this](int count) { shownCount_ = count; });
}

MainWindow::~MainWindow() = default;

// The places of the layout at the window's own size, the list taking what it gained or lost.
void MainWindow::LayOut() {
    const int wider = width() - Px(layout::kClientWidth);
    const int taller = height() - Px(layout::kClientHeight);
    const auto below = [taller](const Place& place) {
        return place.Pixels().translated(0, taller);
    };
    listView_->setGeometry(layout::kList.Pixels().adjusted(0, 0, wider, taller));
    chooseButton_->setGeometry(below(layout::kChooseButton));
    exitButton_->setGeometry(below(layout::kExitButton));
    saveButton_->setGeometry(below(layout::kSaveButton));
    statusLabel_->setGeometry(below(layout::kStatusLabel));
    countLabel_->setGeometry(below(layout::kCountLabel));
    noticeLabel_->setGeometry(below(layout::kNoticeLabel).adjusted(0, 0, wider, 0));
    if (noticeLabel_->textFormat() != Qt::RichText) ShowNotice();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayOut();
}

// What Save does and where the list files go, the folder elided to the line's width (in the
// label's own font, with room for its margins), whatever the folder's length.
void MainWindow::ShowNotice() {
    const QFontMetrics metrics(noticeLabel_->font());
    const int width = noticeLabel_->contentsRect().width() - 8;
    // The two parts measured apart may come out a pixel narrower than together: elided again,
    // a little shorter, until the whole line fits.
    QString shown;
    for (int room = width - metrics.horizontalAdvance(noticeBefore_);; room -= 4) {
        shown =
            noticeBefore_ + metrics.elidedText(listFolder_, Qt::ElideMiddle, std::max(room, 40));
        if (metrics.horizontalAdvance(shown) <= width || room <= 40) break;
    }
    noticeLabel_->setTextFormat(Qt::PlainText);
    noticeLabel_->setText(shown);
    noticeLabel_->setToolTip(noticeBefore_ + listFolder_);
}

// After a Save, the notice line says which list files this Save wrote (the status keeps its own
// text, which counts from the run's first), how many folders were denied or cut short, and offers
// to open the list files' folder.
void MainWindow::ShowWhatThisSaveWrote(int firstListFile) {
    const int last = core_.ListFileNumber() - 1;
    QString text = "This Save: ";
    if (last < firstListFile) {
        text += "no list file";
    } else {
        text += QString::fromStdString(listing::ListFileName(firstListFile));
        if (last > firstListFile) {
            text += " to " + QString::fromStdString(listing::ListFileName(last));
        }
    }
    const std::size_t denied = core_.DeniedCount();
    const std::size_t incomplete = core_.IncompleteCount();
    QString missing;
    if (denied != 0) {
        missing += denied == 1 ? QString("1 denial") : QString("%1 denials").arg(denied);
    }
    if (incomplete != 0) {
        if (!missing.isEmpty()) missing += ", ";
        missing += incomplete == 1 ? QString("1 folder cut short")
                                   : QString("%1 folders cut short").arg(incomplete);
    }
    const QString plain =
        text + " in " + listFolder_ + (missing.isEmpty() ? QString() : "; " + missing) + ".";
    noticeLabel_->setTextFormat(Qt::RichText);
    noticeLabel_->setText(plain.toHtmlEscaped() + " <a href=\"open\">Open the folder</a>");
    noticeLabel_->setToolTip(plain);
}

void MainWindow::openFind() {
    if (findDialog_ == nullptr) {
        std::string folder;
        try {
            folder = runtime_.ListFileFolder();
        } catch (const runtime::RuntimeError&) {
        }
        FindDialogHooks findHooks;
        findHooks.openFolder = hooks_.openFolder;
        findDialog_ = new FindDialog(folder, findHooks, this);
        findDialog_->setWindowFlag(Qt::Window);
    }
    findDialog_->show();
    findDialog_->raise();
    findDialog_->activateWindow();
}

void MainWindow::openBrowse() {
    if (browseWindow_ == nullptr) {
        std::vector<std::string> folders;
        try {
            folders.push_back(runtime_.ListFileFolder());
        } catch (const runtime::RuntimeError&) {
        }
        if (std::string catalogue = catalogue::CatalogueFolder();
            !catalogue.empty() &&
            std::find(folders.begin(), folders.end(), catalogue) == folders.end()) {
            folders.push_back(std::move(catalogue));
        }
        FindDialogHooks hooks;
        hooks.openFolder = hooks_.openFolder;
        browseWindow_ = new BrowseWindow(std::move(folders), hooks, this);
        browseWindow_->setWindowFlag(Qt::Window);
    }
    browseWindow_->show();
    browseWindow_->raise();
    browseWindow_->activateWindow();
}

void MainWindow::CatchUpView() {
    if (model_->CatchUp()) {
        // Lay the rows out now: a layout left for later would be undone by the next catch-up
        // before the list is painted, and the list would stay blank while a walk runs.
        listView_->doItemsLayout();
        listView_->viewport()->update();
    }
    const QString count = shownCount_ < 0 ? QString() : QString::number(shownCount_);
    if (countLabel_->text() != count) countLabel_->setText(count);
}

// The walk calls this after every line it lists; even reading the clock costs more than listing a
// file, so the clock is looked at only every kLinesPerClockRead lines.
void MainWindow::CatchUpAfterLine() {
    if (++linesSinceClockRead_ < kLinesPerClockRead) return;
    linesSinceClockRead_ = 0;
    CatchUpDuringWalk();
}

// Handling events costs far more than listing a file, so the window catches up and handles what is
// pending once every kCatchUpIntervalMs: a frame's worth, well inside what a person notices.
void MainWindow::CatchUpDuringWalk() {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastCatchUp_ < std::chrono::milliseconds(kCatchUpIntervalMs)) return;
    CatchUpView();
    QCoreApplication::processEvents();
    lastCatchUp_ = std::chrono::steady_clock::now();
    if (ended_) throw ProgramEnded{};
}

void MainWindow::choose() {
    if (ended_) return;
    SetChosenFolder(hooks_.browseForFolder(this, kPrompt));
}

// What a Choose does with the folder picked: an empty one (Cancel) leaves title and status alone.
void MainWindow::SetChosenFolder(picker::FolderChoice choice) {
    // Staying on the drive holds for the folder it was asked with, never for a later one.
    stayOnDrive_ = choice.stayOnDrive;
    chosenFolder_ = std::move(choice.path);
    if (!chosenFolder_->empty()) {
        setWindowTitle(kTitleIn + FromBytes(*chosenFolder_));
        statusLabel_->clear();
    }
}

bool MainWindow::ChooseFolder(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        hooks_.messageBox(this, "\"" + FromBytes(path) + "\" is not a folder: nothing was chosen.",
                          kMessageTitle);
        return false;
    }
    SetChosenFolder(path);
    return true;
}

// A folder dragged from a file manager is chosen when dropped, like a Choose.
void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!walking_ && urls.size() == 1 && urls.front().isLocalFile()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (walking_ || urls.size() != 1 || !urls.front().isLocalFile()) return;
    event->acceptProposedAction();
    ChooseFolder(QFile::encodeName(urls.front().toLocalFile()).toStdString());
}

QString MainWindow::SavedStatus() const {
    return QString::fromStdString(listing::SavedStatus(core_.ListFileNumber() - 1));
}

void MainWindow::save() {
    // One Save at a time: a click while a walk runs would mix two listings.
    if (walking_ || ended_) return;
    if (!chosenFolder_) {
        hooks_.messageBox(this, kChooseFirst, kMessageTitle);
        return;
    }
    walking_ = true;
    struct WalkingScope {
        bool& walking;
        ~WalkingScope() { walking = false; }
    } walkingScope{walking_};
    const std::string folder = *chosenFolder_;  // Choose may change it during the walk
    reading::ListingOptions options;
    options.oneFileSystem = stayOnDrive_;
    core_.SetOptions(std::move(options));
    linesSinceClockRead_ = kLinesPerClockRead - 1;  // the first line of a walk catches up
    const int firstListFile = core_.ListFileNumber();
    try {
        // Lines left by a Save that failed were reported then; this Save starts afresh.
        if (save::SaveListing(core_, runtime_, folder)) {
            shownCount_ = -1;
            setWindowTitle(kTitleSaved);
        }
        statusLabel_->setText(SavedStatus());
        ShowWhatThisSaveWrote(firstListFile);
    } catch (const ProgramEnded&) {
        return;
    } catch (const runtime::RuntimeError& error) {
        CatchUpView();
        ShowSaveError(error);
        return;
    }
    CatchUpView();
    ShowIncompleteFolders();
}

// Says how many folders the listing just saved leaves out or cuts short, naming the first few.
void MainWindow::ShowIncompleteFolders() {
    const std::size_t count = core_.IncompleteCount();
    if (count == 0) return;
    constexpr std::size_t kNamed = 5;
    QString text = count == 1 ? QString(
                                    "The listing is not complete: 1 folder was left out or cut "
                                    "short.\n")
                              : QString(
                                    "The listing is not complete: %1 folders were left out or "
                                    "cut short.\n")
                                    .arg(count);
    const auto& folders = core_.IncompleteFolders();
    for (std::size_t i = 0; i < folders.size() && i < kNamed; ++i) {
        text += "\n" + FromBytes(folders[i].path) + "\n    " +
                QString::fromUtf8(folders[i].reason.data(),
                                  static_cast<qsizetype>(folders[i].reason.size()));
    }
    if (count > kNamed) text += QString("\n\n... and %1 more.").arg(count - kNamed);
    hooks_.messageBox(this, text, kMessageTitle);
}

void MainWindow::ShowSaveError(const runtime::RuntimeError& error) {
    statusLabel_->setText(QString::fromUtf8(
        listing::kNotSavedStatus.data(), static_cast<qsizetype>(listing::kNotSavedStatus.size())));
    QString file;
    try {
        file = FromBytes(core_.NextListFilePath());
    } catch (const runtime::RuntimeError&) {
        file = QString::fromStdString(listing::ListFileName(core_.ListFileNumber()));
    }
    hooks_.messageBox(this,
                      "The listing was not saved: " + file + " could not be written.\n\n" +
                          QString::fromUtf8(error.what()) + " (error " +
                          QString::number(error.Number()) + ")",
                      kMessageTitle);
}

void MainWindow::exit() {
    close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (ended_) return;
    ended_ = true;
    // A list file the walk has written is put in place before the program ends.
    core_.WaitForWrites();
    if (hooks_.closingAnimation) hooks_.closingAnimation(this);
    hooks_.endProgram();
}

}  // namespace quorvale::window
