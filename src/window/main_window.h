// The main window Form1: the list, the three command buttons, the status, notice and count labels,
// the half-second timer, the Choose / Save / Exit commands with their state, and the closing
// sequence. It drives the listing core exactly as a Save needs it and keeps the window alive while
// the walk runs.
#pragma once

#include <QWidget>
#include <chrono>
#include <functional>
#include <string>

#include "listing/file_system.h"
#include "listing/listing_buffer.h"
#include "listing/listing_core.h"
#include "runtime/runtime_services.h"

class QLabel;
class QListView;
class QPushButton;
class QTimer;

namespace quorvale::window {

class ListingModel;
class TabStopDelegate;

// Converts the layout's twips to logical pixels (15 twips to a pixel).
constexpr int Px(int twips) {
    return twips / 15;
}

// What the window asks of the world around it; tests replace the parts that would block or end
// the process.
struct WindowHooks {
    // The folder picker: returns the chosen path, or the empty string on Cancel.
    std::function<std::string(QWidget* owner, const QString& title, const std::string& start)>
        browseForFolder;
    // A modal message box with an information icon and one OK button.
    std::function<void(QWidget* owner, const QString& text, const QString& title)> messageBox;
    // Ends the program at once.
    std::function<void()> endProgram;
    // Plays the closing sequence on the window.
    std::function<void(QWidget* window)> closingAnimation;
};

WindowHooks DefaultWindowHooks();

class Form1 : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kYieldIntervalMs = 15;  // how often a walk lets the window catch up

    Form1(runtime::RuntimeServices& runtime, listing::FileSystem& fileSystem,
          WindowHooks hooks = DefaultWindowHooks(), QWidget* parent = nullptr);
    ~Form1() override;

    // Command handlers.
    void Command1_Click();  // Choose Folder Or Drive
    void Command4_Click();  // Save To TxT File
    void Command3_Click();  // Exit
    void Timer1_Timer();

    // Brings the list and the count display up to date with the buffer.
    void CatchUpView();

    // State and controls, for the program's own use and for tests.
    listing::ListingBuffer& Buffer() { return buffer_; }
    listing::ListingCore& Core() { return core_; }
    std::int16_t ListFileNumber() const { return core_.ListFileNumber; }
    const std::string& ChosenFolder() const { return chosenFolder_; }
    bool Walking() const { return walking_; }
    QListView* List1;
    QPushButton* Command1;
    QPushButton* Command3;
    QPushButton* Command4;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QTimer* Timer1;
    ListingModel* Model() const { return model_; }
    TabStopDelegate* Delegate() const { return delegate_; }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void Form_Load();
    void Form_Unload();
    void WalkYield();
    void ShowError(const runtime::RuntimeError& error);
    QString SavedCaption() const;

    WindowHooks hooks_;
    listing::ListingBuffer buffer_;
    listing::ListingCore core_;
    std::string chosenFolder_;
    ListingModel* model_;
    TabStopDelegate* delegate_;
    bool walking_ = false;
    bool ended_ = false;
    std::chrono::steady_clock::time_point lastYield_;
};

// The control font: the largest sans-serif size up to 8 points at which every text of the window
// shows whole in its control.
QFont ControlFont(const QFont& base);

}  // namespace quorvale::window
