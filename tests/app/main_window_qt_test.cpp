// The Qt program's window, driven like a user would: QTest clicks and typing, offscreen,
// against the fake services. Compiled with UTF-8 literals (Qt's headers need them): Chinese
// texts here are UTF-16 literals.
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <set>

#include <unistd.h>

#include "app/main_window.h"
#include "base/codepage.h"
#include "base/env.h"
#include "support/advert_site.h"
#include "support/fake_http_server.h"
#include "support/form_checks.h"
#include "support/log_appends.h"
#include "support/sandbox.h"
#include "support/torrents.h"
#include "torrent/torrent_check.h"

namespace pellucor {
namespace {

using testing::FakeHttpServer;
using testing::RecordedRequest;

QString U(const char16_t* s) {
  return QString::fromUtf16(s);
}
GbkText Gbk(const QString& s) {
  return GbkText(
      Utf16ToGbk(std::u16string_view(reinterpret_cast<const char16_t*>(s.utf16()), s.size())));
}

template <typename T>
T* Find(const char16_t* name) {
  for (QWidget* top : QApplication::topLevelWidgets())
    if (auto* w = top->findChild<T*>(U(name))) return w;
  return nullptr;
}

// A torrent under 1000 bytes, which its info hash proves to be the one asked for.
testing::Torrent SmallTorrent() {
  return testing::MakeTorrent(300);
}

class MainWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char arg0[] = "main_window_qt_test";
    static char* argv[] = {arg0, nullptr};
    toolkit_ = NewToolkit(argc, argv).release();
  }

  void SetUp() override {
    const GbkText host("127.0.0.1:" + std::to_string(server_.port()));
    window_ = std::make_unique<MainWindow>(
        *toolkit_, GbkText(sandbox_.path()),
        Deployment{host, host, "pellucor.local", GbkText(site_.Url(""))});
    window_->Create();
  }

  // Lets the window run until `done` or for at most `ms` milliseconds.
  static bool RunUntil(const std::function<bool()>& done, int ms = 10000) {
    for (QElapsedTimer t; !done();) {
      if (!t.isValid()) t.start();
      if (t.elapsed() > ms) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      QThread::msleep(5);
    }
    return true;
  }

  void TearDown() override {
    // The banner thread ends before the next test (or the program's exit) begins.
    EXPECT_TRUE(RunUntil([this] { return window_->BannerFinished(); }));
    for (QWidget* top : QApplication::topLevelWidgets()) top->close();
    window_.reset();
  }

  static Toolkit* toolkit_;
  FakeHttpServer server_;
  FakeHttpServer site_;  // the publisher's site: 404 for everything unless a test sets it up
  testing::Sandbox sandbox_{"app"};
  std::unique_ptr<MainWindow> window_;
};
Toolkit* MainWindowTest::toolkit_ = nullptr;

TEST_F(MainWindowTest, TheFormAsSpecified) {
  testing::ExpectFormAsSpecified(*toolkit_);
  QWidget* top = Find<QPushButton>(u"按钮开始")->window();
  EXPECT_EQ(top->windowTitle(),
            U(u"Pellucor，by Brannick，网址：") + QString::fromStdString(site_.Url("")));
  EXPECT_EQ(top->width(), 444);
}

TEST_F(MainWindowTest, PasteAndClear) {
  auto* box = Find<QLineEdit>(u"编辑框磁力");
  auto* log = Find<QPlainTextEdit>(u"编辑框_信息框");
  ASSERT_TRUE(box && log);
  log->setPlainText("typed by the user");
  QTest::keyClicks(box, "typed");
  QGuiApplication::clipboard()->setText(U(u"magnet:?xt=urn:btih:中"));
  QTest::mouseClick(Find<QPushButton>(u"按钮粘贴"), Qt::LeftButton);
  EXPECT_EQ(box->text(), U(u"magnet:?xt=urn:btih:中"));  // replaced, not inserted
  QGuiApplication::clipboard()->clear();
  QTest::mouseClick(Find<QPushButton>(u"按钮粘贴"), Qt::LeftButton);
  EXPECT_EQ(box->text(), QString());
  QTest::keyClicks(box, "abc");
  QTest::mouseClick(Find<QPushButton>(u"按钮清空"), Qt::LeftButton);
  EXPECT_EQ(box->text(), QString());
  EXPECT_EQ(log->toPlainText(), "typed by the user");
}

