// MainWindow: the form (thirteen controls), its event bindings, the start button's command and
// the status log. Built once, through the toolkit seam.
#pragma once

#include <memory>

#include "app/deployment.h"
#include "convert/route_view.h"
#include "promo/banner.h"
#include "promo/links.h"
#include "ui/toolkit.h"

namespace pellucor {

// The controls, in the order of the form table.
enum Control : ControlId {
  k标签1,
  k超级按钮1,
  k编辑框磁力,
  k单选框_种子库,
  k单选框_网络,
  k按钮粘贴,
  k按钮开始,
  k按钮清空,
  k标签2,
  k编辑框_信息框,
  k画板1,
  k标签_广告,
  k图片框1,
  kControlCount
};

const std::vector<ControlSpec>& FormControls();
// "Pellucor，by Brannick，网址：" + the home page.
GbkText MainWindowCaption(const GbkText& homePageUrl);

class AdvertHandOver;

class MainWindow : public RouteView, public LinkView {
 public:
  // The routes save torrents in `directory` and ask the deployment's services; the banner, the
  // caption and the link button use its home page.
  MainWindow(Toolkit& toolkit, GbkText directory, Deployment deployment);
  ~MainWindow() override;

  // Creates the window (RuntimeFault "载入启动窗口失败" when it cannot), raises the created
  // event and shows it.
  void Create();

  void StartConversion();
  void PasteLink();
  void ClearLink();
  // The advert's target address; set on the UI thread when the advert is shown.
  void SetAdLink(const GbkText& link) { adLink_ = link; }
  // Shows the banner's advert (on the UI thread).
  void ShowAdvert(const Advert& advert);
  // Whether the banner thread has finished its routine.
  bool BannerFinished() const;

  // RouteView and LinkView. Messages appended one after another, with nothing else done in between,
  // reach the log together in one edit: before the window next does anything else (handles events,
  // shows a box, changes or reads a control) and when the event routine that wrote them
  // returns. Nothing can see them arrive at another moment, and the log's text and caret are
  // those of appending each on its own; a preview of thousands of lines costs one edit.
  GbkText MagnetBoxText() override;
  void SetMagnetBoxText(const GbkText& text) override;
  void AppendToLog(const GbkText& text) override;
  void ShowMessage(const GbkText& text) override;
  void ProcessPendingEvents() override;
  void WhileWaiting(const std::function<void()>& request) override;

 private:
  void OnWindowCreated();
  // The toolkit, for every use but the log's: the messages waiting for the log are written
  // first.
  Toolkit& Ui();
  void FlushLog();

  Toolkit& toolkit_;
  const GbkText directory_;
  const Deployment deployment_;
  bool converting_ = false;
  GbkText adLink_;
  std::vector<GbkText> pendingLog_;
  // The banner thread's way to the window; it stays when the window goes.
  std::shared_ptr<AdvertHandOver> handOver_;
};

}  // namespace pellucor
