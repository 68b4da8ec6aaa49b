// The Qt program's window, offscreen: the window's scenarios (window_scenarios.cpp) through a
// driver that clicks and types with QTest and reads the widgets, and what only Qt has.
// Compiled with UTF-8 literals (Qt's headers need them): Chinese texts here are UTF-16
// literals.
#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>

#include <chrono>
#include <future>
#include <memory>

#include <gtest/gtest.h>

#include "base/codepage.h"
#include "support/advert_site.h"
#include "window_scenarios.h"

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

// A control of the window, found by its form name.
QWidget* Control(ControlId id) {
  const QString name = Q(GbkText(FormControls()[id].name));
  for (QWidget* top : QApplication::topLevelWidgets())
    if (auto* w = top->findChild<QWidget*>(name)) return w;
  return nullptr;
}
QPlainTextEdit* EditBox(ControlId id) {
  return qobject_cast<QPlainTextEdit*>(Control(id));
}

class QtDriver final : public testing::WindowDriver {
 public:
  ~QtDriver() override {
    for (QWidget* top : QApplication::topLevelWidgets()) top->close();
  }

  GbkText Text(ControlId id) override {
    QWidget* w = Control(id);
    if (auto* e = qobject_cast<QLineEdit*>(w)) return Gbk(e->text());
    if (auto* p = qobject_cast<QPlainTextEdit*>(w))
      return Gbk(p->toPlainText().replace(u'\n', QStringLiteral("\r\n")));
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return Gbk(b->text());
    return {};
  }
  void SetText(ControlId id, const GbkText& text) override {
    QWidget* w = Control(id);
    if (auto* e = qobject_cast<QLineEdit*>(w)) e->setText(Q(text));
    if (auto* p = qobject_cast<QPlainTextEdit*>(w))
      p->setPlainText(Q(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  }
  void Type(ControlId id, const GbkText& text) override {
    QWidget* w = Control(id);
    QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);  // all of it selected
    QTest::keyClicks(w, Q(text));
  }
  void Select(ControlId id, int from, int to) override {
    QPlainTextEdit* p = EditBox(id);
    QTextCursor c = p->textCursor();
    c.setPosition(from);
    c.setPosition(to, QTextCursor::KeepAnchor);
    p->setTextCursor(c);
  }
  void Click(ControlId id) override { QTest::mouseClick(Control(id), Qt::LeftButton); }
  void QueueClick(ControlId id) override {
    QMetaObject::invokeMethod(Control(id), "click", Qt::QueuedConnection);
  }
  void SetClipboard(const std::optional<GbkText>& text) override {
    if (text)
      QGuiApplication::clipboard()->setText(Q(*text));
    else
      QGuiApplication::clipboard()->clear();
  }
  GbkText Title() override { return Gbk(Control(k按钮开始)->window()->windowTitle()); }
  uint32_t Pixel(ControlId id, int x, int y) override {
    return Control(id)->grab().toImage().pixel(x, y) & 0xFFFFFF;
  }
  void AppendOnItsOwn(ControlId id, const GbkText& message) override {
    QPlainTextEdit* log = EditBox(id);
    QTextCursor cursor = log->textCursor();
    cursor.movePosition(QTextCursor::End);
    log->setTextCursor(cursor);
    log->ensureCursorVisible();
    log->insertPlainText(Q(message).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    log->verticalScrollBar()->setValue(log->verticalScrollBar()->maximum());
  }
  // A task posted to the window's thread, which reads the text there.
  std::optional<GbkText> TextFromAnotherThread(ControlId id, int ms) override {
    auto text = std::make_shared<std::promise<GbkText>>();
    std::future<GbkText> future = text->get_future();
    QMetaObject::invokeMethod(
        qApp, [this, id, text] { text->set_value(Text(id)); }, Qt::QueuedConnection);
    if (future.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready)
      return std::nullopt;
    return future.get();
  }
  // The offscreen platform takes input only from the window's own thread, and delivers it at
  // once (QTest's events), or through a flush of every queued event.
  bool QueueUserClick(ControlId) override { return false; }
  std::optional<bool> Hung() override { return std::nullopt; }
  // The text, the caret and the selection's anchor, and whether it is scrolled to the end.
  std::string View(ControlId id) override {
    QPlainTextEdit* log = EditBox(id);
    return log->toPlainText().toStdString() + " caret " +
           std::to_string(log->textCursor().position()) + "/" +
           std::to_string(log->textCursor().anchor()) + " at end " +
           std::to_string(log->verticalScrollBar()->value() == log->verticalScrollBar()->maximum());
  }
};

// Receives the addresses the program hands to the desktop's browser.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
 public slots:
  void Open(const QUrl& url) { urls.push_back(url); }
};

class QtWindowTest : public testing::WindowTest {};

TEST_F(QtWindowTest, TheWindowIs444PixelsWide) {
  Open();
  EXPECT_EQ(Control(k按钮开始)->window()->width(), 444);
}

// An advert whose link is a web address opens it in the browser. The publisher's document is
// UTF-8 here, and says so.
TEST_F(QtWindowTest, TheAdvertOpensItsWebLink) {
  site.SetHandler(testing::AdvertSite(site, testing::AnimatedAdvert(), "http://ad.example/x"));
  Open();
  ASSERT_TRUE(RunUntil([this] { return toolkit->IsVisible(k图片框1); })) << "no advert";
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler("http", &catcher, "Open");
  driver->Click(k图片框1);
  QDesktopServices::unsetUrlHandler("http");
  EXPECT_EQ(catcher.urls, QList<QUrl>{QUrl("http://ad.example/x")});
  EXPECT_EQ(EditBox(k编辑框_信息框)->toPlainText(),
            QString::fromUtf16(u"正在跳转，请稍后……\n跳转完毕！\n"));
}

}  // namespace

std::shared_ptr<Toolkit> testing::TestToolkit() {
  // One application for the whole program, kept until it exits.
  static Toolkit* const toolkit = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char arg0[] = "main_window_qt_test";
    static char* argv[] = {arg0, nullptr};
    return NewToolkit(argc, argv).release();
  }();
  return std::shared_ptr<Toolkit>(toolkit, [](Toolkit*) {});
}

std::unique_ptr<testing::WindowDriver> testing::NewWindowDriver() {
  return std::make_unique<QtDriver>();
}

}  // namespace pellucor

#include "main_window_qt_test.moc"
