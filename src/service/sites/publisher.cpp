#include "service/sites/publisher.h"

#include "service/sites/forms.h"
#include "service/sites/pages.h"

namespace pellucor::service {

void Publisher::Home(const Request&, Responder respond) {
  respond(Page(http::status::ok, kUtf8Lower,
               "<h1>Pellucor</h1>\n<p>Pellucor 把磁力链接转换成 .torrent 种子文件：粘贴链接或 40 "
               "位的信息哈希，选择下载方式，按“开始”，种子就保存在程序旁边。</p>\n"
               "<p>本站同时提供两种转换服务：种子库（按信息哈希存储的种子）和网络下载（从 "
               "BitTorrent 网络获取种子信息）。</p>\n"));
}

void Publisher::AdvertDocument(const Request& request, Responder respond) {
  if (!advert_.advert) return respond(Page(http::status::ok, kUtf8Lower, "<p>暂无广告</p>\n"));
  // One value a line, ended by "\n" alone: the tool takes everything up to the line's end.
  respond(MakeResponse(http::status::ok, kUtf8Lower,
                       std::string(kPageHead) + "Pellucor广告投放ok\n广告图片地址：http://" +
                           HostOf(request) + "/advert-picture\n广告地址：" + advert_.link + "\n" +
                           kPageTail));
}

void Publisher::AdvertPicture(const Request&, Responder respond) {
  respond(MakeResponse(http::status::ok, "application/octet-stream", advert_.picture));
}

}  // namespace pellucor::service
