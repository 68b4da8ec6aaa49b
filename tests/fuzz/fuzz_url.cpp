#include "fuzz_input.h"
#include "http/url.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const GbkText url(std::string(reinterpret_cast<const char*>(data), size));
  for (bool mainDomainOnly : {false, true}) {
    const GbkText host = UrlHost(url, mainDomainOnly);
    const GbkText withPort = UrlHost(url, mainDomainOnly, true);
    for (char c : host.view()) Check(!(c >= 'A' && c <= 'Z'));
    Check(FindText(host, ":") == -1);  // as a character: 0x3A can also be a trail byte
    Check(withPort.view().substr(0, host.view().size()) == host.view());
  }
  UrlPort(url);
  const GbkText path = UrlPath(url);
  Check(!path.empty() && path.view()[0] == '/');
  return 0;
}
