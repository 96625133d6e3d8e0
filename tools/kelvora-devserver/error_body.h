// The service's XML error bodies and request IDs.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace devserver {

// A fresh 24-hex-digit request ID, different for every answer of this process.
std::string newRequestId();

// <Error> with Code, Message, RequestId, HostId and any extra elements, in that order.
std::string errorBody(std::string_view code, std::string_view message, std::string_view requestId,
                      std::string_view hostId,
                      const std::vector<std::pair<std::string, std::string>>& extra = {});

std::string xmlEscape(std::string_view text);

}  // namespace devserver
