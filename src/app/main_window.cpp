#include "app/main_window.h"

#include <atomic>
#include <mutex>

#include "base/env.h"
#include "base/random.h"
#include "base/runtime_fault.h"
#include "convert/routes.h"

namespace pellucor {

const std::vector<ControlSpec>& FormControls() {
  using K = ControlKind;
  // One row a control; a flag not named is false.
  // clang-format off
  static const std::vector<ControlSpec> controls = {
      {.name = "标签1", .kind = K::Label, .left = 10, .top = 8, .width = 80, .height = 16,
       .caption = "磁力链接：", .fontPixels = 14},
      {.name = "超级按钮1", .kind = K::SuperBtn, .left = 358, .top = 3, .width = 80, .height = 24,
       .caption = "去官网逛逛", .fontPixels = 12, .hand = true},
      {.name = "编辑框磁力", .kind = K::EditBox, .left = 6, .top = 30, .width = 432, .height = 24,
       .caption = "", .fontPixels = 12},
      {.name = "单选框_种子库", .kind = K::RadioBox, .left = 8, .top = 64, .width = 96, .height = 24,
       .caption = "从种子库下载", .fontPixels = 12, .hand = true},
      {.name = "单选框_网络", .kind = K::RadioBox, .left = 136, .top = 64, .width = 112, .height = 24,
       .caption = "从网络下载种子", .fontPixels = 12, .hand = true, .checked = true},
      {.name = "按钮粘贴", .kind = K::Button, .left = 40, .top = 89, .width = 80, .height = 32,
       .caption = "粘贴链接", .fontPixels = 14, .hand = true},
      {.name = "按钮开始", .kind = K::Button, .left = 169, .top = 89, .width = 80, .height = 32,
       .caption = "开始", .fontPixels = 14, .hand = true},
      {.name = "按钮清空", .kind = K::Button, .left = 299, .top = 89, .width = 80, .height = 32,
       .caption = "清空", .fontPixels = 14, .hand = true},
      {.name = "标签2", .kind = K::Label, .left = 8, .top = 127, .width = 80, .height = 16,
       .caption = "输出信息：", .fontPixels = 12},
      {.name = "编辑框_信息框", .kind = K::EditBox, .left = 6, .top = 148, .width = 432, .height = 211,
       .caption = "", .fontPixels = 12, .multiline = true},
      {.name = "画板1", .kind = K::DrawPanel, .left = 64, .top = 248, .width = 80, .height = 40,
       .caption = "", .fontPixels = 12, .hidden = true},
      {.name = "标签_广告", .kind = K::Label, .left = 8, .top = 365, .width = 272, .height = 16,
       .caption = "最新消息（点击图片可直接跳转）：", .fontPixels = 12, .hidden = true},
      {.name = "图片框1", .kind = K::PicBox, .left = 6, .top = 389, .width = 88, .height = 24,
       .caption = "", .fontPixels = 12, .hand = true, .hidden = true},
  };
  // clang-format on
  return controls;
}

GbkText MainWindowCaption(const GbkText& homePageUrl) {
  return ConcatText("Pellucor，by Brannick，网址：", homePageUrl);
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

MainWindow::MainWindow(Toolkit& toolkit, GbkText directory, Deployment deployment)
    : toolkit_(toolkit),
      directory_(std::move(directory)),
      deployment_(std::move(deployment)),
      handOver_(std::make_shared<AdvertHandOver>(toolkit, this)) {}

MainWindow::~MainWindow() {
  handOver_->Detach();
}

void MainWindow::Create() {
  // The client area of a 450 x 393 window with a fixed border and a title bar.
  if (!toolkit_.CreateMainWindow(MainWindowCaption(deployment_.homePageUrl), 444, 364,
                                 FormControls()))
    RuntimeFault(std::nullopt, "载入启动窗口失败");
  toolkit_.OnClick(k按钮开始, [this] { StartConversion(); });
  toolkit_.OnClick(k按钮粘贴, [this] { PasteLink(); });
  toolkit_.OnClick(k按钮清空, [this] { ClearLink(); });
  const UrlOpener open = [this](const GbkText& url) { Ui().OpenUrl(url); };
  toolkit_.OnClick(k超级按钮1,
                   [open, homePage = deployment_.homePageUrl] { OpenHomePage(homePage, open); });
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
  StartThread([handOver = handOver_, homePage = deployment_.homePageUrl](intptr_t) {
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
    RunFirstRoute(*this, directory_, deployment_.firstServiceHost);
  if (Ui().IsChecked(k单选框_网络))
    RunSecondRoute(*this, directory_, deployment_.secondServiceHost, deployment_.siteTag);
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

void MainWindow::WhileWaiting(const std::function<void()>& request) {
  // The log's waiting lines go out first: they are on screen while the request runs.
  Ui().RunWhilePainting(request);
}

}  // namespace pellucor