TEST_F(MainWindowTest, AdvertPictureClick) {
  // A link that is no web address: the two lines are written, nothing is opened.
  window_->SetAdLink("C:\\Windows\\notepad.exe");
  toolkit_->SetVisible(k图片框1, true);
  QTest::mouseClick(Find<QWidget>(u"图片框1"), Qt::LeftButton);
  EXPECT_EQ(Find<QPlainTextEdit>(u"编辑框_信息框")->toPlainText(),
            U(u"正在跳转，请稍后……\n跳转完毕！\n"));
  QTest::mouseClick(Find<QLabel>(u"标签_广告"), Qt::LeftButton);  // the label does nothing
  EXPECT_EQ(Find<QPlainTextEdit>(u"编辑框_信息框")->toPlainText(),
            U(u"正在跳转，请稍后……\n跳转完毕！\n"));
}

// Receives the addresses the program hands to the desktop's browser.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
 public slots:
  void Open(const QUrl& url) { urls.push_back(url); }
};

// The publisher's site offers an animated advert from the start.
class MainWindowAdvertTest : public MainWindowTest {
 protected:
  void SetUp() override {
    site_.SetHandler(testing::AdvertSite(site_, testing::AnimatedAdvert(), "http://ad.example/x"));
    MainWindowTest::SetUp();
  }
};

TEST_F(MainWindowAdvertTest, AppearsPlaysAndOpensItsLink) {
  ASSERT_TRUE(RunUntil([] { return toolkit_->IsVisible(k图片框1); })) << "no advert";
  testing::ExpectAdvertShown(*toolkit_, {6, 389, 432, 90}, 364 + 118);
  EXPECT_EQ(site_.Requests().size(), 3u);  // the document twice, the picture

  // The box shows the animation: its middle turns from red to blue and back.
  QWidget* box = Find<QWidget>(u"图片框1");
  std::set<QRgb> seen;
  RunUntil(
      [&] {
        seen.insert(box->grab().toImage().pixel(216, 45) & 0xFFFFFF);
        return seen.count(0xFF0000) && seen.count(0x0000FF);
      },
      5000);
  EXPECT_TRUE(seen.count(0xFF0000) && seen.count(0x0000FF)) << seen.size();

  UrlCatcher catcher;
  QDesktopServices::setUrlHandler("http", &catcher, "Open");
  QTest::mouseClick(box, Qt::LeftButton);
  QDesktopServices::unsetUrlHandler("http");
  EXPECT_EQ(catcher.urls, QList<QUrl>{QUrl("http://ad.example/x")});
  EXPECT_EQ(Find<QPlainTextEdit>(u"编辑框_信息框")->toPlainText(),
            U(u"正在跳转，请稍后……\n跳转完毕！\n"));
}

// The log as the box shows it: its text, the caret and selection, and whether it is scrolled
// to the end.
struct LogState {
  QString text;
  int position, anchor;
  bool atEnd;
  friend bool operator==(const LogState&, const LogState&) = default;
};
std::ostream& operator<<(std::ostream& o, const LogState& s) {
  return o << s.text.toStdString() << " caret " << s.position << "/" << s.anchor << " at end "
           << s.atEnd;
}
LogState StateOf(QPlainTextEdit* log) {
  return {log->toPlainText(), log->textCursor().position(), log->textCursor().anchor(),
          log->verticalScrollBar()->value() == log->verticalScrollBar()->maximum()};
}

