#include "window/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTimer>
#include <cstdlib>

#include "picker/folder_picker.h"
#include "window/closing_animation.h"
#include "window/listing_view.h"

namespace quorvale::window {

namespace {

const QString kTitle = " Quorvale";
const QString kChooseText = "Choose Folder Or Drive";
const QString kExitText = "Exit";
const QString kSaveText = "Save To TxT File";
const QString kPrompt = "Select A Drive Or Folder";
const QString kTitleIn = "  Quorvale In ";
const QString kTitleSaved = "  Quorvale ";
const QString kChooseFirst = "Choose Folder Or Drive First";
const QString kMessageTitle = "Quorvale";
const QString kLongestStatus = "ListTex 1 To 32767 Saved";
const QColor kGrey(192, 192, 192);

// Thrown through the walk when the program has ended in the middle of it (only where ending the
// program returns, as in tests).
struct ProgramEnded {};

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
    box.exec();
}

// The window seen by the closing sequence, in twips.
class QtWindowFrame final : public WindowFrame {
  public:
    explicit QtWindowFrame(QWidget* window) : window_(window) {}
    double Top() const override { return window_->frameGeometry().top() * 15.0; }
    double Left() const override { return window_->frameGeometry().left() * 15.0; }
    double Width() const override { return window_->frameGeometry().width() * 15.0; }
    double Height() const override { return window_->frameGeometry().height() * 15.0; }
    void SetTop(double twips) override { window_->move(window_->x(), Pixels(twips)); }
    void SetLeft(double twips) override { window_->move(Pixels(twips), window_->y()); }
    void SetWidth(double twips) override {
        const int frame = window_->frameGeometry().width() - window_->width();
        window_->resize(std::max(1, Pixels(twips) - frame), window_->height());
    }
    void SetHeight(double twips) override {
        const int frame = window_->frameGeometry().height() - window_->height();
        window_->resize(window_->width(), std::max(1, Pixels(twips) - frame));
    }
    double ScreenWidth() const override {
        const QScreen* screen = window_->screen();
        if (screen == nullptr) throw std::runtime_error("no screen");
        return screen->geometry().width() * 15.0;
    }
    void Show() override {
        // Paint and send the moves to the window system without handling any input: no other
        // handler of the program runs during the sequence.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }

  private:
    static int Pixels(double twips) { return static_cast<int>(std::lround(twips / 15.0)); }
    QWidget* window_;
};

void PlayClosingAnimation(QWidget* window) {
    // A minimised or hidden window has nothing to show.
    if (!window->isVisible() || window->isMinimized()) return;
    window->setMinimumSize(0, 0);
    window->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    QtWindowFrame frame(window);
    SteadyAnimationClock clock;
    ClosingAnimation::Play(frame, clock);
}

}  // namespace

WindowHooks DefaultWindowHooks() {
    WindowHooks hooks;
    hooks.browseForFolder = picker::BrowseForFolder;
    hooks.messageBox = ShowInformation;
    hooks.endProgram = [] { std::_Exit(0); };
    hooks.closingAnimation = PlayClosingAnimation;
    return hooks;
}

QFont ControlFont(const QFont& base) {
    struct Fit {
        const QString& text;
        int twips;
        bool button;
    };
    const Fit fits[] = {{kChooseText, 1935, true},
                        {kExitText, 1215, true},
                        {kSaveText, 1455, true},
                        {kLongestStatus, 2175, false}};
    QFont font = base;
    for (qreal points = 8.0; points >= 5.0; points -= 0.25) {
        font.setPointSizeF(points);
        bool all = true;
        for (const Fit& fit : fits)
            all = all && TextFits(fit.text, font, Px(fit.twips), fit.button);
        if (all) break;
    }
    return font;
}

Form1::Form1(runtime::RuntimeServices& runtime, listing::FileSystem& fileSystem, WindowHooks hooks,
             QWidget* parent)
    : QWidget(parent),
      List1(new QListView(this)),
      Command1(new QPushButton(kChooseText, this)),
      Command3(new QPushButton(kExitText, this)),
      Command4(new QPushButton(kSaveText, this)),
      Label1(new QLabel(this)),
      Label2(new QLabel(this)),
      Label3(new QLabel(this)),
      Timer1(new QTimer(this)),
      hooks_(std::move(hooks)),
      core_(buffer_, fileSystem, runtime),
      model_(new ListingModel(buffer_, this)),
      delegate_(new TabStopDelegate(this)) {
    setWindowTitle(kTitle);
    setWindowIcon(MakeIcon());
    setFixedSize(Px(11880), Px(4095));

    QFont font = QApplication::font();
    font.setStyleHint(QFont::SansSerif);
    font = ControlFont(font);
    setFont(font);

    QPalette grey = palette();
    grey.setColor(QPalette::Window, kGrey);
    grey.setColor(QPalette::Button, kGrey);
    grey.setColor(QPalette::WindowText, Qt::black);
    grey.setColor(QPalette::ButtonText, Qt::black);
    setPalette(grey);
    setAutoFillBackground(true);

    QPalette white = List1->palette();
    white.setColor(QPalette::Base, Qt::white);
    white.setColor(QPalette::Text, Qt::black);
    List1->setPalette(white);
    List1->setModel(model_);
    List1->setItemDelegate(delegate_);
    List1->setUniformItemSizes(true);
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    List1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    List1->setGeometry(Px(120), Px(120), Px(11655), Px(3180));
    Command1->setGeometry(Px(120), Px(3480), Px(1935), Px(375));
    Command3->setGeometry(Px(2280), Px(3480), Px(1215), Px(375));
    Command4->setGeometry(Px(3720), Px(3480), Px(1455), Px(375));
    Label1->setGeometry(Px(5400), Px(3480), Px(2175), Px(375));
    Label2->setGeometry(Px(120), Px(3840), Px(11775), Px(255));
    Label3->setGeometry(Px(8880), Px(3480), Px(2775), Px(255));
    for (QLabel* label : {Label1, Label2, Label3}) {
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }

    // What Save does and where the list files go; the folder is elided if it is long.
    QString folder;
    try {
        folder = QFile::decodeName(QByteArray::fromStdString(runtime.ProgramFolder()));
    } catch (const runtime::RuntimeError&) {
        folder = "the program's folder";
    }
    const QString notice =
        "Save lists every folder and file below the chosen one into ListTex1.txt, ListTex2.txt, "
        "... (32000 lines each) in ";
    const QFontMetrics metrics(font);
    const int room = Label2->width() - metrics.horizontalAdvance(notice);
    Label2->setText(notice + metrics.elidedText(folder, Qt::ElideMiddle, std::max(room, 40)));
    Label2->setToolTip(notice + folder);

    // Tab order: Command1, List1, Command3, Command4; labels take no focus.
    setTabOrder(Command1, List1);
    setTabOrder(List1, Command3);
    setTabOrder(Command3, Command4);
    for (QPushButton* button : {Command1, Command3, Command4}) button->setAutoDefault(false);
    Command1->setFocus();

    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    core_.SetYield([this] { WalkYield(); });

    Form_Load();
    Timer1->start(500);
}

Form1::~Form1() = default;

void Form1::Form_Load() {
    delegate_->SetTabStops(List1->font(), 30, 60);
}

void Form1::Timer1_Timer() {
    QCoreApplication::processEvents();
}

void Form1::CatchUpView() {
    if (model_->CatchUp()) {
        // Lay the rows out now: a layout left for later would be undone by the next catch-up
        // before the list is painted, and the list would stay blank while a walk runs.
        List1->doItemsLayout();
        List1->viewport()->update();
    }
    const QString count = QString::fromStdString(buffer_.CountCaption());
    if (Label3->text() != count) Label3->setText(count);
}

// The walk calls this after every line it lists. Handling events costs far more than listing a
// file, so the window catches up and handles what is pending once every kYieldIntervalMs: a
// frame's worth, well inside what a person notices.
void Form1::WalkYield() {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastYield_ < std::chrono::milliseconds(kYieldIntervalMs)) return;
    CatchUpView();
    QCoreApplication::processEvents();
    lastYield_ = std::chrono::steady_clock::now();
    if (ended_) throw ProgramEnded{};
}

