#include "tools/kelvora-devserver/address_page.h"

#include "platform/codepage.h"

namespace devserver {

AddressPage addressPage(std::string_view address, AddressCharset charset) {
  const bool gbk = charset == AddressCharset::kGbk;
  const char* name = gbk ? "gbk" : "utf-8";
  // Chinese text around the address, so that a page read in the wrong encoding shows it.
  std::string page =
      "<!DOCTYPE html>\n<html>\n<head>\n"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=" +
      std::string(name) +
      "\">\n"
      "<title>IP 地址查询</title>\n</head>\n<body>\n<dl>\n"
      "<dt>您的 IP 地址是：</dt>\n"
      "<dd class=\"fz24\">" +
      std::string(address) +
      "</dd>\n"
      "<dd>本地开发服务器</dd>\n</dl>\n</body>\n</html>\n";
  AddressPage result;
  result.contentType = std::string("text/html; charset=") + name;
  result.body = gbk ? platform::utf8ToGbk(page) : page;
  return result;
}

}  // namespace devserver
