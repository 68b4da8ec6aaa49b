// The window toolkit on Qt 6 Widgets (the Linux build). Qt's headers cannot be compiled with
// GBK narrow literals, so this file is compiled with UTF-8 ones and writes its own Chinese
// texts as UTF-16 literals; GBK text from the program goes through Q() and Gbk().
#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QDesktopServices>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <atomic>
#include <thread>

#include "base/codepage.h"
#include "base/picture.h"
#include "base/runtime_fault.h"
#include "ui/toolkit.h"

namespace pellucor {
namespace {

QString Q(const GbkText& text) {
  const std::u16string u = GbkToUtf16(text.view());
  return QString::fromUtf16(u.data(), static_cast<qsizetype>(u.size()));
}

GbkText Gbk(const QString& s) {
  return GbkText(
      Utf16ToGbk(std::u16string_view(reinterpret_cast<const char16_t*>(s.utf16()), s.size())));
}

// Frames of the skinned standard controls: flat, RGB(123,158,189).
const char kSkin[] =
    "QPushButton[skinned=\"true\"], QLineEdit, QPlainTextEdit {"
    "  border: 1px solid rgb(123,158,189); background: white; color: black; }"
    "QPushButton[skinned=\"true\"] { background: rgb(240,240,240); }"
    "QPushButton[skinned=\"true\"]:hover { background: rgb(229,238,246); }"
    "QPushButton[skinned=\"true\"]:pressed { background: rgb(204,221,236); }";

// Runs a handler when the left mouse button is released over a widget that has no click of
// its own (the picture box).
class ReleaseFilter : public QObject {
 public:
  ReleaseFilter(QObject* parent, std::function<void()> handler)
      : QObject(parent), handler_(std::move(handler)) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
      handler_();
      return true;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void()> handler_;
};

// The picture box: a framed area that shows its picture stretched over the whole inside and
// plays the frames of an animation in a loop.
class PictureBox : public QFrame {
 public:
  explicit PictureBox(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::Box);
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { Advance(); });
  }

  void SetImage(std::optional<Image> image) {
    timer_.stop();
    frames_.clear();
    delays_.clear();
    current_ = 0;
    if (image) {
      for (const PictureFrame& f : image->frames) {
        QImage q(image->width, image->height, QImage::Format_ARGB32);
        for (int y = 0; y < image->height; ++y)
          std::copy_n(f.pixels.begin() + static_cast<ptrdiff_t>(y) * image->width, image->width,
                      reinterpret_cast<uint32_t*>(q.scanLine(y)));
        frames_.push_back(std::move(q));
        delays_.push_back(ShownDelayMs(f));
      }
      if (frames_.size() > 1) timer_.start(delays_[0]);
    }
    update();
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QFrame::paintEvent(event);
    if (frames_.empty()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(contentsRect(), frames_[current_]);
  }

 private:
  void Advance() {
    if (frames_.size() < 2) return;
    current_ = (current_ + 1) % frames_.size();
    timer_.start(delays_[current_]);
    update();
  }

  std::vector<QImage> frames_;
  std::vector<int> delays_;
  size_t current_ = 0;
  QTimer timer_;
};

class QtToolkit final : public Toolkit {
 public:
  QtToolkit(int& argc, char** argv) : app_(argc, argv) {}