void Form1::Command1_Click() {
    if (ended_) return;
    if (core_.ListFileNumber == 0) core_.ListFileNumber = 1;
    chosenFolder_ = hooks_.browseForFolder(this, kPrompt, "");
    if (!chosenFolder_.empty()) {
        setWindowTitle(kTitleIn + QFile::decodeName(QByteArray::fromStdString(chosenFolder_)));
        Label1->clear();
    }
}

QString Form1::SavedCaption() const {
    return "ListTex 1 To " + QString::number(core_.ListFileNumber - 1) + " Saved";
}

void Form1::Command4_Click() {
    // One Save at a time: a click while a walk runs would mix two listings.
    if (walking_ || ended_) return;
    if (core_.ListFileNumber == 0) {
        hooks_.messageBox(this, kChooseFirst, kMessageTitle);
        return;
    }
    walking_ = true;
    const std::string folder = chosenFolder_;  // Choose may change it during the walk
    try {
        // Lines left by a Save that failed were reported then; this Save starts afresh.
        if (buffer_.ListCount() != 0) buffer_.Clear();
        buffer_.AddItem(folder);
        core_.ListFolder(folder);
        if (buffer_.ListCount() != 0) {
            core_.SaveList();
            buffer_.SetCountCaption("");
            Label1->setText(SavedCaption());
            setWindowTitle(kTitleSaved);
        } else {
            Label1->setText(SavedCaption());
        }
    } catch (const ProgramEnded&) {
        walking_ = false;
        return;
    } catch (const runtime::RuntimeError& error) {
        walking_ = false;
        CatchUpView();
        ShowError(error);
        return;
    }
    walking_ = false;
    CatchUpView();
}

void Form1::ShowError(const runtime::RuntimeError& error) {
    Label1->setText("Not Saved");
    QString file;
    try {
        file = QFile::decodeName(QByteArray::fromStdString(core_.ListFilePath()));
    } catch (const runtime::RuntimeError&) {
        file = "ListTex" + QString::number(core_.ListFileNumber) + ".txt";
    }
    hooks_.messageBox(this,
                      "The listing was not saved: " + file + " could not be written.\n\n" +
                          QString::fromUtf8(error.what()) + " (error " +
                          QString::number(error.Number()) + ")",
                      kMessageTitle);
}

void Form1::Command3_Click() {
    close();
}

void Form1::closeEvent(QCloseEvent* event) {
    event->accept();
    Form_Unload();
}

void Form1::Form_Unload() {
    if (ended_) return;
    ended_ = true;
    Timer1->stop();
    if (hooks_.closingAnimation) hooks_.closingAnimation(this);
    hooks_.endProgram();
}

}  // namespace quorvale::window
