#include "app/main_window.h"

#include <atomic>
#include <mutex>

#include "base/env.h"
#include "base/random.h"
#include "base/runtime_fault.h"
#include "convert/deployment.h"
#include "convert/routes.h"
#include "promo/links.h"

namespace pellucor {

const std::vector<ControlSpec>& FormControls() {
  using K = ControlKind;
  static const std::vector<ControlSpec> controls = {
      {"标签1", K::Label, 10, 8, 80, 16, "磁力链接：", 14, false, false, false, false},
      {"超级按钮1", K::SuperBtn, 358, 3, 80, 24, "去官网逛逛", 12, true, false, false, false},
      {"编辑框磁力", K::EditBox, 6, 30, 432, 24, "", 12, false, false, false, false},
      {"单选框_种子库", K::RadioBox, 8, 64, 96, 24, "从种子库下载", 12, true, false, false, false},
      {"单选框_网络", K::RadioBox, 136, 64, 112, 24, "从网络下载种子", 12, true, false, true,
       false},
      {"按钮粘贴", K::Button, 40, 89, 80, 32, "粘贴链接", 14, true, false, false, false},
      {"按钮开始", K::Button, 169, 89, 80, 32, "开始", 14, true, false, false, false},
      {"按钮清空", K::Button, 299, 89, 80, 32, "清空", 14, true, false, false, false},
      {"标签2", K::Label, 8, 127, 80, 16, "输出信息：", 12, false, false, false, false},
      {"编辑框_信息框", K::EditBox, 6, 148, 432, 211, "", 12, false, false, false, true},
      {"画板1", K::DrawPanel, 64, 248, 80, 40, "", 12, false, true, false, false},
      {"标签_广告", K::Label, 8, 365, 272, 16, "最新消息（点击图片可直接跳转）：", 12, false, true,
       false, false},
      {"图片框1", K::PicBox, 6, 389, 88, 24, "", 12, true, true, false, false},
  };
  return controls;
}

GbkText MainWindowCaption() {
  return ConcatText("Pellucor，by Brannick，网址：", HomePageUrl);
}

// What the banner thread sees of the window. The thread is detached and may outlive the
// window: once the window is gone, its calls do nothing. An advert is handed to the UI thread,
// which applies it only while the window still exists (the window is destroyed on that thread).
class AdvertHandOver final : public BannerView,
                             public std::enable_shared_from_this<AdvertHandOver> {
 public:
  AdvertHandOver(Toolkit& toolkit, MainWindow* window) : toolkit_(toolkit), window_(window) {}

  std::atomic<bool> finished{false};  // set by the banner thread when its routine ends

  void Detach() {
    std::lock_guard lock(mutex_);
    window_ = nullptr;
  }

  void ProcessPendingEvents() override {
    std::lock_guard lock(mutex_);
    if (window_) toolkit_.ProcessPendingEvents();
  }

  void ShowAdvert(const Advert& advert) override {
    std::lock_guard lock(mutex_);
    if (!window_) return;
    toolkit_.RunOnUiThread([self = shared_from_this(), advert] {
      MainWindow* window;
      {
        std::lock_guard lock(self->mutex_);
        window = self->window_;
      }
      if (window) window->ShowAdvert(advert);
    });
  }

 private:
  Toolkit& toolkit_;
  std::mutex mutex_;
  MainWindow* window_;
};

MainWindow::MainWindow(Toolkit& toolkit, RouteSettings settings)
    : toolkit_(toolkit),
      settings_(std::move(settings)),
      handOver_(std::make_shared<AdvertHandOver>(toolkit, this)) {}

MainWindow::~MainWindow() {
  handOver_->Detach();
}

void MainWindow::Create() {
  // The client area of a 450 x 393 window with a fixed border and a title bar.
  if (!toolkit_.CreateMainWindow(MainWindowCaption(), 444, 364, FormControls()))
    RuntimeFault(std::nullopt, "载入启动窗口失败");
  toolkit_.OnClick(k按钮开始, [this] { StartConversion(); });
  toolkit_.OnClick(k按钮粘贴, [this] { PasteLink(); });
  toolkit_.OnClick(k按钮清空, [this] { ClearLink(); });
  const UrlOpener open = [this](const GbkText& url) { Ui().OpenUrl(url); };
  toolkit_.OnClick(k超级按钮1, [open] { OpenHomePage(open); });
  toolkit_.OnClick(k图片框1, [this, open] {
    OnAdPictureClicked(*this, adLink_, open);
    FlushLog();  // its last message, before the window goes back to its events
  });
  OnWindowCreated();
  toolkit_.Show();
}

void MainWindow::OnWindowCreated() {
  SeedRandom();
  // BannerThread: detached, nothing waits for it.
  StartThread([handOver = handOver_, homePage = settings_.homePage](intptr_t) {
    LoadAdBanner(*handOver, homePage);
    handOver->finished = true;
  });
}

bool MainWindow::BannerFinished() const {
  return handOver_->finished;
}

void MainWindow::ShowAdvert(const Advert& advert) {
  adLink_ = advert.link;
  Ui().SetPicture(k图片框1, advert.picture);
  Ui().SetVisible(k标签_广告, true);
  Ui().SetVisible(k图片框1, true);
  Ui().SetSize(k图片框1, advert.boxWidth, advert.boxHeight);
  Ui().SetClientHeight(Ui().ClientHeight() + advert.windowGrowth);
}

void MainWindow::StartConversion() {
  // A click while a route runs (the routes let the window handle events before each request)
  // would start a second conversion inside the first: ignored.
  if (converting_) return;
  converting_ = true;
  Ui().SetText(k按钮开始, "正在转化");
  if (Ui().IsChecked(k单选框_种子库))
    RunFirstRoute(*this, settings_.directory, settings_.firstHost);
  if (Ui().IsChecked(k单选框_网络))
    RunSecondRoute(*this, settings_.directory, settings_.secondHost, settings_.siteTag);
  Ui().SetText(k按钮开始, "开始");
  converting_ = false;
}

void MainWindow::PasteLink() {
  Ui().SetText(k编辑框磁力, Ui().ClipboardText());
}

void MainWindow::ClearLink() {
  Ui().SetText(k编辑框磁力, "");
}

GbkText MainWindow::MagnetBoxText() {
  return Ui().Text(k编辑框磁力);
}

void MainWindow::SetMagnetBoxText(const GbkText& text) {
  Ui().SetText(k编辑框磁力, text);
}

void MainWindow::AppendToLog(const GbkText& text) {
  pendingLog_.push_back(text);
}

Toolkit& MainWindow::Ui() {
  FlushLog();
  return toolkit_;
}

void MainWindow::FlushLog() {
  if (pendingLog_.empty()) return;
  toolkit_.AppendText(k编辑框_信息框, pendingLog_);
  pendingLog_.clear();
}

void MainWindow::ShowMessage(const GbkText& text) {
  Ui().ShowMessageBox(text);
}

void MainWindow::ProcessPendingEvents() {
  Ui().ProcessPendingEvents();
}

}  // namespace pellucor
