#include "updater/client_report.h"

#include <algorithm>
#include <cstring>

namespace client_report {

void setPublicAddress(Report& r, std::string_view address) {
  if (address.size() >= PUBLIC_ADDRESS_SIZE) address = "0.0.0.0";
  std::fill_n(r.begin() + PUBLIC_ADDRESS, PUBLIC_ADDRESS_SIZE, uint8_t{0});
  std::copy(address.begin(), address.end(), r.begin() + PUBLIC_ADDRESS);
}

std::string_view publicAddress(const Report& r) {
  const char* text = reinterpret_cast<const char*>(r.data() + PUBLIC_ADDRESS);
  return std::string_view(text, strnlen(text, PUBLIC_ADDRESS_SIZE));
}

}  // namespace client_report
