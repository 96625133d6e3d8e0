// The public-address page: an HTML page that shows an address between the markers the updater
// cuts it out with, encoded and declared in UTF-8 or GBK.
#pragma once

#include <string>
#include <string_view>

#include "tools/kelvora-devserver/options.h"

namespace devserver {

struct AddressPage {
  std::string contentType;  // the HTTP Content-Type, with the same charset as the page
  std::string body;
};

// address is UTF-8 text (as given on the command line); a GBK page carries it in GBK.
AddressPage addressPage(std::string_view address, AddressCharset charset);

}  // namespace devserver