// Messages appended together reach the log as appending each on its own does (the box's
// steps for one message, done for each), and before the window handles its next event.
TEST_F(MainWindowTest, MessagesAppendedTogetherReadAsAppendedOneByOne) {
  auto* log = Find<QPlainTextEdit>(u"编辑框_信息框");
  ASSERT_TRUE(log);
  const QString earlier = QString(40, 'w') + "\n" + QString(400, 'e');  // wraps, scrolls
  auto start = [&] {
    log->setPlainText(earlier);
    QTextCursor c = log->textCursor();
    c.setPosition(0);
    c.setPosition(2, QTextCursor::KeepAnchor);
    log->setTextCursor(c);
  };
  testing::ExpectAppendedTogetherAsOneByOne(
      *window_, *toolkit_, start,
      [&](const std::string& m) {
        QTextCursor cursor = log->textCursor();
        cursor.movePosition(QTextCursor::End);
        log->setTextCursor(cursor);
        log->ensureCursorVisible();
        const std::u16string u = GbkToUtf16(m);
        log->insertPlainText(QString::fromUtf16(u.data(), u.size())
                                 .replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        log->verticalScrollBar()->setValue(log->verticalScrollBar()->maximum());
      },
      [&] { return StateOf(log); });
}

TEST_F(MainWindowTest, ConvertsOnEachRoute) {
  const testing::Torrent t = SmallTorrent();
  const std::string &bytes = t.bytes, &hash = t.hash;
  const std::string page =
      "<table>\r\n<tr><td>x</td><td style=\"text-align:right\">1 B</td></tr>\r\n</table>"
      "<a href=\"./down.php?hash=" +
      hash + "\" class=\"btn btn-primary\" target=\"_blank\">" +
      reinterpret_cast<const char*>(u8"点击下载") + "</a>";
  // The name is a device name on Windows: both builds save it with a "_" in front.
  server_.SetHandler([page, bytes = bytes](const RecordedRequest& r) {
    if (r.target == "/magnet-bt/index.php") return FakeHttpServer::Reply("200 OK", "", page);
    return FakeHttpServer::Reply("200 OK",
                                 "Content-Disposition: attachment; filename=LPT1." +
                                     std::string(reinterpret_cast<const char*>(u8"种子")) +
                                     "[pellucor.local].torrent\r\n",
                                 bytes);
  });
  auto* box = Find<QLineEdit>(u"编辑框磁力");
  auto* log = Find<QPlainTextEdit>(u"编辑框_信息框");
  auto* start = Find<QPushButton>(u"按钮开始");
  log->setPlainText("earlier\n");
  log->moveCursor(QTextCursor::Start);  // the caret elsewhere: messages still go to the end
  QTest::keyClicks(box, QString::fromStdString("magnet:?xt=urn:btih:" + hash + "&dn=x"));
  QTest::mouseClick(start, Qt::LeftButton);
  EXPECT_EQ(log->toPlainText(),
            U(u"earlier\nx【文件大小：1 B】\n---------------以上为该种子信息预览---------------\n"
              u"正在转化种子，请稍后……\n种子获取成功，种子文件<_LPT1.种子.torrent>"
              u"已经保存到软件运行目录！\n\n"));
  EXPECT_EQ(box->text(), QString());
  EXPECT_EQ(start->text(), U(u"开始"));
  const auto saved = ReadBytesFromFile(GbkText(sandbox_ / Gbk(U(u"_LPT1.种子.torrent")).str()));
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->str(), bytes);
  EXPECT_EQ(server_.Requests().size(), 2u);
}

// The first route with a version-2 link, whose torrent SHA-256 proves.
TEST_F(MainWindowTest, FirstRouteAndAClickDuringAConversion) {
  const testing::Torrent t = SmallTorrent();
  server_.SetHandler([bytes = t.bytes](const RecordedRequest&) {
    return FakeHttpServer::Reply("200 OK", "", bytes);
  });
  auto* start = Find<QPushButton>(u"按钮开始");
  QTest::mouseClick(Find<QRadioButton>(u"单选框_种子库"), Qt::LeftButton);
  EXPECT_TRUE(toolkit_->IsChecked(k单选框_种子库));
  EXPECT_FALSE(toolkit_->IsChecked(k单选框_网络));
  QTest::keyClicks(Find<QLineEdit>(u"编辑框磁力"),
                   QString::fromStdString("magnet:?xt=urn:btmh:1220" + t.hashV2));
  // A second click, waiting in the queue, runs while the route lets the window handle events.
  QMetaObject::invokeMethod(start, "click", Qt::QueuedConnection);
  QTest::mouseClick(start, Qt::LeftButton);
  const QString log = Find<QPlainTextEdit>(u"编辑框_信息框")->toPlainText();
  const QRegularExpression line(
      U(u"^种子获取成功，种子文件<(1[0-9]{3}|2000)\\.torrent>已经保存到软件运行目录！\n$"));
  EXPECT_TRUE(line.match(log).hasMatch()) << log.toStdString();
  ASSERT_EQ(server_.Requests().size(), 1u);  // the nested click was ignored
  EXPECT_EQ(server_.Requests()[0].body, "hash=magnet%3A%3Fxt%3Durn%3Abtih%3A" + t.hashV2);
  EXPECT_EQ(start->text(), U(u"开始"));
}

// A download that stalls frees the window within about half a minute, with the route's
// failure message.
TEST_F(MainWindowTest, AStalledServiceFreesTheWindow) {
  const testing::Torrent t = SmallTorrent();
  server_.Enqueue(FakeHttpServer::Reply("200 OK", "", "<html></html>"));
  server_.EnqueueSilence();
  QTest::keyClicks(Find<QLineEdit>(u"编辑框磁力"), QString::fromStdString(t.hash));
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(Find<QPushButton>(u"按钮开始"), Qt::LeftButton);
  EXPECT_GE(clock.elapsed(), 29500);
  EXPECT_LE(clock.elapsed(), 34000);
  EXPECT_EQ(Find<QPlainTextEdit>(u"编辑框_信息框")->toPlainText(),
            U(u"---------------以上为该种子信息预览---------------\n正在转化种子，请稍后……\n"
              u"该磁力链接无法生成BT种子\n"));
  EXPECT_EQ(Find<QPushButton>(u"按钮开始")->text(), U(u"开始"));
}

}  // namespace
}  // namespace pellucor

#include "main_window_qt_test.moc"