  bool CreateMainWindow(const GbkText& caption, int clientWidth, int clientHeight,
                        const std::vector<ControlSpec>& controls) override {
    controls_.clear();
    window_ = std::make_unique<QWidget>(
        nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                     Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    window_->setWindowTitle(Q(caption));
    window_->setFixedSize(clientWidth, clientHeight);
    window_->setStyleSheet(kSkin);
    auto* group = new QButtonGroup(window_.get());
    for (const ControlSpec& c : controls) {
      QWidget* w = Make(c, group);
      w->setObjectName(Q(c.name));
      w->setGeometry(c.left, c.top, c.width, c.height);
      QFont font(QStringLiteral("Microsoft YaHei"));
      font.setFamilies({QStringLiteral("Microsoft YaHei"), QString::fromUtf16(u"微软雅黑"),
                        QStringLiteral("WenQuanYi Micro Hei")});
      font.setPixelSize(c.fontPixels);
      w->setFont(font);
      if (c.hand) w->setCursor(Qt::PointingHandCursor);
      w->setVisible(!c.hidden);
      controls_.push_back(w);
    }
    const QRect screen = app_.primaryScreen() ? app_.primaryScreen()->availableGeometry() : QRect();
    window_->move(screen.center() - QPoint(clientWidth / 2, clientHeight / 2));
    return true;
  }

  void Show() override { window_->show(); }
  int RunMessageLoop() override { return app_.exec(); }

  GbkText Text(ControlId id) override {
    QWidget* w = controls_[id];
    if (auto* e = qobject_cast<QLineEdit*>(w)) return Gbk(e->text());
    if (auto* p = qobject_cast<QPlainTextEdit*>(w))
      return Gbk(p->toPlainText().replace('\n', "\r\n"));
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return Gbk(b->text());
    if (auto* l = qobject_cast<QLabel*>(w)) return Gbk(l->text());
    return {};
  }

  void SetText(ControlId id, const GbkText& text) override {
    QWidget* w = controls_[id];
    if (auto* e = qobject_cast<QLineEdit*>(w))
      e->setText(Q(text));
    else if (auto* p = qobject_cast<QPlainTextEdit*>(w))
      p->setPlainText(Q(text));
    else if (auto* b = qobject_cast<QAbstractButton*>(w))
      b->setText(Q(text));
    else if (auto* l = qobject_cast<QLabel*>(w))
      l->setText(Q(text));
  }

  bool IsChecked(ControlId id) override {
    auto* b = qobject_cast<QAbstractButton*>(controls_[id]);
    return b && b->isChecked();
  }

  void SetVisible(ControlId id, bool visible) override { controls_[id]->setVisible(visible); }
  bool IsVisible(ControlId id) override { return !controls_[id]->isHidden(); }
  void SetSize(ControlId id, int width, int height) override {
    controls_[id]->resize(width, height);
  }
  Rect Geometry(ControlId id) override {
    const QRect r = controls_[id]->geometry();
    return {r.x(), r.y(), r.width(), r.height()};
  }
  int ClientHeight() override { return window_->height(); }
  void SetClientHeight(int height) override { window_->setFixedHeight(height); }

  void SetPicture(ControlId id, const ByteBuffer& bytes) override {
    if (auto* box = dynamic_cast<PictureBox*>(controls_[id]))
      box->SetImage(DecodeImage(bytes.view()));
  }

  void AppendText(ControlId id, const std::vector<GbkText>& texts) override {
    auto* p = qobject_cast<QPlainTextEdit*>(controls_[id]);
    if (!p) return;
    // Line breaks arrive as "\r\n"; the box keeps "\n". Given a text, the box starts a new
    // line at each "\r\n" (read left to right) and at each "\r" or "\n" alone; so "\r\r\n\n",
    // once its "\r\n" is "\n", is two lines, and a text ending in "\r" followed by one beginning
    // with "\n" makes two lines on their own but one if joined. Each text is therefore brought
    // to the "\n" line breaks the box would make of it before they are joined.
    QString joined;
    for (const GbkText& text : texts) {
      const QString lf = QStringLiteral("\n"), crlf = QStringLiteral("\r\n");
      joined += Q(text).replace(crlf, lf).replace(crlf, lf).replace('\r', '\n');
    }
    QTextCursor cursor = p->textCursor();
    cursor.movePosition(QTextCursor::End);
    p->setTextCursor(cursor);
    p->ensureCursorVisible();
    p->insertPlainText(joined);
    p->verticalScrollBar()->setValue(p->verticalScrollBar()->maximum());
  }

  void OnClick(ControlId id, std::function<void()> handler) override {
    if (auto* b = qobject_cast<QAbstractButton*>(controls_[id])) {
      QObject::connect(b, &QAbstractButton::clicked, b, [handler] { handler(); });
    } else {
      controls_[id]->installEventFilter(new ReleaseFilter(controls_[id], std::move(handler)));
    }
  }

  void OpenUrl(const GbkText& url) override { QDesktopServices::openUrl(QUrl(Q(url))); }

  GbkText ClipboardText() override { return Gbk(QGuiApplication::clipboard()->text()); }

  int ShowMessageBox(const GbkText& text, int, const GbkText& caption) override {
    QMessageBox box(QMessageBox::NoIcon, Q(caption), Q(text), QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return 0;
  }

  void ProcessPendingEvents() override { QCoreApplication::processEvents(); }

  void RunWhilePainting(const std::function<void()>& work) override {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      work();
      done = true;
      // Wakes the loop below, which may be waiting for an event.
      QMetaObject::invokeMethod(
          &app_, [] {}, Qt::QueuedConnection);
    });
    // Paint, timers and posted events only: Qt keeps user input for the next full pass.
    while (!done)
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                      QEventLoop::WaitForMoreEvents);
    worker.join();
  }

  void RunOnUiThread(std::function<void()> task) override {
    QMetaObject::invokeMethod(
        &app_, [task] { task(); }, Qt::QueuedConnection);
  }

 private:
  QWidget* Make(const ControlSpec& c, QButtonGroup* group) {
    QWidget* parent = window_.get();
    switch (c.kind) {
      case ControlKind::Label:
        return new QLabel(Q(c.caption), parent);
      case ControlKind::SuperBtn: {
        auto* b = new QPushButton(Q(c.caption), parent);
        b->setFlat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setStyleSheet(
            "QPushButton { border: none; background: transparent; text-decoration: underline;"
            " color: rgb(88,48,224); } QPushButton:hover { color: rgb(255,0,0); }");
        return b;
      }
      case ControlKind::EditBox:
        if (c.multiline) {
          auto* p = new QPlainTextEdit(parent);
          p->setUndoRedoEnabled(false);
          p->setLineWrapMode(QPlainTextEdit::WidgetWidth);
          p->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
          p->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
          return p;
        }
        return new QLineEdit(parent);
      case ControlKind::RadioBox: {
        auto* r = new QRadioButton(Q(c.caption), parent);
        r->setChecked(c.checked);
        group->addButton(r);
        return r;
      }
      case ControlKind::Button: {
        auto* b = new QPushButton(Q(c.caption), parent);
        b->setProperty("skinned", true);
        return b;
      }
      case ControlKind::DrawPanel:
        return new QWidget(parent);
      case ControlKind::PicBox:
        return new PictureBox(parent);
    }
    return new QWidget(parent);
  }

  QApplication app_;
  std::unique_ptr<QWidget> window_;
  std::vector<QWidget*> controls_;
};

void ShowFaultBox(const GbkText& text) {
  if (QApplication::instance()) {
    QMessageBox::critical(nullptr, QString::fromUtf16(u"信息："), Q(text));
  } else {
    WriteFaultToStderr(text);
  }
}

}  // namespace

std::unique_ptr<Toolkit> NewToolkit(int& argc, char** argv) {
  auto toolkit = std::make_unique<QtToolkit>(argc, argv);
  SetFaultPresenter(ShowFaultBox);
  return toolkit;
}

}  // namespace pellucor
